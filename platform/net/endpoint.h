#ifndef TARNIX_PLATFORM_NET_ENDPOINT_H_
#define TARNIX_PLATFORM_NET_ENDPOINT_H_

#include <string>

namespace orv {
namespace net {

// A listening address: "host:port", "[v6 address]:port" or "unix:/path".
class Endpoint {
 public:
  // Throws std::invalid_argument for text of none of these forms.
  explicit Endpoint(const std::string& text);

  // The address in gRPC's form.
  const std::string& address() const { return address_; }
  bool is_unix() const { return address_.compare(0, 5, "unix:") == 0; }

 private:
  std::string address_;
};

// Per-connection settings; the defaults are the only ones used.
struct ConnectionOptions {};

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_ENDPOINT_H_

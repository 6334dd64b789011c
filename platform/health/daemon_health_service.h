#ifndef TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_
#define TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_

#include <set>
#include <string>
#include <vector>

#include "platform/health/health.pb.h"
#include "platform/rpc/service.h"

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace orv {

// grpc.health.v1.Health. The server ("") and every service it serves are
// SERVING until the server starts to stop, then NOT_SERVING (the daemon's
// services stand or fall together). Check answers NOT_FOUND for any other
// name; Watch reports SERVICE_UNKNOWN for it. Runs on the loop thread.
class DaemonHealthService : public rpc::Service {
 public:
  using Response = grpc::health::v1::HealthCheckResponse;
  using Handle = boost::intrusive_ptr<rpc::CallHandle<Response>>;

  // `version` describes the product; it is kept as text for diagnostics.
  explicit DaemonHealthService(const google::protobuf::Message& version);

  const std::string& version_text() const { return version_; }

  void Check(rpc::CallContext& context,
             const grpc::health::v1::HealthCheckRequest& request, const Handle& call);
  // Sends the status at once and again when it changes; the stream stays
  // open until the client leaves or the server ends it.
  void Watch(rpc::CallContext& context,
             const grpc::health::v1::HealthCheckRequest& request, const Handle& call);

  void OnServerStarted(const std::vector<std::string>& service_names) override;
  void OnServerStopping() override;

 private:
  struct Watcher {
    Handle call;
    std::string service;
  };
  Response::ServingStatus StatusOf(const std::string& service) const;

  std::string version_;
  std::set<std::string> services_{""};
  bool serving_ = true;
  std::vector<Watcher> watchers_;
};

}  // namespace orv

#endif  // TARNIX_PLATFORM_HEALTH_DAEMON_HEALTH_SERVICE_H_

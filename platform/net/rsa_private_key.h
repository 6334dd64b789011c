#ifndef TARNIX_PLATFORM_NET_RSA_PRIVATE_KEY_H_
#define TARNIX_PLATFORM_NET_RSA_PRIVATE_KEY_H_

#include <boost/intrusive_ptr.hpp>
#include <string>
#include <system_error>

#include "platform/util/ref_counted.h"

namespace orv {
namespace net {

class X509Certificate;

// A private key in PEM form that OpenSSL can load (RSA or other types).
class RSAPrivateKey : public RefCounted {
 public:
  using Ptr = boost::intrusive_ptr<RSAPrivateKey>;

  // Null when the text holds no loadable private key.
  static Ptr FromPemData(const std::string& pem);
  // Null when the file cannot be read or holds no key; `ec` says why.
  static Ptr FromPemFile(const std::string& path, std::error_code& ec);
  static Ptr FromPemFile(const std::string& path);

  const std::string& pem() const { return pem_; }
  // True when `certificate` carries this key's public half.
  bool MatchesCertificate(const X509Certificate& certificate) const;

 private:
  explicit RSAPrivateKey(std::string pem) : pem_(std::move(pem)) {}
  std::string pem_;
};

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_RSA_PRIVATE_KEY_H_

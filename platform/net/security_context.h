#ifndef TARNIX_PLATFORM_NET_SECURITY_CONTEXT_H_
#define TARNIX_PLATFORM_NET_SECURITY_CONTEXT_H_

#include <boost/intrusive_ptr.hpp>
#include <set>
#include <string>

#include "platform/net/rsa_private_key.h"
#include "platform/net/x509_certificate.h"
#include "platform/util/ref_counted.h"

namespace orv {
namespace net {

// The client certificates a server context accepts (exact DER match).
class X509TrustStore {
 public:
  void AddCertificate(const X509Certificate::Ptr& certificate);
  const std::set<std::string>& trusted_der() const { return trusted_der_; }

 private:
  std::set<std::string> trusted_der_;
};

// A finished TLS server context: own key and certificate, trusted clients.
class SecurityContext : public RefCounted {
 public:
  using Ptr = boost::intrusive_ptr<SecurityContext>;

  const RSAPrivateKey::Ptr& private_key() const { return key_; }
  const X509Certificate::Ptr& certificate() const { return certificate_; }
  const std::set<std::string>& trusted_der() const { return trusted_der_; }
  const std::string& tls12_cipher_suites() const { return tls12_; }
  const std::string& tls13_cipher_suites() const { return tls13_; }
  const std::string& curves() const { return curves_; }

 private:
  friend class NetSecurityContext;
  SecurityContext() = default;

  RSAPrivateKey::Ptr key_;
  X509Certificate::Ptr certificate_;
  std::set<std::string> trusted_der_;
  std::string tls12_, tls13_, curves_;
};

class NetSecurityContext {
 public:
  // Collects the parts of a server context; release() hands it out.
  class Builder {
   public:
    // `method` names the TLS protocol family (any TLS version is accepted;
    // the value is kept for compatibility). The suite and curve lists are
    // OpenSSL list strings, see platform/crypto/tls.h.
    explicit Builder(int method = 0, std::string tls12_suites = std::string(),
                     std::string tls13_suites = std::string(),
                     std::string curves = std::string());

    Builder& UsePrivateKey(const RSAPrivateKey::Ptr& key);
    Builder& UseCertificate(const X509Certificate::Ptr& certificate);
    X509TrustStore& trust_store() { return trust_store_; }
    SecurityContext::Ptr release();

   private:
    SecurityContext::Ptr context_;
    X509TrustStore trust_store_;
  };
};

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_SECURITY_CONTEXT_H_

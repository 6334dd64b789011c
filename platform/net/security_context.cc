#include "platform/net/security_context.h"

namespace orv {
namespace net {

void X509TrustStore::AddCertificate(const X509Certificate::Ptr& certificate) {
  if (certificate) trusted_der_.insert(certificate->der());
}

NetSecurityContext::Builder::Builder(int /*method*/, std::string tls12_suites,
                                     std::string tls13_suites, std::string curves)
    : context_(new SecurityContext) {
  context_->tls12_ = std::move(tls12_suites);
  context_->tls13_ = std::move(tls13_suites);
  context_->curves_ = std::move(curves);
}

NetSecurityContext::Builder& NetSecurityContext::Builder::UsePrivateKey(
    const RSAPrivateKey::Ptr& key) {
  context_->key_ = key;
  return *this;
}

NetSecurityContext::Builder& NetSecurityContext::Builder::UseCertificate(
    const X509Certificate::Ptr& certificate) {
  context_->certificate_ = certificate;
  return *this;
}

SecurityContext::Ptr NetSecurityContext::Builder::release() {
  context_->trusted_der_ = trust_store_.trusted_der();
  SecurityContext::Ptr out = context_;
  context_ = new SecurityContext;
  context_->tls12_ = out->tls12_;
  context_->tls13_ = out->tls13_;
  context_->curves_ = out->curves_;
  trust_store_ = X509TrustStore();
  return out;
}

}  // namespace net
}  // namespace orv

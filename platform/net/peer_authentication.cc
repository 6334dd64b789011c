#include "platform/net/peer_authentication.h"

#include <grpc/grpc_security_constants.h>
#include <grpcpp/security/auth_context.h>

namespace orv {
namespace net {

PeerAuthentication::PeerAuthentication(X509Certificate::Ptr certificate)
    : certificate_(std::move(certificate)) {
  if (certificate_) digest_ = certificate_->SHA256Digest();
}

PeerAuthentication PeerAuthentication::FromAuthContext(const grpc::AuthContext& auth) {
  std::vector<grpc::string_ref> values =
      auth.FindPropertyValues(GRPC_X509_PEM_CERT_PROPERTY_NAME);
  if (values.empty()) return PeerAuthentication();
  return PeerAuthentication(
      X509Certificate::FromPemData(std::string(values[0].data(), values[0].size())));
}

}  // namespace net
}  // namespace orv

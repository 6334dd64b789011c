#include "server/client_authentication.h"

#include "logging/logger.h"
#include "write/status_helpers.h"

namespace tarnix {

ClientCertificateMap MakeClientCertificateMap() {
  ClientCertificateMap certificates(16);
  certificates.max_load_factor(1.0f);
  return certificates;
}

orv::rpc::AppStatus ValidateClientCertificate(const ClientCertificateMap& certificates,
                                              const std::string& client_id,
                                              const std::optional<orv::net::Sha256Digest>& digest) {
  auto it = certificates.find(client_id);
  if (it != certificates.end() && digest && *digest == it->second) {
    return orv::rpc::SUCCESS;
  }
  const std::string text = "Invalid certificate used for client " + client_id;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0702", "%s", text.c_str());
  return orv::rpc::PERMISSION_DENIED(text);
}

orv::rpc::AppStatus AuthenticateClient(const ClientCertificateMap& certificates,
                                       const orv::rpc::CallContext& context,
                                       const char* operation, MissingClientId missing) {
  if (context.client_id().empty()) {
    const orv::rpc::AppStatus status =
        missing == MissingClientId::kUnauthenticated
            ? orv::rpc::UNAUTHENTICATED("Unable to authenticate client. Missing client id.")
            : orv::rpc::INVALID_ARGUMENT("Missing client id.");
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0007", "%s failed: %s", operation,
               status.message().c_str());
    return status;
  }
  const auto& digest = context.peer_authentication().certificate_sha256_digest();
  if (!digest) return MakeOkStatus();
  return ValidateClientCertificate(certificates, context.client_id(), digest);
}

}  // namespace tarnix

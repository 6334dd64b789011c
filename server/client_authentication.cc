#include "server/client_authentication.h"

#include "logging/logger.h"

namespace tarnix {

ClientCertificateMap MakeClientCertificateMap() {
  ClientCertificateMap certificates(16);
  certificates.max_load_factor(1.0f);
  return certificates;
}

orv::net::X509Certificate::Ptr InstalledServerCertificate(
    const orv::net::NetSecurityManager* security) {
  if (security == nullptr) return nullptr;
  const orv::net::SecurityContext::Ptr context = security->default_server_context();
  if (!context || !context->private_key()) return nullptr;
  return context->certificate();
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

orv::rpc::AppStatus CheckClaimedIdentity(const ClientCertificateMap& certificates,
                                         const std::string& client_id,
                                         const orv::net::PeerAuthentication& peer,
                                         const orv::net::X509Certificate::Ptr& server_certificate) {
  const orv::net::X509Certificate::Ptr& presented = peer.certificate();
  if (presented) {
    if (client_id == kAdminClient && server_certificate && *presented == *server_certificate) {
      return orv::rpc::SUCCESS;
    }
    return ValidateClientCertificate(certificates, client_id, peer.certificate_sha256_digest());
  }
  // Without a certificate a TLS peer proves nothing: it may only be a client
  // that nobody could prove to be either.
  if (!server_certificate ||
      (client_id != kAdminClient && certificates.count(client_id) == 0)) {
    return orv::rpc::SUCCESS;
  }
  return ValidateClientCertificate(certificates, client_id, std::nullopt);
}

namespace {

// The first three refusals of the administration rule are logged without text.
orv::rpc::AppStatus Refuse(const orv::rpc::AppStatus& status) {
  TARNIX_LOG(orv::ERROR, "errorCode:error", "%s", "");
  return status;
}

}  // namespace

orv::rpc::AppStatus CheckAdministrator(const orv::rpc::CallContext& context,
                                       const orv::net::X509Certificate::Ptr& server_certificate,
                                       const char* action) {
  if (!server_certificate) {
    return Refuse(
        orv::rpc::FAILED_PRECONDITION("Tarnix Server key and certificate not configured."));
  }
  const orv::net::X509Certificate::Ptr& peer = context.peer_authentication().certificate();
  if (!peer) {
    return Refuse(orv::rpc::FAILED_PRECONDITION("Client did not provide a mandatory certificate."));
  }
  if (*peer != *server_certificate) {
    return Refuse(orv::rpc::PERMISSION_DENIED(
        "Incorrect certificate provided. Server certificate must be used."));
  }
  if (context.client_id() != kAdminClient) {
    return orv::rpc::PERMISSION_DENIED(context.client_id() + " does not have permission to " +
                                       action + ".");
  }
  return orv::rpc::SUCCESS;
}

orv::rpc::AppStatus AuthenticateClient(const ClientCertificateMap& certificates,
                                       const orv::net::X509Certificate::Ptr& server_certificate,
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
  return CheckClaimedIdentity(certificates, context.client_id(), context.peer_authentication(),
                              server_certificate);
}

}  // namespace tarnix

#ifndef TARNIX_SERVER_CLIENT_AUTHENTICATION_H_
#define TARNIX_SERVER_CLIENT_AUTHENTICATION_H_

#include <optional>
#include <string>
#include <unordered_map>

#include "platform/net/x509_certificate.h"
#include "platform/rpc/call.h"
#include "platform/rpc/status.h"

namespace tarnix {

// Client name -> SHA-256 digest of the certificate registered for it. One map
// per process, filled by the operations service and read by the data service
// on every call, both on the RPC event-loop thread (no lock).
using ClientCertificateMap = std::unordered_map<std::string, orv::net::Sha256Digest>;

// An empty map sized for a handful of clients.
ClientCertificateMap MakeClientCertificateMap();

// SUCCESS when `certificates` holds `client_id` and `digest` is present and
// equal to the registered one. Otherwise logs ERROR "errorCode:DRX0702" and
// returns PERMISSION_DENIED "Invalid certificate used for client <id>".
orv::rpc::AppStatus ValidateClientCertificate(const ClientCertificateMap& certificates,
                                              const std::string& client_id,
                                              const std::optional<orv::net::Sha256Digest>& digest);

// The status a call without client id gets: most RPCs answer
// UNAUTHENTICATED "Unable to authenticate client. Missing client id.", a few
// INVALID_ARGUMENT "Missing client id.".
enum class MissingClientId { kUnauthenticated, kInvalidArgument };

// The check every data-service call makes before anything else: a client id
// is required (its absence is logged at ERROR with "errorCode:DRX0007" as
// "<operation> failed: <status text>", `operation` being for example "Put
// operation" or "CreateVDb"), and a peer that presents a certificate must
// present the one registered for that client id. A peer without a
// certificate passes. SUCCESS, or the status to fail the call with.
orv::rpc::AppStatus AuthenticateClient(const ClientCertificateMap& certificates,
                                       const orv::rpc::CallContext& context,
                                       const char* operation,
                                       MissingClientId missing = MissingClientId::kUnauthenticated);

}  // namespace tarnix

#endif  // TARNIX_SERVER_CLIENT_AUTHENTICATION_H_

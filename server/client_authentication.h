#ifndef TARNIX_SERVER_CLIENT_AUTHENTICATION_H_
#define TARNIX_SERVER_CLIENT_AUTHENTICATION_H_

#include <optional>
#include <string>
#include <unordered_map>

#include "platform/net/net_security_manager.h"
#include "platform/net/peer_authentication.h"
#include "platform/net/x509_certificate.h"
#include "platform/rpc/call.h"
#include "platform/rpc/status.h"

namespace tarnix {

// Client name -> SHA-256 digest of the certificate registered for it. One map
// per process, filled by the operations service and read by the data service
// on every call, both on the RPC event-loop thread (no lock).
using ClientCertificateMap = std::unordered_map<std::string, orv::net::Sha256Digest>;

// The client that administers the server. Over TLS it proves itself with the
// server's own certificate.
constexpr char kAdminClient[] = "tarnix-cli";

// An empty map sized for a handful of clients.
ClientCertificateMap MakeClientCertificateMap();

// The server's own certificate when `security` (may be null) has the
// server's key and certificate installed, that is when listeners speak TLS;
// null when they serve plaintext.
orv::net::X509Certificate::Ptr InstalledServerCertificate(
    const orv::net::NetSecurityManager* security);

// SUCCESS when `certificates` holds `client_id` and `digest` is present and
// equal to the registered one. Otherwise logs ERROR "errorCode:DRX0702" and
// returns PERMISSION_DENIED "Invalid certificate used for client <id>".
orv::rpc::AppStatus ValidateClientCertificate(const ClientCertificateMap& certificates,
                                              const std::string& client_id,
                                              const std::optional<orv::net::Sha256Digest>& digest);

// Whether `peer` may act as `client_id`, the rule of every RPC of both
// services. `server_certificate` null means plaintext listeners: nothing on
// the connection can prove an id, so every claim passes. Over TLS a peer with
// a certificate must present the one registered for `client_id` (or, as
// kAdminClient, the server's own), and a peer without one may claim only an id
// that has no registered certificate and is not kAdminClient. A refusal is
// ValidateClientCertificate's.
orv::rpc::AppStatus CheckClaimedIdentity(const ClientCertificateMap& certificates,
                                         const std::string& client_id,
                                         const orv::net::PeerAuthentication& peer,
                                         const orv::net::X509Certificate::Ptr& server_certificate);

// The rule of the administration RPCs, first failure wins: the server has its
// key and certificate (`server_certificate` not null; else FAILED_PRECONDITION
// "Tarnix Server key and certificate not configured."), the peer presents a
// certificate (else FAILED_PRECONDITION "Client did not provide a mandatory
// certificate."), the server's own (else PERMISSION_DENIED "Incorrect
// certificate provided. Server certificate must be used."), these three
// logged at ERROR with "errorCode:error" and no text; the client id is
// kAdminClient (else PERMISSION_DENIED "<client id> does not have permission
// to <action>.", not logged).
orv::rpc::AppStatus CheckAdministrator(const orv::rpc::CallContext& context,
                                       const orv::net::X509Certificate::Ptr& server_certificate,
                                       const char* action);

// The status a call without client id gets: most RPCs answer
// UNAUTHENTICATED "Unable to authenticate client. Missing client id.", a few
// INVALID_ARGUMENT "Missing client id.".
enum class MissingClientId { kUnauthenticated, kInvalidArgument };

// The check every data-service call makes before anything else: a client id
// is required (its absence is logged at ERROR with "errorCode:DRX0007" as
// "<operation> failed: <status text>", `operation` being for example "Put
// operation" or "CreateVDb"), then CheckClaimedIdentity. SUCCESS, or the
// status to fail the call with.
orv::rpc::AppStatus AuthenticateClient(const ClientCertificateMap& certificates,
                                       const orv::net::X509Certificate::Ptr& server_certificate,
                                       const orv::rpc::CallContext& context,
                                       const char* operation,
                                       MissingClientId missing = MissingClientId::kUnauthenticated);

}  // namespace tarnix

#endif  // TARNIX_SERVER_CLIENT_AUTHENTICATION_H_

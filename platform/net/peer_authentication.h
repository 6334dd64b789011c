#ifndef TARNIX_PLATFORM_NET_PEER_AUTHENTICATION_H_
#define TARNIX_PLATFORM_NET_PEER_AUTHENTICATION_H_

#include <optional>

#include "platform/net/x509_certificate.h"

namespace grpc {
class AuthContext;
}  // namespace grpc

namespace orv {
namespace net {

// What the TLS handshake told about the peer.
class PeerAuthentication {
 public:
  PeerAuthentication() = default;
  explicit PeerAuthentication(X509Certificate::Ptr certificate);

  // Reads the peer's leaf certificate from a gRPC auth context (none for
  // plaintext connections or peers without a certificate).
  static PeerAuthentication FromAuthContext(const grpc::AuthContext& auth);

  // The peer's certificate; null when it presented none.
  const X509Certificate::Ptr& certificate() const { return certificate_; }
  // SHA-256 of the certificate's DER; empty without a certificate.
  const std::optional<Sha256Digest>& certificate_sha256_digest() const { return digest_; }

 private:
  X509Certificate::Ptr certificate_;
  std::optional<Sha256Digest> digest_;
};

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_PEER_AUTHENTICATION_H_

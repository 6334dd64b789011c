#include "platform/net/net_security_manager.h"

#include <grpcpp/security/server_credentials.h>
#include <grpcpp/security/tls_certificate_provider.h>
#include <grpcpp/security/tls_certificate_verifier.h>
#include <grpcpp/security/tls_credentials_options.h>
#include <stdlib.h>

#include "platform/util/library_log.h"

namespace orv {
namespace net {
namespace {

// Accepts a connection without a client certificate, or with one that is in
// the trusted set. Runs on gRPC's handshake threads.
class TrustedSetVerifier : public grpc::experimental::ExternalCertificateVerifier {
 public:
  explicit TrustedSetVerifier(std::shared_ptr<NetSecurityManager::TrustState> trust)
      : trust_(std::move(trust)) {}

  bool Verify(grpc::experimental::TlsCustomVerificationCheckRequest* request,
              std::function<void(grpc::Status)> /*callback*/,
              grpc::Status* sync_status) override {
    grpc::string_ref pem = request->peer_cert();
    if (pem.empty()) {
      *sync_status = grpc::Status::OK;
      return true;
    }
    std::string der = PemCertificateToDer(std::string(pem.data(), pem.size()));
    bool trusted = false;
    if (!der.empty()) {
      std::lock_guard<std::mutex> lock(trust_->mutex);
      trusted = trust_->trusted_der.count(der) != 0;
    }
    *sync_status = trusted ? grpc::Status::OK
                           : grpc::Status(grpc::StatusCode::UNAUTHENTICATED,
                                          "client certificate not trusted");
    return true;
  }

  void Cancel(grpc::experimental::TlsCustomVerificationCheckRequest*) override {}

 private:
  std::shared_ptr<NetSecurityManager::TrustState> trust_;
};

}  // namespace

NetSecurityManager::NetSecurityManager() : trust_(std::make_shared<TrustState>()) {}
NetSecurityManager::~NetSecurityManager() = default;

void NetSecurityManager::default_server_context(const SecurityContext::Ptr& context) {
  if (!context) return;
  std::lock_guard<std::mutex> lock(mutex_);
  context_ = context;
  {
    std::lock_guard<std::mutex> trust_lock(trust_->mutex);
    trust_->trusted_der = context->trusted_der();
  }
  if (started_with_) {
    bool same_identity =
        context->private_key() && context->certificate() &&
        started_with_->private_key()->pem() == context->private_key()->pem() &&
        *started_with_->certificate() == *context->certificate();
    if (!same_identity) {
      PLATFORM_LOG(
          ::orv::net::library_log_level, orv::WARNING, nullptr,
          "Server key or certificate changed; the new pair applies after a restart");
    }
  }
}

SecurityContext::Ptr NetSecurityManager::default_server_context() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return context_;
}

std::shared_ptr<grpc::ServerCredentials> NetSecurityManager::ServerCredentials() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!context_ || !context_->private_key() || !context_->certificate()) {
    return grpc::InsecureServerCredentials();
  }
  if (!context_->private_key()->MatchesCertificate(*context_->certificate())) {
    return nullptr;
  }
  // gRPC 1.51 takes the TLS 1.2 cipher list only from its environment, read
  // once per process at the first TLS handshaker; its minimum version is
  // fixed at TLS 1.2. TLS 1.3 suites and curves stay OpenSSL's defaults.
  if (!context_->tls12_cipher_suites().empty()) {
    setenv("GRPC_SSL_CIPHER_SUITES", context_->tls12_cipher_suites().c_str(), 1);
  }
  started_with_ = context_;
  auto provider = std::make_shared<grpc::experimental::StaticDataCertificateProvider>(
      std::vector<grpc::experimental::IdentityKeyCertPair>{
          {context_->private_key()->pem(), context_->certificate()->pem()}});
  grpc::experimental::TlsServerCredentialsOptions options(provider);
  options.watch_identity_key_cert_pairs();
  options.set_cert_request_type(GRPC_SSL_REQUEST_CLIENT_CERTIFICATE_BUT_DONT_VERIFY);
  options.set_certificate_verifier(
      grpc::experimental::ExternalCertificateVerifier::Create<TrustedSetVerifier>(
          trust_));
  return grpc::experimental::TlsServerCredentials(options);
}

}  // namespace net
}  // namespace orv

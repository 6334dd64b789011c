#ifndef TARNIX_PLATFORM_NET_NET_SECURITY_MANAGER_H_
#define TARNIX_PLATFORM_NET_NET_SECURITY_MANAGER_H_

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/net/security_context.h"

namespace grpc {
class ServerCredentials;
}  // namespace grpc

namespace orv {
namespace net {

// Holds the server TLS context that listeners use. The trusted client set may
// be replaced at any time and applies from the next connection on; the key and
// certificate are fixed once the server has started.
class NetSecurityManager {
 public:
  NetSecurityManager();
  ~NetSecurityManager();

  // Installs `context` as the server context (null is ignored).
  void default_server_context(const SecurityContext::Ptr& context);
  SecurityContext::Ptr default_server_context() const;

  // Credentials for a listener: TLS with optional client certificates checked
  // against the current trusted set, or insecure when no context is installed.
  // Null when the installed key does not belong to the certificate (every
  // handshake would fail). The first TLS credentials made in the process fix
  // the TLS 1.2 cipher list for all of them.
  std::shared_ptr<grpc::ServerCredentials> ServerCredentials();

  struct TrustState {
    mutable std::mutex mutex;
    std::set<std::string> trusted_der;
  };

 private:
  mutable std::mutex mutex_;
  SecurityContext::Ptr context_;
  SecurityContext::Ptr started_with_;  // context whose key/cert the listeners use
  std::shared_ptr<TrustState> trust_;
};

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_NET_SECURITY_MANAGER_H_

#ifndef TARNIX_SERVER_CLIENT_CERTIFICATES_H_
#define TARNIX_SERVER_CLIENT_CERTIFICATES_H_

#include <string>

#include "platform/net/net_security_manager.h"
#include "platform/net/rsa_private_key.h"
#include "platform/net/x509_certificate.h"
#include "platform/rpc/status.h"
#include "server/client_authentication.h"
#include "storage/db_access.h"

namespace tarnix {

// The registry of client certificates: one record per client name (key 0x04
// followed by the name, value the PEM text as the client sent it), and what
// is built from it: the TLS server context every listener uses (the server's
// own key and certificate, trusting every registered certificate and the
// server's own) and the ClientCertificateMap of the data service.
//
// Nothing is built unless the server's key and certificate are both present.
// A rebuilt context applies from the next connection on. Not thread-safe: runs
// on the RPC event-loop thread (and at start-up).
class ClientCertificates {
 public:
  // None of the pointers is owned; all must outlive this object. `key` and
  // `certificate` may be null.
  ClientCertificates(DbAccess* db_access, orv::net::NetSecurityManager* security_manager,
                     ClientCertificateMap* certificates, orv::net::RSAPrivateKey::Ptr key,
                     orv::net::X509Certificate::Ptr certificate);

  // Both the server's key and certificate are loaded.
  bool configured() const { return key_ && certificate_; }
  const orv::net::X509Certificate::Ptr& certificate() const { return certificate_; }

  // Every certificate record in key order; false (logged as DRX0701) on a
  // storage failure.
  bool GetClientCertificates(DbAccess::Records* records);

  // Start-up: installs the context and fills the map from the stored records
  // (entries are only added or overwritten). When two names hold the same PEM
  // text only the first in key order is taken. Records that do not parse are
  // skipped silently. When the records cannot be read (logged as DRX0701) the
  // context trusts the server's own certificate alone and the map is left as
  // it is.
  void LoadClientCertificates();

  // Stores `pem` as the certificate of `name` (replacing an earlier one) and
  // rebuilds the context and the map entries of every record that parses.
  // INVALID_ARGUMENT when `pem` holds no certificate; INTERNAL when the store
  // or the reload fails (after a store, the record stays).
  orv::rpc::AppStatus Add(const std::string& name, const std::string& pem);

  // Removes the record of `name` (none is no error) and its map entry, and
  // rebuilds the context. INTERNAL when the store or the reload fails.
  orv::rpc::AppStatus Delete(const std::string& name);

 private:
  enum class Reload { kStartUp, kAdd, kDelete };
  // Builds and installs the context from `records` in the variant's way.
  void InstallContext(const DbAccess::Records& records, Reload variant);
  // Rereads every record and installs the context from them; INTERNAL when
  // they cannot be read.
  orv::rpc::AppStatus Reinstall(Reload variant);

  DbAccess* const db_access_;
  orv::net::NetSecurityManager* const security_manager_;
  ClientCertificateMap* const certificates_;
  const orv::net::RSAPrivateKey::Ptr key_;
  const orv::net::X509Certificate::Ptr certificate_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_CLIENT_CERTIFICATES_H_

#include "server/client_certificates.h"

#include <set>
#include <vector>

#include <boost/asio/ssl/context_base.hpp>

#include "logging/logger.h"
#include "platform/crypto/tls.h"
#include "platform/net/security_context.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

// A failed write of a certificate record: logged as DRX0103.
orv::rpc::AppStatus StoreFailed(const char* operation, const DbAccessStatus& status) {
  const std::string text = std::string("DbAccess error in ") + operation + ": " + status.message;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0103", "%s", text.c_str());
  return orv::rpc::INTERNAL(text);
}

}  // namespace

ClientCertificates::ClientCertificates(DbAccess* db_access,
                                       orv::net::NetSecurityManager* security_manager,
                                       ClientCertificateMap* certificates,
                                       orv::net::RSAPrivateKey::Ptr key,
                                       orv::net::X509Certificate::Ptr certificate)
    : db_access_(db_access),
      security_manager_(security_manager),
      certificates_(certificates),
      key_(std::move(key)),
      certificate_(std::move(certificate)) {}

bool ClientCertificates::GetClientCertificates(DbAccess::Records* records) {
  const DbAccessStatus status =
      db_access_->PrefixFilter(db_access_->GetSnapshot(), kClientCertPrefix, records);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0701",
               "DbAccess error in TarnixOpsServer::GetClientCertificates(): %s.",
               status.message.c_str());
    return false;
  }
  return true;
}

void ClientCertificates::InstallContext(const DbAccess::Records& records, Reload variant) {
  orv::net::NetSecurityContext::Builder builder(
      boost::asio::ssl::context_base::tls, orv::crypto::tls::APPROVED_TLS12_CIPHER_SUITES,
      orv::crypto::tls::APPROVED_TLS13_CIPHER_SUITES, orv::crypto::tls::APPROVED_TLS_CURVES);
  builder.UsePrivateKey(key_);
  builder.UseCertificate(certificate_);
  // Each distinct PEM text is trusted once per pass. At start-up and on
  // delete a text is taken before it is parsed; on add only once it parsed.
  std::set<std::string> taken;
  for (const auto& record : records) {
    const std::string name = record.first.substr(kClientCertPrefix.size());
    const std::string& pem = record.second;
    if (variant == Reload::kAdd) {
      orv::net::X509Certificate::Ptr client = orv::net::X509Certificate::FromPemData(pem);
      if (!client) continue;
      (*certificates_)[name] = client->SHA256Digest();
      if (taken.insert(pem).second) builder.trust_store().AddCertificate(client);
      continue;
    }
    if (!taken.insert(pem).second) continue;
    orv::net::X509Certificate::Ptr client = orv::net::X509Certificate::FromPemData(pem);
    if (!client) continue;
    builder.trust_store().AddCertificate(client);
    if (variant == Reload::kStartUp) (*certificates_)[name] = client->SHA256Digest();
  }
  builder.trust_store().AddCertificate(certificate_);
  security_manager_->default_server_context(builder.release());
}

orv::rpc::AppStatus ClientCertificates::Reinstall(Reload variant) {
  DbAccess::Records records;
  if (!GetClientCertificates(&records)) {
    return orv::rpc::INTERNAL("Unable to get client certificates from DbAccess");
  }
  InstallContext(records, variant);
  return orv::rpc::SUCCESS;
}

void ClientCertificates::LoadClientCertificates() {
  if (!configured()) {
    TARNIX_LOG(orv::INFO, nullptr,
               "Tarnix key/cert not available, skip loading client certificates");
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Fetching certificates from db_access_");
  // On a storage failure the server still serves TLS, trusting only its own
  // certificate: the administrator can then connect and repair the registry.
  DbAccess::Records records;
  if (!GetClientCertificates(&records)) records.clear();
  InstallContext(records, Reload::kStartUp);
}

orv::rpc::AppStatus ClientCertificates::Add(const std::string& name, const std::string& pem) {
  if (!orv::net::X509Certificate::FromPemData(pem)) {
    return orv::rpc::INVALID_ARGUMENT("Received invalid certificate from request");
  }
  std::vector<int32_t> results;
  const DbAccessStatus stored =
      db_access_->Put({{kClientCertPrefix + name, pem}}, false, &results);
  if (!stored.ok()) return StoreFailed("AddClientCertificate", stored);
  return Reinstall(Reload::kAdd);
}

orv::rpc::AppStatus ClientCertificates::Delete(const std::string& name) {
  std::vector<int32_t> results;
  const DbAccessStatus deleted =
      db_access_->Delete({{kClientCertPrefix + name, std::string()}}, false, &results);
  if (!deleted.ok()) return StoreFailed("DeleteClientCertificate", deleted);
  certificates_->erase(name);
  return Reinstall(Reload::kDelete);
}

}  // namespace tarnix

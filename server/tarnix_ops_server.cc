#include "server/tarnix_ops_server.h"

#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include <boost/filesystem.hpp>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// Loads one half of the server's identity: null when the file is absent.
// A file that is there but does not load stops start-up.
template <class Load>
auto LoadIdentityFile(const std::string& path, const char* what, Load load)
    -> decltype(load(path, std::declval<std::error_code&>())) {
  boost::system::error_code fs_error;
  const boost::filesystem::file_status status = boost::filesystem::status(path, fs_error);
  if (fs_error || status.type() == boost::filesystem::file_not_found) return nullptr;
  std::error_code ec;
  auto loaded = load(path, ec);
  if (!loaded || ec) {
    const std::string text = "Unable to load the server " + std::string(what) + " from " + path +
                             ": " + (ec ? ec.message() : std::string("no usable PEM data"));
    TARNIX_LOG(orv::ERROR, nullptr, "%s", text.c_str());
    throw std::runtime_error(text);
  }
  return loaded;
}

// The registry over the server's key and certificate, loaded in that order.
ClientCertificates MakeRegistry(DbAccess* db_access,
                                orv::net::NetSecurityManager* security_manager,
                                ClientCertificateMap* certificates, const std::string& key_path,
                                const std::string& certificate_path) {
  orv::net::RSAPrivateKey::Ptr key =
      LoadIdentityFile(key_path, "key", [](const std::string& p, std::error_code& ec) {
        return orv::net::RSAPrivateKey::FromPemFile(p, ec);
      });
  orv::net::X509Certificate::Ptr certificate = LoadIdentityFile(
      certificate_path, "certificate", [](const std::string& p, std::error_code& ec) {
        return orv::net::X509Certificate::FromPemFile(p, ec);
      });
  // Half an identity is most likely a deployment mistake: say so, then go
  // on as without one.
  if (!key != !certificate) {
    TARNIX_LOG(orv::WARNING, nullptr,
               "Tarnix %s %s found but %s %s is missing; TLS stays off",
               key ? "key" : "certificate", (key ? key_path : certificate_path).c_str(),
               key ? "certificate" : "key", (key ? certificate_path : key_path).c_str());
  }
  return ClientCertificates(db_access, security_manager, certificates, std::move(key),
                            std::move(certificate));
}

}  // namespace

TarnixOpsServer::TarnixOpsServer(Schema* schema, DbAccess* db_access,
                                 orv::metrics::MetricRegistry* metric_registry,
                                 orv::net::NetSecurityManager* security_manager,
                                 ClientCertificateMap* client_certificates,
                                 const std::string& key_path,
                                 const std::string& certificate_path)
    : schema_(schema),
      metric_registry_(metric_registry),
      client_certificates_(client_certificates),
      registry_(MakeRegistry(db_access, security_manager, client_certificates, key_path,
                             certificate_path)) {
  registry_.LoadClientCertificates();
}

TarnixOpsServer::~TarnixOpsServer() = default;

orv::net::X509Certificate::Ptr TarnixOpsServer::ServerCertificate() const {
  return registry_.configured() ? registry_.certificate() : nullptr;
}

orv::rpc::AppStatus TarnixOpsServer::CheckIdentity(const orv::rpc::CallContext& context) const {
  return CheckClaimedIdentity(*client_certificates_, context.client_id(),
                              context.peer_authentication(), ServerCertificate());
}

void TarnixOpsServer::LoadSchema(orv::rpc::CallContext& context,
                                 const tx::LoadSchemaRequestMsg& request,
                                 const CallPtr<tx::LoadSchemaResponseMsg>& call) {
  // A reload replaces every client's permissions: once the server has an
  // identity, only the administrator may do it.
  const orv::rpc::AppStatus allowed =
      registry_.configured() ? CheckAdministrator(context, ServerCertificate(), "load a schema")
                             : CheckIdentity(context);
  if (!allowed.ok()) {
    call->Fail(allowed);
    return;
  }
  tx::LoadSchemaResponseMsg response;
  response.set_loaded(false);
  if (request.has_schema_path() && schema_ != nullptr) {
    const Status loaded = schema_->ReloadSchema(request.schema_path());
    // A file that does not load is answered loaded=false; a schema without
    // object types fails the call with INVALID_ARGUMENT, the code clients
    // expect for it.
    if (loaded.code() == Status::kFailedPrecondition) {
      call->Fail(orv::rpc::INVALID_ARGUMENT(loaded.message()));
      return;
    }
    response.set_loaded(loaded.ok());
    if (loaded.ok() && on_schema_reloaded_) on_schema_reloaded_();
  }
  call->Respond(response);
}

void TarnixOpsServer::GetSchema(orv::rpc::CallContext& context,
                                const tx::GetSchemaRequestMsg& /*request*/,
                                const CallPtr<tx::GetSchemaResponseMsg>& call) {
  const orv::rpc::AppStatus allowed = CheckIdentity(context);
  if (!allowed.ok()) {
    call->Fail(allowed);
    return;
  }
  tx::GetSchemaResponseMsg response;
  if (schema_ != nullptr) {
    response.set_schema_path(schema_->types().GetSchemaPath());
    response.set_schema_text(schema_->types().GetSchemaText());
  }
  call->Respond(response);
}

void TarnixOpsServer::GetSchemaVersion(orv::rpc::CallContext& context,
                                       const tx::GetSchemaVersionRequestMsg& /*request*/,
                                       const CallPtr<tx::GetSchemaVersionResponseMsg>& call) {
  const orv::rpc::AppStatus allowed = CheckIdentity(context);
  if (!allowed.ok()) {
    call->Fail(allowed);
    return;
  }
  tx::GetSchemaVersionResponseMsg response;
  if (schema_ != nullptr) response.set_version(schema_->types().GetVersion());
  call->Respond(response);
}

void TarnixOpsServer::GetMetrics(orv::rpc::CallContext& context,
                                 const tx::GetMetricsRequestMsg& request,
                                 const CallPtr<tx::GetMetricsResponseMsg>& call) {
  const orv::rpc::AppStatus allowed = CheckIdentity(context);
  if (!allowed.ok()) {
    call->Fail(allowed);
    return;
  }
  std::string path = request.path();
  if (path.empty()) path = "/";
  tx::GetMetricsResponseMsg response;
  // find_key: asking for a path must not create it.
  const orv::metrics::MetricKeyPtr key = metric_registry_->find_key(path);
  if (key) AppendMetric(path, key, &response);
  call->Respond(response);
}

void TarnixOpsServer::AppendMetric(const std::string& path, const orv::metrics::MetricKeyPtr& key,
                                   tx::GetMetricsResponseMsg* response) {
  const std::string value = key->value_string(true);
  if (!value.empty()) {
    tx::MetricMsg* metric = response->add_metrics();
    metric->set_name("/orv/tarnix" + path);
    metric->set_value(value);
  }
  for (const auto& child : key->subkeys()) {
    AppendMetric(path + "/" + child.second->name(), child.second, response);
  }
}

void TarnixOpsServer::AddClientCertificate(
    orv::rpc::CallContext& context, const tx::AddClientCertificateRequestMsg& request,
    const CallPtr<tx::AddClientCertificateResponseMsg>& call) {
  orv::rpc::AppStatus status =
      CheckAdministrator(context, ServerCertificate(), "add a certificate");
  if (status.ok()) status = registry_.Add(request.client_name(), request.certificate());
  if (!status.ok()) {
    call->Fail(status);
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Successfully added a certificate for %s.",
             request.client_name().c_str());
  call->Respond(tx::AddClientCertificateResponseMsg());
}

void TarnixOpsServer::DeleteClientCertificate(
    orv::rpc::CallContext& context, const tx::DeleteClientCertificateRequestMsg& request,
    const CallPtr<tx::DeleteClientCertificateResponseMsg>& call) {
  // The refusal text is the one of adding: both are one permission.
  orv::rpc::AppStatus status =
      CheckAdministrator(context, ServerCertificate(), "add a certificate");
  if (status.ok()) status = registry_.Delete(request.client_name());
  if (!status.ok()) {
    call->Fail(status);
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Successfully deleted the certificate for %s.",
             request.client_name().c_str());
  call->Respond(tx::DeleteClientCertificateResponseMsg());
}

void TarnixOpsServer::GetClientCertificate(
    orv::rpc::CallContext& context, const tx::GetClientCertificateRequestMsg& request,
    const CallPtr<tx::GetClientCertificateResponseMsg>& call) {
  const orv::rpc::AppStatus allowed = CheckIdentity(context);
  if (!allowed.ok()) {
    call->Fail(allowed);
    return;
  }
  if (context.client_id() != kAdminClient) {
    call->Fail(orv::rpc::PERMISSION_DENIED(context.client_id() +
                                           " does not have permission to delete certificate"));
    return;
  }
  if (!request.has_client_id()) {
    call->Fail(orv::rpc::INVALID_ARGUMENT("Missing client id from request"));
    return;
  }
  if (!registry_.configured()) {
    call->Fail(orv::rpc::FAILED_PRECONDITION("Tarnix key/cert not configured"));
    return;
  }
  auto it = client_certificates_->find(request.client_id());
  if (it == client_certificates_->end()) {
    call->Fail(orv::rpc::NOT_FOUND("Unable to find certificate for " + request.client_id()));
    return;
  }
  tx::GetClientCertificateResponseMsg response;
  response.set_certificate_digest(orv::hex_string(it->second));
  call->Respond(response);
}

}  // namespace tarnix

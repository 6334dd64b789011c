#ifndef TARNIX_SERVER_TARNIX_OPS_SERVER_H_
#define TARNIX_SERVER_TARNIX_OPS_SERVER_H_

#include <functional>
#include <string>
#include <utility>

#include "platform/metrics/metric_registry.h"
#include "platform/net/net_security_manager.h"
#include "platform/tarnix/tarnix_service.h"
#include "server/client_authentication.h"
#include "server/client_certificates.h"
#include "storage/db_access.h"

namespace tarnix {

class Schema;

// The operations service: reloads and shows the schema, reports metrics and
// manages the registry of client certificates that feeds the TLS context and
// the data service's ClientCertificateMap.
//
// Every caller must be entitled to the client id it claims (see
// CheckClaimedIdentity). Schema, version and metric reads are then open to
// every caller. Adding and deleting certificates, and reloading the schema
// once the server has its own key and certificate, are for the administrator
// (see CheckAdministrator). Every handler answers once. Runs on the RPC
// event-loop thread; no locks.
class TarnixOpsServer : public caldek::orv::tarnix::TarnixOps::Service {
 public:
  template <class Resp>
  using CallPtr = boost::intrusive_ptr<orv::rpc::CallHandle<Resp>>;

  // Loads the server's key, then its certificate, from the two PEM files (a
  // missing file leaves that half unset: then no TLS context is installed
  // and certificate management is refused; a WARNING names the missing half
  // when only one is there), then the stored client certificates (see
  // ClientCertificates::LoadClientCertificates). Throws std::runtime_error,
  // after an ERROR line, when a file exists but does not load. No pointer is
  // owned; all must outlive the service; `schema` may be null (schema reads
  // then answer empty).
  TarnixOpsServer(Schema* schema, DbAccess* db_access,
                  orv::metrics::MetricRegistry* metric_registry,
                  orv::net::NetSecurityManager* security_manager,
                  ClientCertificateMap* client_certificates, const std::string& key_path,
                  const std::string& certificate_path);
  ~TarnixOpsServer() override;

  // Runs after each reload that put a new schema in force, before the
  // answer: what the old permissions allowed may have to stop.
  void set_on_schema_reloaded(std::function<void()> reloaded) {
    on_schema_reloaded_ = std::move(reloaded);
  }

  // Reloads the schema from the request's path and answers whether it did
  // (see set_on_schema_reloaded). A file that defines no object type fails
  // the call with INVALID_ARGUMENT; like a file that does not load, it
  // leaves the schema in force.
  void LoadSchema(orv::rpc::CallContext& context,
                  const caldek::orv::tarnix::LoadSchemaRequestMsg& request,
                  const CallPtr<caldek::orv::tarnix::LoadSchemaResponseMsg>& call) override;
  void GetSchema(orv::rpc::CallContext& context,
                 const caldek::orv::tarnix::GetSchemaRequestMsg& request,
                 const CallPtr<caldek::orv::tarnix::GetSchemaResponseMsg>& call) override;
  void GetSchemaVersion(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::GetSchemaVersionRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::GetSchemaVersionResponseMsg>& call) override;
  // Every value at or below the request's path ("/" when none), node before
  // children, named "/orv/tarnix" followed by its path. An unknown path
  // answers an empty list and adds nothing to the registry.
  void GetMetrics(orv::rpc::CallContext& context,
                  const caldek::orv::tarnix::GetMetricsRequestMsg& request,
                  const CallPtr<caldek::orv::tarnix::GetMetricsResponseMsg>& call) override;
  void AddClientCertificate(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::AddClientCertificateRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::AddClientCertificateResponseMsg>& call) override;
  void DeleteClientCertificate(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::DeleteClientCertificateRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::DeleteClientCertificateResponseMsg>& call) override;
  // The hexadecimal digest registered for the requested client; only
  // kAdminClient may ask (over TLS proven as CheckClaimedIdentity says).
  void GetClientCertificate(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::GetClientCertificateRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::GetClientCertificateResponseMsg>& call) override;

 private:
  // The server's certificate when both its key and certificate are loaded
  // (listeners speak TLS), else null.
  orv::net::X509Certificate::Ptr ServerCertificate() const;
  // CheckClaimedIdentity of the caller.
  orv::rpc::AppStatus CheckIdentity(const orv::rpc::CallContext& context) const;
  static void AppendMetric(const std::string& path, const orv::metrics::MetricKeyPtr& key,
                           caldek::orv::tarnix::GetMetricsResponseMsg* response);

  Schema* const schema_;
  orv::metrics::MetricRegistry* const metric_registry_;
  ClientCertificateMap* const client_certificates_;
  ClientCertificates registry_;
  std::function<void()> on_schema_reloaded_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_TARNIX_OPS_SERVER_H_

#include "platform/tarnix/tarnix_service.h"

namespace caldek {
namespace orv {
namespace tarnix {
namespace {

template <class Resp>
void Unimplemented(const boost::intrusive_ptr<::orv::rpc::CallHandle<Resp>>& call) {
  call->Fail(::orv::rpc::UNIMPLEMENTED("Method not implemented"));
}

}  // namespace

Tarnix::Service::Service() : ::orv::rpc::Service("caldek.orv.tarnix.Tarnix") {
  AddServerStreamMethod("Get", &Service::Get);
  AddServerStreamMethod("Query", &Service::Query);
  AddUnaryMethod("CreateVDb", &Service::CreateVDb);
  AddUnaryMethod("DeleteVDb", &Service::DeleteVDb);
  AddUnaryMethod("GetVDbId", &Service::GetVDbId);
  AddServerStreamMethod("Monitor", &Service::Monitor);
  AddUnaryMethod("ConfigureMonitor", &Service::ConfigureMonitor);
  AddServerStreamMethod("GetTransactionLog", &Service::GetTransactionLog);
  AddUnaryMethod("GetMerkleTree", &Service::GetMerkleTree);
  AddUnaryMethod("ConfigureWorkflowTracer", &Service::ConfigureWorkflowTracer);
  AddUnaryMethod("GetWorkflowTracer", &Service::GetWorkflowTracer);
}

Tarnix::Service::~Service() = default;

void Tarnix::Service::Get(
    ::orv::rpc::CallContext&, const GetRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::Query(
    ::orv::rpc::CallContext&, const QueryRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<QueryResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::CreateVDb(
    ::orv::rpc::CallContext&, const CreateVDbRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<CreateVDbResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::DeleteVDb(
    ::orv::rpc::CallContext&, const DeleteVDbRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<DeleteVDbResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::GetVDbId(
    ::orv::rpc::CallContext&, const GetVDbIdRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetVDbIdResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::Monitor(
    ::orv::rpc::CallContext&, const MonitorRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<MonitorResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::ConfigureMonitor(
    ::orv::rpc::CallContext&, const ConfigureMonitorRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<ConfigureMonitorResponseMsg>>&
        call) {
  Unimplemented(call);
}

void Tarnix::Service::GetTransactionLog(
    ::orv::rpc::CallContext&, const GetTransactionLogsRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetTransactionLogsResponseMsg>>&
        call) {
  Unimplemented(call);
}

void Tarnix::Service::GetMerkleTree(
    ::orv::rpc::CallContext&, const GetMerkleTreeRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetMerkleTreeResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::ConfigureWorkflowTracer(
    ::orv::rpc::CallContext&, const ConfigureWorkflowTracerRequestMsg&,
    const boost::intrusive_ptr<
        ::orv::rpc::CallHandle<ConfigureWorkflowTracerResponseMsg>>& call) {
  Unimplemented(call);
}

void Tarnix::Service::GetWorkflowTracer(
    ::orv::rpc::CallContext&, const GetWorkflowTracerRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetWorkflowTracerResponseMsg>>&
        call) {
  Unimplemented(call);
}

TarnixOps::Service::Service() : ::orv::rpc::Service("caldek.orv.tarnix.TarnixOps") {
  AddUnaryMethod("LoadSchema", &Service::LoadSchema);
  AddUnaryMethod("GetSchema", &Service::GetSchema);
  AddUnaryMethod("GetSchemaVersion", &Service::GetSchemaVersion);
  AddUnaryMethod("GetMetrics", &Service::GetMetrics);
  AddUnaryMethod("AddClientCertificate", &Service::AddClientCertificate);
  AddUnaryMethod("DeleteClientCertificate", &Service::DeleteClientCertificate);
  AddUnaryMethod("GetClientCertificate", &Service::GetClientCertificate);
}

TarnixOps::Service::~Service() = default;

void TarnixOps::Service::LoadSchema(
    ::orv::rpc::CallContext&, const LoadSchemaRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<LoadSchemaResponseMsg>>& call) {
  Unimplemented(call);
}

void TarnixOps::Service::GetSchema(
    ::orv::rpc::CallContext&, const GetSchemaRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetSchemaResponseMsg>>& call) {
  Unimplemented(call);
}

void TarnixOps::Service::GetSchemaVersion(
    ::orv::rpc::CallContext&, const GetSchemaVersionRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetSchemaVersionResponseMsg>>&
        call) {
  Unimplemented(call);
}

void TarnixOps::Service::GetMetrics(
    ::orv::rpc::CallContext&, const GetMetricsRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetMetricsResponseMsg>>& call) {
  Unimplemented(call);
}

void TarnixOps::Service::AddClientCertificate(
    ::orv::rpc::CallContext&, const AddClientCertificateRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<AddClientCertificateResponseMsg>>&
        call) {
  Unimplemented(call);
}

void TarnixOps::Service::DeleteClientCertificate(
    ::orv::rpc::CallContext&, const DeleteClientCertificateRequestMsg&,
    const boost::intrusive_ptr<
        ::orv::rpc::CallHandle<DeleteClientCertificateResponseMsg>>& call) {
  Unimplemented(call);
}

void TarnixOps::Service::GetClientCertificate(
    ::orv::rpc::CallContext&, const GetClientCertificateRequestMsg&,
    const boost::intrusive_ptr<::orv::rpc::CallHandle<GetClientCertificateResponseMsg>>&
        call) {
  Unimplemented(call);
}

}  // namespace tarnix
}  // namespace orv
}  // namespace caldek

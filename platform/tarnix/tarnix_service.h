#ifndef TARNIX_PLATFORM_TARNIX_TARNIX_SERVICE_H_
#define TARNIX_PLATFORM_TARNIX_TARNIX_SERVICE_H_

// Service base classes of caldek.orv.tarnix.Tarnix and TarnixOps on our RPC
// layer: one virtual operation per RPC, but for Tarnix's client-stream write
// RPCs, which the server adds from its write operations' descriptions
// (AddClientStreamMethod); a service that adds none answers them as unknown
// methods. The defaults fail the call with UNIMPLEMENTED. Never link gRPC's
// generated service code (tarnix_proto_grpc) into the same binary: the class
// names are the same.

#include <boost/intrusive_ptr.hpp>

#include "caldek/orv/tarnix/tarnix_service.pb.h"
#include "platform/rpc/service.h"

namespace caldek {
namespace orv {
namespace tarnix {

class Tarnix {
 public:
  class Service : public ::orv::rpc::Service {
   public:
    Service();
    ~Service() override;

    virtual void Get(
        ::orv::rpc::CallContext& context, const GetRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetResponseMsg>>& call);
    virtual void Query(
        ::orv::rpc::CallContext& context, const QueryRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<QueryResponseMsg>>& call);
    virtual void CreateVDb(
        ::orv::rpc::CallContext& context, const CreateVDbRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<CreateVDbResponseMsg>>& call);
    virtual void DeleteVDb(
        ::orv::rpc::CallContext& context, const DeleteVDbRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<DeleteVDbResponseMsg>>& call);
    virtual void GetVDbId(
        ::orv::rpc::CallContext& context, const GetVDbIdRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetVDbIdResponseMsg>>& call);
    virtual void Monitor(
        ::orv::rpc::CallContext& context, const MonitorRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<MonitorResponseMsg>>& call);
    virtual void ConfigureMonitor(
        ::orv::rpc::CallContext& context, const ConfigureMonitorRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<ConfigureMonitorResponseMsg>>&
            call);
    virtual void GetTransactionLog(
        ::orv::rpc::CallContext& context, const GetTransactionLogsRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetTransactionLogsResponseMsg>>&
            call);
    virtual void GetMerkleTree(
        ::orv::rpc::CallContext& context, const GetMerkleTreeRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetMerkleTreeResponseMsg>>&
            call);
    virtual void ConfigureWorkflowTracer(
        ::orv::rpc::CallContext& context,
        const ConfigureWorkflowTracerRequestMsg& request,
        const boost::intrusive_ptr<
            ::orv::rpc::CallHandle<ConfigureWorkflowTracerResponseMsg>>& call);
    virtual void GetWorkflowTracer(
        ::orv::rpc::CallContext& context, const GetWorkflowTracerRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetWorkflowTracerResponseMsg>>&
            call);
  };
};

class TarnixOps {
 public:
  class Service : public ::orv::rpc::Service {
   public:
    Service();
    ~Service() override;

    virtual void LoadSchema(
        ::orv::rpc::CallContext& context, const LoadSchemaRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<LoadSchemaResponseMsg>>& call);
    virtual void GetSchema(
        ::orv::rpc::CallContext& context, const GetSchemaRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetSchemaResponseMsg>>& call);
    virtual void GetSchemaVersion(
        ::orv::rpc::CallContext& context, const GetSchemaVersionRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetSchemaVersionResponseMsg>>&
            call);
    virtual void GetMetrics(
        ::orv::rpc::CallContext& context, const GetMetricsRequestMsg& request,
        const boost::intrusive_ptr<::orv::rpc::CallHandle<GetMetricsResponseMsg>>& call);
    virtual void AddClientCertificate(
        ::orv::rpc::CallContext& context, const AddClientCertificateRequestMsg& request,
        const boost::intrusive_ptr<
            ::orv::rpc::CallHandle<AddClientCertificateResponseMsg>>& call);
    virtual void DeleteClientCertificate(
        ::orv::rpc::CallContext& context,
        const DeleteClientCertificateRequestMsg& request,
        const boost::intrusive_ptr<
            ::orv::rpc::CallHandle<DeleteClientCertificateResponseMsg>>& call);
    virtual void GetClientCertificate(
        ::orv::rpc::CallContext& context, const GetClientCertificateRequestMsg& request,
        const boost::intrusive_ptr<
            ::orv::rpc::CallHandle<GetClientCertificateResponseMsg>>& call);
  };
};

}  // namespace tarnix
}  // namespace orv
}  // namespace caldek

#endif  // TARNIX_PLATFORM_TARNIX_TARNIX_SERVICE_H_

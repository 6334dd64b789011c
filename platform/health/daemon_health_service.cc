#include "platform/health/daemon_health_service.h"

#include <google/protobuf/message.h>

namespace orv {

using grpc::health::v1::HealthCheckRequest;
using grpc::health::v1::HealthCheckResponse;

DaemonHealthService::DaemonHealthService(const google::protobuf::Message& version)
    : rpc::Service("grpc.health.v1.Health"), version_(version.ShortDebugString()) {
  AddUnaryMethod("Check", &DaemonHealthService::Check);
  AddServerStreamMethod("Watch", &DaemonHealthService::Watch);
}

void DaemonHealthService::Check(
    rpc::CallContext&, const HealthCheckRequest&,
    const boost::intrusive_ptr<rpc::CallHandle<HealthCheckResponse>>& call) {
  HealthCheckResponse response;
  response.set_status(HealthCheckResponse::SERVING);
  call->Respond(response);
}

// Sends the status once; the stream stays open until the client leaves or
// the server stops.
void DaemonHealthService::Watch(
    rpc::CallContext&, const HealthCheckRequest&,
    const boost::intrusive_ptr<rpc::CallHandle<HealthCheckResponse>>& call) {
  HealthCheckResponse response;
  response.set_status(HealthCheckResponse::SERVING);
  call->Write(response);
}

}  // namespace orv

#include "platform/health/daemon_health_service.h"

#include <google/protobuf/message.h>

#include <algorithm>

namespace orv {

using grpc::health::v1::HealthCheckRequest;

DaemonHealthService::DaemonHealthService(const google::protobuf::Message& version)
    : rpc::Service("grpc.health.v1.Health"), version_(version.ShortDebugString()) {
  AddUnaryMethod("Check", &DaemonHealthService::Check);
  AddServerStreamMethod("Watch", &DaemonHealthService::Watch);
}

DaemonHealthService::Response::ServingStatus DaemonHealthService::StatusOf(
    const std::string& service) const {
  if (services_.count(service) == 0) return Response::SERVICE_UNKNOWN;
  return serving_ ? Response::SERVING : Response::NOT_SERVING;
}

void DaemonHealthService::Check(rpc::CallContext&, const HealthCheckRequest& request,
                                const Handle& call) {
  Response response;
  response.set_status(StatusOf(request.service()));
  if (response.status() == Response::SERVICE_UNKNOWN) {
    call->Fail(rpc::NOT_FOUND("Unknown service " + request.service()));
    return;
  }
  call->Respond(response);
}

void DaemonHealthService::Watch(rpc::CallContext& context,
                                const HealthCheckRequest& request, const Handle& call) {
  Response response;
  response.set_status(StatusOf(request.service()));
  call->Write(response);
  watchers_.push_back({call, request.service()});
  rpc::ServerCall* ended = call.get();
  context.set_completion_callback([this, ended](const rpc::Status&) {
    watchers_.erase(std::remove_if(watchers_.begin(), watchers_.end(),
                                   [ended](const Watcher& w) { return w.call == ended; }),
                    watchers_.end());
  });
}

void DaemonHealthService::OnServerStarted(const std::vector<std::string>& service_names) {
  services_.insert(service_names.begin(), service_names.end());
}

void DaemonHealthService::OnServerStopping() {
  serving_ = false;
  for (const Watcher& watcher : watchers_) {
    Response response;
    response.set_status(StatusOf(watcher.service));
    if (response.status() == Response::NOT_SERVING) watcher.call->Write(response);
  }
}

}  // namespace orv

// The ConfigureWorkflowTracer and GetWorkflowTracer handlers of the data
// service.

#include <string>

#include "logging/logger.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

void TarnixServer::ConfigureWorkflowTracer(
    orv::rpc::CallContext& context, const tx::ConfigureWorkflowTracerRequestMsg& request,
    const CallPtr<tx::ConfigureWorkflowTracerResponseMsg>& call) {
  const orv::rpc::AppStatus authenticated =
      Authenticate(context, "ConfigureWorkflowTracer", MissingClientId::kInvalidArgument);
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  const WorkflowTracerConfig::Message& config = request.config();
  TARNIX_LOG(orv::INFO, nullptr, "ConfigureWorkflowTracer: Client ID=%s %s",
             context.client_id().c_str(), config.ShortDebugString().c_str());
  const Status stored = wft_config_.Store(db_access_, config);
  if (!stored.ok()) {
    if (stored.code() == Status::kInvalidArgument) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0011", "ConfigureWorkflowTracer failed: %s",
                 stored.message().c_str());
    }
    call->Fail(ToAppStatus(stored));
    return;
  }
  wft_config_.InitWorkflowTracer();
  call->Respond(tx::ConfigureWorkflowTracerResponseMsg());
}

void TarnixServer::GetWorkflowTracer(orv::rpc::CallContext& context,
                                     const tx::GetWorkflowTracerRequestMsg& /*request*/,
                                     const CallPtr<tx::GetWorkflowTracerResponseMsg>& call) {
  const orv::rpc::AppStatus authenticated =
      Authenticate(context, "GetWorkflowTracer", MissingClientId::kInvalidArgument);
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  TARNIX_LOG(orv::INFO, nullptr, "GetWorkflowTracer: Client ID=%s", context.client_id().c_str());
  tx::GetWorkflowTracerResponseMsg response;
  *response.mutable_config() = wft_config_.config();
  call->Respond(response);
}

}  // namespace tarnix

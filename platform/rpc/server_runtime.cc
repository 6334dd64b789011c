#include "platform/rpc/server_runtime.h"

#include <grpcpp/server_builder.h>

#include <stdexcept>

namespace orv {
namespace rpc {
namespace internal {
namespace {
// Calls requested ahead, so that bursts of new calls do not wait.
constexpr int kPendingAccepts = 16;
}  // namespace

void AcceptTag::OnEvent(bool ok) { runtime->OnAccepted(parts, ok); }

void ServerRuntime::AddService(Service* service) {
  for (const MethodEntry& entry : service->methods()) {
    if (!methods_.emplace(entry.path, &entry).second) {
      throw std::invalid_argument("RPC method registered twice: " + entry.path);
    }
  }
}

void ServerRuntime::StartAccepting() {
  accepting_ = true;
  for (int i = 0; i < kPendingAccepts; ++i) RequestOne();
}

void ServerRuntime::RequestOne() {
  auto* parts = new CallParts;
  parts->accept.runtime = this;
  parts->accept.parts = parts;
  parts->ctx.AsyncNotifyWhenDone(&parts->done);
  generic_service_.RequestCall(&parts->ctx, &parts->stream, cq_, cq_, &parts->accept);
}

void ServerRuntime::OnAccepted(CallParts* parts, bool ok) {
  if (!ok) {
    delete parts;  // the server is shutting down; the call never started
    return;
  }
  if (!accepting_) {
    ServerCall* call = new ServerCall;  // stopping: refuse without a handler
    call->Start(this, parts, nullptr);
    return;
  }
  RequestOne();
  auto it = methods_.find(parts->ctx.method());
  const MethodEntry* entry = it == methods_.end() ? nullptr : it->second;
  ServerCall* call = entry ? entry->create_call() : new ServerCall;
  call->Start(this, parts, entry);
}

}  // namespace internal
}  // namespace rpc
}  // namespace orv

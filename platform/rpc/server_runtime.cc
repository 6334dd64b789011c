#include "platform/rpc/server_runtime.h"

#include <grpcpp/server_builder.h>

#include <cstdio>
#include <stdexcept>

#include "platform/rpc/io_queue.h"

namespace orv {
namespace rpc {
namespace internal {
namespace {
// Calls requested ahead on each queue, so that bursts of new calls do not
// wait.
constexpr int kPendingAccepts = 8;
}  // namespace

void AcceptTag::OnEvent(bool ok) { runtime->OnAccepted(parts, ok); }

void ServerRuntime::AddService(Service* service) {
  for (const MethodEntry& entry : service->methods()) {
    if (!methods_.emplace(entry.path, &entry).second) {
      throw std::invalid_argument("RPC method registered twice: " + entry.path);
    }
  }
  services_.push_back(service);
}

void ServerRuntime::NotifyStarted() {
  std::vector<std::string> names;
  for (const Service* service : services_) names.push_back(service->service_name());
  for (Service* service : services_) service->OnServerStarted(names);
}

void ServerRuntime::StartAccepting() {
  accepting_ = true;
  for (IoQueue* io : queues_) {
    for (int i = 0; i < kPendingAccepts; ++i) RequestOne(io);
  }
}

void ServerRuntime::StopAccepting() {
  if (!accepting_) return;
  accepting_ = false;
  for (Service* service : services_) service->OnServerStopping();
}

void ServerRuntime::SetOverCap(ServerCall* call, bool over) {
  if (over) {
    over_cap_.insert(call);
  } else {
    over_cap_.erase(call);
  }
}

void ServerRuntime::ShedQueuedBytes(ServerCall* queuing) {
  if (queued_bytes_ <= limits_.max_total_bytes) return;
  char why[128];
  snprintf(why, sizeof(why), "all calls together hold more than %zu queued bytes",
           limits_.max_total_bytes);
  while (queued_bytes_ > limits_.max_total_bytes) {
    ServerCall* victim = nullptr;
    for (ServerCall* call : over_cap_) {
      if (victim == nullptr || call->queued_bytes_ > victim->queued_bytes_) victim = call;
    }
    if (victim == nullptr) victim = queuing;
    victim->CancelForBacklog(why);
    if (victim == queuing) return;
  }
}

void ServerRuntime::CancelStalledCalls() {
  if (over_cap_.empty()) return;
  auto now = std::chrono::steady_clock::now();
  std::vector<ServerCall*> stalled;
  for (ServerCall* call : over_cap_) {
    if (now - call->progress_at_ >= limits_.stall_timeout) stalled.push_back(call);
  }
  if (stalled.empty()) return;
  char why[128];
  snprintf(why, sizeof(why), "more than %zu bytes queued for a client that does not read",
           ServerCall::kMaxQueuedBytes);
  for (ServerCall* call : stalled) call->CancelForBacklog(why);
}

void ServerRuntime::RequestOne(IoQueue* io) {
  auto* parts = new CallParts;
  parts->accept.runtime = this;
  parts->accept.parts = parts;
  parts->io = io;
  parts->ctx.AsyncNotifyWhenDone(&parts->done);
  generic_service_.RequestCall(&parts->ctx, &parts->stream, io->cq(), io->cq(),
                               &parts->accept);
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
  RequestOne(parts->io);
  auto it = methods_.find(parts->ctx.method());
  const MethodEntry* entry = it == methods_.end() ? nullptr : it->second;
  ServerCall* call = entry ? entry->create_call() : new ServerCall;
  call->Start(this, parts, entry);
}

}  // namespace internal
}  // namespace rpc
}  // namespace orv

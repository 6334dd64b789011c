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

void MessageTag::OnEvent(bool) { parts->read.call->OnStreamMessage(this); }

void AcceptTag::OnPolled(bool ok, const ToLoop& to_loop) {
  const MethodEntry* method = ok ? runtime->FindMethod(parts->ctx.method()) : nullptr;
  parts->method = method;
  if (method == nullptr || !parts->io->ops_open()) {
    to_loop(this, ok);
    return;
  }
  // A client that never sends its request must not hold up the next call.
  runtime->RequestOne(parts->io);
  parts->replaced = true;
  parts->prefetching = true;
  // A client stream goes to the loop with its first message, or the end of
  // its stream.
  parts->streaming = method->kind == MethodKind::kClientStream;
  parts->accept_turn = runtime->turns();
  parts->stream.Read(&parts->read_buffer, &parts->read);
}

void CallTag::OnPolled(bool ok, const ToLoop& to_loop) {
  if (parts->streaming && which == kRead) {
    OnStreamPolled(ok, to_loop);
    return;
  }
  if (!parts->prefetching) {
    // Once the end went to the loop alone, the last write follows alone.
    if (which == kWrite && parts->finishing && !parts->end_sent) {
      parts->finish_held = true;
      parts->finish_ok = ok;
      if (parts->end_held) to_loop(&parts->done, true);
      return;
    }
    if (which == kDone && !parts->finish_held) {
      if (parts->finishing) {
        parts->end_held = true;
        return;
      }
      parts->end_sent = true;  // the last write, if one starts, was not started yet
    }
    to_loop(this, ok);
    return;
  }
  if (which == kDone) {
    parts->done_held = true;  // the call reaches the loop first
    return;
  }
  parts->read_ok[parts->polled_reads++] = ok;
  if (ok && parts->polled_reads == 1) {
    grpc::ByteBuffer first;
    first.Swap(&parts->read_buffer);
    const bool more = parts->io->ops_open();
    if (more) parts->stream.Read(&parts->read_buffer, &parts->read);  // the end of stream
    parts->request = parts->method->parse(&first);
    if (more) return;
  }
  parts->prefetching = false;
  to_loop(&parts->accept, true);
  if (parts->done_held) {
    parts->end_sent = true;
    to_loop(&parts->done, true);
  }
}

void CallTag::OnStreamPolled(bool ok, const ToLoop& to_loop) {
  const bool first = parts->prefetching;
  if (first) {
    parts->prefetching = false;
    to_loop(&parts->accept, true);
  }
  DeliverStreamRead(ok, to_loop);
  if (first && parts->done_held) {
    parts->end_sent = true;
    to_loop(&parts->done, true);
  }
}

void CallTag::DeliverStreamRead(bool ok, const ToLoop& to_loop) {
  if (!ok) {
    to_loop(this, false);  // the end of the stream: no more reads
    return;
  }
  auto* tag = new MessageTag;
  tag->parts = parts;
  tag->bytes = parts->read_buffer.Length();
  tag->message = parts->method->parse(&parts->read_buffer);
  if (tag->message != nullptr && parts->method->prepare) {
    tag->extra = parts->method->prepare(*tag->message);
  }
  const size_t held = parts->read_ahead.fetch_add(tag->bytes) + tag->bytes;
  tag->last = held > ServerCall::kMaxReadAheadBytes || !parts->io->ops_open();
  if (!tag->last) parts->stream.Read(&parts->read_buffer, &parts->read);
  to_loop(tag, true);
}

const MethodEntry* ServerRuntime::FindMethod(const std::string& path) const {
  auto it = methods_.find(path);
  return it == methods_.end() ? nullptr : it->second;
}

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
  stop_turn_ = turns();
  for (Service* service : services_) service->OnServerStopping();
}

bool ServerRuntime::AnswersPending() const {
  for (const Service* service : services_) {
    if (service->AnswersPending()) return true;
  }
  return false;
}

void ServerRuntime::SetOverCap(ServerCall* call, bool over) {
  if (over) {
    over_cap_.insert(call);
  } else {
    over_cap_.erase(call);
  }
}

void ServerRuntime::DeferWrites(ServerCall* call) {
  call->AddRef();
  deferred_writes_.push_back(call);
}

void ServerRuntime::PumpDeferredWrites() {
  std::vector<ServerCall*> calls;
  calls.swap(deferred_writes_);
  for (ServerCall* call : calls) {
    call->writes_deferred_ = false;
    call->PumpWrites();
    call->Release();  // may delete the call
  }
}

void ServerRuntime::ShedQueuedBytes(ServerCall* queuing) {
  if (queued_bytes_ <= limits_.max_total_bytes) return;
  char why[128];
  snprintf(why, sizeof(why), "all calls together hold more than %zu queued bytes",
           limits_.max_total_bytes);
  // Only calls over their own cap: one under it is a reader keeping up,
  // however much the others hold.
  while (queued_bytes_ > limits_.max_total_bytes) {
    ServerCall* victim = nullptr;
    for (ServerCall* call : over_cap_) {
      if (victim == nullptr || call->queued_bytes_ > victim->queued_bytes_) victim = call;
    }
    if (victim == nullptr) return;
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
  for (ServerCall* call : stalled) {
    char why[128];
    snprintf(why, sizeof(why), "more than %zu bytes queued for a client that does not read",
             call->queue_cap_);
    call->CancelForBacklog(why);
  }
}

void ServerRuntime::RequestOne(IoQueue* io) {
  auto* parts = new CallParts;
  parts->accept.runtime = this;
  parts->accept.parts = parts;
  parts->io = io;
  for (CallTag* tag : {&parts->read, &parts->write, &parts->done}) tag->parts = parts;
  // Set before any event: the I/O thread tells the tags apart from the start.
  parts->read.which = CallTag::kRead;
  parts->write.which = CallTag::kWrite;
  parts->done.which = CallTag::kDone;
  parts->ctx.AsyncNotifyWhenDone(&parts->done);
  generic_service_.RequestCall(&parts->ctx, &parts->stream, io->cq(), io->cq(),
                               &parts->accept);
}

void ServerRuntime::OnAccepted(CallParts* parts, bool ok) {
  if (!ok) {
    delete parts;  // the server is shutting down; the call never started
    return;
  }
  // A stream held for its first message counts as come when it was
  // accepted; a unary call only once its request is there.
  const bool came_running =
      parts->streaming && parts->accept_turn < stop_turn_ && operations_open_;
  if (!accepting_ && !came_running) {
    // Stopping: refuse without a handler, and go on accepting so that every
    // call that comes meanwhile is refused at once.
    if (!parts->replaced && operations_open_) RequestOne(parts->io);
    ServerCall* call = new ServerCall;
    call->Start(this, parts, nullptr);
    return;
  }
  if (!parts->replaced) RequestOne(parts->io);
  const MethodEntry* entry = FindMethod(parts->ctx.method());
  ServerCall* call = entry ? entry->create_call() : new ServerCall;
  call->Start(this, parts, entry);
}

}  // namespace internal
}  // namespace rpc
}  // namespace orv

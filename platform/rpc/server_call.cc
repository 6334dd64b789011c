#include <grpc/grpc.h>
#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/support/status.h>

#include <exception>

#include "platform/rpc/call.h"
#include "platform/rpc/io_queue.h"
#include "platform/rpc/server_runtime.h"
#include "platform/util/library_log.h"

namespace orv {
namespace rpc {

struct ServerCall::PendingWrite {
  grpc::ByteBuffer buffer;
  bool has_message = false;
  bool terminal = false;
};

ServerCall::~ServerCall() = default;

void ServerCall::WriteQueueDeleter::operator()(std::deque<PendingWrite>* queue) const {
  delete queue;
}

template <class Fn>
void ServerCall::Guard(const char* what, Fn&& fn) {
  const char* error = nullptr;
  std::string text;
  try {
    fn();
    return;
  } catch (const std::exception& e) {
    text = e.what();
    error = text.c_str();
  } catch (...) {
    error = "unknown exception";
  }
  PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
               "Exception in %s of %s: %s", what, context_.method_.c_str(), error);
  if (is_open()) Fail(INTERNAL("Internal error"));
}

void ServerCall::Start(internal::ServerRuntime* runtime, internal::CallParts* parts,
                       const internal::MethodEntry* method) {
  AddRef();  // held by the framework until the call has ended
  runtime_ = runtime;
  parts_ = parts;
  method_ = method;
  for (internal::CallTag* tag : {&parts->read, &parts->write, &parts->done}) {
    tag->call = this;
  }

  context_.method_ = parts->ctx.method();
  const auto& metadata = parts->ctx.client_metadata();
  auto id = metadata.find("client-id");
  if (id != metadata.end())
    context_.client_id_.assign(id->second.data(), id->second.size());
  std::shared_ptr<const grpc::AuthContext> auth = parts->ctx.auth_context();
  if (auth) context_.peer_ = net::PeerAuthentication::FromAuthContext(*auth);
  // The I/O thread reads a client stream from the accept on, whatever the
  // loop makes of the call; the call ends after its reads.
  reading_done_ = !parts->streaming;

  if (method == nullptr) {
    Fail(runtime->accepting() ? UNIMPLEMENTED("Unknown method " + context_.method_)
                              : AppStatus(kUnavailable, "Server is shutting down"));
    return;
  }
  if (method->kind == internal::MethodKind::kClientStream) {
    Guard("handler", [this] { observer_ = method_->open(this); });
    if (observer_ == nullptr) {
      if (is_open()) Fail(UNIMPLEMENTED("Method not implemented"));
    }
    return;
  }
  ResumeRequestReads();
}

void ServerCall::ResumeRequestReads() {
  const int reads = parts_->polled_reads;
  if (reads == 0) {
    StartRead();
    return;
  }
  if (!parts_->read_ok[0]) {
    OnRequestRead(false);
    return;
  }
  request_read_ = true;  // the I/O thread moved the message into `request`
  if (reads == 1) {
    StartRead();
    return;
  }
  OnRequestRead(parts_->read_ok[1]);
}

void ServerCall::StartRead() {
  if (closed_ || !runtime_->operations_open()) return;
  read_in_flight_ = true;
  parts_->stream.Read(&parts_->read_buffer, &parts_->read);
}

void ServerCall::OnEvent(int which, bool ok) {
  switch (which) {
    case internal::CallTag::kRead:
      read_in_flight_ = false;
      if (parts_->streaming) {
        OnStreamEnd();
      } else {
        OnRequestRead(ok);
      }
      break;
    case internal::CallTag::kWrite:
      OnWriteDone(ok);
      break;
    default:
      if (parts_->finish_held) OnWriteDone(parts_->finish_ok);  // it came with the end
      OnDone();
      break;
  }
  MaybeEnd();
}

// The handler runs once the client has ended its stream after exactly one
// message, as other gRPC servers require.
void ServerCall::OnRequestRead(bool ok) {
  if (!request_read_) {
    if (!ok) {
      if (is_open()) Fail(INTERNAL("Missing request message"));
      return;
    }
    request_read_ = true;
    parts_->request = method_->parse(&parts_->read_buffer);
    StartRead();
    return;
  }
  if (ok) {
    parts_->read_buffer.Clear();
    parts_->request.reset();
    if (is_open()) Fail(INTERNAL("Too many requests"));
    return;
  }
  // Once the queue is closing the call has been cancelled: no handler starts.
  if (!is_open() || !runtime_->operations_open()) return;
  if (parts_->request == nullptr) {
    Fail(INVALID_ARGUMENT("Request message does not parse"));
    return;
  }
  Guard("handler", [this] { method_->invoke(this, *parts_->request); });
}

void ServerCall::OnStreamMessage(internal::MessageTag* tag) {
  parts_->read_ahead.fetch_sub(tag->bytes);
  if (observer_ != nullptr && is_open()) {  // else the server has ended the call
    if (tag->message == nullptr) {
      Fail(INVALID_ARGUMENT("Request message does not parse"));
    } else {
      Guard("OnMessage", [this, tag] { 
        method_->deliver(observer_, tag->message.get(), std::move(tag->extra));
      });
    }
  }
  if (tag->last) {
    // The I/O thread stopped reading after this message and the loop has
    // taken all it read: read on, or end the reads here when no more
    // message would be delivered.
    if (closed_ || !runtime_->operations_open()) {
      OnStreamEnd();
    } else {
      internal::CallParts* parts = parts_;
      parts->io->Submit(
          [parts] { parts->stream.Read(&parts->read_buffer, &parts->read); });
    }
  }
  delete tag;
  MaybeEnd();
}

void ServerCall::OnStreamEnd() {
  if (reading_done_) return;
  reading_done_ = true;
  Status status;
  // The I/O thread may have read the whole stream before the client
  // cancelled: once it has polled the cancellation, the upload is void.
  if (terminal_issued_) {
    status = sent_status_.ok() ? Status(kCancelled, "Call already ended by the server")
                               : sent_status_;
  } else if (closed_ || cancelled_ || !runtime_->operations_open() ||
             grpc_call_failed_before_recv_message(parts_->ctx.c_call()) ||
             parts_->ctx.IsCancelled()) {
    status = Status(kCancelled, "Call cancelled or connection lost");
  }
  if (observer_ == nullptr) return;
  Guard("OnComplete", [this, &status] { observer_->OnComplete(status); });
}

void ServerCall::WriteMessage(const google::protobuf::Message& message) {
  Enqueue(&message, false, Status());
}

void ServerCall::RespondMessage(const google::protobuf::Message& message) {
  Enqueue(&message, true, Status());
}

void ServerCall::Finish() { Enqueue(nullptr, true, Status()); }

void ServerCall::Fail(const AppStatus& status) {
  Enqueue(nullptr, true, Status(status.code(), status.message()));
}

bool ServerCall::MayEnqueue() {
  if (!is_open()) return false;
  if (runtime_ == nullptr || !runtime_->operations_open()) {
    Close();
    return false;
  }
  return true;
}

void ServerCall::WriteSerialized(const SerializedMessage& message) {
  if (!MayEnqueue()) return;
  if (!message.ok()) {
    FailUnserializable();
    return;
  }
  PendingWrite write;
  write.buffer = *message.buffer_;  // shares the slices
  write.has_message = true;
  EnqueueWrite(std::move(write));
}

void ServerCall::Enqueue(const google::protobuf::Message* message, bool terminal,
                         const Status& status) {
  if (!MayEnqueue()) return;
  PendingWrite write;
  if (message != nullptr) {
    bool own = false;
    grpc::Status serialized =
        grpc::SerializationTraits<google::protobuf::Message>::Serialize(
            *message, &write.buffer, &own);
    if (!serialized.ok()) {
      FailUnserializable();
      return;
    }
    write.has_message = true;
  }
  if (terminal) {
    write.terminal = true;
    terminal_issued_ = true;
    sent_status_ = status;
  }
  EnqueueWrite(std::move(write));
}

void ServerCall::FailUnserializable() {
  PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
               "Cannot serialise a response of %s", context_.method_.c_str());
  Enqueue(nullptr, true, Status(kInternal, "Response does not serialise"));
}

void ServerCall::EnqueueWrite(PendingWrite write) {
  size_t bytes = write.buffer.Length();
  if (!writes_) writes_.reset(new std::deque<PendingWrite>);
  writes_->push_back(std::move(write));
  AddQueuedBytes(bytes);
  runtime_->ShedQueuedBytes(this);
  if (!write_in_flight_ && !writes_deferred_) {
    writes_deferred_ = true;
    runtime_->DeferWrites(this);
  }
}

void ServerCall::AddQueuedBytes(size_t bytes) {
  queued_bytes_ += bytes;
  runtime_->AddQueuedBytes(bytes);
  if (!over_cap_ && queued_bytes_ > queue_cap_) {
    over_cap_ = true;
    progress_at_ = std::chrono::steady_clock::now();
    runtime_->SetOverCap(this, true);
  }
}

void ServerCall::RemoveQueuedBytes(size_t bytes) {
  queued_bytes_ -= bytes;
  if (runtime_ == nullptr) return;
  runtime_->RemoveQueuedBytes(bytes);
  if (over_cap_ && queued_bytes_ <= queue_cap_) {
    over_cap_ = false;
    runtime_->SetOverCap(this, false);
  }
}

void ServerCall::CancelForBacklog(const char* why) {
  PLATFORM_LOG(::orv::rpc::library_log_level, orv::WARNING, nullptr, "Cancelling %s: %s",
               context_.method_.c_str(), why);
  parts_->ctx.TryCancel();
  Close();
}

void ServerCall::PumpWrites() {
  if (write_in_flight_ || closed_ || !writes_ || writes_->empty()) return;
  if (!runtime_->operations_open()) {
    Close();
    return;
  }
  PendingWrite& front = writes_->front();
  in_flight_bytes_ = front.buffer.Length();
  write_in_flight_ = true;
  grpc::Status final_status(static_cast<grpc::StatusCode>(sent_status_.code()),
                            sent_status_.message());
  bool merge = !front.terminal && front.has_message && writes_->size() == 2 &&
               writes_->back().terminal && !writes_->back().has_message;
  // The I/O thread of the call sends; the parts outlive the write, which
  // stays in flight until its completion reaches the loop.
  internal::CallParts* parts = parts_;
  if (front.terminal || merge) {
    finish_in_flight_ = true;
    if (front.has_message) {
      parts->io->Submit([parts, buffer = front.buffer, final_status] {
        parts->finishing = true;
        parts->stream.WriteAndFinish(buffer, grpc::WriteOptions(), final_status,
                                     &parts->write);
      });
    } else {
      parts->io->Submit([parts, final_status] {
        parts->finishing = true;
        parts->stream.Finish(final_status, &parts->write);
      });
    }
    writes_->clear();
    return;
  }
  grpc::WriteOptions options;
  // More follow: the transport may hold this one back for them. Never the
  // first write of a call, whose completion waits for the held bytes (and the
  // headers) to be flushed, which only a later write would do.
  if (writes_->size() > 1 && message_sent_) options.set_buffer_hint();
  message_sent_ = true;
  parts->io->Submit([parts, buffer = front.buffer, options] {
    parts->stream.Write(buffer, options, &parts->write);
  });
  writes_->pop_front();
}

void ServerCall::OnWriteDone(bool ok) {
  write_in_flight_ = false;
  RemoveQueuedBytes(in_flight_bytes_);
  in_flight_bytes_ = 0;
  if (ok) progress_at_ = std::chrono::steady_clock::now();
  if (finish_in_flight_) {
    finish_in_flight_ = false;
    finish_ok_ = ok;
    Close();
    return;
  }
  if (!ok) {
    Close();  // the client is gone
    return;
  }
  PumpWrites();
  if (drain_callback_ && is_open() && queued_bytes_ <= drain_low_water_) {
    // A copy: the callback may replace itself.
    std::function<void()> callback = drain_callback_;
    Guard("drain callback", callback);
  }
}

void ServerCall::OnDone() {
  done_ = true;
  cancelled_ = parts_->ctx.IsCancelled();
  if (cancelled_ && !finish_ok_) Close();
}

// The write in flight stays counted until gRPC gives its buffer back.
void ServerCall::Close() {
  closed_ = true;
  if (writes_) writes_->clear();
  RemoveQueuedBytes(queued_bytes_ - in_flight_bytes_);
  // A write still in flight keeps its bytes counted until it completes, but
  // a closed call is no one's to cancel or shed again.
  if (over_cap_ && runtime_ != nullptr) {
    over_cap_ = false;
    runtime_->SetOverCap(this, false);
  }
}

void ServerCall::MaybeEnd() {
  if (ended_ || !done_ || read_in_flight_ || write_in_flight_ || !reading_done_) return;
  ended_ = true;
  Close();
  drain_callback_ = nullptr;  // it may hold this call
  Status status =
      finish_ok_ ? sent_status_ : Status(kCancelled, "Call cancelled or connection lost");
  CallContext::CompletionCallback callback = std::move(context_.completion_callback_);
  context_.completion_callback_ = nullptr;
  if (callback) Guard("completion callback", [&] { callback(status); });
  if (observer_ != nullptr) {
    CallObserverBase* observer = observer_;
    observer_ = nullptr;
    Guard("OnRelease", [observer] { observer->OnRelease(); });
  }
  // Tearing down the gRPC objects is the I/O thread's work, unless it no
  // longer takes any; it waits for the thread's next wake-up.
  internal::CallParts* parts = parts_;
  if (runtime_->operations_open()) {
    parts->io->SubmitUnhurried([parts] { delete parts; });
  } else {
    delete parts;
  }
  parts_ = nullptr;
  runtime_ = nullptr;
  Release();  // may delete this
}

}  // namespace rpc
}  // namespace orv

#ifndef TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_
#define TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/server_context.h>
#include <grpcpp/support/byte_buffer.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/rpc/service.h"

namespace orv {
namespace rpc {
namespace internal {

class IoQueue;

// Anything that waits in the completion queue. OnPolled runs on the I/O
// thread that polled the event and hands it (or others) to the loop through
// `to_loop`; OnEvent runs on the loop thread.
class CompletionTag {
 public:
  using ToLoop = std::function<void(CompletionTag* tag, bool ok)>;
  virtual void OnPolled(bool ok, const ToLoop& to_loop) { to_loop(this, ok); }
  virtual void OnEvent(bool ok) = 0;

 protected:
  ~CompletionTag() = default;
};

// Unary and server-stream calls read their request on the I/O thread before
// the loop hears of the call: the loop gets the accepted call with its
// request, and the read round trips stay off it. Client streams read on the
// I/O thread from the accept on: the call reaches the loop with its first
// message, each message goes to the loop parsed, in a MessageTag of its
// own, and the end of the stream as the read tag.
struct CallTag final : CompletionTag {
  enum Which { kRead, kWrite, kDone };
  ServerCall* call = nullptr;
  CallParts* parts = nullptr;
  Which which = kRead;
  void OnPolled(bool ok, const ToLoop& to_loop) override;
  void OnEvent(bool ok) override { call->OnEvent(which, ok); }

 private:
  void OnStreamPolled(bool ok, const ToLoop& to_loop);
  void DeliverStreamRead(bool ok, const ToLoop& to_loop);
};

// One client-stream message read and parsed on the I/O thread, on its way
// to the loop, which deletes it.
struct MessageTag final : CompletionTag {
  CallParts* parts = nullptr;
  std::unique_ptr<google::protobuf::Message> message;  // null: does not parse
  std::unique_ptr<RequestExtra> extra;                 // the method's preparer made it
  size_t bytes = 0;   // counted in the call's read-ahead
  bool last = false;  // the I/O thread stopped reading after this one
  void OnEvent(bool ok) override;
};

struct AcceptTag final : CompletionTag {
  ServerRuntime* runtime = nullptr;
  CallParts* parts = nullptr;
  void OnPolled(bool ok, const ToLoop& to_loop) override;
  void OnEvent(bool ok) override;
};

// How many calls' gRPC objects exist: those requested and not yet
// accepted, and those not yet torn down.
inline std::atomic<size_t> live_call_parts{0};

// The gRPC objects of one call; freed once every operation has completed.
struct CallParts {
  CallParts() { live_call_parts.fetch_add(1, std::memory_order_relaxed); }
  ~CallParts() { live_call_parts.fetch_sub(1, std::memory_order_relaxed); }

  grpc::GenericServerContext ctx;
  grpc::GenericServerAsyncReaderWriter stream{&ctx};
  grpc::ByteBuffer read_buffer;
  const MethodEntry* method = nullptr;  // set on the I/O thread at the accept
  // Unary and server stream: the one request, parsed on the I/O thread (null
  // when it does not parse).
  std::unique_ptr<google::protobuf::Message> request;
  AcceptTag accept;
  CallTag read, write, done;
  IoQueue* io = nullptr;  // the queue every event of the call comes from
  // The request reads done on the I/O thread (I/O thread only until the
  // accept reaches the loop): how many completed and with what result. The
  // first message, when there is one, is in `request`.
  bool prefetching = false;
  bool replaced = false;   // the next call was requested on the I/O thread
  bool done_held = false;  // the end of the call came while prefetching
  int polled_reads = 0;
  bool read_ok[2] = {false, false};
  // The last write (with the status) and the end of the call reach the loop
  // as one event: whichever the I/O thread polls first waits for the other.
  // I/O thread only, except that the loop reads finish_held and finish_ok
  // with the end of the call.
  bool finishing = false;    // the last write was started
  bool finish_held = false;  // ... and has completed, with finish_ok
  bool finish_ok = false;
  bool end_held = false;     // the end of the call came before it
  bool end_sent = false;     // the end went to the loop before the last write started
  // Client stream: the I/O thread reads from the accept until the stream
  // ends, or pauses when the loop has fallen behind by more than
  // ServerCall::kMaxReadAheadBytes; the loop resumes it.
  bool streaming = false;
  uint64_t accept_turn = 0;  // ServerRuntime::turns() when it was accepted
  std::atomic<size_t> read_ahead{0};  // bytes read, not yet delivered
};

// How much unsent response data the server holds before it cancels calls.
struct QueueLimits {
  // Bytes queued for all calls together.
  size_t max_total_bytes = 0;
  // How long a call over its cap (ServerCall::kMaxQueuedBytes unless set)
  // may go without the transport taking any of its writes.
  std::chrono::milliseconds stall_timeout{0};
};

// Accepts calls from the generic service and dispatches them by method name.
// Calls are spread over the I/O queues; each call's events come from one.
// Every member runs on the loop thread, except where noted.
class ServerRuntime {
 public:
  ServerRuntime(std::vector<IoQueue*> queues, const QueueLimits& limits)
      : queues_(std::move(queues)), limits_(limits) {}

  // Throws std::invalid_argument when a method is registered twice.
  void AddService(Service* service);
  grpc::AsyncGenericService* generic_service() { return &generic_service_; }

  // Tells each service the names of all (any thread, before serving).
  void NotifyStarted();
  void StartAccepting();
  // New calls are no longer requested; each service hears that the server
  // is stopping.
  void StopAccepting();
  bool accepting() const { return accepting_; }
  // The loop counts its turns (each take of its queue), so that a call
  // held on its I/O thread is judged as if it had reached the loop at once:
  // refused when the stop began before the turn it would have come in.
  void CountTurn() { turns_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t turns() const { return turns_.load(std::memory_order_relaxed); }  // any thread
  // Whether any service has answers pending (Service::AnswersPending).
  bool AnswersPending() const;
  // No new gRPC operation may start (the queue is about to shut down).
  void CloseOperations() { operations_open_ = false; }
  bool operations_open() const { return operations_open_; }

  void OnAccepted(CallParts* parts, bool ok);
  // The method registered under `path`, or null; any thread once serving.
  const MethodEntry* FindMethod(const std::string& path) const;
  // Requests one more call on `io`; any thread while its queue is open.
  void RequestOne(IoQueue* io);

  // Starts `call`'s queued writes at the end of the loop turn.
  void DeferWrites(ServerCall* call);
  // Starts the writes deferred during the turn, in the order deferred.
  void PumpDeferredWrites();

  // Bytes queued by all calls and not yet taken by the transport.
  void AddQueuedBytes(size_t bytes) { queued_bytes_ += bytes; }
  void RemoveQueuedBytes(size_t bytes) { queued_bytes_ -= bytes; }
  // Records whether `call` holds more than its cap (and is open).
  void SetOverCap(ServerCall* call, bool over);
  // While all calls together hold more than the limit, cancels the call
  // over its own cap with the most bytes queued; calls under their caps are
  // left alone. Stops once `queuing` was cancelled.
  void ShedQueuedBytes(ServerCall* queuing);
  // Cancels every call over the cap whose transport took nothing for the
  // stall timeout. Cheap when no call is over the cap.
  void CancelStalledCalls();

 private:

  std::vector<IoQueue*> queues_;
  const QueueLimits limits_;
  grpc::AsyncGenericService generic_service_;
  std::vector<Service*> services_;
  std::unordered_map<std::string, const MethodEntry*> methods_;
  std::unordered_set<ServerCall*> over_cap_;
  std::vector<ServerCall*> deferred_writes_;  // each holds a reference
  size_t queued_bytes_ = 0;
  bool accepting_ = false;
  std::atomic<uint64_t> turns_{0};
  uint64_t stop_turn_ = 0;  // turns() when the stop began
  bool operations_open_ = true;
};

}  // namespace internal
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_

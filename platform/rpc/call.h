#ifndef TARNIX_PLATFORM_RPC_CALL_H_
#define TARNIX_PLATFORM_RPC_CALL_H_

#include <boost/intrusive_ptr.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/net/peer_authentication.h"
#include "platform/rpc/serialized_message.h"
#include "platform/rpc/status.h"
#include "platform/util/ref_counted.h"

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace orv {
namespace rpc {

namespace internal {
struct CallParts;
struct CallTag;
struct MessageTag;
struct MethodEntry;
class ServerRuntime;
}  // namespace internal

// What a handler knows about its call besides the request.
class CallContext {
 public:
  using CompletionCallback = std::function<void(const Status&)>;

  // gRPC metadata "client-id"; empty when the client sent none.
  const std::string& client_id() const { return client_id_; }
  const net::PeerAuthentication& peer_authentication() const { return peer_; }
  const std::string& method() const { return method_; }

  // Called once, after the call has ended, with the status sent to the client,
  // or a non-OK code when the client cancelled or the connection broke.
  void set_completion_callback(CompletionCallback callback) {
    completion_callback_ = std::move(callback);
  }

 private:
  friend class ServerCall;
  std::string client_id_;
  std::string method_;
  net::PeerAuthentication peer_;
  CompletionCallback completion_callback_;
};

class CallObserverBase;

// One server-side call. Operations run on the event-loop thread; none calls
// back synchronously, and after a terminal one (Respond, Finish, Fail, or the
// end of the call) every further one is a no-op.
class ServerCall : public RefCounted {
 public:
  ~ServerCall() override;

  // Queues one message; the message is serialised now and not retained.
  void WriteMessage(const google::protobuf::Message& message);
  // Queues one message serialised before, sharing its bytes.
  void WriteSerialized(const SerializedMessage& message);
  // Queues the one response and then OK.
  void RespondMessage(const google::protobuf::Message& message);
  // Ends the call with OK after every queued write.
  void Finish();
  // Ends the call with `status` after every queued write.
  void Fail(const AppStatus& status);

  // True until a terminal operation was issued or the call ended.
  bool is_open() const { return !terminal_issued_ && !closed_; }
  // Bytes of queued writes the transport has not taken yet.
  size_t queued_bytes() const { return queued_bytes_; }
  // This call's cap in place of kMaxQueuedBytes: a writer that never holds
  // much more queued gets the stall rule at its own size.
  void set_queue_cap(size_t cap) { queue_cap_ = cap; }
  size_t queue_cap() const { return queue_cap_; }
  // Calls `callback` on the loop each time the transport has taken a write
  // and at most `low_water` bytes stay queued, while the call is open; the
  // call drops it when it ends. A writer that makes its messages as the
  // client reads them writes from it.
  void set_drain_callback(size_t low_water, std::function<void()> callback) {
    drain_low_water_ = low_water;
    drain_callback_ = std::move(callback);
  }
  CallContext& context() { return context_; }

  // Any amount may be queued at once. A call whose queue holds more than this
  // many bytes (or its own set_queue_cap) is cancelled (a reader that
  // stopped) when the transport takes none of them for the provider's
  // stalled-reader timeout. Once all calls together hold more than the
  // provider's limit, the calls over their cap are cancelled, largest first;
  // a call under its cap is never shed, so each call holds at most its cap
  // beyond that limit.
  static constexpr size_t kMaxQueuedBytes = size_t{64} << 20;
  // Client stream: the I/O thread stops reading once it holds more than
  // this many bytes of messages the loop has not taken yet, and goes on when
  // the loop has taken them all; transport flow control holds the client
  // back meanwhile. A single larger message is still read whole.
  static constexpr size_t kMaxReadAheadBytes = size_t{4} << 20;

 protected:
  ServerCall() = default;

 private:
  friend class internal::ServerRuntime;
  friend struct internal::CallTag;
  friend struct internal::MessageTag;
  struct PendingWrite;
  struct WriteQueueDeleter {
    void operator()(std::deque<PendingWrite>* queue) const;
  };

  void Start(internal::ServerRuntime* runtime, internal::CallParts* parts,
             const internal::MethodEntry* method);
  void OnEvent(int which, bool ok);
  // Unary and server stream: goes on from the request reads the I/O thread
  // did before the call reached the loop.
  void ResumeRequestReads();
  void StartRead();
  void OnRequestRead(bool ok);
  // Client stream: one message the I/O thread read ahead; the end of the
  // stream, or of reading it.
  void OnStreamMessage(internal::MessageTag* tag);
  void OnStreamEnd();
  void OnWriteDone(bool ok);
  void OnDone();
  void Enqueue(const google::protobuf::Message* message, bool terminal,
               const Status& status);
  // False, closing the call when the runtime has stopped, when nothing
  // may be queued any more.
  bool MayEnqueue();
  // Queues `write`, whose buffer holds the message if any.
  void EnqueueWrite(PendingWrite write);
  // Ends the call with INTERNAL for a response that does not serialise.
  void FailUnserializable();
  // Count bytes into and out of this call's queue and the runtime's total.
  void AddQueuedBytes(size_t bytes);
  void RemoveQueuedBytes(size_t bytes);
  // Ends the call for holding too many queued bytes; `why` goes to the log.
  void CancelForBacklog(const char* why);
  void PumpWrites();
  void MaybeEnd();
  void Close();
  template <class Fn>
  void Guard(const char* what, Fn&& fn);

  internal::ServerRuntime* runtime_ = nullptr;
  internal::CallParts* parts_ = nullptr;
  const internal::MethodEntry* method_ = nullptr;
  CallContext context_;
  CallObserverBase* observer_ = nullptr;
  std::unique_ptr<std::deque<PendingWrite>, WriteQueueDeleter> writes_;
  size_t queued_bytes_ = 0;     // queued, not yet taken by the transport
  size_t in_flight_bytes_ = 0;  // of those, the write handed to gRPC
  // Last time the transport took a write, or the queue went over the cap.
  std::chrono::steady_clock::time_point progress_at_;
  bool over_cap_ = false;
  size_t queue_cap_ = kMaxQueuedBytes;
  size_t drain_low_water_ = 0;
  std::function<void()> drain_callback_;
  bool request_read_ = false;  // unary and server stream: the request arrived
  Status sent_status_;
  bool terminal_issued_ = false;  // Respond/Finish/Fail queued
  bool closed_ = false;           // nothing may be sent any more
  bool read_in_flight_ = false;
  bool write_in_flight_ = false;
  bool writes_deferred_ = false;  // PumpWrites runs at the end of the turn
  bool message_sent_ = false;     // a write without the end went to gRPC
  bool finish_in_flight_ = false;
  bool finish_ok_ = false;
  bool reading_done_ = true;  // client stream: the I/O thread's reads ended
  bool done_ = false;         // gRPC reported the end of the call
  bool cancelled_ = false;
  bool ended_ = false;
};

// A call whose responses are of type Resp; shared through intrusive_ptr.
template <class Resp>
class CallHandle : public ServerCall {
 public:
  using Ptr = boost::intrusive_ptr<CallHandle<Resp>>;

  CallHandle<Resp>* call() { return this; }
  void Write(const Resp& message) { WriteMessage(message); }
  void Respond(const Resp& message) { RespondMessage(message); }
  using ServerCall::Fail;
  using ServerCall::Finish;
};

template <class Resp>
using Call = CallHandle<Resp>;

// Receives the messages of a client stream. The framework calls OnMessage
// per message in order, OnComplete once, OnRelease last; after OnRelease it
// never touches the observer (the default OnRelease deletes it). A call the
// server ends (Respond, Finish, Fail) ends without waiting for the client to
// end its stream: later messages are dropped, not delivered.
class CallObserverBase {
 public:
  virtual ~CallObserverBase() = default;
  // Code 0 only when the client ended its stream normally and the server had
  // not ended the call before.
  virtual void OnComplete(const Status& status) = 0;
  virtual void OnRelease() { delete this; }
};

// What a service computed from a request message on the I/O thread that
// parsed it (Service::SetRequestPreparer).
class RequestExtra {
 public:
  virtual ~RequestExtra() = default;
};

template <class Req>
class CallObserver : public CallObserverBase {
 public:
  virtual void OnMessage(const Req& message) = 0;
  // What the framework calls: the message is the framework's own, and an
  // observer that keeps messages may move it instead of copying. `extra` is
  // what the method's preparer made of it (null without one).
  virtual void TakeMessage(Req&& message, std::unique_ptr<RequestExtra> /*extra*/) {
    OnMessage(message);
  }
};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_CALL_H_

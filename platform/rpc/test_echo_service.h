#ifndef TARNIX_PLATFORM_RPC_TEST_ECHO_SERVICE_H_
#define TARNIX_PLATFORM_RPC_TEST_ECHO_SERVICE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rpc/service.h"
#include "platform/testdata/echo.pb.h"

namespace orv {
namespace rpc {
namespace testing {

// Thread-safe record of what the server side saw, for assertions on the
// test thread.
class EventLog {
 public:
  void Add(const std::string& event);
  std::vector<std::string> events() const;
  size_t Count(const std::string& event) const;
  // Waits until `event` was recorded at least `times` times.
  bool WaitFor(const std::string& event, size_t times = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::string> events_;
};

// Hand-written server side of tarnix_test.Echo. Behaviour is chosen by the
// request's `action` (unary, server stream) or by the client id (client
// stream; "log-each" logs "got:<text>" per message, "log-extra" what the
// stream's preparer made of each message on the I/O thread). Every completion callback is recorded as "done:<tag>:<code>".
class EchoTestService : public Service {
 public:
  EchoTestService();

  void Unary(CallContext& context, const tarnix_test::EchoRequest& request,
             const boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>& call);
  void ServerStream(
      CallContext& context, const tarnix_test::EchoRequest& request,
      const boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>& call);
  CallObserver<tarnix_test::EchoRequest>* ClientStream(
      CallContext& context,
      const boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>& call);

  EventLog& log() { return log_; }

  // What AnswersPending says; any thread.
  void set_answers_pending(bool pending) { answers_pending_ = pending; }
  bool AnswersPending() const override { return answers_pending_; }

  // "drain": the server stream writes its `count` messages only while at
  // most this many bytes are queued, the rest as the client reads.
  static constexpr size_t kDrainLowWater = 64 << 10;

  // Held by every handler, observer callback and completion callback while
  // it runs: one taken inside another means a call operation called back
  // synchronously, and is logged "reentered".
  class Scope {
   public:
    explicit Scope(EchoTestService* service);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    EchoTestService* service_;
    bool outer_;
  };
  // Handles kept open by "hold" (loop thread only while serving).
  std::vector<boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>>& held() {
    return held_;
  }
  // Server streams kept open by "feed": each message of the client stream
  // "feeder" writes `count` responses carrying its payload to each of them,
  // one loop turn per message, and its normal end finishes them.
  std::vector<boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>>& feeds() {
    return feeds_;
  }

 private:
  using Handle = boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>;
  void WatchCompletion(CallContext& context, const std::string& tag);
  void DrainStream(const tarnix_test::EchoRequest& request, const Handle& call);

  EventLog log_;
  bool in_scope_ = false;
  std::vector<boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>> held_;
  std::atomic<bool> answers_pending_{false};
  std::vector<boost::intrusive_ptr<CallHandle<tarnix_test::EchoResponse>>> feeds_;
};

}  // namespace testing
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_TEST_ECHO_SERVICE_H_

#ifndef TARNIX_PLATFORM_RPC_IO_QUEUE_H_
#define TARNIX_PLATFORM_RPC_IO_QUEUE_H_

#include <grpcpp/alarm.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/rpc/op_spreader.h"
#include "platform/rpc/server_runtime.h"

namespace grpc {
class ServerCompletionQueue;
}  // namespace grpc

namespace orv {
namespace rpc {
namespace internal {

// One completion queue and the thread that polls it. The thread starts the
// operations the loop submits (sends happen there, not on the loop) and
// hands every completion to `deliver` (through the tag's OnPolled) in the
// order the queue reported it.
// All events of a call come from its one queue, so they reach the loop in
// gRPC's order.
class IoQueue {
 public:
  using Deliver = CompletionTag::ToLoop;

  // `spreader`, when given, starts large batches of ops with helpers.
  explicit IoQueue(grpc::ServerCompletionQueue* cq, OpSpreader* spreader = nullptr)
      : cq_(cq), spreader_(spreader) {}
  IoQueue(const IoQueue&) = delete;
  IoQueue& operator=(const IoQueue&) = delete;

  grpc::ServerCompletionQueue* cq() { return cq_; }
  // False once the queue is shut down: no op may start on it any more.
  // Polling thread only.
  bool ops_open() const { return ops_open_; }

  // Queues `op` to run on the polling thread, in submission order, once
  // Flush wakes it: the loop submits a turn's ops and wakes each thread once.
  // With a spreader, the ops of a large wake-up run on its helpers too, in
  // any order; the wake-up ends when all have run.
  // Ops submitted after Close are dropped. Submit and Flush are called from
  // one thread (the loop).
  void Submit(std::function<void()> op);
  // The same for an op nobody waits for (a teardown): it wakes no thread of
  // its own but rides on the next wake-up, or on the Flush of an idle loop,
  // or of any loop once kMaxUnhurried of them wait.
  void SubmitUnhurried(std::function<void()> op);
  // Wakes the polling thread for the ops submitted since the last Flush;
  // `idle` (the loop has nothing else to do) also for unhurried ones.
  void Flush(bool idle);
  // Shuts the queue down after every op submitted before; Poll then returns
  // once gRPC has drained it.
  void Close();
  // The polling loop; returns when the queue is shut down and drained.
  void Poll(const Deliver& deliver);

 private:
  struct WakeTag final : CompletionTag {
    void OnEvent(bool) override {}
  };
  void RunSubmitted();

  grpc::ServerCompletionQueue* cq_;
  OpSpreader* const spreader_;
  grpc::Alarm wake_alarm_;
  WakeTag wake_tag_;
  std::mutex mu_;
  std::vector<std::function<void()>> ops_;
  bool wake_set_ = false;
  bool unflushed_ = false;   // submitting thread only
  size_t unhurried_ = 0;     // submitting thread only
  static constexpr size_t kMaxUnhurried = 64;
  bool closing_ = false;  // no more ops; shut down once those queued ran
  bool ops_open_ = true;
};

}  // namespace internal
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_IO_QUEUE_H_

#include "platform/rpc/io_queue.h"

#include <grpcpp/completion_queue.h>

namespace orv {
namespace rpc {
namespace internal {

void IoQueue::Submit(std::function<void()> op) {
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return;
  ops_.push_back(std::move(op));
  unflushed_ = true;
}

void IoQueue::SubmitUnhurried(std::function<void()> op) {
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return;
  ops_.push_back(std::move(op));
  ++unhurried_;
}

void IoQueue::Flush(bool idle) {
  if (!unflushed_ && !(idle && unhurried_ > 0) && unhurried_ < kMaxUnhurried) return;
  unflushed_ = false;
  unhurried_ = 0;
  std::lock_guard<std::mutex> lock(mu_);
  // One alarm at a time: the ops submitted meanwhile ride on it. A deadline
  // already past fires at once.
  if (wake_set_ || ops_.empty()) return;
  wake_set_ = true;
  wake_alarm_.Set(cq_, gpr_inf_past(GPR_CLOCK_MONOTONIC), &wake_tag_);
}

void IoQueue::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return;
  closing_ = true;
  // The polling thread shuts the queue down, after the ops it may be
  // starting right now.
  if (wake_set_) return;
  wake_set_ = true;
  wake_alarm_.Set(cq_, gpr_inf_past(GPR_CLOCK_MONOTONIC), &wake_tag_);
}

void IoQueue::RunSubmitted() {
  std::vector<std::function<void()>> ops;
  bool shut_down = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ops.swap(ops_);
    wake_set_ = false;
    shut_down = closing_;
  }
  if (spreader_ != nullptr) {
    spreader_->Run(&ops);
  } else {
    for (std::function<void()>& op : ops) op();
  }
  if (shut_down) {
    ops_open_ = false;
    cq_->Shutdown();
  }
}

void IoQueue::Poll(const Deliver& deliver) {
  void* tag = nullptr;
  bool ok = false;
  while (cq_->Next(&tag, &ok)) {
    if (tag == &wake_tag_) {
      RunSubmitted();
    } else {
      static_cast<CompletionTag*>(tag)->OnPolled(ok, deliver);
    }
  }
}

}  // namespace internal
}  // namespace rpc
}  // namespace orv

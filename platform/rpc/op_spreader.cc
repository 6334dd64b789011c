#include "platform/rpc/op_spreader.h"

namespace orv {
namespace rpc {
namespace internal {

OpSpreader::OpSpreader(int helpers) {
  for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { Help(); });
}

OpSpreader::~OpSpreader() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void OpSpreader::Drain() {
  const size_t size = ops_->size();
  for (size_t i = next_.fetch_add(1); i < size; i = next_.fetch_add(1)) (*ops_)[i]();
}

void OpSpreader::Run(std::vector<std::function<void()>>* ops) {
  if (threads_.empty() || ops->size() < kSpreadOps) {
    for (std::function<void()>& op : *ops) op();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ops_ = ops;
    next_.store(0);
    working_ = static_cast<int>(threads_.size());
    ++batch_;
  }
  work_cv_.notify_all();
  Drain();
  std::unique_lock<std::mutex> lock(mu_);
  done_cv_.wait(lock, [this] { return working_ == 0; });
  ops_ = nullptr;
}

void OpSpreader::Help() {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [&] { return stop_ || batch_ != seen; });
    if (stop_) return;
    seen = batch_;
    lock.unlock();
    Drain();
    lock.lock();
    if (--working_ == 0) done_cv_.notify_one();
  }
}

}  // namespace internal
}  // namespace rpc
}  // namespace orv

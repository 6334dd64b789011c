#include "logging/async_log_sink.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace orv {

AsyncLogSink::AsyncLogSink(LogSink* target, Options options)
    : target_(target), options_(options) {
  // Signals are for the threads that serve; this one only writes.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::lock_guard<std::mutex> lock(mu_);
  try {
    thread_ = std::make_unique<std::thread>([this] { Run(); });
    thread_id_ = thread_->get_id();
  } catch (const std::exception&) {
    direct_ = true;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

AsyncLogSink::~AsyncLogSink() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    if (direct_) {
      // A thread left behind by fork() is not ours to join.
      (void)thread_.release();
      return;
    }
  }
  work_.notify_one();
  thread_->join();
}

void AsyncLogSink::Syslog(int priority, const std::string& message) {
  Queue(true, priority, message);
}

void AsyncLogSink::Stdout(const std::string& text) { Queue(false, 0, text); }

bool AsyncLogSink::Full() const {
  return !queue_.empty() && (queue_.size() >= options_.max_messages ||
                             queued_bytes_ >= options_.max_bytes);
}

void AsyncLogSink::Queue(bool syslog, int priority, const std::string& text) {
  std::unique_lock<std::mutex> lock(mu_);
  if (direct_) {
    lock.unlock();
    WriteDirectly(syslog, priority, text);
    return;
  }
  const bool waited = Full();
  if (waited) {
    ++full_waits_;
    work_.notify_one();  // cuts the thread's linger short
    room_.wait(lock, [this] { return !Full(); });
  }
  queue_.push_back(Message{syslog, priority, text});
  queued_bytes_ += text.size();
  ++queued_total_;
  const bool wake = thread_idle_;
  lock.unlock();
  if (wake) work_.notify_one();
  if (waited) {
    std::lock_guard<std::mutex> observer_lock(observer_mu_);
    if (observer_) observer_();
  }
}

void AsyncLogSink::WriteDirectly(bool syslog, int priority,
                                 const std::string& text) {
  std::lock_guard<std::mutex> lock(direct_mu_);
  try {
    if (syslog) {
      target_->Syslog(priority, text);
    } else {
      target_->Stdout(text);
    }
    target_->Flush();
  } catch (...) {
  }
}

void AsyncLogSink::Flush() {
  std::unique_lock<std::mutex> lock(mu_);
  if (direct_ || std::this_thread::get_id() == thread_id_) return;
  const uint64_t wanted = queued_total_;
  if (written_total_ >= wanted) return;
  flush_wanted_ = std::max(flush_wanted_, wanted);
  work_.notify_one();
  done_.wait(lock, [this, wanted] { return written_total_ >= wanted; });
}

uint64_t AsyncLogSink::queue_full_waits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return full_waits_;
}

void AsyncLogSink::SetQueueFullObserver(std::function<void()> observer) {
  std::lock_guard<std::mutex> lock(observer_mu_);
  observer_ = std::move(observer);
}

void AsyncLogSink::BeforeFork() { mu_.lock(); }

void AsyncLogSink::AfterForkInParent() { mu_.unlock(); }

void AsyncLogSink::AfterForkInChild() {
  direct_ = true;
  queue_.clear();
  queued_bytes_ = 0;
  written_total_ = queued_total_;
  mu_.unlock();
}

void AsyncLogSink::Run() {
  std::vector<Message> batch;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    while (queue_.empty() && !stop_) {
      thread_idle_ = true;
      work_.wait(lock);
      thread_idle_ = false;
    }
    if (queue_.empty()) return;  // stopped, and everything written
    batch.swap(queue_);
    queued_bytes_ = 0;
    const uint64_t batch_end = queued_total_;
    room_.notify_all();
    lock.unlock();

    for (const Message& message : batch) {
      try {
        if (message.syslog) {
          target_->Syslog(message.priority, message.text);
        } else {
          target_->Stdout(message.text);
        }
      } catch (...) {
      }
    }
    try {
      target_->Flush();
    } catch (...) {
    }
    batch.clear();

    lock.lock();
    written_total_ = batch_end;
    done_.notify_all();
    if (options_.linger.count() > 0) {
      work_.wait_for(lock, options_.linger, [this] {
        return stop_ || Full() || flush_wanted_ > written_total_;
      });
    }
  }
}

}  // namespace orv

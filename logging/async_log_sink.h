#ifndef TARNIX_LOGGING_ASYNC_LOG_SINK_H_
#define TARNIX_LOGGING_ASYNC_LOG_SINK_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_sink.h"

namespace orv {

// Takes log messages off the calling threads: each message goes into one
// bounded queue, and a thread of this object's own passes them to `target`
// in the order they were queued, calling target->Flush() after each batch.
// The callers' cost is a copy of the text and a short lock.
//
// A caller that finds the queue full waits for room rather than drop the
// message; each message that waited is counted (queue_full_waits()) and
// reported to the observer.
//
// Thread-safe. The target is used by this object's thread only (and by the
// calling thread, in order, when no thread can run; see AfterForkInChild).
class AsyncLogSink : public LogSink {
 public:
  struct Options {
    // The queue is full at this many messages, or at this many bytes of
    // text; a longer message still goes into an empty queue.
    size_t max_messages = 4096;
    size_t max_bytes = 4 << 20;
    // After a batch the thread waits this long for more before it takes the
    // next one (unless the queue fills or Flush() asks), so that a steady
    // trickle of messages costs few wake-ups. Zero takes them at once.
    std::chrono::microseconds linger{2000};
  };

  // `target` is not owned and must outlive this object. Starts the thread;
  // if it cannot start, messages go straight to the target.
  AsyncLogSink(LogSink* target, Options options);
  // Writes everything queued, then stops the thread.
  ~AsyncLogSink() override;
  AsyncLogSink(const AsyncLogSink&) = delete;
  AsyncLogSink& operator=(const AsyncLogSink&) = delete;

  void Syslog(int priority, const std::string& message) override;
  void Stdout(const std::string& text) override;
  // Returns once every message queued before the call has been passed to
  // the target and the target flushed. Called from the target itself (on
  // this object's thread), returns at once.
  void Flush() override;

  // Messages that waited for room in a full queue.
  uint64_t queue_full_waits() const;
  // Called once per message that waited, on the waiting thread, outside the
  // queue's lock; an empty function removes it.
  void SetQueueFullObserver(std::function<void()> observer);

  // For pthread_atfork: the child of a fork has no sink thread, so from
  // then on the child passes its messages to the target synchronously;
  // what was queued before the fork is the parent's to write.
  void BeforeFork();
  void AfterForkInParent();
  void AfterForkInChild();

 private:
  struct Message {
    bool syslog;  // else a standard-output copy
    int priority;
    std::string text;
  };

  void Queue(bool syslog, int priority, const std::string& text);
  void WriteDirectly(bool syslog, int priority, const std::string& text);
  bool Full() const;  // mu_ held
  void Run();

  LogSink* const target_;
  const Options options_;

  mutable std::mutex mu_;
  std::condition_variable work_;   // the thread waits for messages
  std::condition_variable room_;   // callers wait for room
  std::condition_variable done_;   // Flush() waits for the thread
  std::vector<Message> queue_;
  size_t queued_bytes_ = 0;
  uint64_t queued_total_ = 0;   // messages ever queued
  uint64_t written_total_ = 0;  // of those, passed to the target and flushed
  uint64_t flush_wanted_ = 0;   // Flush() waits until written_total_ reaches it
  uint64_t full_waits_ = 0;
  bool thread_idle_ = false;    // waiting for work_: callers wake it
  bool stop_ = false;
  bool direct_ = false;         // no thread: callers write themselves
  std::thread::id thread_id_;
  std::unique_ptr<std::thread> thread_;

  std::mutex observer_mu_;
  std::function<void()> observer_;
  std::mutex direct_mu_;  // orders direct writes
};

}  // namespace orv

#endif  // TARNIX_LOGGING_ASYNC_LOG_SINK_H_

#ifndef TARNIX_LOGGING_LOG_SINK_H_
#define TARNIX_LOGGING_LOG_SINK_H_

#include <functional>
#include <string>

namespace orv {

// Where finished log output goes. The default sink queues each message for a
// thread of its own, which sends it to the local syslog daemon and writes the
// standard-output copies (see async_log_sink.h); tests install their own,
// synchronous sinks (see log_capture.h).
class LogSink {
 public:
  virtual ~LogSink() = default;
  // One syslog message: `priority` is the full syslog priority (facility and
  // severity), `message` the text passed as the "%s" argument.
  virtual void Syslog(int priority, const std::string& message) = 0;
  // One standard-output copy of a line, including its line end.
  virtual void Stdout(const std::string& text) = 0;
  // Returns once everything handed to this sink so far has been written.
  virtual void Flush() {}
};

// Flushes the installed sink: with the default sink, returns once every
// line logged before the call has reached syslog and standard output. Used
// before the process ends and before writing to standard output directly.
void FlushLog();

// Ends the process with exit status `status` once FlushLog() returns, or
// at the deadline ScheduleExit sets, whichever comes first: a sink that no
// longer drains (a standard-output pipe nobody reads, a syslog socket that
// blocks) must not keep a failed process alive. Runs no exit handlers or
// static destructors: for a fatal error met while other threads (RPC I/O,
// syncers, the log sink) still run and use what those would tear down.
// std::exit there can crash, or hang when a destructor waits for the
// calling thread. If no deadline can be set, ends at once without the flush.
[[noreturn]] void FlushLogAndExitNow(int status);

// Ends the process with exit status `status`, without exit handlers or
// static destructors, 3 seconds after the first call, whatever the log sink
// does meanwhile. Called before logging the reason for a fatal error: with
// the default sink, a log call waits for room in a full queue, without end
// if the sink's thread is stuck. A later call keeps the deadline and
// replaces the status. Returns false when no deadline could be set (no
// thread could start). Thread-safe.
bool ScheduleExit(int status);

// Calls `observer` once for every line that had to wait for room in the
// default sink's full queue, on the waiting thread (an empty function stops
// the calls). Thread-safe.
void SetLogQueueFullObserver(std::function<void()> observer);

// Installs `sink` (not owned; nullptr restores the default) and returns the
// previously installed one (nullptr when it was the default). Returns once
// no other thread still uses the previous sink, so the caller may then
// destroy it; messages that started after the swap do not delay it. May be
// called from inside a sink's methods: the calling thread's own use does
// not count, and the caller must not destroy a sink it is still inside.
// Thread-safe; concurrent calls take turns.
LogSink* SetLogSink(LogSink* sink);

// The installed sink (never null), held for the life of this object: a
// SetLogSink that retires it waits until this object is gone.
class HeldLogSink {
 public:
  HeldLogSink();
  ~HeldLogSink();
  HeldLogSink(const HeldLogSink&) = delete;
  HeldLogSink& operator=(const HeldLogSink&) = delete;

  LogSink* operator->() const { return sink_; }

 private:
  LogSink* sink_;
  int slot_;  // which installation this object holds
};

}  // namespace orv

#endif  // TARNIX_LOGGING_LOG_SINK_H_

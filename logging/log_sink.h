#ifndef TARNIX_LOGGING_LOG_SINK_H_
#define TARNIX_LOGGING_LOG_SINK_H_

#include <string>

namespace orv {

// Where finished log output goes. The default sink calls syslog(3) and writes
// to standard output; tests install their own (see log_capture.h).
class LogSink {
 public:
  virtual ~LogSink() = default;
  // One syslog message: `priority` is the full syslog priority (facility and
  // severity), `message` the text passed as the "%s" argument.
  virtual void Syslog(int priority, const std::string& message) = 0;
  // One standard-output copy of a line, including its line end.
  virtual void Stdout(const std::string& text) = 0;
};

// Installs `sink` (not owned; nullptr restores the default) and returns the
// previously installed one (nullptr when it was the default). Returns only
// once no other thread still uses the previous sink, so the caller may then
// destroy it.
LogSink* SetLogSink(LogSink* sink);

// The installed sink (never null), held for the life of this object.
class HeldLogSink {
 public:
  HeldLogSink();
  ~HeldLogSink();
  HeldLogSink(const HeldLogSink&) = delete;
  HeldLogSink& operator=(const HeldLogSink&) = delete;

  LogSink* operator->() const { return sink_; }

 private:
  LogSink* sink_;
};

}  // namespace orv

#endif  // TARNIX_LOGGING_LOG_SINK_H_

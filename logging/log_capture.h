#ifndef TARNIX_LOGGING_LOG_CAPTURE_H_
#define TARNIX_LOGGING_LOG_CAPTURE_H_

#include <mutex>
#include <string>
#include <vector>

#include "logging/log_sink.h"

namespace orv {

// Test helper: while alive, records every syslog message and standard-output
// copy instead of emitting them, then restores the previous sink.
//
//   orv::LogCapture capture;
//   DoSomething();
//   EXPECT_TRUE(capture.Contains("errorCode:DRX0101"));
class LogCapture : public LogSink {
 public:
  struct Entry {
    int priority;
    std::string message;
  };

  LogCapture();
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void Syslog(int priority, const std::string& message) override;
  void Stdout(const std::string& text) override;

  // Syslog messages in order, with their priorities.
  std::vector<Entry> entries() const;
  // Syslog messages in order.
  std::vector<std::string> lines() const;
  // Standard-output copies in order (each ends with a line feed).
  std::vector<std::string> stdout_lines() const;
  // True when some syslog message contains `text`.
  bool Contains(const std::string& text) const;
  // Number of syslog messages that contain `text`.
  size_t Count(const std::string& text) const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  std::vector<std::string> stdout_;
  LogSink* previous_;
};

}  // namespace orv

#endif  // TARNIX_LOGGING_LOG_CAPTURE_H_

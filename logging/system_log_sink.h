#ifndef TARNIX_LOGGING_SYSTEM_LOG_SINK_H_
#define TARNIX_LOGGING_SYSTEM_LOG_SINK_H_

#include <cstdio>
#include <string>

#include "logging/log_sink.h"
#include "logging/syslog_socket.h"

namespace orv {

// Writes syslog messages to a SyslogSocket and standard-output copies to a
// stdio stream, which Flush() flushes. A message the syslog daemon does not
// take is dropped; the standard-output copies go on regardless.
// Not thread-safe: the log sink's thread uses it (see AsyncLogSink).
class SystemLogSink : public LogSink {
 public:
  // Neither argument is owned; both must outlive this object.
  SystemLogSink(SyslogSocket* syslog, FILE* out);

  void Syslog(int priority, const std::string& message) override;
  void Stdout(const std::string& text) override;
  void Flush() override;

 private:
  SyslogSocket* const syslog_;
  FILE* const out_;
};

}  // namespace orv

#endif  // TARNIX_LOGGING_SYSTEM_LOG_SINK_H_

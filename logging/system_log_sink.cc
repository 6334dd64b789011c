#include "logging/system_log_sink.h"

namespace orv {

SystemLogSink::SystemLogSink(SyslogSocket* syslog, FILE* out)
    : syslog_(syslog), out_(out) {}

void SystemLogSink::Syslog(int priority, const std::string& message) {
  syslog_->Send(priority, message);
}

void SystemLogSink::Stdout(const std::string& text) {
  fwrite(text.data(), 1, text.size(), out_);
}

void SystemLogSink::Flush() { fflush(out_); }

}  // namespace orv

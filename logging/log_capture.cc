#include "logging/log_capture.h"

namespace orv {

LogCapture::LogCapture() : previous_(SetLogSink(this)) {}

LogCapture::~LogCapture() { SetLogSink(previous_); }

void LogCapture::Syslog(int priority, const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.push_back({priority, message});
}

void LogCapture::Stdout(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  stdout_.push_back(text);
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_;
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const Entry& e : entries_) out.push_back(e.message);
  return out;
}

std::vector<std::string> LogCapture::stdout_lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stdout_;
}

bool LogCapture::Contains(const std::string& text) const {
  return Count(text) > 0;
}

size_t LogCapture::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const Entry& e : entries_) {
    if (e.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  stdout_.clear();
}

}  // namespace orv

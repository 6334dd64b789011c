#include "logging/logger_setup.h"

#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "logging/log_sink.h"
#include "logging/logger.h"

namespace orv {

const char* LoggerComp = "orv-qlx";
const char* const kStructuredDataFile =
    "/opt/caldek/orv-common/logging/structured-data.txt";
const char* const kIssueFile = "/etc/orv_issue";

namespace {

constexpr size_t kMaxRegistryLine = 511;
constexpr size_t kMaxIssueLine = 255;
constexpr size_t kMaxLevelWord = 9;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\n\v\f\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// Calls `on_line` for every line of the file, at most `max_len` characters
// each; a longer line is cut and ends the reading.
template <typename OnLine>
void ForEachLine(const char* path, size_t max_len, OnLine on_line) {
  std::ifstream in(path);
  if (!in) return;
  std::string line;
  while (std::getline(in, line)) {
    bool too_long = line.size() > max_len;
    if (too_long) line.resize(max_len);
    on_line(line);
    if (too_long) return;
  }
}

void SyslogMessage(int priority, const std::string& message) {
  HeldLogSink()->Syslog(priority, message);
}

// A whole decimal int with an optional sign.
bool ParseInt(const char* text, int* out) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (*p == '\0') return false;
  for (const char* d = p; *d != '\0'; ++d) {
    if (*d < '0' || *d > '9') return false;
  }
  errno = 0;
  long value = strtol(text, nullptr, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

TagRegistry& StructuredDataRegistry() {
  static TagRegistry* registry = [] {
    auto* r = new TagRegistry(16);
    r->max_load_factor(1.0);
    return r;
  }();
  return *registry;
}

void LoadStructuredData(const char* path, TagRegistry& registry) {
  ForEachLine(path, kMaxRegistryLine, [&](const std::string& line) {
    if (!line.empty() && line[0] == '#') return;
    std::vector<std::string> fields = Split(line, ':');
    if (fields.size() != 2) return;
    std::unordered_set<std::string> values;
    std::string list = Trim(fields[1]);
    if (!list.empty()) {
      for (std::string& value : Split(list, ',')) values.insert(value);
    }
    registry[fields[0]] = std::move(values);
  });
}

void InitLoggerFromEnvironment(const char* value) {
  if (value == nullptr) return;
  static const struct {
    const char* word;
    int level;
  } kLevels[] = {{"PANIC", PANIC},     {"ERROR", ERROR},
                 {"WARNING", WARNING}, {"INFO", INFO},
                 {"VERBOSE", VERBOSE}, {"TRIVIA", TRIVIA}};
  const std::string word = std::string(value).substr(0, kMaxLevelWord);
  const char* matched = nullptr;
  for (const auto& entry : kLevels) {
    if (word == entry.word) {
      Logger::logLevel = entry.level;
      matched = entry.word;
      break;
    }
  }
  if (matched == nullptr) {
    SyslogMessage(LOG_ERR,
                  std::string("Invalid log level ") + value + ", ignore");
    Logger::logLevel = INFO;
    matched = "INFO";
  }
  SyslogMessage(LOG_INFO, std::string("Set log level to ") + matched);
}

void ReadNodeTypeFromIssueFile(const char* path) {
  // Kept reachable for the life of the process: LoggerComp points into it.
  static std::string* component = new std::string;
  ForEachLine(path, kMaxIssueLine, [&](const std::string& line) {
    if (!line.empty() && line[0] == '#') return;
    std::vector<std::string> fields = Split(line, ':');
    if (fields.size() != 2 || fields[0] != "node-type") return;
    *component = Split(Trim(fields[1]), ' ')[0];
    LoggerComp = component->c_str();
  });
}

void CheckSyslogMethod(const char* value) {
  int port = 0;
  if (value != nullptr && strcmp(value, "DEVLOG") != 0 &&
      !ParseInt(value, &port)) {
    SyslogMessage(LOG_ERR,
                  std::string("Invalid UDP port provided in "
                              "ORV_SYSLOG_METHOD environment variable: ") +
                      value + ". Using default syslog UDP port");
  }
  SyslogMessage(LOG_INFO, "Use default syslog");
}

void InitLoggingAtLoad() {
  LoadStructuredData(kStructuredDataFile, StructuredDataRegistry());
  InitLoggerFromEnvironment(getenv("ORV_LOG_LEVEL"));
  ReadNodeTypeFromIssueFile(kIssueFile);
  CheckSyslogMethod(getenv("ORV_SYSLOG_METHOD"));
}

}  // namespace orv

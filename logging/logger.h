#ifndef TARNIX_LOGGING_LOGGER_H_
#define TARNIX_LOGGING_LOGGER_H_

#include <cstdarg>
#include <string>
#include <vector>

namespace orv {

using LibraryLogLevel = int;
constexpr LibraryLogLevel PANIC = 1;
constexpr LibraryLogLevel ERROR = 2;
constexpr LibraryLogLevel WARNING = 3;
constexpr LibraryLogLevel INFO = 4;
constexpr LibraryLogLevel VERBOSE = 5;
constexpr LibraryLogLevel TRIVIA = 6;

// When set (--stdout), every emitted line is also written to standard output.
extern bool LogToStdout;

// One log message: built on the stack, emitted as one structured line when it
// goes out of scope. Callers test the level first (see TARNIX_LOG).
//
// The text and tags may hold client text: their control bytes (below 0x20,
// and 0x7f) are escaped in both copies of the line, line feed, carriage
// return and tab as \n \r \t and the others as \xNN (lower-case hex), so
// a message is always exactly one line. Other bytes pass unchanged.
class Logger {
 public:
  explicit Logger(LibraryLogLevel level);
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  Logger& tag(const char* tag);
  Logger& put(const char* format, ...) __attribute__((format(printf, 2, 3)));
  Logger& vput(const char* format, va_list args);
  Logger& s2comp(const char* component);
  void noop() {}

  static int logLevel;

 private:
  LibraryLogLevel level_;
  std::vector<std::string> tags_;
  const char* s2comp_ = nullptr;
  std::string text_;
};

}  // namespace orv

// TARNIX_LOG(orv::ERROR, "errorCode:DRX0102", "format %s", arg): formats nothing
// unless the level passes the threshold. Pass nullptr as the tag for none.
#define TARNIX_LOG(level, tag_text, ...)                                  \
  do {                                                                    \
    if (::orv::Logger::logLevel >= (level)) {                             \
      ::orv::Logger(level).tag(tag_text).put(__VA_ARGS__);                \
    }                                                                     \
  } while (0)

#endif  // TARNIX_LOGGING_LOGGER_H_

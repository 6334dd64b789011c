#include "logging/logger.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "logging/async_log_sink.h"
#include "logging/log_sink.h"
#include "logging/logger_setup.h"
#include "logging/syslog_socket.h"
#include "logging/system_log_sink.h"

namespace orv {

int Logger::logLevel = INFO;
bool LogToStdout = false;

namespace {

// Private enterprise number in the structured-data identifier.
constexpr const char* kSdId = "orv@32473";
constexpr size_t kLastFormatBuffer = 2097152;  // longer texts are dropped

// The process's own sink: syslog and standard output, written by a thread
// of their own. Never destroyed; lines still queued when the process exits
// are written first.
AsyncLogSink& DefaultSink() {
  static AsyncLogSink* const sink = [] {
    static SyslogSocket syslog_socket("/dev/log");
    static SystemLogSink system_sink(&syslog_socket, stdout);
    auto* async = new AsyncLogSink(&system_sink, AsyncLogSink::Options());
    pthread_atfork([] { DefaultSink().BeforeFork(); },
                   [] { DefaultSink().AfterForkInParent(); },
                   [] { DefaultSink().AfterForkInChild(); });
    atexit([] { DefaultSink().Flush(); });
    return async;
  }();
  return *sink;
}

// The process and thread ids written into every line, read once: both are
// system calls.
pid_t cached_pid = 0;
thread_local long cached_tid = 0;

pid_t ProcessId() {
  if (cached_pid == 0) cached_pid = getpid();
  return cached_pid;
}

long ThreadId() {
  if (cached_tid == 0) cached_tid = syscall(SYS_gettid);
  return cached_tid;
}

void ForgetIdsInChild() {
  cached_pid = 0;
  cached_tid = 0;
}

// How long a process that is to end waits for its log sink.
constexpr std::chrono::seconds kExitDeadline(3);
std::once_flag exit_scheduled;
bool exit_timer_started = false;  // set inside exit_scheduled
std::atomic<int> exit_status{0};

// Each installation of a sink is a generation; generations alternate between
// two slots, so SetLogSink waits only for the users of the sink it retires,
// not for every thread that is logging at the time.
struct SinkSlot {
  std::atomic<LogSink*> sink{nullptr};
  std::atomic<int> users{0};
};
SinkSlot sink_slots[2];
std::atomic<uint64_t> sink_generation{0};
std::mutex set_sink_mu;
// This thread's own uses per slot: a sink that swaps sinks while it handles
// a message must not wait for itself.
thread_local int own_sink_users[2] = {0, 0};

struct LevelInfo {
  const char* name;
  int priority;
};

bool LookupLevel(LibraryLogLevel level, LevelInfo* info) {
  switch (level) {
    case PANIC: *info = {"FATAL", LOG_LOCAL6 | LOG_CRIT}; return true;
    case ERROR: *info = {"ERROR", LOG_LOCAL6 | LOG_ERR}; return true;
    case WARNING: *info = {"WARNING", LOG_LOCAL6 | LOG_WARNING}; return true;
    case INFO: *info = {"INFO", LOG_LOCAL6 | LOG_INFO}; return true;
    case VERBOSE: *info = {"DEBUG", LOG_LOCAL6 | LOG_DEBUG}; return true;
    case TRIVIA: *info = {"TRACE", LOG_LOCAL6 | LOG_DEBUG}; return true;
    default: return false;
  }
}

std::string UtcTimestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char buf[64];
  snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
           parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
           parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000000);
  return buf;
}

// Control bytes (below 0x20, and 0x7f) of `text` escaped: line feed,
// carriage return and tab as \n \r \t, the others as \xNN in lower-case
// hex. Client text reaches log lines; escaped, it can neither cut a line nor
// start one. Every other byte, UTF-8 included, passes unchanged.
void AppendEscaped(std::string_view text, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  size_t plain = 0;  // start of the bytes not yet appended
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7f) continue;
    out->append(text.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default: {
        const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
        out->append(escaped, sizeof(escaped));
      }
    }
  }
  out->append(text.data() + plain, text.size() - plain);
}

void AppendParam(std::string* out, std::string_view name, std::string_view value) {
  out->append(" ");
  AppendEscaped(name, out);
  out->append("=\"");
  AppendEscaped(value, out);
  out->append("\"");
}

// An id's decimal text, made again only when the id changes (a fork).
class IdText {
 public:
  const std::string& Of(long id) {
    if (id != id_ || text_.empty()) {
      id_ = id;
      text_ = std::to_string(id);
    }
    return text_;
  }

 private:
  long id_ = 0;
  std::string text_;
};
thread_local IdText process_id_text;
thread_local IdText thread_id_text;

}  // namespace

LogSink* SetLogSink(LogSink* sink) {
  std::lock_guard<std::mutex> lock(set_sink_mu);
  const uint64_t generation = sink_generation.load();
  const int retired = static_cast<int>(generation % 2);
  // The other slot's users all saw the generation change before the last
  // swap returned; late arrivals back off without touching its sink.
  sink_slots[1 - retired].sink.store(sink);
  sink_generation.store(generation + 1);
  SinkSlot& old = sink_slots[retired];
  while (old.users.load() != own_sink_users[retired]) {
    std::this_thread::yield();
  }
  return old.sink.load();
}

void FlushLog() { HeldLogSink()->Flush(); }

bool ScheduleExit(int status) {
  exit_status.store(status);
  std::call_once(exit_scheduled, [] {
    try {
      std::thread([] {
        std::this_thread::sleep_for(kExitDeadline);
        std::_Exit(exit_status.load());
      }).detach();
      exit_timer_started = true;
    } catch (const std::exception&) {
    }
  });
  return exit_timer_started;
}

void FlushLogAndExitNow(int status) {
  // Without a deadline a stuck sink would hold the process forever; the
  // lines are lost rather than that.
  if (ScheduleExit(status)) FlushLog();
  std::_Exit(status);
}

void SetLogQueueFullObserver(std::function<void()> observer) {
  DefaultSink().SetQueueFullObserver(std::move(observer));
}

HeldLogSink::HeldLogSink() {
  for (;;) {
    const uint64_t generation = sink_generation.load();
    slot_ = static_cast<int>(generation % 2);
    sink_slots[slot_].users.fetch_add(1);
    // Counted before the generation changed: a swap waits for this use.
    if (sink_generation.load() == generation) break;
    sink_slots[slot_].users.fetch_sub(1);
  }
  ++own_sink_users[slot_];
  LogSink* sink = sink_slots[slot_].sink.load();
  sink_ = sink != nullptr ? sink : &DefaultSink();
}

HeldLogSink::~HeldLogSink() {
  --own_sink_users[slot_];
  sink_slots[slot_].users.fetch_sub(1);
}

Logger::Logger(LibraryLogLevel level) : level_(level) {}

Logger& Logger::tag(const char* tag) {
  if (tag != nullptr && tag[0] != '\0') tags_.emplace_back(tag);
  return *this;
}

Logger& Logger::put(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vput(format, args);
  va_end(args);
  return *this;
}

Logger& Logger::vput(const char* format, va_list args) {
  if (format == nullptr || format[0] == '\0') return *this;
  // Most texts fit the stack buffer; a longer one is formatted again, in
  // place, unless it passes the largest buffer.
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int n = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return *this;
  const size_t length = static_cast<size_t>(n);
  if (length < sizeof(small)) {
    text_.append(small, length);
    return *this;
  }
  if (length + 1 > kLastFormatBuffer) return *this;
  const size_t start = text_.size();
  text_.resize(start + length + 1);
  va_copy(copy, args);
  vsnprintf(&text_[start], length + 1, format, copy);
  va_end(copy);
  text_.resize(start + length);
  return *this;
}

Logger& Logger::s2comp(const char* component) {
  s2comp_ = component;
  return *this;
}

Logger::~Logger() {
  HeldLogSink sink;
  try {
    LevelInfo info;
    if (!LookupLevel(level_, &info)) {
      char msg[64];
      snprintf(msg, sizeof(msg), "Invalid log level %d", level_);
      sink->Syslog(LOG_ERR, msg);
      return;
    }

    std::string sd;
    sd.reserve(160);
    sd.append("[").append(kSdId);
    AppendParam(&sd, "comp", LoggerComp);
    AppendParam(&sd, "subcomp", "orv-tarnix");
    if (s2comp_ != nullptr) AppendParam(&sd, "s2comp", s2comp_);
    AppendParam(&sd, "tid", thread_id_text.Of(ThreadId()));
    AppendParam(&sd, "level", info.name);

    const TagRegistry& registry = StructuredDataRegistry();
    bool invalid = false;
    for (const std::string& tag : tags_) {
      size_t colon = tag.find(':');
      std::string key, value;
      if (colon == std::string::npos) {
        value = tag;
      } else {
        key = tag.substr(0, colon);
        value = tag.substr(colon + 1);
      }
      if (key.empty() && value.empty()) continue;
      if (key.empty()) key = "tag";
      if (!registry.empty()) {
        auto it = registry.find(key);
        if (it == registry.end() ||
            (!it->second.empty() && it->second.count(value) == 0)) {
          invalid = true;
          continue;
        }
      }
      AppendParam(&sd, key, value);
    }
    if (invalid) AppendParam(&sd, "invalid", "true");
    sd.append("]");

    if (level_ <= logLevel) {
      std::string line;
      line.reserve(16 + sd.size() + text_.size());
      line.append("ORV ").append(process_id_text.Of(ProcessId())).append(" - ").append(sd).append(" ");
      AppendEscaped(text_, &line);
      sink->Syslog(info.priority, line);
    }
    if (LogToStdout) {
      std::string copy = UtcTimestamp();
      copy.reserve(copy.size() + sd.size() + text_.size() + 3);
      copy.append(" ").append(sd).append(" ");
      AppendEscaped(text_, &copy);
      copy.append("\n");
      sink->Stdout(copy);
    }
    // The process may be about to end: the fatal line and all before it
    // are written first.
    if (level_ == PANIC) sink->Flush();
  } catch (const std::exception& e) {
    try {
      std::string line = "Failed to log message: ";
      AppendEscaped(e.what(), &line);
      sink->Syslog(LOG_ERR, line);
    } catch (...) {
    }
  } catch (...) {
    try {
      sink->Syslog(LOG_ERR, "Failed to log message: unknown error");
    } catch (...) {
    }
  }
}

// Load-time set-up lives here so that linking the logger always links it.
namespace {
[[maybe_unused]] const bool logging_initialized =
    (pthread_atfork(nullptr, nullptr, ForgetIdsInChild), InitLoggingAtLoad(),
     true);
}  // namespace

}  // namespace orv

#include "logging/logger.h"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/async_log_sink.h"
#include "logging/log_capture.h"
#include "logging/logger_setup.h"

namespace orv {
namespace {

// Runs each test with default settings and restores the process-wide ones.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = Logger::logLevel;
    saved_comp_ = LoggerComp;
    saved_registry_ = StructuredDataRegistry();
    saved_stdout_ = LogToStdout;
    Logger::logLevel = INFO;
    LoggerComp = "orv-qlx";
    StructuredDataRegistry().clear();
    LogToStdout = false;
  }
  void TearDown() override {
    Logger::logLevel = saved_level_;
    LoggerComp = saved_comp_;
    StructuredDataRegistry() = saved_registry_;
    LogToStdout = saved_stdout_;
  }

  std::string Prefix(const char* level_name) const {
    return "ORV " + std::to_string(getpid()) +
           " - [orv@32473 comp=\"orv-qlx\" subcomp=\"orv-tarnix\" tid=\"" +
           std::to_string(syscall(SYS_gettid)) + "\" level=\"" + level_name +
           "\"";
  }

  // The single syslog message written by a logger with `tags`.
  std::string LineWithTags(std::initializer_list<const char*> tags) {
    LogCapture capture;
    {
      Logger logger(INFO);
      for (const char* t : tags) logger.tag(t);
      logger.put("x");
    }
    EXPECT_EQ(capture.lines().size(), 1u);
    return capture.lines().empty() ? "" : capture.lines()[0];
  }

  LogCapture capture_;

 private:
  int saved_level_;
  const char* saved_comp_;
  TagRegistry saved_registry_;
  bool saved_stdout_;
};

TEST_F(LoggerTest, SyslogLineHasHeaderStructuredDataAndText) {
  TARNIX_LOG(ERROR, "errorCode:DRX0101", "open %s failed: %d", "db", 5);
  auto entries = capture_.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].priority, 179);
  EXPECT_EQ(entries[0].message,
            Prefix("ERROR") + " errorCode=\"DRX0101\"] open db failed: 5");
}

TEST_F(LoggerTest, InvalidLevelWritesOnlyThePlainError) {
  LogToStdout = true;
  Logger::logLevel = TRIVIA;
  Logger(7).tag("errorCode:DRX0101").put("text");
  Logger(0).put("text");
  auto entries = capture_.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].priority, LOG_ERR);
  EXPECT_EQ(entries[0].message, "Invalid log level 7");
  EXPECT_EQ(entries[1].message, "Invalid log level 0");
  EXPECT_TRUE(capture_.stdout_lines().empty());
}

TEST_F(LoggerTest, TagRulesWithoutRegistry) {
  EXPECT_EQ(LineWithTags({nullptr, ""}), Prefix("INFO") + "] x");
  EXPECT_EQ(LineWithTags({"plain"}), Prefix("INFO") + " tag=\"plain\"] x");
  EXPECT_EQ(LineWithTags({":rest:more"}),
            Prefix("INFO") + " tag=\"rest:more\"] x");
  EXPECT_EQ(LineWithTags({"key:"}), Prefix("INFO") + " key=\"\"] x");
  EXPECT_EQ(LineWithTags({":"}), Prefix("INFO") + "] x");
  EXPECT_EQ(LineWithTags({"b:2", "a:1"}),
            Prefix("INFO") + " b=\"2\" a=\"1\"] x");
}

TEST_F(LoggerTest, RegistryAdmitsKnownTagsAndMarksOthersInvalid) {
  StructuredDataRegistry()["errorCode"] = {};
  StructuredDataRegistry()["kind"] = {"a", "b"};
  EXPECT_EQ(LineWithTags({"errorCode:DRX0101", "kind:b"}),
            Prefix("INFO") + " errorCode=\"DRX0101\" kind=\"b\"] x");
  EXPECT_EQ(LineWithTags({"other:1", "errorCode:DRX0102", "kind:c"}),
            Prefix("INFO") + " errorCode=\"DRX0102\" invalid=\"true\"] x");
  // A tag without key is checked under the key "tag".
  EXPECT_EQ(LineWithTags({"plain"}), Prefix("INFO") + " invalid=\"true\"] x");
}

TEST_F(LoggerTest, SecondLevelComponentFollowsSubcomp) {
  Logger(INFO).s2comp("orv-metrics").tag("errorCode:MXLIB200").put("t");
  ASSERT_EQ(capture_.lines().size(), 1u);
  EXPECT_NE(capture_.lines()[0].find(
                "subcomp=\"orv-tarnix\" s2comp=\"orv-metrics\" tid="),
            std::string::npos);
}

// A client's text may hold a line feed and a forged line after it: both
// copies keep the message on one line.
TEST_F(LoggerTest, ControlBytesAreEscapedInBothCopies) {
  LogToStdout = true;
  Logger(INFO).put("id='x'\n2026-01-01 [level=\"ERROR\"] forged\r\t%c%c\x1f\x7f end", 1, 0);
  const std::string escaped =
      "] id='x'\\n2026-01-01 [level=\"ERROR\"] forged\\r\\t\\x01\\x00\\x1f\\x7f end";
  ASSERT_EQ(capture_.lines().size(), 1u);
  EXPECT_EQ(capture_.lines()[0], Prefix("INFO") + escaped);
  ASSERT_EQ(capture_.stdout_lines().size(), 1u);
  const std::string out = capture_.stdout_lines()[0];
  ASSERT_GT(out.size(), escaped.size() + 1);
  EXPECT_EQ(out.substr(out.size() - escaped.size() - 1), escaped + "\n");
  EXPECT_EQ(out.find('\n'), out.size() - 1);
}

TEST_F(LoggerTest, TextWithoutControlBytesIsUnchanged) {
  LogToStdout = true;
  // UTF-8, a backslash and the bytes next to the escaped ranges.
  const std::string text = "gr\xc3\xbc\xc3\x9f \\n \\x41 \x20~\x80\xff";
  Logger(INFO).put("%s", text.c_str());
  ASSERT_EQ(capture_.lines().size(), 1u);
  EXPECT_EQ(capture_.lines()[0], Prefix("INFO") + "] " + text);
  ASSERT_EQ(capture_.stdout_lines().size(), 1u);
  const std::string out = capture_.stdout_lines()[0];
  EXPECT_EQ(out.substr(out.size() - text.size() - 3), "] " + text + "\n");
}

TEST_F(LoggerTest, ControlBytesInTagsAreEscaped) {
  EXPECT_EQ(LineWithTags({"vdb:a\nb", "k\x1b:\t"}),
            Prefix("INFO") + " vdb=\"a\\nb\" k\\x1b=\"\\t\"] x");
}

int64_t Millis(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

TEST_F(LoggerTest, StdoutCopyHasUtcTimestampElementAndText) {
  // A zone eleven hours off UTC, so a local-time stamp cannot pass.
  const char* saved_tz = getenv("TZ");
  const std::string saved = saved_tz != nullptr ? saved_tz : "";
  setenv("TZ", "XST-11", 1);
  tzset();
  LogToStdout = true;
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  Logger(WARNING).tag("errorCode:DRX0001").put("hello");
  clock_gettime(CLOCK_REALTIME, &after);
  if (saved_tz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();

  ASSERT_EQ(capture_.stdout_lines().size(), 1u);
  const std::string out = capture_.stdout_lines()[0];
  // "2024-05-06T07:08:09.123Z ", then the structured data and text.
  const size_t stamp_length = 25;
  ASSERT_GT(out.size(), stamp_length);
  EXPECT_EQ(out.substr(stamp_length - 2, 2), "Z ") << out;
  tm parts{};
  int millis = 0;
  ASSERT_EQ(sscanf(out.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &parts.tm_year,
                   &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
                   &parts.tm_min, &parts.tm_sec, &millis),
            7)
      << out;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const int64_t stamp = static_cast<int64_t>(timegm(&parts)) * 1000 + millis;
  EXPECT_GE(stamp, Millis(before)) << out;
  EXPECT_LE(stamp, Millis(after)) << out;

  const std::string line = Prefix("WARNING");
  EXPECT_EQ(out.substr(stamp_length),
            line.substr(line.find('[')) + " errorCode=\"DRX0001\"] hello\n");
}

TEST_F(LoggerTest, ThresholdKeepsLinesFromSyslogButNotFromStdout) {
  int formatted = 0;
  auto count = [&formatted] { return ++formatted; };
  TARNIX_LOG(VERBOSE, nullptr, "%d", count());
  EXPECT_EQ(formatted, 0);
  EXPECT_TRUE(capture_.lines().empty());

  LogToStdout = true;
  Logger(VERBOSE).put("built anyway");
  EXPECT_TRUE(capture_.lines().empty());
  ASSERT_EQ(capture_.stdout_lines().size(), 1u);

  Logger::logLevel = 0;
  TARNIX_LOG(PANIC, nullptr, "%d", count());
  EXPECT_EQ(formatted, 0);
}

TEST_F(LoggerTest, TextsUpToTheLargestBufferAreKeptLongerOnesDropped) {
  const std::string largest(2097151, 'l');
  const std::string too_long(2097152, 't');
  Logger(INFO).put("%s", largest.c_str());
  Logger(INFO).put("keep").put("%s", too_long.c_str()).put("!");
  const char* no_format = nullptr;
  Logger(INFO).put("a").put(no_format).put("%s", "").put("b");
  auto lines = capture_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], Prefix("INFO") + "] " + largest);
  EXPECT_EQ(lines[1], Prefix("INFO") + "] keep!");
  EXPECT_EQ(lines[2], Prefix("INFO") + "] ab");
}

// Fails the first syslog call, then records like a capture.
class ThrowingSink : public LogCapture {
 public:
  explicit ThrowingSink(bool standard) : standard_(standard) {}
  void Syslog(int priority, const std::string& message) override {
    if (!thrown_) {
      thrown_ = true;
      if (standard_) throw std::runtime_error("sink broke");
      throw 42;
    }
    LogCapture::Syslog(priority, message);
  }

 private:
  bool standard_;
  bool thrown_ = false;
};

TEST_F(LoggerTest, EmissionFailureIsReportedAndNeverThrown) {
  for (bool standard : {true, false}) {
    ThrowingSink sink(standard);
    EXPECT_NO_THROW(Logger(ERROR).put("lost"));
    ASSERT_EQ(sink.entries().size(), 1u);
    EXPECT_EQ(sink.entries()[0].priority, LOG_ERR);
    EXPECT_EQ(sink.entries()[0].message,
              std::string("Failed to log message: ") +
                  (standard ? "sink broke" : "unknown error"));
  }
}

// Counts what reaches it and keeps nothing.
class CountingSink : public LogSink {
 public:
  void Syslog(int, const std::string&) override { ++count; }
  void Stdout(const std::string&) override { ++count; }
  std::atomic<int> count{0};
};

TEST_F(LoggerTest, SwappedOutSinkIsNoLongerUsedByOtherThreads) {
  std::atomic<bool> done{false};
  std::atomic<int> written{0};
  // Sinks stay allocated until the end, so a late use is counted, not UB.
  std::deque<CountingSink> sinks;
  std::vector<int> at_retirement;
  CountingSink base;
  LogSink* fixture_sink = SetLogSink(&base);
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&done, &written] {
      while (!done) {
        Logger(INFO).put("x");
        ++written;
      }
    });
  }
  while (written < 100000) {
    sinks.emplace_back();
    SetLogSink(SetLogSink(&sinks.back()));
    at_retirement.push_back(sinks.back().count);
  }
  done = true;
  for (std::thread& w : writers) w.join();
  SetLogSink(fixture_sink);
  for (size_t i = 0; i < sinks.size(); ++i) {
    ASSERT_EQ(sinks[i].count, at_retirement[i]) << i;
  }
}

// Runs `fn` on a thread of its own. A call still blocked after `limit`
// cannot be stopped, so the test binary ends there.
void FinishesWithin(std::chrono::seconds limit,
                    const std::function<void()>& fn) {
  std::packaged_task<void()> task(fn);
  std::future<void> finished = task.get_future();
  std::thread runner(std::move(task));
  if (finished.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "still blocked after " << limit.count() << " s";
    fflush(stdout);
    std::_Exit(1);
  }
  runner.join();
}

// Takes a while over each message, like a syslog call.
class SlowSink : public CountingSink {
 public:
  void Syslog(int priority, const std::string& message) override {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    CountingSink::Syslog(priority, message);
  }
};

TEST_F(LoggerTest, SinkSwapsDoNotWaitForThreadsThatKeepLogging) {
  SlowSink busy;
  CountingSink other;
  LogSink* fixture_sink = SetLogSink(&busy);
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&done] {
      while (!done) TARNIX_LOG(INFO, nullptr, "busy");
    });
  }
  while (busy.count < 100) std::this_thread::yield();
  FinishesWithin(std::chrono::seconds(10), [&busy, &other] {
    for (int i = 0; i < 100; ++i) {
      SetLogSink(&other);
      SetLogSink(&busy);
    }
  });
  done = true;
  for (std::thread& w : writers) w.join();
  SetLogSink(fixture_sink);
}

// Swaps itself out and back in while it handles a message.
class SelfSwappingSink : public CountingSink {
 public:
  void Syslog(int priority, const std::string& message) override {
    CountingSink replacement;
    previous = SetLogSink(&replacement);
    SetLogSink(previous);
    CountingSink::Syslog(priority, message);
  }
  LogSink* previous = nullptr;
};

TEST_F(LoggerTest, SinkMaySwapSinksWhileItHandlesAMessage) {
  SelfSwappingSink sink;
  LogSink* fixture_sink = SetLogSink(&sink);
  FinishesWithin(std::chrono::seconds(10), [] { Logger(INFO).put("x"); });
  SetLogSink(fixture_sink);
  EXPECT_EQ(sink.previous, &sink);
  EXPECT_EQ(sink.count, 1);
}

// Never returns from a write or a flush, like a standard-output pipe that
// nobody reads or a syslog socket that blocks.
class StuckSink : public LogSink {
 public:
  void Syslog(int, const std::string&) override { Stall(); }
  void Stdout(const std::string&) override { Stall(); }
  void Flush() override { Stall(); }

 private:
  [[noreturn]] static void Stall() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
};

// A process still running after 10 s is ended by SIGALRM, which fails the
// status check instead of hanging the test.
TEST(LogExitDeathTest, TheExitOnAFatalErrorWaitsForNoStuckSink) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(10);
        static StuckSink sink;
        SetLogSink(&sink);
        FlushLogAndExitNow(1);
      },
      ::testing::ExitedWithCode(1), "");
  // Armed before the reason is logged: the log call itself may wait for
  // room in a full queue. This one has room for one line; the thread is
  // stuck on the first, the second fills the queue, the third waits.
  EXPECT_EXIT(
      {
        alarm(10);
        static StuckSink stuck;
        static AsyncLogSink queue(
            &stuck,
            AsyncLogSink::Options{1, 1 << 20, std::chrono::microseconds(0)});
        SetLogSink(&queue);
        ScheduleExit(1);
        for (int i = 0; i < 3; ++i) TARNIX_LOG(ERROR, nullptr, "line %d", i);
        FlushLogAndExitNow(1);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace orv

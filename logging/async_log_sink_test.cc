#include "logging/async_log_sink.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_sink.h"
#include "logging/logger.h"
#include "logging/syslog_socket.h"
#include "logging/system_log_sink.h"

namespace orv {
namespace {

using std::chrono::milliseconds;

// Records what reaches it, both kinds in one list; may hold each message
// back until opened, or take a while over each.
class RecordingSink : public LogSink {
 public:
  void Syslog(int priority, const std::string& message) override {
    Take("syslog " + std::to_string(priority) + " " + message);
  }
  void Stdout(const std::string& text) override { Take("stdout " + text); }
  void Flush() override { ++flushes; }

  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  size_t size() const { return messages().size(); }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    opened_.notify_all();
  }

  bool closed = false;
  milliseconds delay{0};
  std::atomic<int> flushes{0};

 private:
  void Take(const std::string& message) {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed) opened_.wait(lock, [this] { return open_; });
    lock.unlock();
    std::this_thread::sleep_for(delay);
    lock.lock();
    messages_.push_back(message);
  }

  mutable std::mutex mu_;
  std::condition_variable opened_;
  bool open_ = false;
  std::vector<std::string> messages_;
};

// Waits up to ten seconds for `done`.
template <typename Condition>
bool Eventually(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST(AsyncLogSinkTest, KeepsTheOrderOfAllThreadsAndBothKinds) {
  RecordingSink target;
  std::vector<std::string> expected;
  {
    AsyncLogSink sink(&target, AsyncLogSink::Options{64, 1 << 20, milliseconds(1)});
    // Writers take turns under a lock, so the order of the calls is known;
    // both kinds of message go into the same sequence.
    std::mutex turn;
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
      writers.emplace_back([&, w] {
        for (int i = 0; i < 2000; ++i) {
          std::lock_guard<std::mutex> lock(turn);
          const std::string text = std::to_string(w) + "/" + std::to_string(i);
          if (i % 3 == 0) {
            sink.Stdout(text);
            expected.push_back("stdout " + text);
          } else {
            sink.Syslog(182, text);
            expected.push_back("syslog 182 " + text);
          }
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
  }
  EXPECT_EQ(target.messages(), expected);
}

TEST(AsyncLogSinkTest, FreeRunningWritersLoseNothingAndKeepTheirOwnOrder) {
  RecordingSink target;
  {
    AsyncLogSink sink(&target, AsyncLogSink::Options{16, 1 << 20, milliseconds(0)});
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
      writers.emplace_back([&sink, w] {
        for (int i = 0; i < 5000; ++i) {
          sink.Syslog(182, std::to_string(w) + " " + std::to_string(i));
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
  }
  std::vector<int> next(4, 0);
  for (const std::string& message : target.messages()) {
    int w = -1, i = -1;
    ASSERT_EQ(sscanf(message.c_str(), "syslog 182 %d %d", &w, &i), 2) << message;
    ASSERT_EQ(i, next[w]) << message;
    ++next[w];
  }
  EXPECT_EQ(next, std::vector<int>(4, 5000));
}

TEST(AsyncLogSinkTest, FullQueueMakesTheWriterWaitAndCountsIt) {
  RecordingSink target;
  target.closed = true;
  AsyncLogSink sink(&target, AsyncLogSink::Options{4, 1 << 20, milliseconds(0)});
  std::atomic<int> observed{0};
  sink.SetQueueFullObserver([&observed] { ++observed; });
  std::atomic<int> handed_over{0};
  std::thread writer([&] {
    for (int i = 0; i < 12; ++i) {
      sink.Syslog(182, std::to_string(i));
      ++handed_over;
    }
  });
  // The thread holds a batch of one to four messages at the closed target
  // and four wait in the queue: the writer cannot hand over any more.
  ASSERT_TRUE(Eventually([&] { return sink.queue_full_waits() >= 1; }));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_GE(handed_over, 5);
  EXPECT_LE(handed_over, 8);
  EXPECT_EQ(target.size(), 0u);

  target.Open();
  writer.join();
  sink.Flush();
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.push_back("syslog 182 " + std::to_string(i));
  EXPECT_EQ(target.messages(), expected);
  EXPECT_GE(sink.queue_full_waits(), 1u);
  EXPECT_EQ(static_cast<uint64_t>(observed), sink.queue_full_waits());
}

TEST(AsyncLogSinkTest, ByteBoundFillsTheQueueToo) {
  RecordingSink target;
  target.closed = true;
  AsyncLogSink sink(&target, AsyncLogSink::Options{1000, 100, milliseconds(0)});
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) sink.Stdout(std::string(60, 'a' + i));
  });
  // The thread holds one or two messages at the closed target; two more
  // (120 bytes) fill the queue long before its thousand messages.
  ASSERT_TRUE(Eventually([&] { return sink.queue_full_waits() >= 1; }));
  target.Open();
  writer.join();
  sink.Flush();
  EXPECT_EQ(target.size(), 5u);
}

TEST(AsyncLogSinkTest, FlushAndDestructionWaitUntilEverythingIsWritten) {
  RecordingSink target;
  target.delay = milliseconds(2);
  {
    // A long linger: only Flush() gets the rest written soon.
    AsyncLogSink sink(&target, AsyncLogSink::Options{4096, 1 << 20, std::chrono::seconds(30)});
    for (int i = 0; i < 50; ++i) sink.Syslog(182, "a");
    sink.Flush();
    EXPECT_EQ(target.size(), 50u);
    EXPECT_GE(target.flushes, 1);
    for (int i = 0; i < 50; ++i) sink.Stdout("b");
  }
  EXPECT_EQ(target.size(), 100u);
}

TEST(AsyncLogSinkTest, ChildOfAForkWritesItsOwnMessagesDirectly) {
  RecordingSink target;
  AsyncLogSink sink(&target, AsyncLogSink::Options{4096, 1 << 20, milliseconds(0)});
  sink.Syslog(182, "before");
  sink.Flush();  // the thread holds no lock of the target's at the fork
  sink.BeforeFork();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No sink thread here: the message must reach the target at once, and
    // neither Flush() nor the full queue may wait for a thread.
    alarm(10);
    sink.AfterForkInChild();
    for (int i = 0; i < 5000; ++i) sink.Syslog(182, "after");
    sink.Flush();
    const bool direct = target.messages().back() == "syslog 182 after";
    _exit(direct ? 0 : 1);
  }
  sink.AfterForkInParent();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(target.messages(), std::vector<std::string>{"syslog 182 before"});
}

// The fatal line of a process that is about to end is written before the
// logger returns, with every line before it.
TEST(AsyncLogSinkTest, FatalLineDrainsTheQueue) {
  RecordingSink target;
  target.delay = milliseconds(1);
  AsyncLogSink sink(&target, AsyncLogSink::Options{4096, 1 << 20, std::chrono::seconds(30)});
  LogSink* previous = SetLogSink(&sink);
  const int saved_level = Logger::logLevel;
  Logger::logLevel = INFO;
  for (int i = 0; i < 20; ++i) TARNIX_LOG(INFO, nullptr, "line %d", i);
  TARNIX_LOG(PANIC, "errorCode:DRX0000", "%s", "failed");
  const std::vector<std::string> written = target.messages();
  Logger::logLevel = saved_level;
  SetLogSink(previous);
  ASSERT_EQ(written.size(), 21u);
  EXPECT_NE(written.back().find("level=\"FATAL\""), std::string::npos) << written.back();
}

// The syslog daemon is missing: the standard-output copies keep coming.
TEST(AsyncLogSinkTest, StdoutCopiesContinueWhileSyslogCannotConnect) {
  SyslogSocket syslog(std::string(TARNIX_TEST_DATA_DIR) + "/no-syslog-here");
  FILE* out = tmpfile();
  ASSERT_NE(out, nullptr);
  SystemLogSink system(&syslog, out);
  {
    AsyncLogSink sink(&system, AsyncLogSink::Options{4096, 1 << 20, milliseconds(0)});
    for (int i = 0; i < 3; ++i) {
      sink.Syslog(182, "to syslog " + std::to_string(i));
      sink.Stdout("copy " + std::to_string(i) + "\n");
    }
    // A sink that waited for the daemon would never get here.
    std::packaged_task<void()> flush([&sink] { sink.Flush(); });
    std::future<void> flushed = flush.get_future();
    std::thread flusher(std::move(flush));
    if (flushed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "standard-output copies wait for syslog";
      fflush(stdout);
      std::_Exit(1);
    }
    flusher.join();
    rewind(out);
    char buffer[256] = {};
    const size_t read = fread(buffer, 1, sizeof(buffer) - 1, out);
    EXPECT_EQ(std::string(buffer, read), "copy 0\ncopy 1\ncopy 2\n");
  }
  fclose(out);
}

}  // namespace
}  // namespace orv

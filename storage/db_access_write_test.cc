#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "logging/async_log_sink.h"
#include "logging/log_sink.h"
#include "logging/logger.h"
#include "storage/db_access.h"
#include "storage/db_access_test_util.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

using WriteTest = DbAccessTest;
using Codes = std::vector<int32_t>;
using Strings = std::vector<std::string>;

TEST_F(WriteTest, PutReportsCreatedUpdatedUnchanged) {
  auto db = OpenDb();
  Codes codes = {7};
  ASSERT_TRUE(db->Put({{"a", "1"}, {"b", "2"}}, false, &codes).ok());
  ASSERT_TRUE(db->Put({{"a", "1"}, {"b", "3"}, {"c", "4"}}, false, &codes).ok());
  EXPECT_EQ(codes, (Codes{7, 0, 0, 2, 1, 0}));
  EXPECT_EQ(All(db.get()),
            (DbAccess::Records{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
}

TEST_F(WriteTest, StoredEmptyValueCountsAsAbsent) {
  auto db = OpenDb();
  Codes codes;
  ASSERT_TRUE(db->Put({{"e", ""}}, false, &codes).ok());
  ASSERT_TRUE(db->Put({{"e", ""}}, false, &codes).ok());
  ASSERT_TRUE(db->Delete({{"e", ""}}, false, &codes).ok());
  EXPECT_EQ(codes, (Codes{0, 0, 1}));
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{"e", ""}}));
  ASSERT_TRUE(db->Put({{"e", "x"}}, false, &codes).ok());
  EXPECT_EQ(codes.back(), 0);
}

TEST_F(WriteTest, DeleteChecksSuppliedValue) {
  auto db = OpenDb();
  PutAll(db.get(), {{"a", "1"}, {"b", "2"}, {"c", "3"}});
  Codes codes = {9};
  ASSERT_TRUE(
      db->Delete({{"a", ""}, {"b", "other"}, {"c", "3"}, {"d", ""}}, true,
                 &codes)
          .ok());
  EXPECT_EQ(codes, (Codes{9, 0, 2, 0, 1}));
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{"b", "2"}}));
}

TEST_F(WriteTest, ComputeReturnValuesListWhatToWrite) {
  auto db = OpenDb();
  PutAll(db.get(), {{"a", "1"}, {"b", "2"}});
  DbAccess::Records to_write;
  Codes codes;
  Strings stored;
  ASSERT_TRUE(db->ComputeReturnValuesForPut({{"a", "1"}, {"b", "9"}, {"c", "3"}},
                                            &to_write, &codes, &stored)
                  .ok());
  EXPECT_EQ(to_write, (DbAccess::Records{{"b", "9"}, {"c", "3"}}));
  EXPECT_EQ(codes, (Codes{2, 1, 0}));
  EXPECT_EQ(stored, (Strings{"1", "2", ""}));

  Strings to_delete;
  codes.clear();
  stored.clear();
  ASSERT_TRUE(db->ComputeReturnValuesForDelete(
                    {{"a", "x"}, {"b", "2"}, {"c", ""}}, &to_delete, &codes,
                    &stored)
                  .ok());
  EXPECT_EQ(to_delete, (Strings{"b"}));
  EXPECT_EQ(codes, (Codes{2, 0, 1}));
  EXPECT_EQ(stored, (Strings{"1", "2", ""}));
  // Nothing was written by either.
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{"a", "1"}, {"b", "2"}}));
}

TEST_F(WriteTest, WriteTxnAppliesPutsThenDeletesAfterTheHook) {
  auto db = OpenDb();
  PutAll(db.get(), {{"old", "x"}});
  int hook_calls = 0;
  std::string seen_during_hook;
  const std::vector<DbAccess::TxnPut> puts = {
      {"a", boost::make_shared<std::string>("1")},
      {"both", boost::make_shared<std::string>("2")},
      {"empty", boost::make_shared<std::string>()}};
  ASSERT_TRUE(db->WriteTxn(puts, {"both", "old", "missing"}, false, [&] {
                  ++hook_calls;
                  std::vector<std::string> values;
                  db->Get(nullptr, {"a", "old"}, &values);
                  seen_during_hook = values[0] + "|" + values[1];
                }).ok());
  EXPECT_EQ(hook_calls, 1);
  EXPECT_EQ(seen_during_hook, "|x");
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{"a", "1"}, {"empty", ""}}));
}

// The consuming form writes what the other does and has let go of every key
// and value by the time the batch is written.
TEST_F(WriteTest, ConsumingWriteTxnReleasesPutsBeforeTheWrite) {
  auto db = OpenDb();
  PutAll(db.get(), {{"old", "x"}});
  const auto value = boost::make_shared<std::string>("1");
  std::vector<DbAccess::TxnPut> puts = {{"a", value},
                                        {"both", boost::make_shared<std::string>("2")},
                                        {"empty", nullptr}};
  long holders_at_hook = 0;
  ASSERT_TRUE(db->WriteTxn(std::move(puts), {"both", "old"}, false,
                           [&] { holders_at_hook = value.use_count(); })
                  .ok());
  EXPECT_EQ(holders_at_hook, 1);
  EXPECT_TRUE(puts.empty());  // the call empties it
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{"a", "1"}, {"empty", ""}}));
}

// Batches past a megabyte are sized before they are filled; what they
// write is still exactly their puts, then their deletes.
TEST_F(WriteTest, LargeWriteTxnWritesExactlyItsRecords) {
  auto db = OpenDb();
  PutAll(db.get(), {{"old", "x"}});
  DbAccess::Records expected;
  std::vector<DbAccess::TxnPut> puts;
  for (int i = 0; i < 300; ++i) {
    const std::string key = "k" + std::to_string(1000 + i);
    const std::string value(10000 + i, static_cast<char>('a' + i % 26));
    puts.emplace_back(key, boost::make_shared<std::string>(value));
    if (i != 7) expected.emplace_back(key, value);
  }
  const std::vector<DbAccess::TxnPut> copied = puts;
  ASSERT_TRUE(db->WriteTxn(copied, {"k1007", "old"}, false, [] {}).ok());
  EXPECT_EQ(All(db.get()), expected);

  PutAll(db.get(), {{"k1007", "y"}, {"old", "x"}});
  ASSERT_TRUE(db->WriteTxn(std::move(puts), {"k1007", "old"}, false, [] {}).ok());
  EXPECT_EQ(All(db.get()), expected);
}

TEST_F(WriteTest, ThrowingHookWritesNothing) {
  auto db = OpenDb();
  const std::vector<DbAccess::TxnPut> puts = {
      {"a", boost::make_shared<std::string>("1")}};
  EXPECT_THROW(db->WriteTxn(puts, {}, false,
                            [] { throw std::runtime_error("hook"); }),
               std::runtime_error);
  EXPECT_TRUE(All(db.get()).empty());
  EXPECT_EQ(Samples("server/db_access/write_txn/latency"), 1u);
}

TEST_F(WriteTest, SyncFlagHoldsForOneWriteOnly) {
  FaultEnv env;
  auto db = OpenDb(&env);
  Codes codes;
  const int base = env.log_syncs();
  ASSERT_TRUE(db->Put({{"a", "1"}}, true, &codes).ok());
  EXPECT_EQ(env.log_syncs(), base + 1);
  ASSERT_TRUE(db->Put({{"b", "1"}}, false, &codes).ok());
  ASSERT_TRUE(db->Delete({{"a", ""}}, false, &codes).ok());
  EXPECT_EQ(env.log_syncs(), base + 1);
  const std::vector<DbAccess::TxnPut> puts = {
      {"c", boost::make_shared<std::string>("1")}};
  ASSERT_TRUE(db->WriteTxn(puts, {}, true, [] {}).ok());
  EXPECT_EQ(env.log_syncs(), base + 2);
  ASSERT_TRUE(db->DeleteByPrefixes({"c"}, false).ok());
  ASSERT_TRUE(db->WriteTxn(puts, {}, false, [] {}).ok());
  EXPECT_EQ(env.log_syncs(), base + 2);
}

TEST_F(WriteTest, DeleteByPrefixesRemovesOnlyMatchingRecords) {
  auto db = OpenDb();
  const std::string objects(kObjectPrefix);
  const std::string type1 = objects + "\x01";
  const std::string type2 = objects + "\x02";
  const std::string type3_a = objects + "\x03" + "a";
  const std::string txn_id(kTxnIdKey);
  PutAll(db.get(), {{type1 + "a", "1"},
                    {type1 + "b", "2"},
                    {type2 + "a", "3"},
                    {type3_a, "4"},
                    {txn_id, "42"}});
  ASSERT_TRUE(db->DeleteByPrefixes({type2, type1, type1 + "a"}, false).ok());
  EXPECT_EQ(All(db.get()), (DbAccess::Records{{type3_a, "4"}, {txn_id, "42"}}));
}

// Copies log lines to standard error, where a death test can match them.
class StderrSink : public orv::LogSink {
 public:
  void Syslog(int, const std::string& message) override {
    std::fprintf(stderr, "%s\n", message.c_str());
  }
  void Stdout(const std::string&) override {}
};

TEST_F(WriteTest, WriteIoErrorEndsProcessWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FaultEnv env;
  auto db = OpenDb(&env);
  const std::vector<DbAccess::TxnPut> puts = {
      {"a", boost::make_shared<std::string>("1")}};
  EXPECT_EXIT(
      {
        StderrSink sink;
        orv::SetLogSink(&sink);
        env.FailLogAppends(true);
        db->WriteTxn(puts, {}, false, [] {});
      },
      ::testing::ExitedWithCode(1),
      "errorCode=\"DRX0103\".*leveldb::DB::Write\\(\\) failed: IO error");
  // The parent still writes.
  EXPECT_TRUE(db->WriteTxn(puts, {}, false, [] {}).ok());
}

// Writes each syslog line to a file descriptor, as the daemon's sink writes
// its standard-output copies.
class FdSink : public orv::LogSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  void Syslog(int, const std::string& message) override { Write(message + "\n"); }
  void Stdout(const std::string&) override {}
  void Write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

 private:
  const int fd_;
};

FdSink* g_child_output = nullptr;  // in the child

// The daemon at a full disk, in a forked child writing to `out`: threads
// log and run while this one's write fails with ENOSPC. An exit handler
// says whether the end ran exit handlers. Never returns.
[[noreturn]] void WriteOnFullDisk(orv::metrics::MetricRegistry& registry,
                                  const std::string& directory, int out) {
  g_child_output = new FdSink(out);
  std::atexit([] { g_child_output->Write("exit handlers ran\n"); });
  orv::Logger::logLevel = orv::INFO;
  // Lines linger in the queue: only a flush writes the last one in time.
  orv::AsyncLogSink sink(g_child_output,
                         orv::AsyncLogSink::Options{4096, 1 << 20, std::chrono::seconds(30)});
  orv::SetLogSink(&sink);
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int i = 0; i < 4; ++i) {
    busy.emplace_back([&stop] {
      while (!stop) {
        TARNIX_LOG(orv::INFO, nullptr, "%s", "busy");
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  FaultEnv env;
  DbAccess db(registry, &env);
  if (db.Open(directory).ok()) {
    env.FailLogAppends(true, leveldb::Status::IOError(directory, std::strerror(ENOSPC)));
    db.WriteTxn({{"a", boost::make_shared<std::string>("1")}}, {}, false, [] {});
  }
  _exit(99);  // the write returned, or the open failed
}

struct ChildEnd {
  bool ended = false;  // else killed after the time limit
  int status = 0;
  std::string output;
};

// Waits up to `limit` for `child` while reading its output from `out`; a
// child still running then is killed.
ChildEnd Await(pid_t child, int out, std::chrono::milliseconds limit) {
  ChildEnd end;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto read_some = [&end, out] {
    char buffer[65536];
    const ssize_t n = read(out, buffer, sizeof(buffer));
    if (n > 0) end.output.append(buffer, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
  };
  while (!end.ended) {
    pollfd readable{out, POLLIN, 0};
    if (poll(&readable, 1, 5) > 0) read_some();
    end.ended = waitpid(child, &end.status, WNOHANG) == child;
    if (!end.ended && std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &end.status, 0);
      return end;
    }
  }
  while (read_some()) {
  }
  return end;
}

// A full disk while other threads run ends the process at once with status
// 1 and the DRX0103 line written, every time: std::exit there ran exit
// handlers and static destructors beside live threads, and crashed or hung.
TEST_F(WriteTest, FullDiskEndsProcessAtOnceBesideRunningThreads) {
  for (int run = 0; run < 20; ++run) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      WriteOnFullDisk(registry_, db_dir_ + std::to_string(run), pipe_fds[1]);
    }
    close(pipe_fds[1]);
    const ChildEnd end = Await(child, pipe_fds[0], std::chrono::seconds(1));
    close(pipe_fds[0]);
    ASSERT_TRUE(end.ended) << "run " << run << ": still running after 1 s";
    ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 1)
        << "run " << run << ": wait status " << end.status;
    EXPECT_NE(end.output.find("errorCode=\"DRX0103\"] leveldb::DB::Write() failed: IO error: " +
                              db_dir_ + std::to_string(run) + ": No space left on device"),
              std::string::npos)
        << "run " << run;
    ASSERT_EQ(end.output.find("exit handlers ran"), std::string::npos) << "run " << run;
  }
}

}  // namespace
}  // namespace tarnix

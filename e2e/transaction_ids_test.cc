// Transaction ids after the write-ahead log lost whole writes, as a crash of
// the machine leaves it when writes did not ask for sync: the log ends on a
// write's boundary and the open cannot tell. No id handed out before is
// given again; after a clean stop ids go on right after the last.

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

namespace fs = boost::filesystem;

constexpr char kWriter[] = "inventory-agent";
constexpr int kPuts = 300;
// Start-up then runs no transaction of its own: ids go on from the last Put.
const std::vector<std::string> kArgs = {"--disable_flush_ephemeral"};

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The one write-ahead log of the database in `db`.
std::string OnlyLog(const std::string& db) {
  std::vector<std::string> logs;
  for (const fs::directory_entry& entry : fs::directory_iterator(db)) {
    if (entry.path().extension() == ".log") logs.push_back(entry.path().string());
  }
  EXPECT_EQ(logs.size(), 1u) << db;
  return logs.size() == 1 ? logs[0] : "";
}

// Where each whole write of a LevelDB log ends: records of 7-byte headers
// (checksum, 16-bit length, type) in 32 KiB blocks, a write ending with a
// full (1) or last (4) record; a block's tail too short for a header is
// padding.
std::vector<size_t> WriteEnds(const std::string& log) {
  constexpr size_t kBlock = 32768;
  constexpr size_t kHeader = 7;
  std::vector<size_t> ends;
  size_t pos = 0;
  while (pos + kHeader <= log.size()) {
    const size_t left = kBlock - pos % kBlock;
    if (left < kHeader) {
      pos += left;
      continue;
    }
    const size_t length = static_cast<uint8_t>(log[pos + 4]) |
                          static_cast<size_t>(static_cast<uint8_t>(log[pos + 5])) << 8;
    const int type = static_cast<uint8_t>(log[pos + 6]);
    pos += kHeader + length;
    if (pos > log.size()) break;
    if (type == 1 || type == 4) ends.push_back(pos);
  }
  return ends;
}

enum class Cut { kFifthLast, kFiftiethLast, kHalf };

// Cuts the database's log right after a whole write, as a power loss does
// to appends that were never synced.
void CutLog(const std::string& db, Cut cut) {
  const std::string path = OnlyLog(db);
  const std::string log = FileBytes(path);
  const std::vector<size_t> ends = WriteEnds(log);
  ASSERT_GT(ends.size(), 100u);
  size_t keep = 0;
  switch (cut) {
    case Cut::kFifthLast:
      keep = ends[ends.size() - 5];
      break;
    case Cut::kFiftiethLast:
      keep = ends[ends.size() - 50];
      break;
    case Cut::kHalf:
      for (size_t end : ends) {
        if (end <= log.size() / 2) keep = end;
      }
      break;
  }
  fs::resize_file(path, keep);
}

class TransactionIdsTest : public ::testing::Test {
 protected:
  std::string Db() const { return dir_.path() + "/db"; }

  // One Put of a device, not synced.
  static grpc::Status PutDevice(TarnixClient* client, ExampleSchema* schema, int device) {
    tx::PutRequestMsg put;
    *put.add_puts()->mutable_object() =
        Typed(kDeviceType, schema->Device(device, "host-" + std::to_string(device)));
    return client->Write(&tx::Tarnix::Stub::Put, kWriter, {put});
  }


  // Starts the daemon, puts a device and returns its transaction's id; a
  // clean stop follows.
  uint64_t NextTxnId() {
    ServingDaemon daemon(dir_.path(), Db(), kArgs);
    EXPECT_TRUE(daemon.serving());
    if (!daemon.serving()) return 0;
    TarnixClient client(daemon.channel());
    EXPECT_TRUE(PutDevice(&client, &schema_, ++device_).ok());
    const uint64_t id = LastTxnId(&client, kWriter);
    EXPECT_EQ(daemon.Stop(), 0);
    return id;
  }

  TempDir dir_;
  ExampleSchema schema_;
  int device_ = 1000;
};

// After a clean stop the log loses its last writes whole: the next id lies
// past every one handed out, right after the last.
TEST_F(TransactionIdsTest, LogCutOnAWriteBoundaryAfterACleanStop) {
  const std::string written = dir_.path() + "/written";
  uint64_t last = 0;
  {
    ServingDaemon daemon(dir_.path(), written, kArgs);
    ASSERT_TRUE(daemon.serving());
    TarnixClient client(daemon.channel());
    for (int device = 0; device < kPuts; ++device) {
      ASSERT_TRUE(PutDevice(&client, &schema_, device).ok());
    }
    last = LastTxnId(&client, kWriter);
    ASSERT_GE(last, static_cast<uint64_t>(kPuts));
    ASSERT_EQ(daemon.Stop(), 0);
  }
  for (Cut cut : {Cut::kFifthLast, Cut::kFiftiethLast, Cut::kHalf}) {
    SCOPED_TRACE("cut " + std::to_string(static_cast<int>(cut)));
    fs::remove_all(Db());
    fs::create_directory(Db());
    for (const fs::directory_entry& entry : fs::directory_iterator(written)) {
      fs::copy_file(entry.path(), Db() + "/" + entry.path().filename().string());
    }
    CutLog(Db(), cut);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(NextTxnId(), last + 1);
  }
}

// kill -9 while a client puts without sync, and the log then loses half its
// writes, as the machine's crash may leave it: the next id lies past every
// one handed out before; a clean restart then goes on right after it.
TEST_F(TransactionIdsTest, KillDuringWritesThenLostWrites) {
  ServingDaemon daemon(dir_.path(), Db(), kArgs);
  ASSERT_TRUE(daemon.serving());
  uint64_t before = 0;
  {
    TarnixClient client(daemon.channel());
    before = LastTxnId(&client, kWriter);  // start-up's own transactions
  }
  // One id per Put, one Put at a time: every id handed out is at most
  // before + acknowledged + 1.
  std::atomic<int> acknowledged{0};
  std::thread writer([&] {
    TarnixClient client(daemon.channel());
    ExampleSchema schema;
    for (int device = 0; PutDevice(&client, &schema, device).ok(); ++device) ++acknowledged;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (acknowledged < kPuts && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  daemon.Stop(SIGKILL);
  writer.join();
  ASSERT_GE(acknowledged, kPuts);
  const uint64_t handed_out = before + acknowledged + 1;
  CutLog(Db(), Cut::kHalf);
  ASSERT_FALSE(HasFatalFailure());
  const uint64_t next = NextTxnId();
  EXPECT_GT(next, handed_out);
  EXPECT_EQ(NextTxnId(), next + 1);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

#include "storage/range_compactor.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "storage/db_access.h"
#include "storage/db_access_test_util.h"
#include "storage/fault_env.h"

namespace tarnix {
namespace {

using RangeCompactorTest = DbAccessTest;

std::string Key(char region, int i) {
  char key[16];
  std::snprintf(key, sizeof(key), "%c%05d", region, i);
  return key;
}

void PutRegion(DbAccess* db, char region, int count) {
  DbAccess::Records records;
  for (int i = 0; i < count; ++i) records.emplace_back(Key(region, i), std::string(200, 'v'));
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put(records, false, &codes).ok());
}

// Deletes `count` keys of `region` from the `first`.
void DeleteRegion(DbAccess* db, char region, int count, int first = 0) {
  DbAccess::Records records;
  for (int i = first; i < first + count; ++i) records.emplace_back(Key(region, i), "");
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Delete(records, false, &codes).ok());
}

// The bytes LevelDB's tables hold under `region`, deleted entries included:
// none once a compaction dropped them, and a scan then meets none.
uint64_t StoredBytes(DbAccess* db, char region) {
  const std::string from(1, region);
  const std::string limit(1, static_cast<char>(region + 1));
  const leveldb::Range range(from, limit);
  uint64_t bytes = 0;
  db->GetSnapshot()->db()->GetApproximateSizes(&range, 1, &bytes);
  return bytes;
}

TEST_F(RangeCompactorTest, ACompactedDeletedRangeLeavesNothingStored) {
  auto db = OpenDb();
  RangeCompactor compactor(db.get(), 64 << 10);
  PutRegion(db.get(), 'a', 5000);
  PutRegion(db.get(), 'b', 100);
  compactor.Compact("a", "b");
  compactor.WaitIdle();
  ASSERT_GT(StoredBytes(db.get(), 'a'), 0u);

  DeleteRegion(db.get(), 'a', 5000);
  compactor.Compact(Key('a', 0), Key('a', 4999));
  compactor.WaitIdle();
  EXPECT_EQ(StoredBytes(db.get(), 'a'), 0u);
  EXPECT_EQ(compactor.compactions(), 2u);
  EXPECT_EQ(All(db.get()).size(), 100u);
}

// A rolling log deletes its oldest keys as it adds new ones, and LevelDB's
// own compactions, which the same writes drive, keep up with that: nothing
// is handed over while it goes on. A burst of deletes followed by a pause
// is compacted, once.
TEST_F(RangeCompactorTest, DeletesAreHandedOverOnceTheyPause) {
  auto db = OpenDb();
  const std::chrono::milliseconds kQuiet(500);
  RangeCompactor compactor(db.get(), RangeCompactor::kPieceBytes, kQuiet);
  // 20,000 deletes over more than three quiet periods, in steps far apart
  // from none.
  const int kStep = 200;
  const int kLive = 2000;
  for (int first = 0; first < 22000; first += kStep) {
    DbAccess::Records puts;
    for (int i = first; i < first + kStep; ++i) puts.emplace_back(Key('a', i), "entry");
    PutAll(db.get(), puts);
    if (first >= kLive) {
      DeleteRegion(db.get(), 'a', kStep, first - kLive);
      compactor.NoteDeletes(kStep, Key('a', first - kLive), Key('a', first - kLive + kStep - 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  EXPECT_EQ(compactor.compactions(), 0u);

  DbAccess::Records burst;
  for (int i = 0; i < 100000; ++i) burst.emplace_back(Key('b', i), "device");
  PutAll(db.get(), burst);
  DeleteRegion(db.get(), 'b', 100000);
  compactor.NoteDeletes(100000, Key('b', 0), Key('b', 99999));
  compactor.WaitIdle();
  EXPECT_EQ(compactor.compactions(), 1u);
  EXPECT_EQ(StoredBytes(db.get(), 'b'), 0u);
}

// Holds the compaction thread in its first table write.
class HeldCompactionTest : public RangeCompactorTest {
 protected:
  // Opens the gate when a test leaves, before its compactor stops.
  struct OpenAtExit {
    SyncGate& gate;
    ~OpenAtExit() { gate.Open(); }
  };

  void Hold() { env_.SetTableCreationHook(gate_.Hook()); }
  bool Held() { return gate_.WaitForSync(std::chrono::seconds(30)); }

  FaultEnv env_;
  SyncGate gate_;
};

TEST_F(HeldCompactionTest, RangesHandedOverDuringACompactionAreMergedIntoOne) {
  auto db = OpenDb(&env_);
  RangeCompactor compactor(db.get());
  const OpenAtExit open_at_exit{gate_};
  for (char region : {'a', 'b', 'c'}) PutRegion(db.get(), region, 1000);
  compactor.Compact("a", "d");
  compactor.WaitIdle();
  ASSERT_GT(StoredBytes(db.get(), 'b'), 0u);
  ASSERT_GT(StoredBytes(db.get(), 'c'), 0u);

  Hold();
  DeleteRegion(db.get(), 'a', 1000);
  compactor.Compact(Key('a', 0), Key('a', 999));
  ASSERT_TRUE(Held());
  // Written after the held compaction took the memtable: only a compaction
  // of their own drops them.
  DeleteRegion(db.get(), 'c', 1000);
  DeleteRegion(db.get(), 'b', 1000);
  orv::Logger::logLevel = orv::INFO;
  orv::LogCapture capture;
  compactor.Compact(Key('c', 0), Key('c', 999));
  compactor.Compact(Key('b', 0), Key('b', 999));
  gate_.Open();
  compactor.WaitIdle();
  EXPECT_EQ(compactor.compactions(), 3u);
  EXPECT_EQ(capture.Count("from 'b00000' to 'c00999' done"), 1u);
  for (char region : {'a', 'b', 'c'}) EXPECT_EQ(StoredBytes(db.get(), region), 0u) << region;
}

// Put and deleted just before, in memtables that LevelDB writes out once the
// compaction has started: the puts land in a level past the one the
// deletes go to, and the compaction still reaches both.
TEST_F(HeldCompactionTest, RecordsDeletedWhileTheirPutsAreWrittenOutAreDropped) {
  auto db = OpenDb(&env_);
  RangeCompactor compactor(db.get());
  const OpenAtExit open_at_exit{gate_};
  Hold();
  PutRegion(db.get(), 'a', 25000);  // more than a memtable holds
  DeleteRegion(db.get(), 'a', 25000);
  ASSERT_TRUE(Held());
  compactor.Compact(Key('a', 0), Key('a', 24999));
  // Time for the compaction to start before the puts are written out.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gate_.Open();
  compactor.WaitIdle();
  EXPECT_EQ(StoredBytes(db.get(), 'a'), 0u);
}

TEST_F(HeldCompactionTest, StopWaitsForThePieceInFlightOnly) {
  auto db = OpenDb(&env_);
  RangeCompactor compactor(db.get(), 4 << 10);
  const OpenAtExit open_at_exit{gate_};
  PutRegion(db.get(), 'a', 5000);
  compactor.Compact("a", "b");
  compactor.WaitIdle();
  ASSERT_EQ(compactor.compactions(), 1u);

  Hold();
  DeleteRegion(db.get(), 'a', 5000);
  compactor.Compact(Key('a', 0), Key('a', 4999));
  ASSERT_TRUE(Held());
  std::future<void> stopped = std::async(std::launch::async, [&compactor] { compactor.Stop(); });
  // Time for Stop() to ask before the piece ends; were it late, the range
  // would be finished and the count below would show it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gate_.Open();
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(compactor.compactions(), 1u);
  compactor.Compact("a", "b");
  compactor.WaitIdle();
  EXPECT_EQ(compactor.compactions(), 1u);
}

}  // namespace
}  // namespace tarnix

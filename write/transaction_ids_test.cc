#include "write/transaction_ids.h"

#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <leveldb/env.h>

#include "schema/compact_uint.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

// Fills the memtable so that the next write must start a new log file, and
// makes that file's creation fail: the write fails without an I/O error,
// which would end the process.
void FailNextWrite(DbAccess* db, FaultEnv* env) {
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put({{"\x7F" "filler", std::string((4 << 20) + 1, 'f')}}, false, &codes).ok());
  env->FailFileCreations(".log", 1, leveldb::Status::Corruption("injected"));
}

// Counts the writes of the bound file; each is synced.
class BoundWriteCounter : public leveldb::EnvWrapper {
 public:
  explicit BoundWriteCounter(leveldb::Env* target) : leveldb::EnvWrapper(target) {}
  leveldb::Status NewWritableFile(const std::string& name,
                                  leveldb::WritableFile** result) override {
    if (name.find(DbAccess::kTxnIdBoundTempFile) != std::string::npos) ++writes;
    return target()->NewWritableFile(name, result);
  }
  int writes = 0;
};

class TransactionIdsTest : public WriteTest {
 protected:
  // A database holding `text` as its last id, and no bound.
  void Store(const std::string& text) {
    PutAll(db_.get(), {{kTxnIdKey, text}});
    RemoveBound();
  }
  void RemoveBound() { boost::filesystem::remove(BoundPath()); }
  std::string BoundPath() const { return db_dir_ + "/" + DbAccess::kTxnIdBoundFile; }

  // The id the next transaction gets after a start-up, followed by a clean
  // stop.
  uint64_t NextAfterStart() {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    uint64_t id = 0;
    EXPECT_TRUE(ids.GetNextTxnId(&id));
    EXPECT_TRUE(ids.Stop());
    return id;
  }

  // Hands out `n` ids, each written without sync; the last one.
  static uint64_t Hand(TransactionIds* ids, int n) {
    uint64_t id = 0;
    for (int i = 0; i < n; ++i) EXPECT_TRUE(ids->GetNextTxnId(&id));
    return id;
  }

  // The power goes off with the database open: the writes that did not ask
  // for sync are gone whole, as after a crash of the machine.
  void LosePower(FaultEnv* env) {
    env->PowerLoss();
    db_.reset();
    ASSERT_TRUE(env->DropUnsyncedData().ok());
    db_ = OpenDb(env);
    ASSERT_FALSE(db_->lost_data_at_open());  // the loss goes unnoticed
  }
};

TEST_F(TransactionIdsTest, NewDatabaseStartsAtOneAndRestartContinues) {
  EXPECT_EQ(NextAfterStart(), 1u);
  EXPECT_TRUE(HasLine("INFO", "",
                      "DbAccess error in TarnixServer::InitTxnId(): NotFound: . txn_id_ set to 0."));
  EXPECT_EQ(NextAfterStart(), 2u);
  Reopen();
  EXPECT_EQ(NextAfterStart(), 3u);
  EXPECT_EQ(All(db_.get()), DbAccess::Records({{kTxnIdKey, "3"}}));
}

TEST_F(TransactionIdsTest, StoredValuesWithoutKeyEncodingStartOver) {
  for (const std::string bad : {"abc", "", "-5", "12x", "+", "2305843009213693952"}) {
    Store(bad);
    EXPECT_EQ(NextAfterStart(), 1u) << bad;
    EXPECT_TRUE(HasLine("ERROR", "DRX0005", "Transaction id " + bad + " is not a valid integer"));
  }
  Store("+42");
  EXPECT_EQ(NextAfterStart(), 43u);
}

TEST_F(TransactionIdsTest, HandsOutNothingWithoutAPlaceOrAKeyEncoding) {
  Store("5");
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  EXPECT_FALSE(ids.GetNextTxnId(nullptr));
  EXPECT_EQ(ids.txn_id(), 5u);
  EXPECT_EQ(All(db_.get()), DbAccess::Records({{kTxnIdKey, "5"}}));

  Store(std::to_string(kCompactUint64Limit - 1));
  ids.InitTxnId();
  uint64_t id = 0;
  EXPECT_FALSE(ids.GetNextTxnId(&id));
  EXPECT_EQ(ids.txn_id(), kCompactUint64Limit - 1);
  EXPECT_TRUE(HasLine("ERROR", "",
                      "Transaction id 2305843009213693951 is the last one available; no further "
                      "id is handed out"));
}

TEST_F(TransactionIdsTest, AnIdThatFailsToPersistIsSkipped) {
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  FailNextWrite(db_.get(), &env);
  uint64_t id = 0;
  EXPECT_FALSE(ids.GetNextTxnId(&id));
  EXPECT_EQ(id, 1u);
  EXPECT_TRUE(HasLine("INFO", "",
                      "DbAccess error in TarnixServer::GetNextTxnId(): Corruption: injected. "
                      "txn_id_ not persisted to db."));
  EXPECT_TRUE(ids.GetNextTxnId(&id));
  EXPECT_EQ(id, 2u);
  std::string stored;
  ASSERT_TRUE(db_->Get(db_->GetSnapshot(), kTxnIdKey, &stored).ok());
  EXPECT_EQ(stored, "2");
  db_.reset();
}

TEST_F(TransactionIdsTest, AdvancesPastAHigherLoggedIdOnly) {
  Store("10");
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  ids.AdvancePastLoggedTxnId(9);
  EXPECT_EQ(ids.txn_id(), 10u);
  ids.AdvancePastLoggedTxnId(25);
  EXPECT_TRUE(HasLine("WARNING", "",
                      "Transaction log holds transaction id 25 above the stored id 10; "
                      "txn_id_ raised to 25."));
  EXPECT_EQ(ids.txn_id(), 25u);
}

// The ids of writes lost with a cut log are never given again.
TEST_F(TransactionIdsTest, AfterAnOpenThatLostDataIdsNeverGoBack) {
  {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    uint64_t id = 0;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(ids.GetNextTxnId(&id));
  }
  db_.reset();
  for (const std::string& name : Files()) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
    std::string log = ReadFile(db_dir_ + "/" + name);
    log.resize(log.size() - 3);  // inside the write of id 5
    WriteFile(db_dir_ + "/" + name, log);
  }
  RemoveBound();  // a database from before the bound
  db_ = OpenDb();
  ASSERT_TRUE(db_->lost_data_at_open());
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  EXPECT_EQ(ids.txn_id(), 4u);
  ids.AdvancePastLostIds();
  EXPECT_EQ(ids.txn_id(), 4 + TransactionIds::kLostIdMargin);
  EXPECT_TRUE(HasLine("WARNING", "",
                      "The database lost data when it was opened: transaction ids go on after " +
                          std::to_string(4 + TransactionIds::kLostIdMargin) +
                          " instead of 4, past any id given out in what was lost"));
  Reopen();  // a clean open loses nothing, and the new start was stored
  EXPECT_FALSE(db_->lost_data_at_open());
  EXPECT_EQ(NextAfterStart(), 5 + TransactionIds::kLostIdMargin);
}

// A database without a bound gets one with its first id; it moves a step
// ahead of the last id each time an id would pass it, one synced write per
// step, and a clean stop sets it to the last id.
TEST_F(TransactionIdsTest, BoundRunsAStepAheadAndAStopSetsItToTheLastId) {
  BoundWriteCounter env(leveldb::Env::Default());
  db_.reset();
  db_ = OpenDb(&env);
  Store("7");
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  EXPECT_EQ(ids.txn_id(), 7u);
  EXPECT_FALSE(boost::filesystem::exists(BoundPath()));
  uint64_t id = 0;
  ASSERT_TRUE(ids.GetNextTxnId(&id));
  EXPECT_EQ(id, 8u);
  EXPECT_EQ(ReadFile(BoundPath()), std::to_string(7 + TransactionIds::kBoundStep));
  EXPECT_EQ(env.writes, 1);
  const uint64_t steps = 3;
  for (uint64_t i = 1; i < steps * TransactionIds::kBoundStep; ++i) {
    ASSERT_TRUE(ids.TakeTxnId(&id));
    ids.MarkPersisted();
    ASSERT_LE(id, ids.bound());
  }
  EXPECT_EQ(id, 7 + steps * TransactionIds::kBoundStep);
  EXPECT_EQ(env.writes, static_cast<int>(steps));  // once per step
  EXPECT_EQ(ReadFile(BoundPath()), std::to_string(id));
  ASSERT_TRUE(ids.TakeTxnId(&id));
  EXPECT_EQ(env.writes, static_cast<int>(steps) + 1);
  EXPECT_TRUE(ids.Stop());
  EXPECT_EQ(ReadFile(BoundPath()), std::to_string(id));
  EXPECT_FALSE(boost::filesystem::exists(db_dir_ + "/" + DbAccess::kTxnIdBoundTempFile));
  db_.reset();
}

// A crash of the machine drops writes made without sync, the id record's
// among them: the ids go on above the bound, past every id handed out.
TEST_F(TransactionIdsTest, AfterACrashIdsGoOnAboveEveryIdHandedOut) {
  FaultEnv env;
  db_.reset();
  env.EnablePowerLossModel();
  db_ = OpenDb(&env);
  uint64_t last = 0;
  {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    last = Hand(&ids, 10);
  }
  LosePower(&env);
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  EXPECT_TRUE(HasLine("WARNING", "",
                      "Transaction id bound " + std::to_string(TransactionIds::kBoundStep) +
                          " lies above the stored id 0: ids up to it may have been handed out "
                          "before; transaction ids go on after " +
                          std::to_string(TransactionIds::kBoundStep)));
  uint64_t id = 0;
  ASSERT_TRUE(ids.GetNextTxnId(&id));
  EXPECT_GT(id, last);
  EXPECT_EQ(id, TransactionIds::kBoundStep + 1);
  db_.reset();
}

// After a clean stop the ids go on right after the last, even when the
// writes made without sync are lost afterwards.
TEST_F(TransactionIdsTest, AfterACleanStopIdsGoOnRightAfterTheLast) {
  FaultEnv env;
  db_.reset();
  env.EnablePowerLossModel();
  db_ = OpenDb(&env);
  {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    EXPECT_EQ(Hand(&ids, 10), 10u);
    EXPECT_TRUE(ids.Stop());
  }
  db_.reset();
  db_ = OpenDb(&env);
  EXPECT_EQ(NextAfterStart(), 11u);
  {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    EXPECT_EQ(Hand(&ids, 5), 16u);
    EXPECT_TRUE(ids.Stop());
  }
  LosePower(&env);
  std::string stored;
  ASSERT_TRUE(db_->Get(db_->GetSnapshot(), kTxnIdKey, &stored).ok());
  EXPECT_LT(std::stoull(stored), 16u);  // lost with the writes never synced
  EXPECT_EQ(NextAfterStart(), 17u);
  db_.reset();
}

// No id passes a bound that is not on disk; a bound file that holds no id
// may hide any id, and the ids move on as after lost data.
TEST_F(TransactionIdsTest, BoundThatCannotBeWrittenOrReadStopsOrMovesTheIds) {
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  TransactionIds ids(db_.get());
  ids.InitTxnId();
  env.FailFileCreations(DbAccess::kTxnIdBoundTempFile, 1);
  uint64_t id = 0;
  EXPECT_FALSE(ids.GetNextTxnId(&id));
  EXPECT_EQ(ids.txn_id(), 0u);
  EXPECT_TRUE(HasLine("ERROR", "",
                      "Raising the transaction id bound to " +
                          std::to_string(TransactionIds::kBoundStep) +
                          " failed: IO error: injected; no id above 0 is handed out"));
  env.FailFileCreations(DbAccess::kTxnIdBoundTempFile, 1);
  EXPECT_FALSE(ids.Stop());
  ASSERT_TRUE(ids.GetNextTxnId(&id));
  EXPECT_EQ(id, 1u);

  WriteFile(BoundPath(), "12x");
  ids.InitTxnId();
  EXPECT_EQ(ids.txn_id(), 1 + TransactionIds::kLostIdMargin);
  EXPECT_TRUE(HasLine("ERROR", "",
                      "Transaction id bound '" + BoundPath() +
                          "' holds no transaction id: transaction ids go on after " +
                          std::to_string(1 + TransactionIds::kLostIdMargin) +
                          " instead of 1, past any id given out before"));
  db_.reset();
}

}  // namespace
}  // namespace tarnix

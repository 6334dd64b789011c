#include "write/transaction_ids.h"

#include <string>
#include <vector>

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

class TransactionIdsTest : public WriteTest {
 protected:
  void Store(const std::string& text) { PutAll(db_.get(), {{kTxnIdKey, text}}); }

  // The id the next transaction gets after a start-up.
  uint64_t NextAfterStart() {
    TransactionIds ids(db_.get());
    ids.InitTxnId();
    uint64_t id = 0;
    EXPECT_TRUE(ids.GetNextTxnId(&id));
    return id;
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

}  // namespace
}  // namespace tarnix

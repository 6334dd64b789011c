#include "write/transaction_ids.h"

#include <string>

#include "schema/compact_uint.h"
#include "storage/key_space.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

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
  TransactionIds ids(db_.get());
  EXPECT_FALSE(ids.GetNextTxnId(nullptr));
  EXPECT_TRUE(All(db_.get()).empty());

  Store(std::to_string(kCompactUint64Limit - 1));
  ids.InitTxnId();
  uint64_t id = 0;
  EXPECT_FALSE(ids.GetNextTxnId(&id));
  EXPECT_EQ(ids.txn_id(), kCompactUint64Limit - 1);
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

}  // namespace
}  // namespace tarnix

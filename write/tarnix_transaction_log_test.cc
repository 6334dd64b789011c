#include "write/tarnix_transaction_log.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

using caldek::orv::tarnix::TransactionLogUnitMsg;
using Ids = std::vector<std::string>;
using VdbIds = std::vector<uint32_t>;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";

class TarnixTransactionLogTest : public ::testing::Test {
 protected:
  std::vector<TransactionLogUnitMsg> Build(TarnixTransactionLog* log) {
    TarnixTransactionLog::Units units;
    log->BuildTransactionLogUnits(&units);
    std::vector<TransactionLogUnitMsg> out;
    for (const auto& unit : units) EXPECT_TRUE(out.emplace_back().ParseFromString(*unit));
    return out;
  }

  void Change(uint32_t kind, const std::string& id, const VdbIdSet& vdbs,
              const char* type = kDevice) {
    log_.update_records.emplace_back(kind, type, id, vdbs);
  }

  // Fields 1 to 3 are on a transaction's first unit only.
  static void ExpectHeader(const TransactionLogUnitMsg& unit, bool first) {
    EXPECT_EQ(unit.client(), first ? "client-a" : "");
    EXPECT_EQ(unit.txn_id(), first ? 5u : 0u);
    EXPECT_EQ(unit.has_timestamp_us(), first);
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  TarnixTransactionLog log_{&schema_, "client-a", 5};
};

TEST_F(TarnixTransactionLogTest, SummaryUnitsThenRequestUnits) {
  caldek::orv::tarnix::PutRequestMsg put;
  put.add_puts()->mutable_object()->set_object_body("body");
  log_.RecordRequest(put);
  Change(TarnixTransactionLog::kUpdated, "id-2", {1, 3});
  Change(TarnixTransactionLog::kUpdated, "id-1", {1, 3});
  Change(TarnixTransactionLog::kDeleted, "id-3", {1, 3}, "caldek.orv.tarnix.VlanMsg");

  const std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 2u);
  ExpectHeader(units[0], true);
  EXPECT_FALSE(units[0].last_unit());
  EXPECT_EQ(VdbIds(units[0].vdb_ids().begin(), units[0].vdb_ids().end()),
            VdbIds({1, 3, 1, 3}));  // once per kind of the set
  ASSERT_EQ(units[0].updated_objects_size(), 1);
  EXPECT_EQ(schema_.GetObjectType(&units[0].updated_objects(0)), kDevice);
  EXPECT_EQ(Ids(units[0].updated_objects(0).ids().begin(), units[0].updated_objects(0).ids().end()),
            Ids({"id-2", "id-1"}));
  EXPECT_EQ(units[0].deleted_objects_size(), 1);
  ExpectHeader(units[1], false);
  EXPECT_TRUE(units[1].last_unit());
  EXPECT_EQ(units[1].put_request().SerializeAsString(), put.SerializeAsString());
  EXPECT_TRUE(Build(&log_).empty());  // both lists were consumed
}

TEST_F(TarnixTransactionLogTest, WithoutChangesTheFirstRequestCarriesTheHeader) {
  log_.vdb_id = 7;
  caldek::orv::tarnix::CreateVDbRequestMsg create;
  create.set_vdb_name("seven");
  log_.RecordRequest(create);
  std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 1u);
  ExpectHeader(units[0], true);
  EXPECT_TRUE(units[0].last_unit());
  EXPECT_EQ(units[0].create_vdb_request().vdb_name(), "seven");
  EXPECT_EQ(VdbIds(units[0].vdb_ids().begin(), units[0].vdb_ids().end()), VdbIds({7}));

  log_.RecordRequest(caldek::orv::tarnix::DeleteRequestMsg());
  log_.RecordRequest(caldek::orv::tarnix::FlushRequestMsg());
  log_.RecordRequest(caldek::orv::tarnix::FlushRequestMsg());
  units = Build(&log_);
  ASSERT_EQ(units.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ExpectHeader(units[i], i == 0);
    EXPECT_EQ(units[i].last_unit(), i == 2);
  }
  EXPECT_TRUE(units[0].has_delete_request());
  EXPECT_TRUE(units[1].has_flush_request());
}

TEST_F(TarnixTransactionLogTest, SummariesAreCutAfterAMillionIdBytes) {
  for (int i = 10000; i < 12500; ++i) {  // 1000-byte ids "10000xx...", "10001xx...", ...
    Change(TarnixTransactionLog::kUpdated, std::to_string(i) + std::string(995, 'x'), {2});
  }
  const std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 3u);
  const int expected[] = {1001, 1001, 498};
  for (size_t u = 0; u < 3; ++u) {
    ExpectHeader(units[u], u == 0);
    EXPECT_EQ(VdbIds(units[u].vdb_ids().begin(), units[u].vdb_ids().end()), VdbIds({2}));
    ASSERT_EQ(units[u].updated_objects_size(), 1);
    EXPECT_EQ(schema_.GetObjectType(&units[u].updated_objects(0)), kDevice);
    EXPECT_EQ(units[u].updated_objects(0).ids_size(), expected[u]);
  }
  EXPECT_EQ(units[1].updated_objects(0).ids(0).substr(0, 5), "11001");

  // A cut at the very last id leaves nothing behind.
  for (int i = 0; i < 1001; ++i) Change(TarnixTransactionLog::kUpdated, std::string(1000, 'y'), {2});
  EXPECT_EQ(Build(&log_).size(), 1u);
}

}  // namespace
}  // namespace tarnix

#include "write/tarnix_transaction_log.h"

#include <chrono>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "logging/log_capture.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

using caldek::orv::tarnix::TransactionLogUnitMsg;
using Ids = std::vector<std::string>;
using VdbIds = std::vector<uint32_t>;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kVlan[] = "caldek.orv.tarnix.VlanMsg";

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::set<int> SetFields(const TransactionLogUnitMsg& unit) {
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  unit.GetReflection()->ListFields(unit, &fields);
  std::set<int> numbers;
  for (const auto* field : fields) numbers.insert(field->number());
  return numbers;
}

size_t IdCount(const TransactionLogUnitMsg& unit) {
  size_t n = 0;
  for (const auto& entry : unit.updated_objects()) n += entry.ids_size();
  return n;
}

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
  Change(TarnixTransactionLog::kDeleted, "id-3", {1, 3}, kVlan);

  const std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 2u);
  ExpectHeader(units[0], true);
  EXPECT_FALSE(units[0].last_unit());
  EXPECT_EQ(VdbIds(units[0].vdb_ids().begin(), units[0].vdb_ids().end()),
            VdbIds({1, 3, 1, 3}));  // once per kind of the set
  ASSERT_EQ(units[0].updated_objects_size(), 1);
  EXPECT_EQ(schema_.types().GetObjectType(&units[0].updated_objects(0)), kDevice);
  EXPECT_EQ(Ids(units[0].updated_objects(0).ids().begin(), units[0].updated_objects(0).ids().end()),
            Ids({"id-2", "id-1"}));
  EXPECT_EQ(units[0].deleted_objects_size(), 1);
  ExpectHeader(units[1], false);
  EXPECT_TRUE(units[1].last_unit());
  EXPECT_EQ(units[1].put_request().SerializeAsString(), put.SerializeAsString());
  EXPECT_TRUE(Build(&log_).empty());  // both lists were consumed
}

// Middle request units are stored as recorded: their bytes must be those of
// the unit message holding the request.
TEST_F(TarnixTransactionLogTest, MiddleRequestUnitsAreSerialisedUnitMessages) {
  caldek::orv::tarnix::PutRequestMsg puts[3];
  for (int i = 0; i < 3; ++i) {
    puts[i].set_sync(i == 1);
    for (int j = 0; j <= i; ++j) {
      auto* entry = puts[i].add_puts();
      entry->mutable_object()->set_object_body(std::string(150 + 40 * j, 'a' + j));
      entry->add_vdb_ids(j + 1);
    }
    log_.RecordRequest(puts[i]);
  }
  log_.RecordRequest(caldek::orv::tarnix::DeleteRequestMsg());  // empty, mid-stream
  log_.RecordRequest(puts[0]);
  TarnixTransactionLog::Units units;
  log_.BuildTransactionLogUnits(&units);
  ASSERT_EQ(units.size(), 5u);
  auto it = std::next(units.begin());
  for (int i = 1; i < 3; ++i, ++it) {
    TransactionLogUnitMsg expected;
    *expected.mutable_put_request() = puts[i];
    EXPECT_EQ(**it, expected.SerializeAsString()) << i;
  }
  TransactionLogUnitMsg empty_delete;
  empty_delete.mutable_delete_request();
  EXPECT_EQ(**it, empty_delete.SerializeAsString());
}

// A stream measures every request before it copies one: past the bound,
// nothing is copied at all, yet every request's unit size is known. A unit
// serialised beforehand (on another thread) counts and logs the same.
TEST_F(TarnixTransactionLogTest, MeasuredStreamPastTheBoundCopiesNothing) {
  caldek::orv::tarnix::PutRequestMsg put;
  put.add_puts()->mutable_object()->set_object_body(std::string(400, 'b'));
  const uint64_t unit_size = put.ByteSizeLong() + 3;  // tag and a two-byte length
  std::string serialised;
  ASSERT_TRUE(TarnixTransactionLog::SerializeRequestUnit(put, &serialised));
  EXPECT_FALSE(TarnixTransactionLog::SerializeRequestUnit(
      caldek::orv::tarnix::CreateVDbRequestMsg(), &serialised));
  ASSERT_TRUE(TarnixTransactionLog::SerializeRequestUnit(put, &serialised));

  for (bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "serialised beforehand" : "serialised by the log");
    TarnixTransactionLog within(&schema_, "client-a", 5);
    within.set_request_bound(2 * unit_size);
    TarnixTransactionLog past(&schema_, "client-a", 5);
    past.set_request_bound(3 * unit_size - 1);
    std::vector<std::string> units(3, serialised);
    for (TarnixTransactionLog* log : {&within, &past}) {
      for (int i = 0; i < (log == &within ? 2 : 3); ++i) {
        log->MeasureRequest(put, prepared ? &serialised : nullptr);
      }
    }
    EXPECT_FALSE(within.requests_dropped());
    EXPECT_TRUE(past.requests_dropped());
    for (int i = 0; i < 2; ++i) within.AddMeasuredRequest(put, prepared ? &units[i] : nullptr);
    for (int i = 0; i < 3; ++i) past.AddMeasuredRequest(put, prepared ? &serialised : nullptr);

    const std::vector<TransactionLogUnitMsg> kept = Build(&within);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].put_request().SerializeAsString(), put.SerializeAsString());
    EXPECT_TRUE(Build(&past).empty());
    const std::vector<uint64_t> sizes = past.DroppedUnitSizes(false);
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], unit_size);
  }
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
    EXPECT_EQ(schema_.types().GetObjectType(&units[u].updated_objects(0)), kDevice);
    EXPECT_EQ(units[u].updated_objects(0).ids_size(), expected[u]);
  }
  EXPECT_EQ(units[1].updated_objects(0).ids(0).substr(0, 5), "11001");

  // A cut at the very last id leaves nothing behind.
  for (int i = 0; i < 1001; ++i) Change(TarnixTransactionLog::kUpdated, std::string(1000, 'y'), {2});
  EXPECT_EQ(Build(&log_).size(), 1u);
}

TEST_F(TarnixTransactionLogTest, EachRequestTypeGoesToItsOwnField) {
  namespace t = caldek::orv::tarnix;
  const struct {
    std::shared_ptr<google::protobuf::Message> request;
    std::set<int> fields;  // besides the header and the end mark, 1 to 4
  } cases[] = {
      {std::make_shared<t::PutRequestMsg>(), {8}},
      {std::make_shared<t::DeleteRequestMsg>(), {9}},
      {std::make_shared<t::FlushRequestMsg>(), {10}},
      {std::make_shared<t::PatchRequestMsg>(), {11}},
      {std::make_shared<t::ModifyRequestMsg>(), {12}},
      {std::make_shared<t::CopyRequestMsg>(), {13}},
      {std::make_shared<t::CreateVDbRequestMsg>(), {14, 16}},
      {std::make_shared<t::DeleteVDbRequestMsg>(), {15, 16}},
      {std::make_shared<t::FlushByBlockIdRequestMsg>(), {17}},
      {std::make_shared<TransactionLogUnitMsg>(), {}},  // not a request
  };
  for (const auto& c : cases) {
    const std::string name = c.request->GetDescriptor()->full_name();
    TarnixTransactionLog log(&schema_, "client-a", 5);
    log.vdb_id = 42;
    log.RecordRequest(*c.request);
    const std::vector<TransactionLogUnitMsg> units = Build(&log);
    ASSERT_EQ(units.size(), 1u) << name;
    std::set<int> expected = {1, 2, 3, 4};
    expected.insert(c.fields.begin(), c.fields.end());
    EXPECT_EQ(SetFields(units[0]), expected) << name;
    if (c.fields.count(16)) {
      EXPECT_EQ(VdbIds(units[0].vdb_ids().begin(), units[0].vdb_ids().end()), VdbIds({42}));
    }
  }
}

TEST_F(TarnixTransactionLogTest, EachVdbSetStartsAFreshUnit) {
  const int64_t before = NowUs();
  TarnixTransactionLog log(&schema_, "client-a", 5);
  const int64_t after = NowUs();
  EXPECT_LE(before, log.timestamp_us());
  EXPECT_LE(log.timestamp_us(), after);

  // Each set is cut at its last id, which leaves a unit holding only the
  // set's vdb ids; the other set must not inherit them.
  for (const VdbId vdb : {2, 3}) {
    for (int i = 0; i < 1001; ++i) {
      log.update_records.emplace_back(TarnixTransactionLog::kUpdated, kDevice,
                                      std::string(1000, static_cast<char>('0' + vdb)),
                                      VdbIdSet{vdb});
    }
  }
  const std::vector<TransactionLogUnitMsg> units = Build(&log);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].timestamp_us(), log.timestamp_us());
  for (size_t u = 0; u < 2; ++u) {
    ExpectHeader(units[u], u == 0);
    ASSERT_EQ(IdCount(units[u]), 1001u);
    const uint32_t vdb = units[u].updated_objects(0).ids(0)[0] - '0';
    EXPECT_EQ(VdbIds(units[u].vdb_ids().begin(), units[u].vdb_ids().end()), VdbIds({vdb})) << u;
  }
}

TEST_F(TarnixTransactionLogTest, CutsCountTheIdBytesOfAllTypesOfASet) {
  for (const char* type : {kDevice, kVlan}) {
    for (int i = 0; i < 600; ++i) {
      Change(TarnixTransactionLog::kUpdated, std::string(1000, 'x'), {2}, type);
    }
  }
  const std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].updated_objects_size(), 2);
  EXPECT_EQ(IdCount(units[0]), 1001u);
  EXPECT_EQ(units[1].updated_objects_size(), 1);
  EXPECT_EQ(IdCount(units[1]), 199u);
}

TEST_F(TarnixTransactionLogTest, UndecodableVdbSetIsLoggedAndLeftOut) {
  orv::LogCapture capture;
  Change(TarnixTransactionLog::kUpdated, "id-1", {2});
  log_.update_records.back().vdb_set = std::string("\x80\x40", 2);  // ends inside its header
  const std::vector<TransactionLogUnitMsg> units = Build(&log_);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].vdb_ids_size(), 0);
  EXPECT_EQ(units[0].updated_objects_size(), 1);
  EXPECT_EQ(capture.Count("level=\"ERROR\"] Undecodable vdb set 8040 in transaction 5"), 1u);
}

}  // namespace
}  // namespace tarnix

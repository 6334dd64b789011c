#include "monitor/monitor_snapshot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "logging/log_capture.h"
#include "monitor/subscription_model.h"
#include "monitor/type_order.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

std::string T(const std::string& name) { return "monitor.test." + name; }

class MonitorSnapshotTest : public ::testing::Test {
 protected:
  // The chunks of a snapshot of `entries` as (updates, bodies' bytes, end
  // mark), each chunk checked for its transaction id.
  std::vector<std::tuple<int, size_t, bool>> Chunks(std::vector<QueryResultRecord> entries) {
    MonitorSnapshot snapshot(42, std::move(entries));
    std::vector<std::tuple<int, size_t, bool>> chunks;
    tx::MonitorResponseMsg response;
    while (!snapshot.Done()) {
      snapshot.BuildMonitorSnapshotResponse(*schema_, &response);
      EXPECT_EQ(response.transaction_control().txn_id(), 42u);
      EXPECT_TRUE(response.transaction_control().has_end_of_transaction());
      size_t bytes = 0;
      for (const tx::MonitorUpdateMsg& update : response.updates()) {
        bytes += update.object_body().size();
      }
      chunks.emplace_back(response.updates_size(), bytes,
                          response.transaction_control().end_of_transaction());
    }
    return chunks;
  }

  std::vector<std::string> Ordered(SnapshotEntrySet* set) {
    std::vector<QueryResultRecord> ordered;
    OrderMonitorUpdates(*schema_, &order_, set, &ordered);
    std::vector<std::string> out;
    for (const QueryResultRecord& entry : ordered) out.push_back(entry.object);
    return out;
  }

  std::unique_ptr<Schema> schema_ = subscription_test::LoadWatchSchema();
  TypeOrder order_;
};

TEST_F(MonitorSnapshotTest, TypeOrderPutsParentsFirstAndSurvivesSelfParentsAndCycles) {
  // A parent of B, C unrelated, met in the order A, B, C: C, A, B.
  EXPECT_EQ(order_.ParentsFirst(*schema_, {T("ParentMsg"), T("ChildMsg"), T("OtherMsg")}),
            (std::vector<size_t>{2, 0, 1}));
  EXPECT_EQ(order_.ParentsFirst(*schema_, {T("ChildMsg"), T("ParentMsg")}),
            (std::vector<size_t>{1, 0}));
  EXPECT_EQ(order_.ParentsFirst(*schema_, {T("SelfParentMsg"), T("WatchedMsg")}),
            (std::vector<size_t>{1, 0}));
  EXPECT_TRUE(order_.ParentsFirst(*schema_, {}).empty());

  orv::LogCapture capture;
  const std::vector<std::string> cycle = {T("WatchedMsg"), T("CycleBMsg"), T("CycleAMsg")};
  EXPECT_EQ(order_.ParentsFirst(*schema_, cycle), (std::vector<size_t>{2, 1, 0}));  // by name
  EXPECT_EQ(order_.ParentsFirst(*schema_, cycle), (std::vector<size_t>{2, 1, 0}));
  EXPECT_EQ(capture.Count("DRX0209"), 1u);  // once per schema
}

TEST_F(MonitorSnapshotTest, ParentObjectsComeFirstAndEachTypeKeepsItsOrder) {
  SnapshotEntrySet set;
  std::vector<QueryResultRecord>* results = set.ScanResults(T("ChildMsg"));
  results->push_back({T("ChildMsg"), "c1", "op"});
  results->push_back({T("ChildMsg"), "c2", "op"});
  set.ScanResults(T("ParentMsg"))->push_back({T("ParentMsg"), "p1", "op"});
  set.ScanResults(T("ChildMsg"))->push_back({T("ChildMsg"), "c3", "op"});
  EXPECT_EQ(Ordered(&set), (std::vector<std::string>{"p1", "c1", "c2", "c3"}));
  EXPECT_TRUE(Ordered(&set).empty());  // the set was emptied
}

TEST_F(MonitorSnapshotTest, RepeatsAcrossWhereClausesOfOneTypeAreHeldOnce) {
  SnapshotEntrySet set;
  set.ScanResults(T("WatchedMsg"))->push_back({T("WatchedMsg"), "a", "op"});
  set.ScanResults(T("WatchedMsg"))->push_back({T("WatchedMsg"), "a", "op"});
  set.ScanResults(T("WatchedMsg"))->push_back({T("WatchedMsg"), "a", "other op"});
  set.ScanResults(T("OtherMsg"));
  set.AddNoMatch(T("OtherMsg"));
  set.ScanResults(T("OtherMsg"));
  set.AddNoMatch(T("OtherMsg"));
  std::vector<QueryResultRecord> distinct = set.TakeDistinct();
  ASSERT_EQ(distinct.size(), 3u);
  EXPECT_EQ(distinct[0].op_message, "op");
  EXPECT_EQ(distinct[1].op_message, "other op");
  EXPECT_EQ(distinct[2].type_name, T("OtherMsg"));
  EXPECT_TRUE(distinct[2].object.empty());
}

TEST_F(MonitorSnapshotTest, ChunksCloseOnceTheirBodiesPassTheLimit) {
  using Chunk = std::tuple<int, size_t, bool>;
  const auto entry = [](size_t bytes) {
    return QueryResultRecord{T("WatchedMsg"), std::string(bytes, 'b'), "op"};
  };
  EXPECT_EQ(Chunks({entry(500000), entry(499999)}), std::vector<Chunk>({{2, 999999, true}}));
  EXPECT_EQ(Chunks({entry(500000), entry(500000)}), std::vector<Chunk>({{2, 1000000, true}}));
  EXPECT_EQ(Chunks({entry(500000), entry(499999), entry(1), entry(1)}),
            std::vector<Chunk>({{3, 1000000, false}, {1, 1, true}}));
  EXPECT_EQ(Chunks({entry(600000), entry(600000), entry(600000)}),
            std::vector<Chunk>({{2, 1200000, false}, {1, 600000, true}}));
  // A body over the limit closes the chunk it joins; empty bodies never do.
  std::vector<QueryResultRecord> mixed(3000, QueryResultRecord{T("OtherMsg"), "", ""});
  mixed.insert(mixed.begin() + 1, entry(2000000));
  EXPECT_EQ(Chunks(std::move(mixed)), std::vector<Chunk>({{2, 2000000, false}, {2999, 0, true}}));
  EXPECT_TRUE(Chunks({}).empty());
}

TEST_F(MonitorSnapshotTest, AnUpdateCarriesTheTypeAndOnlyAMatchCarriesBodyAndOps) {
  MonitorSnapshot snapshot(7, {{T("WatchedMsg"), "body", "ops"}, {T("OtherMsg"), "", ""}});
  tx::MonitorResponseMsg response;
  snapshot.BuildMonitorSnapshotResponse(*schema_, &response);
  ASSERT_EQ(response.updates_size(), 2);
  EXPECT_EQ(schema_->GetObjectType(&response.updates(0)), T("WatchedMsg"));
  EXPECT_EQ(response.updates(0).object_body(), "body");
  EXPECT_EQ(response.updates(0).update_ops(), "ops");
  EXPECT_FALSE(response.updates(0).has_old_object_body());
  EXPECT_EQ(schema_->GetObjectType(&response.updates(1)), T("OtherMsg"));
  EXPECT_FALSE(response.updates(1).has_object_body());
  EXPECT_FALSE(response.updates(1).has_update_ops());
}

}  // namespace
}  // namespace tarnix

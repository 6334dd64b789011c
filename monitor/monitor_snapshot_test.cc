#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "monitor/monitor_snapshot.h"
#include "monitor/subscription_model.h"
#include "monitor/type_order.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

std::string T(const std::string& name) { return "monitor.test." + name; }

class MonitorSnapshotTest : public ::testing::Test {
 protected:
  // The chunks of a snapshot as (updates, bodies' bytes, end mark), each
  // checked for its transaction id.
  std::vector<std::tuple<int, size_t, bool>> Chunks(SnapshotEntrySet* set) {
    MonitorSnapshot snapshot(42, OrderMonitorUpdates(*schema_, &order_, set));
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
  // One scan of `type` finding bodies of these sizes.
  static void Scan(SnapshotEntrySet* set, const std::string& type,
                   const std::vector<size_t>& sizes) {
    QueryResultSink* sink = set->ScanResults(type);
    int n = 0;
    for (size_t size : sizes) {
      std::string body = std::to_string(n++) + ":";
      body.resize(std::max(size, body.size()), 'b');
      sink->Add({type, body, "op"});
    }
  }
  // The bodies of the whole snapshot, in order ("" for a no-match entry).
  std::vector<std::string> Sent(SnapshotEntrySet* set) {
    MonitorSnapshot snapshot(1, OrderMonitorUpdates(*schema_, &order_, set));
    std::vector<std::string> out;
    tx::MonitorResponseMsg response;
    while (!snapshot.Done()) {
      snapshot.BuildMonitorSnapshotResponse(*schema_, &response);
      for (const tx::MonitorUpdateMsg& update : response.updates()) {
        out.push_back(update.object_body());
      }
    }
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
  // Met first, so only the parent relation puts it first.
  set.ScanResults(T("ParentMsg"))->Add({T("ParentMsg"), "p1", "op"});
  QueryResultSink* children = set.ScanResults(T("ChildMsg"));
  children->Add({T("ChildMsg"), "c1", "op"});
  children->Add({T("ChildMsg"), "c2", "op"});
  set.ScanResults(T("ChildMsg"))->Add({T("ChildMsg"), "c3", "op"});
  EXPECT_EQ(Sent(&set), (std::vector<std::string>{"p1", "c1", "c2", "c3"}));
  EXPECT_TRUE(Sent(&set).empty());  // the set was emptied
}

TEST_F(MonitorSnapshotTest, RepeatsAcrossWhereClausesOfOneTypeAreHeldOnce) {
  SnapshotEntrySet set;
  QueryResultSink* first = set.ScanResults(T("WatchedMsg"));
  first->Add({T("WatchedMsg"), "a", "op"});
  first->Add({T("WatchedMsg"), "b", "op"});
  QueryResultSink* second = set.ScanResults(T("WatchedMsg"));
  second->Add({T("WatchedMsg"), "b", "op"});
  second->Add({T("WatchedMsg"), "a", "other op"});
  second->Add({T("WatchedMsg"), "c", "op"});
  set.AddNoMatch(T("OtherMsg"));
  set.AddNoMatch(T("OtherMsg"));
  EXPECT_EQ(Sent(&set), (std::vector<std::string>{"", "a", "b", "a", "c"}));
}

TEST_F(MonitorSnapshotTest, ChunksCloseOnceTheirBodiesPassTheLimit) {
  using Chunk = std::tuple<int, size_t, bool>;
  const auto chunks = [this](const std::vector<size_t>& sizes) {
    SnapshotEntrySet set;
    Scan(&set, T("WatchedMsg"), sizes);
    return Chunks(&set);
  };
  EXPECT_EQ(chunks({500000, 499999}), std::vector<Chunk>({{2, 999999, true}}));
  EXPECT_EQ(chunks({500000, 500000}), std::vector<Chunk>({{2, 1000000, true}}));
  EXPECT_EQ(chunks({500000, 499998, 2, 2}),
            std::vector<Chunk>({{3, 1000000, false}, {1, 2, true}}));
  EXPECT_EQ(chunks({600000, 600000, 600000}),
            std::vector<Chunk>({{2, 1200000, false}, {1, 600000, true}}));
  // A body over the limit closes the chunk it joins; entries without a body
  // never do. Unrelated types come in the reverse of the order met.
  SnapshotEntrySet set;
  Scan(&set, T("ParentMsg"), {10, 2000000, 10});
  for (const char* type : {"ChildMsg", "OtherMsg", "SelfParentMsg"}) set.AddNoMatch(T(type));
  const std::vector<Chunk> mixed = Chunks(&set);
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0], Chunk(4, 2000010, false));  // SelfParent, Other, 10, 2000000
  EXPECT_EQ(mixed[1], Chunk(2, 10, true));        // 10, Child
  EXPECT_TRUE(chunks({}).empty());

  // A repeat that would have opened a block leaves none behind.
  SnapshotEntrySet repeated;
  Scan(&repeated, T("WatchedMsg"), std::vector<size_t>(10, 100001));
  Scan(&repeated, T("WatchedMsg"), {100001});
  EXPECT_EQ(Chunks(&repeated), std::vector<Chunk>({{10, 1000010, true}}));
}

TEST_F(MonitorSnapshotTest, AnUpdateCarriesTheTypeAndOnlyAMatchCarriesBodyAndOps) {
  SnapshotEntrySet set;
  set.ScanResults(T("WatchedMsg"))->Add({T("WatchedMsg"), "body", "ops"});
  set.AddNoMatch(T("OtherMsg"));
  MonitorSnapshot snapshot(7, OrderMonitorUpdates(*schema_, &order_, &set));
  tx::MonitorResponseMsg response;
  snapshot.BuildMonitorSnapshotResponse(*schema_, &response);
  EXPECT_TRUE(snapshot.Done());
  ASSERT_EQ(response.updates_size(), 2);
  const tx::MonitorUpdateMsg& match = response.updates(1);  // OtherMsg was met last
  EXPECT_EQ(schema_->types().GetObjectType(&match), T("WatchedMsg"));
  EXPECT_EQ(match.object_body(), "body");
  EXPECT_EQ(match.update_ops(), "ops");
  EXPECT_FALSE(match.has_old_object_body());
  EXPECT_EQ(schema_->types().GetObjectType(&response.updates(0)), T("OtherMsg"));
  EXPECT_FALSE(response.updates(0).has_object_body());
  EXPECT_FALSE(response.updates(0).has_update_ops());
}

TEST_F(MonitorSnapshotTest, EntriesOfManyBlocksComeBackWhole) {
  SnapshotEntrySet set;
  std::vector<size_t> sizes;
  for (int i = 0; i < 3000; ++i) sizes.push_back(1 + (i * 7919) % 3000);
  sizes.push_back(3 << 20);  // larger than a block
  Scan(&set, T("WatchedMsg"), sizes);
  const std::vector<std::string> sent = Sent(&set);
  ASSERT_EQ(sent.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(sent[i].size(), std::max(sizes[i], std::to_string(i).size() + 1)) << i;
    ASSERT_EQ(sent[i].substr(0, sent[i].find(':')), std::to_string(i));
  }
}

}  // namespace
}  // namespace tarnix

#include <algorithm>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/log_capture.h"
#include "monitor/contains_all_subscriptions.h"
#include "monitor/engine_test_util.h"
#include "monitor/notification_builder.h"
#include "monitor/type_order.h"

namespace tarnix {
namespace subscription_test {
namespace {

namespace tx = caldek::orv::tarnix;

std::string T(const std::string& name) { return "monitor.test." + name; }

class NotificationBuilderTest : public EngineTest {
 protected:
  std::string Body(const std::string& text, const std::string& type = kWatched) {
    return text.empty() ? std::string() : Msg(*schema_, type, text)->SerializeAsString();
  }
  // A change of the object `id` of `type` in vdb 1; an empty text is no body.
  UpdateRecord Change(const std::string& new_text, const std::string& old_text,
                      const std::string& type = kWatched, const std::string& id = "x") {
    UpdateRecord record;
    record.type = std::make_shared<const std::string>(type);
    record.id = std::make_shared<const std::string>(id);
    if (!new_text.empty())
      record.new_body = std::make_shared<const std::string>(Body(new_text, type));
    if (!old_text.empty())
      record.old_body = std::make_shared<const std::string>(Body(old_text, type));
    record.vdb_ids = {1};
    return record;
  }
  // A monitor on vdb 1 watching all of `type`, with its selection (op
  // message text) and old-body flag.
  void Watch(const std::string& monitor, const std::string& selection = "", bool flag = false,
             const std::string& op = "", const std::string& value = "",
             const std::string& type = kWatched) {
    engine_.AddMonitor(monitor, 1);
    if (!selection.empty()) {
      engine_.SetSubscriptionString(monitor, type,
                                    Body(selection, schema_->op_messages().GetOpMsgTypeName(type)));
    }
    engine_.SetSubscriptionFlag(monitor, type, flag);
    ASSERT_TRUE(Add(monitor, op, value, type));
  }
  // What each monitor gets, by monitor id.
  using Delivered = std::map<std::string, std::vector<tx::MonitorResponseMsg>>;
  static Delivered ByMonitor(PendingResponseTable* table) {
    Delivered delivered;
    for (const ResponseGroup& group : table->TakeResponses(9)) {
      for (const std::string& monitor : group.monitor_ids) delivered[monitor] = group.responses;
    }
    return delivered;
  }
  Delivered Updates(std::list<UpdateRecord> records) {
    PendingResponseTable table;
    EndingMonitors ending;
    builder_.EnqueueUpdates(9, false, &records, &table, nullptr, &ending);
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(ending.failed.empty());
    EXPECT_TRUE(ending.over_budget.empty());
    return ByMonitor(&table);
  }
  Delivered Deletes(std::list<UpdateRecord> records) {
    PendingResponseTable table;
    EndingMonitors ending;
    builder_.EnqueueDeletes(9, false, &records, &table, &ending);
    EXPECT_TRUE(records.empty());
    return ByMonitor(&table);
  }
  // The one entry the monitor got.
  static const tx::MonitorUpdateMsg& Only(const Delivered& delivered, const std::string& monitor) {
    const std::vector<tx::MonitorResponseMsg>& responses = delivered.at(monitor);
    EXPECT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].updates_size(), 1);
    EXPECT_EQ(responses[0].transaction_control().txn_id(), 9u);
    EXPECT_TRUE(responses[0].transaction_control().end_of_transaction());
    return responses[0].updates(0);
  }
  std::string Ops(const std::string& text) {
    return Body(text, schema_->op_messages().GetOpMsgTypeName(kWatched));
  }

  TypeOrder order_;
  NotificationBuilder builder_{schema_.get(), &engine_, &order_, &registry_};
};

TEST_F(NotificationBuilderTest, ACreationIsSetWithoutOldBodyWhateverTheFlag) {
  Watch("plain");
  Watch("flagged", "", true);
  const Delivered table = Updates({});
  EXPECT_TRUE(table.empty());
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x' i32: 1", ""));
  const Delivered created = Updates(std::move(records));
  for (const char* monitor : {"plain", "flagged"}) {
    const tx::MonitorUpdateMsg& update = Only(created, monitor);
    EXPECT_EQ(schema_->types().GetObjectType(&update), kWatched);
    EXPECT_EQ(update.object_body(), Body("id: 'x' i32: 1"));
    EXPECT_EQ(update.update_ops(), Ops("self { op: SET }"));
    EXPECT_FALSE(update.has_old_object_body()) << monitor;
  }
}

TEST_F(NotificationBuilderTest, UpdatesCarryTheirDeltaAndTheOldBodyUnderTheFlag) {
  Watch("whole", "", true);
  Watch("count", "i32 { op: SELECT }");
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x' i32: 2 s: 'a'", "id: 'x' i32: 1 s: 'a'"));
  const Delivered changed = Updates(std::move(records));
  const tx::MonitorUpdateMsg& whole = Only(changed, "whole");
  EXPECT_EQ(whole.old_object_body(), Body("id: 'x' i32: 1 s: 'a'"));
  EXPECT_EQ(whole.update_ops(), Ops("self { op: SET }"));
  const tx::MonitorUpdateMsg& count = Only(changed, "count");
  EXPECT_EQ(count.update_ops(), Ops("i32 { op: SET }"));
  EXPECT_EQ(count.object_body(), Body("id: 'x' i32: 2"));  // selected and key fields only
  EXPECT_FALSE(count.has_old_object_body());

  // Nothing selected changed: nothing for that monitor.
  records.push_back(Change("id: 'x' i32: 2 s: 'b'", "id: 'x' i32: 2 s: 'a'"));
  const Delivered unchanged = Updates(std::move(records));
  EXPECT_EQ(unchanged.count("count"), 0u);
  EXPECT_EQ(unchanged.count("whole"), 1u);
}

TEST_F(NotificationBuilderTest, ADeleteCarriesTheKeyAndTheOldBodyUnderTheFlag) {
  Watch("flagged", "", true);
  Watch("plain");
  std::list<UpdateRecord> records;
  records.push_back(Change("", "id: 'x' i32: 1"));
  const Delivered deleted = Deletes(std::move(records));
  const tx::MonitorUpdateMsg& flagged = Only(deleted, "flagged");
  EXPECT_EQ(flagged.object_body(), Body("id: 'x'"));
  EXPECT_EQ(flagged.update_ops(), Ops("self { op: CLEAR }"));
  EXPECT_EQ(flagged.old_object_body(), Body("id: 'x' i32: 1"));
  EXPECT_FALSE(Only(deleted, "plain").has_old_object_body());
}

TEST_F(NotificationBuilderTest, AnObjectThatLeavesAFilterIsToldOnce) {
  Watch("one", "", false, "i32 { op: EQUALS }", "i32: 1");
  Watch("two", "", false, "i32 { op: EQUALS }", "i32: 2");
  Watch("three", "", false, "i32 { op: EQUALS }", "i32: 3");
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x' i32: 2", "id: 'x' i32: 1"));
  const Delivered table = Updates(std::move(records));
  EXPECT_EQ(table.count("one"), 1u);  // it left
  EXPECT_EQ(table.count("two"), 1u);  // it entered
  EXPECT_EQ(table.count("three"), 0u);
}

// Monitors that see a change alike share its messages; a flag or a
// selection of their own sets them apart.
TEST_F(NotificationBuilderTest, MonitorsWatchingAlikeShareTheirResponses) {
  // In whatever order the engine lists them.
  for (int i = 0; i < 6; ++i) {
    Watch("plain" + std::to_string(i));
    Watch("selected" + std::to_string(i), "i32 { op: SELECT }");
  }
  Watch("flagged", "", true);
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x' i32: 2", "id: 'x' i32: 1"));
  PendingResponseTable table;
  EndingMonitors ending;
  builder_.EnqueueUpdates(9, false, &records, &table, nullptr, &ending);
  std::vector<size_t> sizes;
  for (const ResponseGroup& group : table.TakeResponses(9)) {
    sizes.push_back(group.monitor_ids.size());
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 6, 6}));
}

// A monitor of the whole type and of every pair of 80 tags, each with a
// tag no object holds, beside monitors of ordinary clauses: matching the
// second object, of 80 tags, takes it past its allowance, so it ends and
// gets nothing of the transaction (though the first object's monitors are
// planned for the second), while the others hear of every object.
// Matching passes over it from then on, as over a monitor withdrawn, until
// its subscriptions are gone.
TEST_F(NotificationBuilderTest, AMonitorOverBudgetEndsAndTheOthersAreToldOfEverything) {
  std::string tags, pairs_of_ten;
  for (int n = 0; n < 80; ++n) tags += " tags: 't" + std::to_string(n) + "'";
  Watch("part");
  for (int a = 0; a < 80; ++a) {
    for (int b = a + 1; b < 80; ++b) {
      ASSERT_TRUE(Add("part", "tags { op: CONTAINS_ALL }",
                      "tags: ['t" + std::to_string(a) + "', 't" + std::to_string(b) + "', 'zz" +
                          std::to_string(a * 80 + b) + "']"));
    }
  }
  Watch("held", "", false, "tags { op: CONTAINS_ALL }", "tags: ['t0', 't1']");
  Watch("whole");
  Watch("other", "", false, "s { op: NOT_EQUALS }", "s: 'q'");
  const auto transaction = [&](int first) {
    std::list<UpdateRecord> records;
    for (int i = first; i < first + 3; ++i) {
      const std::string id = "d" + std::to_string(i);
      const std::string held = i == first ? " tags: ['t0', 't1']" : tags;
      records.push_back(Change("id: '" + id + "' s: 'a'" + held, "", kWatched, id));
    }
    PendingResponseTable table;
    EndingMonitors ending;
    builder_.EnqueueUpdates(9, false, &records, &table, nullptr, &ending);
    EXPECT_TRUE(ending.failed.empty());
    Delivered delivered = ByMonitor(&table);
    for (const char* told : {"held", "whole", "other"}) {
      EXPECT_EQ(delivered[told].size(), 1u) << told;
      EXPECT_EQ(delivered[told][0].updates_size(), 3) << told;
    }
    EXPECT_EQ(delivered.count("part"), 0u);
    return ending.over_budget;
  };
  const auto over_budget = transaction(0);
  ASSERT_EQ(over_budget.size(), 1u);
  EXPECT_GE(over_budget.at("part"), ContainsAllSubscriptions::AllowedSteps(80, 0));
  EXPECT_EQ(engine_.withdrawn_monitors(), MonitorIdSet{"part"});
  EXPECT_TRUE(transaction(3).empty());

  engine_.WithdrawMonitor("whole");
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x'", ""));
  EXPECT_EQ(Updates(std::move(records)).count("whole"), 0u);
  engine_.DeleteSubscriptions("whole", "");
  engine_.DeleteSubscriptions("part", "");
  EXPECT_TRUE(engine_.withdrawn_monitors().empty());
  Watch("whole");
  records.push_back(Change("id: 'x'", ""));
  EXPECT_EQ(Updates(std::move(records)).count("whole"), 1u);
}

// One client's monitor of every pair of 80 tags, each with a tag no object
// holds, beside other clients' monitors of {tag, 'trare'} (sorted after the
// tags) for the first 1, 10 and 80 tags, sharing its nodes. Objects of all
// the tags, every other one also 'trare': the pairs go over budget at the
// first object, and each of the others is told of every object it watches,
// in order, once.
TEST_F(NotificationBuilderTest, AMonitorOverBudgetEndsNoMonitorSharingItsNodes) {
  constexpr int kTags = 80;
  std::string tags;
  for (int n = 0; n < kTags; ++n) tags += " tags: 't" + std::to_string(n) + "'";
  Watch("part");
  for (int a = 0; a < kTags; ++a) {
    for (int b = a + 1; b < kTags; ++b) {
      ASSERT_TRUE(Add("part", "tags { op: CONTAINS_ALL }",
                      "tags: ['t" + std::to_string(a) + "', 't" + std::to_string(b) + "', 'zz" +
                          std::to_string(a * kTags + b) + "']"));
    }
  }
  const std::vector<std::string> bystanders = {"by1", "by10", "by" + std::to_string(kTags)};
  for (int width : {1, 10, kTags}) {
    const std::string monitor = "by" + std::to_string(width);
    for (int n = 0; n < width; ++n) {
      const std::string value = "tags: ['t" + std::to_string(n) + "', 'trare']";
      if (n == 0) {
        Watch(monitor, "", false, "tags { op: CONTAINS_ALL }", value);
      } else {
        ASSERT_TRUE(Add(monitor, "tags { op: CONTAINS_ALL }", value));
      }
    }
  }
  std::list<UpdateRecord> records;
  std::vector<std::string> watched;
  for (int i = 0; i < 6; ++i) {
    const std::string id = "d" + std::to_string(i);
    const std::string text = "id: '" + id + "'" + tags + (i % 2 == 0 ? " tags: 'trare'" : "");
    records.push_back(Change(text, "", kWatched, id));
    if (i % 2 == 0) watched.push_back(Body(text));
  }
  PendingResponseTable table;
  EndingMonitors ending;
  builder_.EnqueueUpdates(9, false, &records, &table, nullptr, &ending);
  EXPECT_TRUE(ending.failed.empty());
  ASSERT_EQ(ending.over_budget.size(), 1u);
  EXPECT_EQ(ending.over_budget.count("part"), 1u);
  Delivered delivered = ByMonitor(&table);
  EXPECT_EQ(delivered.count("part"), 0u);
  for (const std::string& monitor : bystanders) {
    std::vector<std::string> told;
    for (const tx::MonitorResponseMsg& response : delivered[monitor]) {
      for (const tx::MonitorUpdateMsg& update : response.updates()) {
        told.push_back(update.object_body());
      }
    }
    EXPECT_EQ(told, watched) << monitor;
  }
}

TEST_F(NotificationBuilderTest, ResponsesCloseOnceTheirBodiesPassTheLimit) {
  Watch("m");
  std::list<UpdateRecord> records;
  const std::string big(600000, 's');
  records.push_back(Change("id: 'a' s: '" + big + "'", "", kWatched, "a"));
  records.push_back(Change("id: 'b' s: '" + big + "'", "", kWatched, "b"));
  records.push_back(Change("id: 'c'", "", kWatched, "c"));
  const Delivered table = Updates(std::move(records));
  const std::vector<tx::MonitorResponseMsg>& responses = table.at("m");
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].updates_size(), 2);
  EXPECT_FALSE(responses[0].transaction_control().end_of_transaction());
  EXPECT_EQ(responses[1].updates_size(), 1);
  EXPECT_EQ(responses[1].transaction_control().txn_id(), 9u);
  EXPECT_TRUE(responses[1].transaction_control().end_of_transaction());
}

TEST_F(NotificationBuilderTest, BodiesThatDoNotParseAreSkippedOrSentAsCreations) {
  Watch("m", "", true);
  std::list<UpdateRecord> records;
  records.push_back(Change("id: 'x'", ""));
  records.back().new_body = std::make_shared<const std::string>("\xff");
  records.push_back(Change("id: 'y' i32: 1", ""));
  records.back().old_body = std::make_shared<const std::string>("\xff");
  orv::LogCapture capture;
  const Delivered table = Updates(std::move(records));
  EXPECT_EQ(capture.Count("DRX0203"), 2u);
  const tx::MonitorUpdateMsg& update = Only(table, "m");
  EXPECT_EQ(update.object_body(), Body("id: 'y' i32: 1"));
  EXPECT_EQ(update.update_ops(), Ops("self { op: SET }"));
  EXPECT_FALSE(update.has_old_object_body());
}

TEST_F(NotificationBuilderTest, UpdatesGoParentsFirstAndDeletesChildrenFirst) {
  const auto sorted = [&](bool deletes) {
    std::list<UpdateRecord> records;
    records.push_back(Change("id: 'a1'", "id: 'a1'", T("ParentMsg"), "a1"));
    records.push_back(Change("id: 'b1'", "id: 'b1'", T("ChildMsg"), "b1"));
    records.push_back(Change("id: 'a2'", "id: 'a2'", T("ParentMsg"), "a2"));
    records.push_back(Change("id: 'c1' n: 1", "id: 'c1' n: 1", T("OtherMsg"), "c1"));
    builder_.TopologicalSort(deletes, false, &records);
    std::string ids;
    for (const UpdateRecord& record : records) ids += *record.id + " ";
    return ids;
  };
  EXPECT_EQ(sorted(false), "c1 a1 a2 b1 ");
  EXPECT_EQ(sorted(true), "b1 a1 a2 c1 ");
}

}  // namespace
}  // namespace subscription_test
}  // namespace tarnix

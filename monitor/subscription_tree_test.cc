// Matching and removal of attribute subscriptions, through the engine.
#include <algorithm>
#include <limits>
#include <map>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "monitor/engine_test_util.h"

namespace tarnix {
namespace subscription_test {
namespace {

namespace pb = google::protobuf;

using SubscriptionTreeTest = EngineTest;

TEST_F(SubscriptionTreeTest, EveryKindOfSubscriptionRemovedLeavesNothing) {
  struct Case {
    const char* op;
    const char* value;
  };
  const Case cases[] = {
      {"", ""},  // the whole type
      {"i32 { op: EXISTS }", ""},
      {"i32 { op: EQUALS }", "i32: 7"},
      {"s { op: NOT_EQUALS }", "s: 'a'"},
      {"tags { op: EQUALS }", "tags: ['a', 'b']"},
      {"tags { op: NOT_EQUALS }", "tags: ['a']"},
      {"tags { op: CONTAINS_ANY }", "tags: ['a', 'b', 'a']"},
      {"nums { op: CONTAINS_ALL }", "nums: [2, 1, 2]"},
      {"spot { point { x { op: EQUALS } } }", "spot { point { x: 3 } }"},
      {"spot { city { op: NOT_EQUALS } }", "spot { city: 'x' }"},
      {"spot { point { marks { op: CONTAINS_ALL } } }", "spot { point { marks: ['a', 'b'] } }"},
      {"spot { point { marks { op: CONTAINS_ANY } } }", "spot { point { marks: ['a', 'b'] } }"},
      {"spot { city { op: EXISTS } }", ""},
      {"spot { self { op: EQUALS } }", "spot { city: 'x' }"},
      {"spot { self { op: NOT_EQUALS } }", "spot { city: 'x' }"},
      {"spot { point { self { op: EXISTS } } }", ""},
      {"spots { self { op: CONTAINS_ANY } }", "spots { city: 'x' } spots { city: 'y' }"},
      {"spots { self { op: EQUALS } }", "spots { city: 'x' }"},
      {"point { op: EXISTS }", ""},
  };
  engine_.AddMonitor("m", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    ASSERT_TRUE(Add("m", c.op, c.value));
    ASSERT_TRUE(Add("m", c.op, c.value));  // stored once
    EXPECT_EQ(Gauge("by_type") + Gauge("by_attribute"),
              std::string(c.op).find("CONTAINS_ANY") != std::string::npos ? 2u : 1u);
    ASSERT_TRUE(Delete("m", c.op, c.value));
    EXPECT_FALSE(engine_.HasSubscriptions());
    EXPECT_EQ(Gauge("by_type"), 0u);
    EXPECT_EQ(Gauge("by_attribute"), 0u);
    EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));
    EXPECT_FALSE(Delete("m", c.op, c.value));
  }
  VdbId vdb = 0;
  EXPECT_TRUE(engine_.GetVDbIdForMonitor("m", &vdb));
}

TEST_F(SubscriptionTreeTest, TwoMonitorsOnTwoAttributes) {
  engine_.AddMonitor("A", 1);
  engine_.AddMonitor("B", 1);
  ASSERT_TRUE(Add("A", "i32 { op: EQUALS }", "i32: 3"));
  ASSERT_TRUE(Add("B", "tags { op: CONTAINS_ALL }", "tags: ['x', 'y']"));
  EXPECT_EQ(Match("i32: 3 tags: ['y', 'z', 'x']"), (MonitorIdSet{"A", "B"}));
  EXPECT_EQ(Match("i32: 4 tags: ['y', 'z']"), MonitorIdSet{});
  EXPECT_EQ(Match("i32: 3 tags: ['x']"), MonitorIdSet{"A"});
}

TEST_F(SubscriptionTreeTest, SharedEntryStaysUntilItsLastPredicateGoes) {
  engine_.AddMonitor("m", 1);
  // One EQUALS operand reached through two clauses with other value bytes.
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7"));
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7 s: 'unused'"));
  EXPECT_EQ(Gauge("by_attribute"), 1u);
  SubscriptionKeySet keys;
  engine_.ListMonitorSubscriptions("m", &keys);
  EXPECT_EQ(keys.size(), 2u);

  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 7"));
  EXPECT_EQ(Match("i32: 7"), MonitorIdSet{"m"});
  keys.clear();
  engine_.ListMonitorSubscriptions("m", &keys);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys.begin()->text.operand(),
            Msg(*schema_, kWatched, "i32: 7 s: 'unused'")->SerializeAsString());

  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 7 s: 'unused'"));
  EXPECT_EQ(Match("i32: 7"), MonitorIdSet{});
  EXPECT_EQ(Gauge("by_attribute"), 0u);
  EXPECT_FALSE(engine_.HasSubscriptions());
}

TEST_F(SubscriptionTreeTest, ContainsAnyPredicatesSharingAnElementKeepEachOther) {
  engine_.AddMonitor("m", 1);
  ASSERT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", "tags: ['x', 'y']"));
  ASSERT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", "tags: ['y', 'z']"));
  EXPECT_EQ(Gauge("by_attribute"), 3u);  // x, y, z

  ASSERT_TRUE(Delete("m", "tags { op: CONTAINS_ANY }", "tags: ['x', 'y']"));
  EXPECT_EQ(Match("tags: 'x'"), MonitorIdSet{});
  EXPECT_EQ(Match("tags: 'y'"), MonitorIdSet{"m"});
  EXPECT_EQ(Match("tags: 'z'"), MonitorIdSet{"m"});
  EXPECT_EQ(Gauge("by_attribute"), 2u);
}

TEST_F(SubscriptionTreeTest, RemovalByTheSamePredicateWithOtherBytes) {
  engine_.AddMonitor("m", 1);
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7 s: 'unused'"));
  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 7"));
  EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));  // the stored key went
  EXPECT_FALSE(engine_.HasSubscriptions());

  // CONTAINS_ANY in another order: the same predicate.
  ASSERT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", "tags: ['x', 'y']"));
  ASSERT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", "tags: ['y', 'z']"));
  ASSERT_TRUE(Delete("m", "tags { op: CONTAINS_ANY }", "tags: ['y', 'x', 'x']"));
  EXPECT_EQ(Match("tags: 'x'"), MonitorIdSet{});
  EXPECT_EQ(Match("tags: 'z'"), MonitorIdSet{"m"});

  // Of two texts of one predicate, the removal takes out its own; a third
  // text names neither, and removes nothing.
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7 s: 'A'"));
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7 s: 'B'"));
  {
    orv::LogCapture capture;
    EXPECT_FALSE(Delete("m", "i32 { op: EQUALS }", "i32: 7"));
    EXPECT_TRUE(
        capture.Contains("The DeleteMonitor operation failed because monitor_id m holds "
                         "2 other subscriptions of the same predicate and not this one"));
  }
  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 7 s: 'B'"));
  EXPECT_EQ(Match("i32: 7"), MonitorIdSet{"m"});
  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 7"));  // A is the only one now
  EXPECT_EQ(Match("i32: 7"), MonitorIdSet{});
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ANY }", "nums: [1, 2]"));
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ANY }", "nums: [2, 1]"));
  EXPECT_FALSE(Delete("m", "nums { op: CONTAINS_ANY }", "nums: [1, 2, 1]"));
  ASSERT_TRUE(Delete("m", "nums { op: CONTAINS_ANY }", "nums: [2, 1]"));
  ASSERT_TRUE(Delete("m", "nums { op: CONTAINS_ANY }", "nums: [1, 2, 1]"));
  EXPECT_EQ(Match("nums: [1, 2]"), MonitorIdSet{});

  // [y] and [y, z, w] stand for no stored predicate: nothing changes.
  {
    orv::LogCapture capture;
    EXPECT_FALSE(Delete("m", "tags { op: CONTAINS_ANY }", "tags: 'y'"));
    EXPECT_FALSE(Delete("m", "tags { op: CONTAINS_ANY }", "tags: ['y', 'z', 'w']"));
    EXPECT_EQ(capture.Count("The subscription operation with OpMsg=EQUALS failed because a "
                            "monitor with monitor_id m was not found"),
              2u);
  }
  EXPECT_EQ(Match("tags: 'y'"), MonitorIdSet{"m"});
  EXPECT_EQ(Gauge("by_attribute"), 2u);
}

TEST_F(SubscriptionTreeTest, ListsCompareElementByElementAndExactly) {
  engine_.AddMonitor("eq", 1);
  engine_.AddMonitor("ne", 1);
  engine_.AddMonitor("close", 1);
  ASSERT_TRUE(Add("eq", "tags { op: EQUALS }", "tags: ['a b']"));
  ASSERT_TRUE(Add("ne", "tags { op: NOT_EQUALS }", "tags: ['a b']"));
  ASSERT_TRUE(Add("close", "ds { op: EQUALS }", "ds: [1.0000001]"));
  EXPECT_EQ(Match("tags: ['a b']"), MonitorIdSet{"eq"});
  EXPECT_EQ(Match("tags: ['a', 'b']"), MonitorIdSet{"ne"});
  EXPECT_EQ(Match("tags: ['a b', 'a b']"), MonitorIdSet{"ne"});
  engine_.AddMonitor("joined", 1);
  ASSERT_TRUE(Add("joined", "tags { op: EQUALS }", "tags: ['a\\010b']"));
  EXPECT_EQ(Match("tags: ['a', 'b']"), MonitorIdSet{"ne"});
  EXPECT_EQ(Match("tags: ['a\\010b']"), (MonitorIdSet{"ne", "joined"}));
  EXPECT_EQ(Match("ds: [1.0000001]"), MonitorIdSet{"close"});
  EXPECT_EQ(Match("ds: [1.0000002]"), MonitorIdSet{});
  // Order matters.
  engine_.AddMonitor("order", 1);
  ASSERT_TRUE(Add("order", "nums { op: EQUALS }", "nums: [1, 2]"));
  EXPECT_EQ(Match("nums: [1, 2]"), MonitorIdSet{"order"});
  EXPECT_EQ(Match("nums: [2, 1]"), MonitorIdSet{});
}

TEST_F(SubscriptionTreeTest, FloatsMatchAsIeeeComparesThem) {
  const std::string nan = "nan";
  for (const char* m :
       {"eq_nan", "ne_nan", "ne_one", "eq_zero", "any_nan", "all_one", "list_ne", "list_eq_nan"}) {
    engine_.AddMonitor(m, 1);
  }
  ASSERT_TRUE(Add("eq_nan", "f { op: EQUALS }", "f: nan"));
  ASSERT_TRUE(Add("ne_nan", "d { op: NOT_EQUALS }", "d: nan"));
  ASSERT_TRUE(Add("ne_one", "f { op: NOT_EQUALS }", "f: 1.5"));
  ASSERT_TRUE(Add("eq_zero", "d { op: EQUALS }", "d: -0.0"));
  ASSERT_TRUE(Add("any_nan", "fs { op: CONTAINS_ANY }", "fs: [nan]"));
  ASSERT_TRUE(Add("all_one", "fs { op: CONTAINS_ALL }", "fs: [1.5, nan]"));
  ASSERT_TRUE(Add("list_ne", "ds { op: NOT_EQUALS }", "ds: [1.5]"));
  ASSERT_TRUE(Add("list_eq_nan", "ds { op: EQUALS }", "ds: [nan]"));

  EXPECT_EQ(Match("f: nan"), MonitorIdSet{"ne_one"});
  EXPECT_EQ(Match("f: 1.5"), MonitorIdSet{});
  EXPECT_EQ(Match("f: 2"), MonitorIdSet{"ne_one"});
  EXPECT_EQ(Match("d: nan"), MonitorIdSet{"ne_nan"});
  EXPECT_EQ(Match("d: 0.0"), (MonitorIdSet{"ne_nan", "eq_zero"}));
  EXPECT_EQ(Match("fs: [nan, 1.5]"), MonitorIdSet{});  // a NaN element is in no set
  EXPECT_EQ(Match("ds: [nan]"), MonitorIdSet{"list_ne"});
  EXPECT_EQ(Match("ds: [1.5]"), MonitorIdSet{});
}

TEST_F(SubscriptionTreeTest, RemovingWhatWasNeverAddedFailsWithItsText) {
  engine_.AddMonitor("m", 1);
  engine_.AddMonitor("other", 1);
  ASSERT_TRUE(Add("other", "i32 { op: EXISTS }"));
  ASSERT_TRUE(Add("other", "i32 { op: NOT_EQUALS }", "i32: 1"));
  ASSERT_TRUE(Add("other", "nums { op: CONTAINS_ALL }", "nums: [1]"));
  ASSERT_TRUE(Add("other", "spot { city { op: EQUALS } }", "spot { city: 'x' }"));
  ASSERT_TRUE(Add("m", "s { op: EXISTS }"));
  struct Case {
    const char* op;
    const char* value;
    const char* text;
  };
  const Case cases[] = {
      {"i32 { op: EXISTS }", "",
       "The DeleteMonitor operation failed because a monitor with monitor_id m was not found"},
      {"i32 { op: EQUALS }", "i32: 1",
       "The subscription operation with OpMsg=EQUALS failed because a monitor with "
       "monitor_id m was not found"},
      {"i32 { op: NOT_EQUALS }", "i32: 1",
       "The subscription operation with OpMsg=NOT_EQUALS failed because a monitor with "
       "monitor_id m was not found"},
      {"nums { op: CONTAINS_ALL }", "nums: [1]",
       "The operation failed because a subscription was not found"},
      {"spot { point { x { op: EQUALS } } }", "spot { point { x: 1 } }",
       "The operation failed because a subscription for nested field point was not found"},
      {"u64 { op: EXISTS }", "",
       "DeleteSubscription: no subscriptions found for attribute 'u64' in object_type "
       "'monitor.test.WatchedMsg'"},
      {"", "", "subscription on type monitor.test.WatchedMsg for monitor id m not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    orv::LogCapture capture;
    EXPECT_FALSE(Delete("m", c.op, c.value));
    EXPECT_TRUE(capture.Contains(c.text));
    EXPECT_TRUE(
        capture.Contains("DeleteSubscription: Failed to delete subscription for "
                         "monitor_id m"));
  }
  EXPECT_EQ(Gauge("by_attribute"), 5u);
  EXPECT_EQ(Match("i32: 2 s: 'a' nums: 1 spot { city: 'x' }"), (MonitorIdSet{"m", "other"}));
}

TEST_F(SubscriptionTreeTest, ContainsAllOfAHundredThousandElements) {
  constexpr int kElements = 100000;
  auto value = Msg(*schema_, kWatched, "");
  const pb::FieldDescriptor* nums = value->GetDescriptor()->FindFieldByName("nums");
  for (int i = 0; i < kElements; ++i) value->GetReflection()->AddInt32(value.get(), nums, i);
  auto op =
      Msg(*schema_, schema_->op_messages().GetOpMsgTypeName(kWatched), "nums { op: CONTAINS_ALL }");
  const TarnixObject op_object(schema_->op_messages().GetOpMsgTypeName(kWatched),
                               op->SerializeAsString());
  const TarnixObject value_object(kWatched, value->SerializeAsString());
  engine_.AddMonitor("big", 1);
  engine_.AddMonitor("small", 1);
  ASSERT_TRUE(engine_.AddSubscription("big", kWatched, op_object, value_object));
  ASSERT_TRUE(Add("small", "nums { op: CONTAINS_ALL }", "nums: [5, 99999]"));

  // The same values in reverse, then without one of them.
  auto object = Msg(*schema_, kWatched, "");
  for (int i = kElements; i-- > 0;) object->GetReflection()->AddInt32(object.get(), nums, i);
  MonitorIdSet matched;
  engine_.MatchObjectSubscriptions(kWatched, object.get(), {1}, &matched);
  EXPECT_EQ(matched, (MonitorIdSet{"big", "small"}));
  object->GetReflection()->SetRepeatedInt32(object.get(), nums, kElements / 2, -1);
  matched.clear();
  engine_.MatchObjectSubscriptions(kWatched, object.get(), {1}, &matched);
  EXPECT_EQ(matched, MonitorIdSet{"small"});

  ASSERT_TRUE(engine_.DeleteSubscription("big", kWatched, op_object, value_object));
  EXPECT_EQ(Gauge("by_attribute"), 1u);
  // Left in place for the engine's destructor, which must not recurse.
  ASSERT_TRUE(engine_.AddSubscription("big", kWatched, op_object, value_object));
}

TEST_F(SubscriptionTreeTest, AnObjectThatDoesNotDecodeMatchesWholeTypeSubscriptionsOnly) {
  engine_.AddMonitor("type", 1);
  engine_.AddMonitor("attribute", 1);
  ASSERT_TRUE(Add("type", ""));
  ASSERT_TRUE(Add("attribute", "i32 { op: EXISTS }"));
  MonitorIdSet matched;
  engine_.MatchObjectSubscriptions(kWatched, nullptr, {1}, &matched);
  EXPECT_EQ(matched, MonitorIdSet{"type"});
  matched.clear();
  engine_.MatchObjectSubscriptions("", nullptr, {1}, &matched);
  EXPECT_EQ(matched, MonitorIdSet{});
}

// Monitors whose many clauses one object satisfies all at once: matching
// costs what the object and the monitors it reaches cost, counted in
// visits, and finds what the model finds.
class ManyClausesTest : public SubscriptionTreeTest {
 protected:
  void AddToBoth(const std::string& monitor, const std::string& op_text,
                 const std::string& value_text) {
    ClauseObjects clause = Clause(op_text, value_text);
    ASSERT_TRUE(engine_.AddSubscription(monitor, kWatched, clause.op, clause.value));
    model_.AddClause(monitor, {kWatched, *clause.op.body_ptr(), *clause.value.body_ptr()});
  }
  void DeleteFromBoth(const std::string& monitor, const std::string& op_text,
                      const std::string& value_text) {
    ClauseObjects clause = Clause(op_text, value_text);
    ASSERT_TRUE(engine_.DeleteSubscription(monitor, kWatched, clause.op, clause.value));
    model_.RemoveClause(monitor, {kWatched, *clause.op.body_ptr(), *clause.value.body_ptr()});
  }
  // "many", "other", then first0, first1, ... up to `count` in all.
  static std::vector<std::string> MonitorIds(size_t count) {
    std::vector<std::string> ids = {"many", "other"};
    while (ids.size() < count) ids.push_back("first" + std::to_string(ids.size()));
    return ids;
  }
  void Register(const std::string& monitor) {
    engine_.AddMonitor(monitor, 1);
    model_.AddMonitor(monitor, 1);
  }
  void Unregister(const std::string& monitor) {
    engine_.DeleteSubscriptions(monitor, "");
    model_.RemoveMonitor(monitor);
  }
  // Matches the object in both; returns the engine's visits.
  size_t MatchBoth(const std::string& object_text) {
    auto object = Msg(*schema_, kWatched, object_text);
    MatchedSubscribers matched;
    engine_.MatchObjectSubscribers(kWatched, object.get(), {1}, &matched);
    MonitorIdSet found;
    matched.ForEachMonitor([&found](const std::string& id) { found.insert(id); });
    EXPECT_EQ(found, model_.Match(kWatched, *object, {1})) << object_text;
    return matched.visits;
  }

  SubscriptionModel model_{schema_.get()};
};

TEST_F(ManyClausesTest, NotEqualsOperandsOfOneMonitorCostItOnce) {
  struct Shape {
    const char* op;
    std::string (*operand)(int);
    std::vector<std::string> probes;  // the first holds operand 0
  };
  const Shape shapes[] = {
      {"d { op: NOT_EQUALS }",
       [](int n) { return "d: " + std::to_string(n); },
       {"d: 0", "d: -0.0", "d: 7", "d: nan", "d: 123456"}},
      {"tags { op: NOT_EQUALS }",
       [](int n) { return "tags: 't" + std::to_string(n) + "'"; },
       {"tags: 't0'", "tags: 'a'", "tags: ['t1', 't2']", "tags: 'zz'"}},
      {"spot { self { op: NOT_EQUALS } }",
       [](int n) { return "spot { city: 'c" + std::to_string(n) + "' }"; },
       {"spot { city: 'c0' }", "spot { city: 'a' }", "spot { point { x: 1 } }"}},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.op);
    std::vector<size_t> visits[2];
    for (int round = 0; round < 2; ++round) {
      const int operands = round == 0 ? 100 : 20000;
      // Beside "many", monitors of the first probe's operand only, 3 or
      // 300, and one of a few others (NaN where the attribute takes it).
      const std::vector<std::string> monitors = MonitorIds(round == 0 ? 3 : 300);
      for (const std::string& monitor : monitors) Register(monitor);
      for (int n = 0; n < operands; ++n) AddToBoth("many", shape.op, shape.operand(n));
      for (size_t m = 2; m < monitors.size(); ++m)
        AddToBoth(monitors[m], shape.op, shape.operand(0));
      for (int n = -1; n >= -4; --n) AddToBoth("other", shape.op, shape.operand(n));
      if (shape.op[0] == 'd') AddToBoth("other", shape.op, "d: nan");
      for (const std::string& probe : shape.probes) visits[round].push_back(MatchBoth(probe));
      if (round == 0) {
        // Down to one operand, "many" no longer matches its own.
        for (int n = 1; n < operands; ++n) DeleteFromBoth("many", shape.op, shape.operand(n));
        for (const std::string& probe : shape.probes) MatchBoth(probe);
        auto own = Msg(*schema_, kWatched, shape.probes[0]);
        EXPECT_EQ(model_.Match(kWatched, *own, {1}).count("many"), 0u);
      }
      for (const std::string& monitor : monitors) Unregister(monitor);
      EXPECT_FALSE(engine_.HasSubscriptions());
    }
    EXPECT_EQ(visits[0], visits[1]);
  }
}

TEST_F(ManyClausesTest, ContainsAllOfEveryPairCostsTheObjectsValues) {
  constexpr int kTags = 450;
  auto tag = [](int n) { return "'t" + std::to_string(n) + "'"; };
  std::string every_tag = "tags: [";
  for (int n = 0; n < kTags; ++n) every_tag += (n > 0 ? ", " : "") + tag(n);
  every_tag += "]";
  size_t visits[2];
  for (int round = 0; round < 2; ++round) {
    // Pairs of the first 45 tags, then of the first 200: 990 and 19,900
    // clauses.
    const int operands = round == 0 ? 45 : 200;
    Register("pairs");
    Register("held");
    Register("absent");
    for (int a = 0; a < operands; ++a) {
      for (int b = a + 1; b < operands; ++b) {
        AddToBoth("pairs", "tags { op: CONTAINS_ALL }", "tags: [" + tag(a) + ", " + tag(b) + "]");
      }
    }
    AddToBoth("held", "tags { op: CONTAINS_ALL }", "tags: [" + tag(3) + ", " + tag(1) + "]");
    AddToBoth("absent", "tags { op: CONTAINS_ALL }", "tags: [" + tag(1) + ", 'zz']");
    visits[round] = MatchBoth(every_tag);
    MatchBoth("tags: ['t1', 't3']");
    MatchBoth("tags: ['t3', 't2', 'zz']");
    MatchBoth("tags: ['t1', 'zz']");
    for (const char* monitor : {"pairs", "held", "absent"}) Unregister(monitor);
  }
  // In the object's 450 values, a few steps each, not in the pairs.
  EXPECT_LE(visits[0], 6u * kTags);
  EXPECT_LE(visits[1], 6u * kTags);
}

TEST_F(ManyClausesTest, MonitorsSharingSetsFoundOnceCostTheirSetsOnce) {
  size_t visits[2];
  for (int round = 0; round < 2; ++round) {
    // k monitors, each with {t0} and {t0, t<j>} for j below k; one more
    // with a set the object does not hold, so that the node of t0 never
    // has all its monitors found.
    const int k = round == 0 ? 20 : 200;
    std::string object = "tags: ['t0'";
    for (int j = 1; j < k; ++j) object += ", 't" + std::to_string(j) + "'";
    object += "]";
    for (int m = 0; m < k; ++m) {
      const std::string monitor = "m" + std::to_string(m);
      Register(monitor);
      AddToBoth(monitor, "tags { op: CONTAINS_ALL }", "tags: 't0'");
      for (int j = 1; j < k; ++j) {
        AddToBoth(monitor, "tags { op: CONTAINS_ALL }",
                  "tags: ['t0', 't" + std::to_string(j) + "']");
      }
    }
    Register("absent");
    AddToBoth("absent", "tags { op: CONTAINS_ALL }", "tags: ['t0', 't1', 'zz']");
    visits[round] = MatchBoth(object);
    for (int m = 0; m < k; ++m) Unregister("m" + std::to_string(m));
    Unregister("absent");
  }
  // In the monitors and the object's values, not in their product.
  EXPECT_LE(visits[0], 12u * 20);
  EXPECT_LE(visits[1], 12u * 200);
}

TEST_F(ManyClausesTest, OneSetThroughTwoClausesAndMonitorsSweptFromAVdbKeepTheirCounts) {
  // {a, b} through two clauses of other bytes: removing one keeps it.
  Register("n");
  Register("m");
  AddToBoth("n", "tags { op: CONTAINS_ALL }", "tags: ['a', 'b']");
  AddToBoth("n", "tags { op: CONTAINS_ALL }", "tags: ['b', 'a']");
  AddToBoth("m", "tags { op: CONTAINS_ALL }", "tags: ['a']");
  DeleteFromBoth("n", "tags { op: CONTAINS_ALL }", "tags: ['a', 'b']");
  MatchBoth("tags: ['a', 'b', 'c']");
  Unregister("n");
  Unregister("m");

  // A monitor that moved to vdb 2 is swept from vdb 1 when it drops the
  // type; back on vdb 1, it starts there afresh. Another monitor keeps the
  // trees there.
  engine_.AddMonitor("keeper", 1);
  ASSERT_TRUE(Add("keeper", "d { op: NOT_EQUALS }", "d: 7"));
  ASSERT_TRUE(Add("keeper", "tags { op: CONTAINS_ALL }", "tags: ['a', 'z']"));
  engine_.AddMonitor("moved", 1);
  ASSERT_TRUE(Add("moved", "d { op: NOT_EQUALS }", "d: 1"));
  ASSERT_TRUE(Add("moved", "d { op: NOT_EQUALS }", "d: 2"));
  ASSERT_TRUE(Add("moved", "tags { op: CONTAINS_ALL }", "tags: ['a', 'b']"));
  engine_.AddMonitor("moved", 2);
  engine_.DeleteSubscriptions("moved", kWatched);
  engine_.AddMonitor("moved", 1);
  ASSERT_TRUE(Add("moved", "d { op: NOT_EQUALS }", "d: 1"));
  ASSERT_TRUE(Add("moved", "tags { op: CONTAINS_ALL }", "tags: ['a', 'c']"));
  EXPECT_EQ(Match("d: 1"), MonitorIdSet{"keeper"});
  EXPECT_EQ(Match("d: 2"), (MonitorIdSet{"keeper", "moved"}));
  EXPECT_EQ(Match("tags: ['a', 'b']"), MonitorIdSet{});
  EXPECT_EQ(Match("tags: ['c', 'a']"), MonitorIdSet{"moved"});
}

}  // namespace
}  // namespace subscription_test
}  // namespace tarnix

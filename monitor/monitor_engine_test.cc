#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "monitor/engine_test_util.h"
#include "monitor/monitor_statements.h"
#include "monitor/monitor_engine.h"

// tcmalloc's C interface, resolved only when the process links tcmalloc.
extern "C" int MallocExtension_GetNumericProperty(const char* property, size_t* value)
    __attribute__((weak));

namespace tarnix {
namespace {

TEST(MonitorEngineTest, MonitorsMoveBetweenVdbs) {
  MonitorEngine engine(nullptr, nullptr);
  engine.AddMonitor("m1", 1);
  engine.AddMonitor("m1", 1);
  engine.AddMonitor("m2", 1);
  std::set<std::string> ids = {"other"};
  engine.CollectMonitorsWatchingVDb(1, &ids);
  EXPECT_EQ(ids, (std::set<std::string>{"m1", "m2", "other"}));

  engine.AddMonitor("m1", 7);
  uint16_t vdb = 0;
  ASSERT_TRUE(engine.GetVDbIdForMonitor("m1", &vdb));
  EXPECT_EQ(vdb, 7);
  ids.clear();
  engine.CollectMonitorsWatchingVDb(1, &ids);
  EXPECT_EQ(ids, std::set<std::string>{"m2"});

  vdb = 42;
  EXPECT_FALSE(engine.GetVDbIdForMonitor("unknown", &vdb));
  EXPECT_EQ(vdb, 42);
  ids = {"kept"};
  engine.CollectMonitorsWatchingVDb(3, &ids);
  EXPECT_EQ(ids, std::set<std::string>{"kept"});
}

TEST(MonitorEngineTest, StatementSettersCreateThePairAndLookupsDoNot) {
  MonitorEngine engine(nullptr, nullptr);
  EXPECT_FALSE(engine.GetMonitorStatementFlag("m", "A"));
  EXPECT_FALSE(engine.HasMonitorStatement("m", "A"));

  engine.SetSubscriptionFlag("m", "A", true);
  EXPECT_TRUE(engine.HasMonitorStatement("m", "A"));
  EXPECT_TRUE(engine.GetMonitorStatementFlag("m", "A"));
  EXPECT_FALSE(engine.HasMonitorStatement("m", "B"));
  EXPECT_FALSE(engine.GetMonitorStatementFlag("m", "B"));

  engine.SetSubscriptionString("m", "B", "sel");
  EXPECT_TRUE(engine.HasMonitorStatement("m", "B"));
  EXPECT_FALSE(engine.GetMonitorStatementFlag("m", "B"));
  engine.SetSubscriptionString("m", "A", "sel");
  EXPECT_TRUE(engine.GetMonitorStatementFlag("m", "A"));  // the flag survives
}

TEST(MonitorEngineTest, SubscriptionKeysDifferByFieldBoundaries) {
  SubscriptionKeyHash hash;
  SubscriptionKey a{"T", {"ab", "c"}};
  SubscriptionKey b{"T", {"a", "bc"}};
  EXPECT_FALSE(a == b);
  EXPECT_NE(hash(a), hash(b));
  EXPECT_EQ(hash(a), hash(SubscriptionKey{"T", {"ab", "c"}}));
}

TEST(MonitorEngineTest, GeneratedIdsWriteTheirWordsMostSignificantByteFirst) {
  EXPECT_EQ(UuidToString(0x0123456789abcdefULL, 0xfedcba9876543210ULL),
            "01234567-89ab-cdef-fedc-ba9876543210");
  EXPECT_EQ(UuidToString(0, 1), "00000000-0000-0000-0000-000000000001");
}

TEST(MonitorEngineTest, MovedMonitorsAreNoWatchersOfTheirOldVdb) {
  MonitorEngine engine(nullptr, nullptr);
  engine.AddMonitor("stays", 1);
  engine.AddMonitor("moves", 1);
  engine.AddMonitor("moves", 2);
  std::set<std::string> ids;
  engine.CollectMonitorsWatchingVDb(1, &ids);
  EXPECT_EQ(ids, std::set<std::string>{"stays"});
  ids.clear();
  engine.CollectMonitorsWatchingVDb(2, &ids);
  EXPECT_EQ(ids, std::set<std::string>{"moves"});
}

using subscription_test::EngineTest;
using subscription_test::kWatched;

TEST_F(EngineTest, DepartedMonitorLeavesNothingBehind) {
  engine_.AddMonitor("m", 1);
  engine_.AddMonitor("other", 1);
  ASSERT_TRUE(Add("m", ""));
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7"));
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 7 s: 'x'"));  // shares an entry
  ASSERT_TRUE(Add("other", "i32 { op: EQUALS }", "i32: 7"));     // shares it too
  ASSERT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", "tags: ['a', 'b']"));
  ASSERT_TRUE(Add("m", "spot { point { x { op: EXISTS } } }"));
  ASSERT_TRUE(Add("m", "n { op: NOT_EQUALS }", "n: 1", "monitor.test.OtherMsg"));
  // Clauses whose removal fails: one the tree refuses, one it stores nothing for.
  EXPECT_FALSE(Add("m", "i32 { op: EQUALS } s { op: EQUALS }", "i32: 1 s: 'a'"));
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ALL }", ""));
  engine_.SetSubscriptionString("m", "monitor.test.OtherMsg", "selection");
  // Subscriptions on a vdb the monitor then moved away from.
  engine_.AddMonitor("m", 2);
  ASSERT_TRUE(Add("m", "u64 { op: EXISTS }"));
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ALL }", "nums: [1, 2]"));
  ASSERT_TRUE(Add("m", "spot { self { op: NOT_EQUALS } }", "spot { city: 'x' }"));
  engine_.AddMonitor("m", 3);

  {
    orv::LogCapture capture;
    engine_.DeleteSubscriptions("m", "");
    EXPECT_TRUE(capture.Contains("DeleteSubscriptions: removed monitor_id 'm' from"));
  }
  VdbId vdb = 0;
  EXPECT_FALSE(engine_.GetVDbIdForMonitor("m", &vdb));
  std::set<std::string> watchers;
  for (VdbId listed : {1, 2, 3}) engine_.CollectMonitorsWatchingVDb(listed, &watchers);
  EXPECT_EQ(watchers, std::set<std::string>{"other"});
  EXPECT_EQ(Match("i32: 7 tags: 'a' spot { point { x: 1 } } u64: 1 nums: [2, 1]", {1, 2, 3}),
            MonitorIdSet{"other"});
  EXPECT_EQ(Match("n: 2", {1, 2, 3}, "monitor.test.OtherMsg"), MonitorIdSet{});
  EXPECT_EQ(Gauge("by_type"), 0u);
  EXPECT_EQ(Gauge("by_attribute"), 1u);
  EXPECT_EQ(Gauge("by_attribute", 1, "monitor.test.OtherMsg"), 0u);
  EXPECT_EQ(Gauge("by_attribute", 2), 0u);
  {
    orv::LogCapture capture;
    EXPECT_FALSE(Add("m", "i32 { op: EXISTS }"));
    EXPECT_TRUE(capture.Contains("AddSubscription: Unable to find vdb_id for monitor_id 'm'"));
  }

  // The same id starts afresh.
  engine_.AddMonitor("m", 1);
  EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));
  EXPECT_FALSE(engine_.HasMonitorStatement("m", "monitor.test.OtherMsg"));
  SubscriptionKeySet keys;
  engine_.ListMonitorSubscriptions("m", &keys);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(Match("i32: 7"), MonitorIdSet{"other"});

  engine_.DeleteSubscriptions("m", "");
  engine_.DeleteSubscriptions("other", "");
  EXPECT_FALSE(engine_.HasSubscriptions());
  EXPECT_EQ(Gauge("by_attribute"), 0u);
}

// Heap bytes in use, or false when the process does not run on tcmalloc.
bool AllocatedBytes(size_t* bytes) {
  return MallocExtension_GetNumericProperty != nullptr &&
         MallocExtension_GetNumericProperty("generic.current_allocated_bytes", bytes);
}

TEST_F(EngineTest, AMonitorRemovedInStepsGoesWholeOnceTheLastStepReturns) {
  engine_.AddMonitor("m", 1);
  engine_.AddMonitor("other", 1);
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: " + std::to_string(i)));
  }
  ASSERT_TRUE(Add("other", "i32 { op: EQUALS }", "i32: 3"));
  size_t freed = 0;
  int steps = 1;
  while (!engine_.DeleteSubscriptionsInSteps("m", "", 2, &freed)) {
    ++steps;
    ASSERT_LT(steps, 10);
    VdbId vdb = 0;
    EXPECT_TRUE(engine_.GetVDbIdForMonitor("m", &vdb));  // registered until the last step
  }
  EXPECT_EQ(steps, 4);  // 2 + 2 + 2, and the last one
  EXPECT_GT(freed, 0u);
  VdbId vdb = 0;
  EXPECT_FALSE(engine_.GetVDbIdForMonitor("m", &vdb));
  EXPECT_EQ(Match("i32: 3"), MonitorIdSet{"other"});
  EXPECT_TRUE(Match("i32: 5").empty());
  EXPECT_EQ(Gauge("by_attribute"), 1u);
  // A removal that fails one by one is swept whole at once.
  engine_.AddMonitor("m", 1);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: " + std::to_string(i)));
  }
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ALL }", ""));  // stored nowhere
  freed = 0;
  for (steps = 1; !engine_.DeleteSubscriptionsInSteps("m", "", 1, &freed); ++steps) {
    ASSERT_LT(steps, 10);
  }
  EXPECT_FALSE(engine_.GetVDbIdForMonitor("m", &vdb));
  EXPECT_EQ(Gauge("by_attribute"), 1u);
}

TEST_F(EngineTest, ContainsAnyTakesMemoryLinearInItsElementsAndGivesItBack) {
  size_t probe = 0;
  if (!AllocatedBytes(&probe)) GTEST_SKIP() << "the allocator reports no heap figures";
  engine_.AddMonitor("other", 1);
  ASSERT_TRUE(Add("other", "i32 { op: EXISTS }"));  // the index and its gauges stay
  double bytes_per_element_of_first = 0;
  for (int elements : {1000, 10000, 100000}) {
    SCOPED_TRACE(elements);
    std::string tags = "tags: [";
    for (int i = 0; i < elements; ++i) tags += "'tag-" + std::to_string(i) + "',";
    tags.back() = ']';
    const std::string monitor = "m" + std::to_string(elements);
    size_t before = 0;
    ASSERT_TRUE(AllocatedBytes(&before));
    engine_.AddMonitor(monitor, 1);
    ASSERT_TRUE(Add(monitor, "tags { op: CONTAINS_ANY }", tags));
    size_t added = 0;
    ASSERT_TRUE(AllocatedBytes(&added));
    const double bytes_per_element = static_cast<double>(added - before) / elements;
    if (bytes_per_element_of_first == 0) bytes_per_element_of_first = bytes_per_element;
    ASSERT_LE(bytes_per_element, 2 * bytes_per_element_of_first);
    EXPECT_EQ(Match("tags: 'tag-7'"), MonitorIdSet{monitor});

    engine_.DeleteSubscriptions(monitor, "");
    size_t after = 0;
    ASSERT_TRUE(AllocatedBytes(&after));
    EXPECT_LE(after, before + 4096);
    EXPECT_EQ(Match("tags: 'tag-7'"), MonitorIdSet{});
    if (elements == 100000) {  // large enough to hand its pages to the system
      size_t free_pages = 0;
      ASSERT_TRUE(MallocExtension_GetNumericProperty("tcmalloc.pageheap_free_bytes", &free_pages));
      EXPECT_LT(free_pages, 1u << 20);
    }
  }
}

TEST(MonitorEngineTest, EnginesShareNeitherSchemaNorMetrics) {
  std::unique_ptr<Schema> schema_a = subscription_test::LoadWatchSchema();
  std::unique_ptr<Schema> schema_b = subscription_test::LoadWatchSchema();
  orv::metrics::MetricRegistry registry_a;
  orv::metrics::MetricRegistry registry_b;
  MonitorEngine a(schema_a.get(), &registry_a);
  MonitorEngine b(schema_b.get(), &registry_b);
  auto op = subscription_test::Msg(*schema_a, "WatchedOpMsg", "i32 { op: EQUALS }");
  auto value = subscription_test::Msg(*schema_a, "WatchedMsg", "i32: 7");
  const TarnixObject op_object("monitor.test.WatchedOpMsg", op->SerializeAsString());
  const TarnixObject value_object(kWatched, value->SerializeAsString());
  a.AddMonitor("m", 1);
  ASSERT_TRUE(a.AddSubscription("m", kWatched, op_object, value_object));
  schema_b.reset();  // a's schema and registry are its own

  auto object = subscription_test::Msg(*schema_a, "WatchedMsg", "i32: 7");
  MonitorIdSet matched;
  a.MatchObjectSubscriptions(kWatched, object.get(), {1}, &matched);
  EXPECT_EQ(matched, MonitorIdSet{"m"});
  const char* gauge = "server/monitor/1/monitor.test.WatchedMsg/by_attribute";
  EXPECT_NE(registry_a.find_key(gauge), nullptr);
  EXPECT_EQ(registry_b.find_key(gauge), nullptr);
}

TEST_F(EngineTest, IndexGaugesCountChangesInTheirWindowAndMatchesAreTimed) {
  engine_.AddMonitor("m", 1);
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 1"));
  ASSERT_TRUE(Add("m", "i32 { op: EQUALS }", "i32: 2"));
  ASSERT_TRUE(Delete("m", "i32 { op: EQUALS }", "i32: 1"));
  metrics::UnitMetric gauge(registry_, MetricPath("by_attribute", 1, kWatched));
  const auto window = gauge->window(true);
  EXPECT_EQ(window.last, 1u);
  EXPECT_EQ(window.num, 3u);
  EXPECT_EQ(window.min, 1u);
  EXPECT_EQ(window.max, 2u);

  Match("i32: 2");
  Match("i32: 3");
  metrics::LatencyMetric latency(registry_, MetricPath("get_latency", 1, kWatched));
  EXPECT_EQ(latency->window(true).s_num, 2u);
}

TEST_F(EngineTest, DroppingOneTypeKeepsTheMonitorAndItsOtherTypes) {
  engine_.AddMonitor("m", 1);
  ASSERT_TRUE(Add("m", "i32 { op: EXISTS }"));
  ASSERT_TRUE(Add("m", "nums { op: CONTAINS_ALL }", ""));  // cannot be removed one by one
  ASSERT_TRUE(Add("m", "", "", "monitor.test.OtherMsg"));
  engine_.SetSubscriptionFlag("m", kWatched, true);

  engine_.DeleteSubscriptions("m", kWatched);
  EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));
  EXPECT_TRUE(engine_.HasMonitorStatement("m", "monitor.test.OtherMsg"));
  EXPECT_EQ(Match("i32: 1"), MonitorIdSet{});
  EXPECT_EQ(Match("n: 1", {1}, "monitor.test.OtherMsg"), MonitorIdSet{"m"});
  ASSERT_TRUE(Add("m", "i32 { op: EXISTS }"));  // still registered
  EXPECT_EQ(Match("i32: 1"), MonitorIdSet{"m"});

  // The same clause on a vdb the monitor left: its one key is removed from
  // the monitor's vdb, the subscription on the earlier one is swept.
  engine_.AddMonitor("m", 2);
  ASSERT_TRUE(Add("m", "i32 { op: EXISTS }"));
  engine_.DeleteSubscriptions("m", kWatched);
  EXPECT_EQ(Match("i32: 1", {1, 2}), MonitorIdSet{});
  EXPECT_EQ(Gauge("by_attribute", 1), 0u);
  EXPECT_EQ(Gauge("by_attribute", 2), 0u);
}

TEST_F(EngineTest, RefusedAddsLeaveNoIndex) {
  {
    orv::LogCapture capture;
    EXPECT_FALSE(Add("nobody", ""));
    EXPECT_TRUE(capture.Contains("AddSubscription: Unable to find vdb_id for monitor_id 'nobody'"));
  }
  engine_.AddMonitor("m", 1);
  {
    orv::LogCapture capture;
    EXPECT_FALSE(Add("m", "i32 { op: EQUALS } s { op: EQUALS }", "i32: 1 s: 'a'"));
    EXPECT_TRUE(capture.Contains("Add subscription for monitor id m has morethan one field set"));
    EXPECT_FALSE(Add("m", "spot { point { x { op: EQUALS } } }", "s: 'no operand'"));
    EXPECT_TRUE(capture.Contains("Attribute x in given equality predicate has no elements"));
  }
  EXPECT_FALSE(engine_.HasSubscriptions());
  EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));
}

TEST_F(EngineTest, StatementLookupsAndListing) {
  const int level = orv::Logger::logLevel;
  orv::Logger::logLevel = orv::VERBOSE;
  engine_.AddMonitor("m", 1);
  {
    orv::LogCapture capture;
    EXPECT_EQ(engine_.FindMonitorSubscription("m", kWatched), "");
    EXPECT_TRUE(
        capture.Contains("The operation failed because a monitor with monitor_id m was not found"));
    SubscriptionKeySet keys;
    engine_.ListMonitorSubscriptions("m", &keys);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(capture.Count("subscriptions for monitor_id"), 0u);
  }
  engine_.SetSubscriptionString("m", kWatched, "sel");
  ASSERT_TRUE(Add("m", "i32 { op: EXISTS }"));
  ASSERT_TRUE(Add("m", "", ""));
  EXPECT_EQ(engine_.FindMonitorSubscription("m", kWatched), "sel");
  {
    orv::LogCapture capture;
    EXPECT_EQ(engine_.FindMonitorSubscription("m", "monitor.test.OtherMsg"), "");
    EXPECT_TRUE(
        capture.Contains("The operation failed because a subscription with type "
                         "monitor.test.OtherMsg was not found for monitor_id m"));
    SubscriptionKeySet keys;
    engine_.ListMonitorSubscriptions("m", &keys);
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys.count(SubscriptionKey{kWatched, {"", ""}}));
    EXPECT_TRUE(capture.Contains("2 subscriptions for monitor_id m found"));
  }
  orv::Logger::logLevel = level;
  // The statement goes with its last subscription, selection and all.
  ASSERT_TRUE(Delete("m", "i32 { op: EXISTS }"));
  ASSERT_TRUE(Delete("m", ""));
  EXPECT_FALSE(engine_.HasMonitorStatement("m", kWatched));
}

}  // namespace
}  // namespace tarnix

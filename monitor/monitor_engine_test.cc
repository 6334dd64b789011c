#include "monitor/monitor_engine.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

TEST(MonitorEngineTest, MonitorsMoveBetweenVdbsButStayListedOnTheOldOne) {
  MonitorEngine engine(nullptr, nullptr);
  engine.AddMonitor("m1", 1);
  engine.AddMonitor("m1", 1);
  engine.AddMonitor("m2", 1);
  std::set<std::string> ids = {"other"};
  engine.CollectMonitorsOfVDb(1, &ids);
  EXPECT_EQ(ids, (std::set<std::string>{"m1", "m2", "other"}));

  engine.AddMonitor("m1", 7);
  uint16_t vdb = 0;
  ASSERT_TRUE(engine.GetVDbIdForMonitor("m1", &vdb));
  EXPECT_EQ(vdb, 7);
  ids.clear();
  engine.CollectMonitorsOfVDb(1, &ids);
  EXPECT_EQ(ids, (std::set<std::string>{"m1", "m2"}));

  vdb = 42;
  EXPECT_FALSE(engine.GetVDbIdForMonitor("unknown", &vdb));
  EXPECT_EQ(vdb, 42);
  ids = {"kept"};
  engine.CollectMonitorsOfVDb(3, &ids);
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
  SubscriptionKey a{"T", "ab", "c"};
  SubscriptionKey b{"T", "a", "bc"};
  EXPECT_FALSE(a == b);
  EXPECT_NE(hash(a), hash(b));
  EXPECT_EQ(hash(a), hash(SubscriptionKey{"T", "ab", "c"}));
}

}  // namespace
}  // namespace tarnix

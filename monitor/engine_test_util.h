#ifndef TARNIX_MONITOR_ENGINE_TEST_UTIL_H_
#define TARNIX_MONITOR_ENGINE_TEST_UTIL_H_

// Test-only: a monitor engine on the fixture schema, with clauses and
// objects written as protobuf text.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "metrics/metric.h"
#include "monitor/monitor_engine.h"
#include "monitor/subscription_model.h"
#include "platform/metrics/metric_registry.h"
#include "schema/schema.h"

namespace tarnix {
namespace subscription_test {

constexpr char kWatched[] = "monitor.test.WatchedMsg";

// The op and value objects of a where clause, as DecodeWhereMsg makes them.
struct ClauseObjects {
  TarnixObject op;
  TarnixObject value;
};

class EngineTest : public ::testing::Test {
 protected:
  ClauseObjects Clause(const std::string& op_text, const std::string& value_text,
                       const std::string& type = kWatched) {
    auto op = Msg(*schema_, schema_->op_messages().GetOpMsgTypeName(type), op_text);
    auto value = Msg(*schema_, type, value_text);
    return {TarnixObject(schema_->op_messages().GetOpMsgTypeName(type), op->SerializeAsString()),
            TarnixObject(type, value->SerializeAsString())};
  }
  bool Add(const std::string& monitor, const std::string& op_text,
           const std::string& value_text = "", const std::string& type = kWatched) {
    ClauseObjects clause = Clause(op_text, value_text, type);
    return engine_.AddSubscription(monitor, type, clause.op, clause.value);
  }
  bool Delete(const std::string& monitor, const std::string& op_text,
              const std::string& value_text = "", const std::string& type = kWatched) {
    ClauseObjects clause = Clause(op_text, value_text, type);
    return engine_.DeleteSubscription(monitor, type, clause.op, clause.value);
  }
  // The monitors of `vdbs` that an object of `type` given as text concerns.
  MonitorIdSet Match(const std::string& object_text, const VdbIdSet& vdbs = {1},
                     const std::string& type = kWatched) {
    auto object = Msg(*schema_, type, object_text);
    MonitorIdSet monitors;
    engine_.MatchObjectSubscriptions(type, object.get(), vdbs, &monitors);
    return monitors;
  }
  // The last value of an index's gauge ("by_type" or "by_attribute"),
  // which must exist.
  uint64_t Gauge(const std::string& name, VdbId vdb = 1, const std::string& type = kWatched) {
    const std::string path = MetricPath(name, vdb, type);
    EXPECT_TRUE(registry_.find_key(path) != nullptr) << path;
    return GaugeIfAny(name, vdb, type);
  }
  // The same, 0 for a gauge never made.
  uint64_t GaugeIfAny(const std::string& name, VdbId vdb = 1, const std::string& type = kWatched) {
    if (registry_.find_key(MetricPath(name, vdb, type)) == nullptr) return 0;
    return metrics::UnitMetric(registry_, MetricPath(name, vdb, type))->window(true).last;
  }
  static std::string MetricPath(const std::string& name, VdbId vdb, const std::string& type) {
    return "server/monitor/" + std::to_string(vdb) + "/" + type + "/" + name;
  }

  std::unique_ptr<Schema> schema_ = LoadWatchSchema();
  orv::metrics::MetricRegistry registry_;
  MonitorEngine engine_{schema_.get(), &registry_};
};

}  // namespace subscription_test
}  // namespace tarnix

#endif  // TARNIX_MONITOR_ENGINE_TEST_UTIL_H_

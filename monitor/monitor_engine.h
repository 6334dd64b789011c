#ifndef TARNIX_MONITOR_MONITOR_ENGINE_H_
#define TARNIX_MONITOR_MONITOR_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace orv {
namespace metrics {
class MetricRegistry;
}  // namespace metrics
}  // namespace orv

namespace tarnix {

class Schema;

// One subscription of a monitor on an object type: the type, and the
// serialised op message and value message of its where predicate.
struct SubscriptionKey {
  std::string object_type;
  std::string operation;
  std::string operand;

  bool operator==(const SubscriptionKey& other) const {
    return object_type == other.object_type && operation == other.operation &&
           operand == other.operand;
  }
};

// Combines the three strings in order, so that moving bytes from one field
// to the next gives another hash.
struct SubscriptionKeyHash {
  size_t operator()(const SubscriptionKey& key) const;
};

// What a monitor asked for on one object type.
struct MonitorStatementData {
  // Serialised selection op message of the statement; empty until set.
  std::string selection;
  // Whether notifications carry the object's old body.
  bool flag = false;
  std::unordered_set<SubscriptionKey, SubscriptionKeyHash> subscriptions;
};

// The registry of monitors: the vdb each one watches, the monitors of each
// vdb and each monitor's statement per object type. Lives in memory only.
//
// Not thread-safe: every operation runs on the RPC event-loop thread. Lookups
// report absence by their answer and never insert; setters create the
// entries they name.
class MonitorEngine {
 public:
  // Neither pointer is owned; both must outlive the engine. Also makes them
  // the process's monitor schema and registry (below): built once per process.
  MonitorEngine(Schema* schema, orv::metrics::MetricRegistry* metric_registry);
  MonitorEngine(const MonitorEngine&) = delete;
  MonitorEngine& operator=(const MonitorEngine&) = delete;

  // Registers `monitor_id` on `vdb_id`. A known monitor moves to the new
  // vdb; the old vdb's set keeps listing it.
  void AddMonitor(const std::string& monitor_id, uint16_t vdb_id);
  // The monitor's vdb into *vdb_id; false (and *vdb_id untouched) when the
  // monitor is not registered.
  bool GetVDbIdForMonitor(const std::string& monitor_id, uint16_t* vdb_id) const;
  // Adds the ids of every monitor registered on `vdb_id` to *monitor_ids.
  void CollectMonitorsOfVDb(uint16_t vdb_id, std::set<std::string>* monitor_ids) const;

  void SetSubscriptionString(const std::string& monitor_id, const std::string& type_name,
                             const std::string& selection);
  void SetSubscriptionFlag(const std::string& monitor_id, const std::string& type_name,
                           bool flag);
  bool HasMonitorStatement(const std::string& monitor_id, const std::string& type_name) const;
  // False when the monitor or the type is unknown.
  bool GetMonitorStatementFlag(const std::string& monitor_id,
                               const std::string& type_name) const;

  Schema* schema() const { return schema_; }
  orv::metrics::MetricRegistry* metric_registry() const { return metric_registry_; }

 private:
  using TypeStatements = std::unordered_map<std::string, MonitorStatementData>;

  MonitorStatementData& Statement(const std::string& monitor_id, const std::string& type_name);
  const MonitorStatementData* FindStatement(const std::string& monitor_id,
                                            const std::string& type_name) const;

  Schema* const schema_;
  orv::metrics::MetricRegistry* const metric_registry_;
  std::unordered_map<std::string, TypeStatements> monitor_id_to_type_statement_data_;
  std::unordered_map<std::string, uint16_t> monitor_id_to_vdb_id_;
  std::unordered_map<uint16_t, std::set<std::string>> vdb_id_to_monitor_ids_;
};

// The schema and registry of the process's MonitorEngine, for the parts of
// subscription matching that are built without an engine at hand; null
// before an engine exists.
Schema* MonitorSchema();
orv::metrics::MetricRegistry* MonitorMetricRegistry();

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_ENGINE_H_

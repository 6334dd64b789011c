#include "monitor/monitor_engine.h"

#include <atomic>

#include <boost/functional/hash.hpp>

namespace tarnix {
namespace {

// Registries start small; they grow with the number of monitors.
constexpr size_t kInitialBuckets = 16;

std::atomic<Schema*> monitor_schema{nullptr};
std::atomic<orv::metrics::MetricRegistry*> monitor_registry{nullptr};

}  // namespace

size_t SubscriptionKeyHash::operator()(const SubscriptionKey& key) const {
  size_t seed = 0;
  boost::hash_combine(seed, key.object_type);
  boost::hash_combine(seed, key.operation);
  boost::hash_combine(seed, key.operand);
  return seed;
}

MonitorEngine::MonitorEngine(Schema* schema, orv::metrics::MetricRegistry* metric_registry)
    : schema_(schema),
      metric_registry_(metric_registry),
      monitor_id_to_type_statement_data_(kInitialBuckets),
      monitor_id_to_vdb_id_(kInitialBuckets),
      vdb_id_to_monitor_ids_(kInitialBuckets) {
  monitor_schema.store(schema);
  monitor_registry.store(metric_registry);
}

void MonitorEngine::AddMonitor(const std::string& monitor_id, uint16_t vdb_id) {
  monitor_id_to_vdb_id_[monitor_id] = vdb_id;
  vdb_id_to_monitor_ids_[vdb_id].insert(monitor_id);
}

bool MonitorEngine::GetVDbIdForMonitor(const std::string& monitor_id, uint16_t* vdb_id) const {
  auto it = monitor_id_to_vdb_id_.find(monitor_id);
  if (it == monitor_id_to_vdb_id_.end()) return false;
  *vdb_id = it->second;
  return true;
}

void MonitorEngine::CollectMonitorsOfVDb(uint16_t vdb_id,
                                         std::set<std::string>* monitor_ids) const {
  auto it = vdb_id_to_monitor_ids_.find(vdb_id);
  if (it == vdb_id_to_monitor_ids_.end()) return;
  monitor_ids->insert(it->second.begin(), it->second.end());
}

MonitorStatementData& MonitorEngine::Statement(const std::string& monitor_id,
                                               const std::string& type_name) {
  auto it = monitor_id_to_type_statement_data_.find(monitor_id);
  if (it == monitor_id_to_type_statement_data_.end()) {
    it = monitor_id_to_type_statement_data_.emplace(monitor_id, TypeStatements(kInitialBuckets))
             .first;
  }
  return it->second[type_name];
}

const MonitorStatementData* MonitorEngine::FindStatement(const std::string& monitor_id,
                                                         const std::string& type_name) const {
  auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
  if (monitor == monitor_id_to_type_statement_data_.end()) return nullptr;
  auto type = monitor->second.find(type_name);
  return type == monitor->second.end() ? nullptr : &type->second;
}

void MonitorEngine::SetSubscriptionString(const std::string& monitor_id,
                                          const std::string& type_name,
                                          const std::string& selection) {
  Statement(monitor_id, type_name).selection = selection;
}

void MonitorEngine::SetSubscriptionFlag(const std::string& monitor_id,
                                        const std::string& type_name, bool flag) {
  Statement(monitor_id, type_name).flag = flag;
}

bool MonitorEngine::HasMonitorStatement(const std::string& monitor_id,
                                        const std::string& type_name) const {
  return FindStatement(monitor_id, type_name) != nullptr;
}

bool MonitorEngine::GetMonitorStatementFlag(const std::string& monitor_id,
                                            const std::string& type_name) const {
  const MonitorStatementData* statement = FindStatement(monitor_id, type_name);
  return statement != nullptr && statement->flag;
}

Schema* MonitorSchema() { return monitor_schema.load(); }
orv::metrics::MetricRegistry* MonitorMetricRegistry() { return monitor_registry.load(); }

}  // namespace tarnix

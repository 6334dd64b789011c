#include "monitor/monitor_engine.h"

#include <vector>

#include "logging/logger.h"
#include "schema/schema.h"
#include "util/heap_release.h"

namespace tarnix {
namespace {

// Registries start small; they grow with the number of monitors.
constexpr size_t kInitialBuckets = 16;

// Removing where clauses of this many bytes hands the heap they held back
// to the system. Their index entries take some 30 times their bytes (one
// CONTAINS_ANY or CONTAINS_ALL element of ten bytes about 350), so this
// frees about kReleaseHeapAfterBytes.
constexpr size_t kReleaseHeapAfterClauseBytes = kReleaseHeapAfterBytes / 32;

// The body of an op or value object as its subscription key holds it.
std::string KeyText(const TarnixObject& object) {
  return object.HasObjectType() && object.body_ptr() != nullptr ? *object.body_ptr()
                                                                : std::string();
}

}  // namespace

MonitorEngine::MonitorEngine(Schema* schema, orv::metrics::MetricRegistry* metric_registry)
    : schema_(schema),
      metric_registry_(metric_registry),
      vdb_id_to_type_index_(kInitialBuckets),
      monitor_id_to_type_statement_data_(kInitialBuckets),
      monitor_id_to_vdb_id_(kInitialBuckets),
      vdb_id_to_monitor_ids_(kInitialBuckets),
      monitor_registrations_(kInitialBuckets) {}

void MonitorEngine::AddMonitor(const std::string& monitor_id, VdbId vdb_id) {
  monitor_id_to_vdb_id_[monitor_id] = vdb_id;
  vdb_id_to_monitor_ids_[vdb_id].insert(monitor_id);
  monitor_registrations_.try_emplace(monitor_id, 0);
}

void MonitorEngine::WithdrawMonitor(const std::string& monitor_id) {
  if (monitor_id_to_vdb_id_.count(monitor_id) == 0) return;
  if (withdrawn_.insert(monitor_id).second) ++withdrawals_;
}

bool MonitorEngine::GetVDbIdForMonitor(const std::string& monitor_id, VdbId* vdb_id) const {
  auto it = monitor_id_to_vdb_id_.find(monitor_id);
  if (it == monitor_id_to_vdb_id_.end()) return false;
  *vdb_id = it->second;
  return true;
}

void MonitorEngine::CollectMonitorsWatchingVDb(VdbId vdb_id,
                                               std::set<std::string>* monitor_ids) const {
  auto it = vdb_id_to_monitor_ids_.find(vdb_id);
  if (it == vdb_id_to_monitor_ids_.end()) return;
  for (const std::string& monitor_id : it->second) {
    VdbId watched;
    if (GetVDbIdForMonitor(monitor_id, &watched) && watched == vdb_id) {
      monitor_ids->insert(monitor_id);
    }
  }
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

void MonitorEngine::SetSubscriptionFlag(const std::string& monitor_id, const std::string& type_name,
                                        bool flag) {
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

bool MonitorEngine::AddSubscription(const std::string& monitor_id, const std::string& object_type,
                                    const TarnixObject& op, const TarnixObject& value) {
  VdbId vdb_id;
  if (!GetVDbIdForMonitor(monitor_id, &vdb_id)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0305",
               "AddSubscription: Unable to find vdb_id for monitor_id '%s'", monitor_id.c_str());
    return false;
  }
  auto types = vdb_id_to_type_index_.try_emplace(vdb_id, kInitialBuckets).first;
  auto index = types->second.find(object_type);
  if (index == types->second.end()) {
    index = types->second.try_emplace(object_type, object_type, vdb_id, metric_registry_).first;
  }
  SubscriptionKey key{object_type, {KeyText(op), KeyText(value)}};
  // A clause added again takes the stored text, which the index's entries
  // share and so match without reading its bytes once per entry.
  if (const MonitorStatementData* statement = FindStatement(monitor_id, object_type)) {
    auto held = statement->subscriptions.find(key);
    if (held != statement->subscriptions.end()) key.text = held->text;
  }
  const TarnixObject::MessagePtr op_msg = op.GetMessage(*schema_);
  const TarnixObject::MessagePtr value_msg = value.GetMessage(*schema_);
  if (!index->second.AddTypeOrAttributeSubscription(*schema_, monitor_id, op_msg.get(),
                                                    value_msg.get(), key,
                                                    &monitor_registrations_[monitor_id])) {
    PruneIndex(types, index);
    return false;
  }
  PruneIndex(types, index);  // a predicate of no element stores nothing
  Statement(monitor_id, object_type).subscriptions.insert(std::move(key));
  TARNIX_LOG(orv::INFO, nullptr, "type %s monitor_id %s added for predicate", object_type.c_str(),
             monitor_id.c_str());
  return true;
}

bool MonitorEngine::DeleteSubscription(const std::string& monitor_id,
                                       const std::string& object_type, const TarnixObject& op,
                                       const TarnixObject& value) {
  VdbId vdb_id;
  if (!GetVDbIdForMonitor(monitor_id, &vdb_id)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0305",
               "DeleteSubscription: Unable to find vdb_id for monitor_id '%s'", monitor_id.c_str());
    return false;
  }
  auto types = vdb_id_to_type_index_.find(vdb_id);
  auto index = types != vdb_id_to_type_index_.end() ? types->second.find(object_type)
                                                    : TypeIndexes::iterator();
  if (types == vdb_id_to_type_index_.end() || index == types->second.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: no subscriptions found for monitor_id '%s'",
               monitor_id.c_str());
    return false;
  }
  auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
  if (monitor == monitor_id_to_type_statement_data_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: monitor id %s not found in monitor_id_to_type_statement_data_",
               monitor_id.c_str());
    return false;
  }
  auto statement = monitor->second.find(object_type);
  if (statement == monitor->second.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: monitor id %s does not have any subscriptions for "
               "object_type %s",
               monitor_id.c_str(), object_type.c_str());
    return false;
  }
  // Starts as the removal's own texts; becomes the texts the index held.
  SubscriptionKey key{object_type, {KeyText(op), KeyText(value)}};
  SubscriptionKeySet& subscriptions = statement->second.subscriptions;
  auto held = subscriptions.find(key);
  if (held != subscriptions.end()) key.text = held->text;  // as when adding
  const TarnixObject::MessagePtr op_msg = op.GetMessage(*schema_);
  const TarnixObject::MessagePtr value_msg = value.GetMessage(*schema_);
  if (!index->second.DeleteTypeOrAttributeSubscription(*schema_, monitor_id, op_msg.get(),
                                                       value_msg.get(), &key,
                                                       &monitor_registrations_[monitor_id])) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: Failed to delete subscription for monitor_id %s operation %s "
               "operand %s",
               monitor_id.c_str(), op.DebugString(*schema_).c_str(),
               value.DebugString(*schema_).c_str());
    return false;
  }
  PruneIndex(types, index);
  if (subscriptions.erase(key) == 0) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: operation %s operand %s not found formonitor_id %s in "
               "monitor_id_to_type_statement_data_",
               key.text.operation().c_str(), key.text.operand().c_str(), monitor_id.c_str());
  }
  if (subscriptions.empty()) {
    monitor->second.erase(statement);
    if (monitor->second.empty()) monitor_id_to_type_statement_data_.erase(monitor);
  }
  return true;
}

void MonitorEngine::DeleteSubscriptions(const std::string& monitor_id,
                                        const std::string& object_type) {
  DeleteAll(monitor_id, object_type, 0);
}

bool MonitorEngine::DeleteSubscriptionsInSteps(const std::string& monitor_id,
                                               const std::string& object_type, size_t max_keys,
                                               size_t* clause_bytes) {
  // One more than a step takes tells whether this step is the last.
  std::vector<SubscriptionKey> keys;
  auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
  if (monitor != monitor_id_to_type_statement_data_.end()) {
    for (const auto& [type_name, statement] : monitor->second) {
      if (!object_type.empty() && type_name != object_type) continue;
      for (auto key = statement.subscriptions.begin();
           key != statement.subscriptions.end() && keys.size() <= max_keys; ++key) {
        keys.push_back(*key);
      }
    }
  }
  if (keys.size() <= max_keys) {
    DeleteAll(monitor_id, object_type, *clause_bytes);
    return true;
  }
  keys.pop_back();
  for (const SubscriptionKey& key : keys) {
    *clause_bytes += key.text.operation().size() + key.text.operand().size();
    const google::protobuf::Descriptor* type =
        schema_->types().FindMessageTypeByName(key.object_type);
    const bool removed =
        type != nullptr &&
        DeleteSubscription(
            monitor_id, key.object_type,
            TarnixObject(schema_->op_messages().GetOpMsgTypeNameOf(type), key.text.operation()),
            TarnixObject(key.object_type, key.text.operand()));
    // What cannot be removed one by one is swept at once.
    if (!removed) {
      DeleteAll(monitor_id, object_type, *clause_bytes);
      return true;
    }
  }
  return false;
}

void MonitorEngine::DeleteAll(const std::string& monitor_id, const std::string& object_type,
                              size_t clause_bytes) {
  SubscriptionKeySet keys;
  ListMonitorSubscriptions(monitor_id, &keys);
  bool removed_all = true;
  for (const SubscriptionKey& key : keys) {
    if (!object_type.empty() && key.object_type != object_type) continue;
    clause_bytes += key.text.operation().size() + key.text.operand().size();
    const google::protobuf::Descriptor* type =
        schema_->types().FindMessageTypeByName(key.object_type);
    if (type == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unknown object type %s",
                 key.object_type.c_str());
      removed_all = false;
      continue;
    }
    const TarnixObject op(schema_->op_messages().GetOpMsgTypeNameOf(type), key.text.operation());
    const TarnixObject value(key.object_type, key.text.operand());
    removed_all &= DeleteSubscription(monitor_id, key.object_type, op, value);
  }
  keys.clear();  // the texts' last holder: they go before the heap is handed back

  if (!object_type.empty()) {
    // The type leaves the monitor whole, also where a removal failed.
    auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
    if (monitor != monitor_id_to_type_statement_data_.end()) {
      monitor->second.erase(object_type);
      if (monitor->second.empty()) monitor_id_to_type_statement_data_.erase(monitor);
    }
    // Removals reach the monitor's vdb only: what it subscribed on a vdb it
    // left, or what a failed removal kept, is swept.
    const std::set<VdbId> earlier = EarlierVDbs(monitor_id);
    if (!removed_all || !earlier.empty()) {
      RemoveLeftovers(monitor_id, object_type, removed_all ? &earlier : nullptr);
    }
  } else {
    monitor_id_to_type_statement_data_.erase(monitor_id);
    RemoveLeftovers(monitor_id, object_type, nullptr);
    UnregisterMonitor(monitor_id);
    withdrawn_.erase(monitor_id);
  }
  if (clause_bytes >= kReleaseHeapAfterClauseBytes) ReleaseFreeHeapMemory();
}

std::set<VdbId> MonitorEngine::EarlierVDbs(const std::string& monitor_id) const {
  std::set<VdbId> earlier;
  VdbId current;
  if (!GetVDbIdForMonitor(monitor_id, &current)) return earlier;
  for (const auto& [vdb_id, monitor_ids] : vdb_id_to_monitor_ids_) {
    if (vdb_id != current && monitor_ids.count(monitor_id) > 0) earlier.insert(vdb_id);
  }
  return earlier;
}

void MonitorEngine::RemoveLeftovers(const std::string& monitor_id, const std::string& object_type,
                                    const std::set<VdbId>* vdb_ids) {
  auto registrations = monitor_registrations_.find(monitor_id);
  if (registrations == monitor_registrations_.end() || registrations->second == 0) return;
  size_t removed = 0;
  for (auto types = vdb_id_to_type_index_.begin(); types != vdb_id_to_type_index_.end();) {
    if (vdb_ids != nullptr && vdb_ids->count(types->first) == 0) {
      ++types;
      continue;
    }
    for (auto index = types->second.begin(); index != types->second.end();) {
      if (object_type.empty() || index->first == object_type) {
        removed += index->second.RemoveMonitor(monitor_id, &registrations->second);
      }
      index = index->second.IsEmpty() ? types->second.erase(index) : std::next(index);
    }
    types = types->second.empty() ? vdb_id_to_type_index_.erase(types) : std::next(types);
  }
  if (removed > 0) {
    TARNIX_LOG(orv::WARNING, nullptr,
               "DeleteSubscriptions: removed monitor_id '%s' from %zu subscriber sets that no "
               "subscription of it named",
               monitor_id.c_str(), removed);
  }
}

void MonitorEngine::UnregisterMonitor(const std::string& monitor_id) {
  auto registered = monitor_id_to_vdb_id_.find(monitor_id);
  if (registered == monitor_id_to_vdb_id_.end()) return;
  auto listed = vdb_id_to_monitor_ids_.find(registered->second);
  if (listed == vdb_id_to_monitor_ids_.end() || listed->second.count(monitor_id) == 0) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0305",
               "DeleteSubscriptions: Unable to find vdb_id for monitor_id '%s'",
               monitor_id.c_str());
    return;
  }
  // A monitor that AddMonitor moved is still listed on its earlier vdbs.
  for (auto vdb = vdb_id_to_monitor_ids_.begin(); vdb != vdb_id_to_monitor_ids_.end();) {
    vdb->second.erase(monitor_id);
    vdb = vdb->second.empty() ? vdb_id_to_monitor_ids_.erase(vdb) : std::next(vdb);
  }
  monitor_id_to_vdb_id_.erase(registered);
  monitor_registrations_.erase(monitor_id);
}

void MonitorEngine::PruneIndex(std::unordered_map<VdbId, TypeIndexes>::iterator types,
                               TypeIndexes::iterator index) {
  if (!index->second.IsEmpty()) return;
  types->second.erase(index);
  if (types->second.empty()) vdb_id_to_type_index_.erase(types);
}

std::string MonitorEngine::FindMonitorSubscription(const std::string& monitor_id,
                                                   const std::string& object_type) const {
  auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
  if (monitor == monitor_id_to_type_statement_data_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
               "The operation failed because a monitor with monitor_id %s was not found",
               monitor_id.c_str());
    return std::string();
  }
  auto statement = monitor->second.find(object_type);
  if (statement == monitor->second.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
               "The operation failed because a subscription with type %s was not found for "
               "monitor_id %s",
               object_type.c_str(), monitor_id.c_str());
    return std::string();
  }
  return statement->second.selection;
}

void MonitorEngine::ListMonitorSubscriptions(const std::string& monitor_id,
                                             SubscriptionKeySet* keys) const {
  auto monitor = monitor_id_to_type_statement_data_.find(monitor_id);
  if (monitor == monitor_id_to_type_statement_data_.end()) return;
  for (const auto& statement : monitor->second) {
    keys->insert(statement.second.subscriptions.begin(), statement.second.subscriptions.end());
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "%lu subscriptions for monitor_id %s found",
             static_cast<unsigned long>(keys->size()), monitor_id.c_str());
}

void MonitorEngine::MatchObjectSubscriptions(const std::string& object_type,
                                             const google::protobuf::Message* message,
                                             const VdbIdSet& vdb_ids,
                                             MonitorIdSet* monitors) const {
  MatchedSubscribers matched;
  MatchObjectSubscribers(object_type, message, vdb_ids, &matched);
  matched.ForEachMonitor(
      [monitors](const std::string& monitor_id) { monitors->insert(monitor_id); });
}

bool MonitorEngine::WatchesType(const std::string& object_type, const VdbIdSet& vdb_ids) const {
  for (VdbId vdb_id : vdb_ids) {
    auto types = vdb_id_to_type_index_.find(vdb_id);
    if (types != vdb_id_to_type_index_.end() && types->second.count(object_type) > 0) return true;
  }
  return false;
}

void MonitorEngine::MatchObjectSubscribers(const std::string& object_type,
                                           const google::protobuf::Message* message,
                                           const VdbIdSet& vdb_ids,
                                           MatchedSubscribers* matched) const {
  if (object_type.empty()) return;
  for (VdbId vdb_id : vdb_ids) {
    auto types = vdb_id_to_type_index_.find(vdb_id);
    if (types == vdb_id_to_type_index_.end()) continue;
    auto index = types->second.find(object_type);
    if (index != types->second.end())
      index->second.GetMatchingSubscribers(*schema_, message, matched);
  }
}

}  // namespace tarnix

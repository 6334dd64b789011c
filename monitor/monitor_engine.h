#ifndef TARNIX_MONITOR_MONITOR_ENGINE_H_
#define TARNIX_MONITOR_MONITOR_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <google/protobuf/message.h>

#include "monitor/monitor_subscription_index.h"
#include "monitor/subscriber_set.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"

namespace orv {
namespace metrics {
class MetricRegistry;
}  // namespace metrics
}  // namespace orv

namespace tarnix {

class Schema;

using SubscriptionKeySet = std::unordered_set<SubscriptionKey, SubscriptionKeyHash>;

// What a monitor asked for on one object type.
struct MonitorStatementData {
  // Serialised selection op message of the statement; empty until set.
  std::string selection;
  // Whether notifications carry the object's old body.
  bool flag = false;
  SubscriptionKeySet subscriptions;
};

// The registry of monitors and their subscriptions: the vdb each monitor
// watches, the monitors of each vdb, each monitor's statement per object
// type, and per (vdb, object type) the subscription index that tells which
// monitors a changed object concerns. Lives in memory only.
//
// Not thread-safe: every operation runs on the RPC event-loop thread.
// Lookups report absence by their answer and never insert; setters create
// the entries they name. Failures are one ERROR line and a false answer.
class MonitorEngine {
 public:
  // Neither pointer is owned; both must outlive the engine. The schema may
  // be reloaded in place: nothing here keeps its descriptors.
  MonitorEngine(Schema* schema, orv::metrics::MetricRegistry* metric_registry);
  MonitorEngine(const MonitorEngine&) = delete;
  MonitorEngine& operator=(const MonitorEngine&) = delete;

  // ---- Monitors and statements ----

  // Registers `monitor_id` on `vdb_id`. A known monitor moves to the new
  // vdb; the old vdb's set keeps listing it, so that its removal sweeps what
  // it subscribed there.
  void AddMonitor(const std::string& monitor_id, VdbId vdb_id);
  // The monitor's vdb into *vdb_id; false (and *vdb_id untouched) when the
  // monitor is not registered.
  bool GetVDbIdForMonitor(const std::string& monitor_id, VdbId* vdb_id) const;
  // Adds the ids of the monitors that watch `vdb_id` now.
  void CollectMonitorsWatchingVDb(VdbId vdb_id, std::set<std::string>* monitor_ids) const;

  void SetSubscriptionString(const std::string& monitor_id, const std::string& type_name,
                             const std::string& selection);
  void SetSubscriptionFlag(const std::string& monitor_id, const std::string& type_name, bool flag);
  bool HasMonitorStatement(const std::string& monitor_id, const std::string& type_name) const;
  // False when the monitor or the type is unknown.
  bool GetMonitorStatementFlag(const std::string& monitor_id, const std::string& type_name) const;

  // ---- Subscriptions ----

  // Subscribes a registered monitor to the where clause (`op`, `value`) of
  // `object_type` in its vdb: the whole type when the op message sets no
  // field. The subscription is remembered in the monitor's statement data
  // under the two bodies. True also when the monitor had it already; false
  // for an unregistered monitor (DRX0305) or a clause the tree refuses
  // (CheckSubscription tells which in advance), with nothing left behind.
  bool AddSubscription(const std::string& monitor_id, const std::string& object_type,
                       const TarnixObject& op, const TarnixObject& value);

  // Removes the monitor's subscription to the clause (`op`, `value`), or to
  // one that stands for the same predicate, and its key from the statement
  // data; the statement data of the type goes with its last key. False,
  // with nothing changed, when there is no such subscription.
  bool DeleteSubscription(const std::string& monitor_id, const std::string& object_type,
                          const TarnixObject& op, const TarnixObject& value);

  // Removes the monitor's subscriptions and statement of `object_type`, or
  // with an empty type those of every type and then the monitor itself.
  // Either way nothing of what was removed stays behind, also where a
  // single removal fails: gauges lowered, emptied entries, indexes and vdb
  // entries pruned. A monitor removed whole can be added again afresh.
  // Where clauses large enough to matter hand their heap back to the
  // system (see ReleaseFreeHeapMemory).
  void DeleteSubscriptions(const std::string& monitor_id, const std::string& object_type);
  // DeleteSubscriptions a bounded part at a time: removes at most
  // `max_keys` more of the subscriptions it would remove and returns false
  // while some are left; the call that finds at most `max_keys` left does
  // all the rest and returns true. *clause_bytes (0 before the first call)
  // adds up what the steps freed, for the heap's release at the end.
  bool DeleteSubscriptionsInSteps(const std::string& monitor_id, const std::string& object_type,
                                  size_t max_keys, size_t* clause_bytes);

  // The selection of the monitor's statement for the type; "" (after a
  // DRX0009 line) when there is none.
  std::string FindMonitorSubscription(const std::string& monitor_id,
                                      const std::string& object_type) const;
  // Adds the keys of every subscription of the monitor to *keys.
  void ListMonitorSubscriptions(const std::string& monitor_id, SubscriptionKeySet* keys) const;

  // Adds to *monitors every monitor with a subscription, in one of the
  // vdbs `vdb_ids`, that a changed object of `object_type` satisfies.
  // `message` is the object already decoded, or null when it does not
  // decode (then only whole-type subscriptions match); it is not decoded
  // again. An empty type matches nothing.
  void MatchObjectSubscriptions(const std::string& object_type,
                                const google::protobuf::Message* message, const VdbIdSet& vdb_ids,
                                MonitorIdSet* monitors) const;
  // The same as the subscriber sets and monitors that name them.
  void MatchObjectSubscribers(const std::string& object_type,
                              const google::protobuf::Message* message, const VdbIdSet& vdb_ids,
                              MatchedSubscribers* matched) const;

  // Matching need not find the monitor any more: it has ended, and its
  // subscriptions may take some turns to go. Until DeleteSubscriptions
  // removes it whole, it is in withdrawn_monitors(), which callers hand to
  // matching as MatchedSubscribers::passed_over. Ignored for a monitor that
  // is not registered.
  void WithdrawMonitor(const std::string& monitor_id);
  const MonitorIdSet& withdrawn_monitors() const { return withdrawn_; }
  // Rises with every withdrawal: monitors planned before may have been
  // withdrawn since.
  uint64_t withdrawals() const { return withdrawals_; }

  // False when no index is left: every subscription was removed, and with
  // it every index and vdb entry.
  bool HasSubscriptions() const { return !vdb_id_to_type_index_.empty(); }
  // False when no subscription can match an object of `object_type` in
  // `vdb_ids`: no monitor watches the type in any of them.
  bool WatchesType(const std::string& object_type, const VdbIdSet& vdb_ids) const;

  Schema* schema() const { return schema_; }
  orv::metrics::MetricRegistry* metric_registry() const { return metric_registry_; }

 private:
  using TypeStatements = std::unordered_map<std::string, MonitorStatementData>;
  using TypeIndexes = std::unordered_map<std::string, MonitorSubscriptionIndex>;

  // DeleteSubscriptions, counting `clause_bytes` freed before.
  void DeleteAll(const std::string& monitor_id, const std::string& object_type,
                 size_t clause_bytes);
  MonitorStatementData& Statement(const std::string& monitor_id, const std::string& type_name);
  const MonitorStatementData* FindStatement(const std::string& monitor_id,
                                            const std::string& type_name) const;
  // Drops the index when it is empty, and its vdb's entry when that is.
  void PruneIndex(std::unordered_map<VdbId, TypeIndexes>::iterator types,
                  TypeIndexes::iterator index);
  // Takes the monitor out of every index of `object_type` (of every type
  // when empty) in the vdbs `vdb_ids` (every vdb when null), where
  // removals one by one could not reach.
  void RemoveLeftovers(const std::string& monitor_id, const std::string& object_type,
                       const std::set<VdbId>* vdb_ids);
  // The vdbs that still list the monitor besides the one it watches: those
  // AddMonitor moved it from.
  std::set<VdbId> EarlierVDbs(const std::string& monitor_id) const;
  // Takes the monitor out of the vdb registry.
  void UnregisterMonitor(const std::string& monitor_id);

  Schema* const schema_;
  orv::metrics::MetricRegistry* const metric_registry_;
  std::unordered_map<VdbId, TypeIndexes> vdb_id_to_type_index_;
  std::unordered_map<std::string, TypeStatements> monitor_id_to_type_statement_data_;
  std::unordered_map<std::string, VdbId> monitor_id_to_vdb_id_;
  std::unordered_map<VdbId, std::set<std::string>> vdb_id_to_monitor_ids_;
  // Registered monitor -> the subscriber sets it is in, over all indexes.
  std::unordered_map<std::string, size_t> monitor_registrations_;
  MonitorIdSet withdrawn_;
  uint64_t withdrawals_ = 0;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_ENGINE_H_

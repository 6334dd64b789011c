#ifndef TARNIX_MONITOR_NOTIFICATION_BUILDER_H_
#define TARNIX_MONITOR_NOTIFICATION_BUILDER_H_

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <google/protobuf/message.h>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "monitor/pending_response_table.h"
#include "monitor/subscriber_set.h"
#include "query/selection.h"
#include "query/update_delta.h"
#include "schema/vdb_id_set.h"
#include "write/update_record.h"

namespace orv {
namespace metrics {
class MetricRegistry;
}  // namespace metrics
}  // namespace orv

namespace tarnix {

class MonitorEngine;
class Schema;
class TypeOrder;

// The monitors that notifying a transaction ends, and why. Each is out of
// the transaction's pending responses and withdrawn from matching
// (MonitorEngine::WithdrawMonitor), so that nothing more is built for it.
struct EndingMonitors {
  // Those whose messages could not be built (an exception).
  MonitorIdSet failed;
  // Those whose CONTAINS_ALL clauses took matching one object past the
  // steps allowed for it (ContainsAllSubscriptions::Lookup), with that
  // number.
  std::unordered_map<std::string, size_t> over_budget;

  bool Contains(const std::string& monitor_id) const {
    return failed.count(monitor_id) > 0 || over_budget.count(monitor_id) > 0;
  }
};

// Turns the changes of one committed transaction into the notifications of
// the monitors they concern: each changed object is matched against the
// subscriptions of its vdbs (before and after the change, so a monitor
// hears of an object that entered, changed inside or left its filter), cut
// to each monitor's selection, described by the operations of the change,
// and appended to that monitor's pending responses.
//
// A record whose body does not parse under the current schema is skipped,
// with one DRX0203 line; when only its old body does not parse, the change
// is sent as a creation. Runs on the RPC event-loop thread; not
// thread-safe. Every pointer is borrowed and must outlive the builder.
class NotificationBuilder {
 public:
  // The delta counters are found or created in `registry`.
  NotificationBuilder(const Schema* schema, MonitorEngine* engine, TypeOrder* order,
                      orv::metrics::MetricRegistry* registry);
  NotificationBuilder(const NotificationBuilder&) = delete;
  NotificationBuilder& operator=(const NotificationBuilder&) = delete;

  // Regroups `records` by object type (the new object's for updates, the
  // old object's when `deletes`), each type's records in their order, the
  // types parents first for updates and children first for deletes.
  void TopologicalSort(bool deletes, bool tracing, std::list<UpdateRecord>* records);

  // Consume their lists, front to back. Matching passes over the monitors
  // the engine has withdrawn. A monitor whose messages cannot be built (an
  // exception), or whose CONTAINS_ALL clauses cost matching an object more
  // steps than it allows, goes into *ending.
  void EnqueueUpdates(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* updates,
                      PendingResponseTable* table, const TransactionRequestTable* requests,
                      EndingMonitors* ending);
  void EnqueueDeletes(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* deletes,
                      PendingResponseTable* table, EndingMonitors* ending);

 private:
  // The texts of one record for one selection; reused for the next monitor
  // with the same selection, as are the table entries made of them.
  struct Texts {
    std::string selection = "-1";  // never a selection's bytes
    std::string body;
    std::string old_body;
    std::string update_ops;
    int64_t entries[2] = {-1, -1};  // without and with the old body; -1: none yet
  };

  // The message of `body` of `type`, or null after one DRX0203 line.
  std::unique_ptr<google::protobuf::Message> Parse(const std::string& type,
                                                   const std::string& body) const;
  // The record's texts for `selection` into *texts.
  void BuildUpdate(const std::string& type, const std::string& id, bool tracing,
                   const google::protobuf::Message& new_message,
                   const google::protobuf::Message* old_message, const std::string& selection,
                   const TransactionRequestTable* requests, Texts* texts) const;
  void BuildDelete(const std::string& type, bool tracing,
                   const google::protobuf::Message& old_message, const std::string& selection,
                   Texts* texts) const;
  // A monitor of the subscriber sets last matched, with what notifying it
  // takes.
  struct PlannedMonitor {
    const std::string* monitor_id;  // held by the subscription tree
    std::string selection;
    bool flag = false;
    bool failed = false;
    PendingResponses* pending = nullptr;  // made with its first entry
  };
  // Kept from one record to the next while they match the same sets: in a
  // fan-out, the monitors of a transaction's objects are looked up once.
  // Valid while subscriptions do not change, as during one transaction.
  struct Plan {
    std::string type;
    MatchedSubscribers matched;
    uint64_t withdrawals = 0;  // the engine's when planned
    std::vector<PlannedMonitor> monitors;
  };

  // What `object` of `type` in `vdb_ids` matches, passing over withdrawn
  // monitors, into *matched; those over budget end.
  void Match(const std::string& type, const google::protobuf::Message& object,
             const VdbIdSet& vdb_ids, MatchedSubscribers* matched, PendingResponseTable* table,
             EndingMonitors* ending) const;
  // Plans the monitors `matched` names that are neither withdrawn nor
  // ending, unless *plan is of the same type and matches already.
  void PlanMonitors(const std::string& type, MatchedSubscribers matched,
                    const EndingMonitors& ending, Plan* plan) const;
  // Notifies the monitors of *plan of one record, calling `build` for each
  // selection that differs from the one before. A monitor that throws goes
  // into ending->failed and out of the table, and the plan passes it over.
  void NotifyPlan(uint64_t txn_id, const std::string& type, bool deletes, const SharedSpan& span,
                  const std::function<void(const std::string& selection, Texts* texts)>& build,
                  Plan* plan, PendingResponseTable* table, EndingMonitors* ending) const;
  // Appends one entry to the monitor's pending responses, made of `texts`
  // the first time a monitor with its old-body flag gets them.
  void NotifyMonitorUpdate(PlannedMonitor* monitor, const std::string& type, Texts* texts,
                           const SharedSpan& span, PendingResponseTable* table) const;
  void NotifyMonitorDelete(PlannedMonitor* monitor, const std::string& type, Texts* texts,
                           const SharedSpan& span, PendingResponseTable* table) const;
  void Append(PlannedMonitor* monitor, uint32_t entry, PendingResponseTable* table) const;

  const Schema* const schema_;
  MonitorEngine* const engine_;
  TypeOrder* const order_;
  const UpdateDelta deltas_;
  const Selection selection_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_NOTIFICATION_BUILDER_H_

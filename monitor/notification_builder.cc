#include "monitor/notification_builder.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "monitor/monitor_engine.h"
#include "monitor/type_order.h"
#include "platform/wft/workflow_util.h"
#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

NotificationBuilder::NotificationBuilder(const Schema* schema, MonitorEngine* engine,
                                         TypeOrder* order, orv::metrics::MetricRegistry* registry)
    : schema_(schema),
      engine_(engine),
      order_(order),
      deltas_(schema, *registry),
      selection_(schema, &deltas_) {}

void NotificationBuilder::TopologicalSort(bool deletes, bool tracing,
                                          std::list<UpdateRecord>* records) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("TopologicalSort", 2);
  std::vector<std::string> types;
  std::vector<std::list<UpdateRecord>> groups;
  std::unordered_map<std::string, size_t> group_of;
  while (!records->empty()) {
    const std::string type = records->front().type ? *records->front().type : std::string();
    auto [it, inserted] = group_of.emplace(type, groups.size());
    if (inserted) {
      types.push_back(type);
      groups.emplace_back();
    }
    std::list<UpdateRecord>& group = groups[it->second];
    group.splice(group.end(), *records, records->begin());
  }
  std::vector<size_t> order = order_->ParentsFirst(*schema_, types);
  if (deletes) std::reverse(order.begin(), order.end());
  for (size_t group : order) records->splice(records->end(), groups[group]);
}

std::unique_ptr<pb::Message> NotificationBuilder::Parse(const std::string& type,
                                                        const std::string& body) const {
  std::unique_ptr<pb::Message> message(schema_->types().NewMessage(type));
  if (message == nullptr) {  // a type the schema no longer has
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "Unable to parse data into %s message",
               type.c_str());
    return nullptr;
  }
  if (!schema_->types().ParseInto(type, body, message.get()).ok()) return nullptr;  // logged
  return message;
}

void NotificationBuilder::EnqueueUpdates(uint64_t txn_id, bool tracing,
                                         std::list<UpdateRecord>* updates,
                                         PendingResponseTable* table,
                                         const TransactionRequestTable* requests,
                                         EndingMonitors* ending) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("EnqueueUpdates", 2);
  Plan plan;
  for (; !updates->empty(); updates->pop_front()) {
    const UpdateRecord& record = updates->front();
    if (!record.type || !record.new_body) continue;
    const std::string& type = *record.type;
    if (!engine_->WatchesType(type, record.vdb_ids)) continue;  // nobody to tell: no parse
    const std::string id = record.id ? *record.id : std::string();
    const std::unique_ptr<pb::Message> new_message = Parse(type, *record.new_body);
    if (new_message == nullptr) continue;
    // An old body that no longer parses: the change goes out as a creation.
    std::unique_ptr<pb::Message> old_message;
    if (record.old_body && !record.old_body->empty()) {
      old_message = Parse(type, *record.old_body);
    }
    // Before and after the change: a monitor hears of an object that
    // entered, changed inside or left its filter.
    MatchedSubscribers matched;
    Match(type, *new_message, record.vdb_ids, &matched, table, ending);
    if (old_message) Match(type, *old_message, record.vdb_ids, &matched, table, ending);
    PlanMonitors(type, std::move(matched), *ending, &plan);
    NotifyPlan(
        txn_id, type, false, record.span_context,
        [&](const std::string& selection, Texts* texts) {
          BuildUpdate(type, id, tracing, *new_message, old_message.get(), selection, requests,
                      texts);
        },
        &plan, table, ending);
  }
}

void NotificationBuilder::EnqueueDeletes(uint64_t txn_id, bool tracing,
                                         std::list<UpdateRecord>* deletes,
                                         PendingResponseTable* table, EndingMonitors* ending) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("EnqueueDeletes", 2);
  Plan plan;
  for (; !deletes->empty(); deletes->pop_front()) {
    const UpdateRecord& record = deletes->front();
    if (!record.type || !record.old_body) continue;
    const std::string& type = *record.type;
    if (!engine_->WatchesType(type, record.vdb_ids)) continue;
    const std::unique_ptr<pb::Message> old_message = Parse(type, *record.old_body);
    if (old_message == nullptr) continue;
    MatchedSubscribers matched;
    Match(type, *old_message, record.vdb_ids, &matched, table, ending);
    PlanMonitors(type, std::move(matched), *ending, &plan);
    NotifyPlan(
        txn_id, type, true, record.span_context,
        [&](const std::string& selection, Texts* texts) {
          BuildDelete(type, tracing, *old_message, selection, texts);
        },
        &plan, table, ending);
  }
}

void NotificationBuilder::Match(const std::string& type, const pb::Message& object,
                                const VdbIdSet& vdb_ids, MatchedSubscribers* matched,
                                PendingResponseTable* table, EndingMonitors* ending) const {
  matched->passed_over = &engine_->withdrawn_monitors();
  const size_t over = matched->over_budget.size();
  engine_->MatchObjectSubscribers(type, &object, vdb_ids, matched);
  for (size_t i = over; i < matched->over_budget.size(); ++i) {
    const MatchedSubscribers::OverBudget& ended = matched->over_budget[i];
    ending->over_budget.emplace(ended.monitor_id, ended.allowed_steps);
    table->Erase(ended.monitor_id);
    engine_->WithdrawMonitor(ended.monitor_id);
  }
}

void NotificationBuilder::PlanMonitors(const std::string& type, MatchedSubscribers matched,
                                       const EndingMonitors& ending, Plan* plan) const {
  if (plan->type == type && plan->matched.SameAs(matched) &&
      plan->withdrawals == engine_->withdrawals()) {
    return;
  }
  plan->type = type;
  plan->matched = std::move(matched);
  plan->withdrawals = engine_->withdrawals();
  plan->monitors.clear();
  const MonitorIdSet& withdrawn = engine_->withdrawn_monitors();
  // A monitor may be named several times.
  std::unordered_set<std::string_view> seen;
  plan->matched.ForEachMonitor([&](const std::string& monitor_id) {
    if (!seen.insert(monitor_id).second || withdrawn.count(monitor_id) > 0 ||
        ending.Contains(monitor_id)) {
      return;
    }
    PlannedMonitor monitor;
    monitor.monitor_id = &monitor_id;
    monitor.selection = engine_->FindMonitorSubscription(monitor_id, type);
    monitor.flag = engine_->GetMonitorStatementFlag(monitor_id, type);
    plan->monitors.push_back(std::move(monitor));
  });
  // Alike monitors side by side: each selection's texts are built once per
  // record, and monitors with one flag share its entries.
  std::sort(plan->monitors.begin(), plan->monitors.end(),
            [](const PlannedMonitor& a, const PlannedMonitor& b) {
              return std::tie(a.selection, a.flag) < std::tie(b.selection, b.flag);
            });
}

void NotificationBuilder::NotifyPlan(
    uint64_t txn_id, const std::string& type, bool deletes, const SharedSpan& span,
    const std::function<void(const std::string& selection, Texts* texts)>& build, Plan* plan,
    PendingResponseTable* table, EndingMonitors* ending) const {
  Texts texts;
  for (PlannedMonitor& monitor : plan->monitors) {
    if (monitor.failed) continue;
    try {
      if (monitor.selection != texts.selection) build(monitor.selection, &texts);
      if (texts.update_ops.empty()) continue;  // nothing selected changed
      if (deletes) {
        NotifyMonitorDelete(&monitor, type, &texts, span, table);
      } else {
        NotifyMonitorUpdate(&monitor, type, &texts, span, table);
      }
    } catch (const std::exception& e) {
      const std::string& monitor_id = *monitor.monitor_id;
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0303",
                 "Notifying monitor_id='%s' of transaction %lu failed: %s", monitor_id.c_str(),
                 static_cast<unsigned long>(txn_id), e.what());
      ending->failed.insert(monitor_id);
      table->Erase(monitor_id);
      engine_->WithdrawMonitor(monitor_id);
      monitor.failed = true;
      monitor.pending = nullptr;
      texts = Texts();
    }
  }
}

void NotificationBuilder::BuildUpdate(const std::string& type, const std::string& id, bool tracing,
                                      const pb::Message& new_message,
                                      const pb::Message* old_message, const std::string& selection,
                                      const TransactionRequestTable* requests, Texts* texts) const {
  *texts = Texts();
  texts->selection = selection;
  const std::string op_type = schema_->op_messages().GetOpMsgTypeName(type);
  std::unique_ptr<pb::Message> select;
  if (!selection.empty()) select.reset(schema_->types().ParseMessage(op_type, selection));
  std::unique_ptr<pb::Message> op(schema_->types().NewMessage(op_type));
  if (op == nullptr) return;  // nothing can describe the change
  std::unique_ptr<pb::Message> new_copy(new_message.New());
  new_copy->CopyFrom(new_message);
  if (old_message != nullptr) {
    std::unique_ptr<pb::Message> old_copy(old_message->New());
    old_copy->CopyFrom(*old_message);
    selection_.ApplySelectionOnUpdate(type, id, tracing, select.get(), old_copy.get(),
                                      new_copy.get(), op.get(), requests);
    old_copy->SerializeToString(&texts->old_body);
  } else {
    selection_.ApplySelectionOnSet(select.get(), new_copy.get(), op.get());
  }
  op->SerializeToString(&texts->update_ops);
  if (!texts->update_ops.empty()) new_copy->SerializeToString(&texts->body);
}

void NotificationBuilder::BuildDelete(const std::string& type, bool tracing,
                                      const pb::Message& old_message, const std::string& selection,
                                      Texts* texts) const {
  *texts = Texts();
  texts->selection = selection;
  const std::string op_type = schema_->op_messages().GetOpMsgTypeName(type);
  std::unique_ptr<pb::Message> select;
  if (!selection.empty()) select.reset(schema_->types().ParseMessage(op_type, selection));
  std::unique_ptr<pb::Message> op(schema_->types().NewMessage(op_type));
  if (op == nullptr) return;
  std::unique_ptr<pb::Message> old_copy(old_message.New());
  old_copy->CopyFrom(old_message);
  std::unique_ptr<pb::Message> key(old_message.New());
  selection_.ApplySelectionOnDelete(tracing, select.get(), old_copy.get(), key.get(), op.get());
  op->SerializeToString(&texts->update_ops);
  if (texts->update_ops.empty()) return;
  key->SerializeToString(&texts->body);
  old_copy->SerializeToString(&texts->old_body);
}

void NotificationBuilder::NotifyMonitorUpdate(PlannedMonitor* monitor, const std::string& type,
                                              Texts* texts, const SharedSpan& span,
                                              PendingResponseTable* table) const {
  TARNIX_LOG(orv::VERBOSE, nullptr,
             "Notifying monitor_id='%s': update: object_type='%s', object_body='%s', "
             "old_object_body='%s'",
             monitor->monitor_id->c_str(), type.c_str(), texts->body.c_str(),
             texts->old_body.c_str());
  const bool flag = monitor->flag;
  int64_t& entry = texts->entries[flag];
  if (entry < 0) {
    tx::MonitorUpdateMsg update;
    schema_->types().SetObjectType(type, &update);
    if (flag && !texts->old_body.empty()) update.set_old_object_body(texts->old_body);
    if (!texts->body.empty()) {
      update.set_update_ops(texts->update_ops);
      update.set_object_body(texts->body);
      if (span) *update.mutable_span_context() = *span;
    }
    entry = table->AddEntry(std::move(update));
  }
  Append(monitor, static_cast<uint32_t>(entry), table);
}

void NotificationBuilder::NotifyMonitorDelete(PlannedMonitor* monitor, const std::string& type,
                                              Texts* texts, const SharedSpan& span,
                                              PendingResponseTable* table) const {
  TARNIX_LOG(orv::VERBOSE, nullptr,
             "Notifying monitor_id='%s': delete: object_type='%s', object_body='%s'",
             monitor->monitor_id->c_str(), type.c_str(), texts->body.c_str());
  const bool flag = monitor->flag;
  int64_t& entry = texts->entries[flag];
  if (entry < 0) {
    tx::MonitorUpdateMsg update;
    schema_->types().SetObjectType(type, &update);
    if (flag) update.set_old_object_body(texts->old_body);
    update.set_update_ops(texts->update_ops);
    update.set_object_body(texts->body);
    if (span) *update.mutable_span_context() = *span;
    entry = table->AddEntry(std::move(update));
  }
  Append(monitor, static_cast<uint32_t>(entry), table);
}

void NotificationBuilder::Append(PlannedMonitor* monitor, uint32_t entry,
                                 PendingResponseTable* table) const {
  if (monitor->pending == nullptr) monitor->pending = table->ForMonitor(*monitor->monitor_id);
  monitor->pending->entries.push_back(entry);
}

}  // namespace tarnix

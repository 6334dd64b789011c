#include "monitor/monitor_statements.h"

#include <cinttypes>
#include <cstdio>

#include <boost/format.hpp>

#include "logging/logger.h"
#include "monitor/monitor_engine.h"
#include "monitor/monitor_snapshot.h"
#include "monitor/subscription_check.h"
#include "query/op_msg_fields.h"
#include "query/query_processor.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

std::string Format(const char* format, const std::string& first) {
  return (boost::format(format) % first).str();
}

Status NoReadPermission(const std::string& client_id, const std::string& type_name) {
  return Status::PermissionDenied(
      (boost::format("%1% does not have read permission for %2%") % client_id % type_name).str());
}

// At most one attribute: no set field, or exactly one whose content is an
// OpMsg or again names at most one attribute.
bool NamesOneAttribute(const Schema& schema, const pb::Message& op) {
  const std::vector<const pb::FieldDescriptor*> fields = SetFields(op);
  if (fields.empty()) return true;
  if (fields.size() > 1) return false;
  const pb::Message* content = FieldContent(op, fields.front());
  return content == nullptr || schema.op_messages().IsOpMsg(content) ||
         NamesOneAttribute(schema, *content);
}

}  // namespace

MonitorStatements::MonitorStatements(const Schema* schema, const QueryProcessor* queries,
                                     MonitorEngine* engine)
    : schema_(schema), queries_(queries), engine_(engine), selection_(schema) {}

Status MonitorStatements::DecodeWhereClause(const std::string& type_name, const tx::WhereMsg& where,
                                            bool watched, WhereClause* clause) const {
  Status status = queries_->DecodeWhereMsg(type_name, where, &clause->first, &clause->second);
  if (!status.ok()) return status;
  if (!NamesOneAttribute(*schema_, *clause->first->GetMessage(*schema_))) {
    return Status::InvalidArgument(
        Format("Multiple attributes set in the where clause for object type %1%", type_name));
  }
  return watched ? CheckSubscription(*schema_, type_name, *clause->first, *clause->second)
                 : Status::OK();
}

Status MonitorStatements::ValidateMonitorStatements(const std::string& client_id,
                                                    const std::string& monitor_id,
                                                    const Statements& statements,
                                                    MonitorStatementRecords* records,
                                                    size_t* budget, Progress* at) const {
  for (; at->item < static_cast<size_t>(statements.size()); ++at->item, at->clause = -1) {
    const tx::MonitorStatementMsg& statement = statements[static_cast<int>(at->item)];
    if (!statement.has_statement()) {
      TARNIX_LOG(orv::INFO, nullptr,
                 "Monitor: Empty subscription request for monitor_request_id %s",
                 monitor_id.c_str());
      continue;
    }
    const tx::StatementMsg& body = statement.statement();
    const std::string type_name = schema_->types().GetObjectType(&body);
    if (type_name.empty()) continue;  // the schema logged why
    if (at->clause < 0) {
      if (!schema_->permissions().HasReadPermission(client_id, type_name)) {
        return NoReadPermission(client_id, type_name);
      }
      auto [inserted, is_new] = records->try_emplace(type_name);
      if (!is_new) {
        return Status::InvalidArgument(
            Format("Multiple monitor statement for object type %1% provided.", type_name));
      }
      MonitorStatementRecord& record = inserted->second;
      record.type_name = type_name;
      if (body.has_select() && body.select().has_op_msg()) {
        std::unique_ptr<pb::Message> select(schema_->types().ParseMessage(
            schema_->op_messages().GetOpMsgTypeName(type_name), body.select().op_msg()));
        if (select == nullptr) {
          return Status::InvalidArgument(Format(
              "Unable to parse SelectMsg in monitor statement for object type %1%", type_name));
        }
        if (!selection_.ParseSelectMsg(select.get(), false)) {
          return Status::InvalidArgument(
              Format("Invalid SelectMsg in monitor statement for object type %1%", type_name));
        }
        record.selection = body.select().op_msg();
      }
      record.flag = statement.send_old_object_body();
      if (body.where_size() == 0) {
        record.where_clauses.emplace_back();
        Status status =
            DecodeWhereClause(type_name, tx::WhereMsg(), true, &record.where_clauses.back());
        if (!status.ok()) return status;
      }
      at->clause = 0;
    }
    std::vector<WhereClause>& clauses = (*records)[type_name].where_clauses;
    for (; at->clause < body.where_size(); ++at->clause) {
      if (*budget == 0) return Status::OK();
      --*budget;
      clauses.emplace_back();
      Status status = DecodeWhereClause(type_name, body.where(at->clause), true, &clauses.back());
      if (!status.ok()) return status;
    }
  }
  return Status::OK();
}

Status MonitorStatements::CheckWhereClause(const std::string& client_id, const Updates& updates,
                                           WhereClauseUpdateRecords* records, size_t* budget,
                                           Progress* at) const {
  for (; at->item < static_cast<size_t>(updates.size()); ++at->item, at->clause = -1) {
    const tx::MonitorStatementUpdateMsg& update = updates[static_cast<int>(at->item)];
    const std::string type_name = schema_->types().GetObjectType(&update);
    if (type_name.empty()) continue;
    if (at->clause < 0) {
      if (!schema_->permissions().HasReadPermission(client_id, type_name)) {
        return NoReadPermission(client_id, type_name);
      }
      at->clause = 0;
    }
    // Several updates of one type add to one record.
    WhereClauseUpdateRecord& record = (*records)[type_name];
    const int removes = update.remove_where_size();
    for (; at->clause < removes + update.add_where_size(); ++at->clause) {
      if (*budget == 0) return Status::OK();
      --*budget;
      const bool remove = at->clause < removes;
      std::vector<WhereClause>& list = remove ? record.remove : record.add;
      list.emplace_back();
      Status status = DecodeWhereClause(
          type_name,
          remove ? update.remove_where(at->clause) : update.add_where(at->clause - removes),
          !remove, &list.back());
      if (!status.ok()) return status;
    }
  }
  return Status::OK();
}

Status MonitorStatements::ScanWhereClauses(const std::string& type_name,
                                           const std::string& selection,
                                           const std::vector<WhereClause>& clauses, VdbId vdb_id,
                                           const DbAccess::SnapshotHolder& snapshot,
                                           SnapshotScans* scans) const {
  std::unique_ptr<SnapshotTypeScan> scan;
  Status status = SnapshotTypeScan::Start(schema_, &queries_->scan(), type_name, selection,
                                          clauses, vdb_id, snapshot, &scan);
  if (status.ok()) scans->push_back(std::move(scan));
  return status;
}

Status MonitorStatements::AddMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                                               const DbAccess::SnapshotHolder& snapshot,
                                               const MonitorStatementRecords& added,
                                               const MonitorStatementRecords& deleted,
                                               SnapshotScans* scans) const {
  for (const auto& [type_name, record] : added) {
    if (deleted.count(type_name) == 0 && engine_->HasMonitorStatement(monitor_id, type_name)) {
      return Status::InvalidArgument("An existing monitor statement for object type " + type_name +
                                     " already exist for monitor_id " + monitor_id);
    }
    Status status = ScanWhereClauses(type_name, record.selection, record.where_clauses, vdb_id,
                                     snapshot, scans);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

Status MonitorStatements::ScanMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                                                const DbAccess::SnapshotHolder& snapshot,
                                                const WhereClauseUpdateRecords& updated,
                                                const MonitorStatementRecords& deleted,
                                                SnapshotScans* scans) const {
  for (const auto& [type_name, record] : updated) {
    if (deleted.count(type_name) > 0 || !engine_->HasMonitorStatement(monitor_id, type_name)) {
      return Status::InvalidArgument(
          (boost::format("Monitor statement for object type %1% not found for monitor_id %2%.") %
           type_name % monitor_id)
              .str());
    }
    if (record.add.empty()) continue;
    Status status =
        ScanWhereClauses(type_name, engine_->FindMonitorSubscription(monitor_id, type_name),
                         record.add, vdb_id, snapshot, scans);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

bool MonitorStatements::ConfigureSubscriptions(const std::string& monitor_id,
                                               const MonitorStatementRecords& added,
                                               const MonitorStatementRecords& deleted,
                                               const WhereClauseUpdateRecords& updated,
                                               size_t max_changes, ConfigureProgress* progress) {
  // Every call walks the changes in the same order and skips what earlier
  // calls applied: a record at a time where it can.
  size_t seen = 0;
  size_t budget = max_changes;
  // True when change `seen` is to be applied now; counts it either way.
  const auto take = [&]() {
    const bool now = seen++ >= progress->applied && budget > 0;
    if (now) {
      --budget;
      ++progress->applied;
    }
    return now;
  };
  const auto skip = [&](size_t changes) {
    if (seen + changes > progress->applied) return false;
    seen += changes;
    return true;
  };
  for (const auto& entry : deleted) {
    if (take()) engine_->DeleteSubscriptions(monitor_id, entry.first);
  }
  for (const auto& [type_name, record] : updated) {
    if (skip(record.add.size() + record.remove.size())) continue;
    for (const WhereClause& clause : record.add) {
      if (!take()) continue;
      if (!engine_->AddSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: update to add subscription on object_type %s failed",
                   type_name.c_str());
      }
    }
    for (const WhereClause& clause : record.remove) {
      if (!take()) continue;
      if (!engine_->DeleteSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: update to del subscription on object_type %s failed",
                   type_name.c_str());
      }
    }
  }
  for (const auto& [type_name, record] : added) {
    if (skip(record.where_clauses.size())) continue;
    for (size_t i = 0; i < record.where_clauses.size(); ++i) {
      if (!take()) continue;
      if (i == 0) {
        engine_->SetSubscriptionString(monitor_id, type_name, record.selection);
        engine_->SetSubscriptionFlag(monitor_id, type_name, record.flag);
      }
      const WhereClause& clause = record.where_clauses[i];
      if (engine_->AddSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        progress->subscribed.insert(type_name);
      } else {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: add subscription on object_type %s failed",
                   type_name.c_str());
      }
      // Else the statement would stay, watch nothing and keep the type from
      // being added again.
      if (i + 1 == record.where_clauses.size() && progress->subscribed.count(type_name) == 0) {
        engine_->DeleteSubscriptions(monitor_id, type_name);
      }
    }
  }
  return progress->applied == seen;
}

void MonitorStatements::BuildMonitorStatements(const std::string& monitor_id,
                                               tx::ConfigureMonitorResponseMsg* response) const {
  SubscriptionKeySet keys;
  engine_->ListMonitorSubscriptions(monitor_id, &keys);
  std::unordered_map<std::string, tx::StatementMsg*> statements;
  for (const SubscriptionKey& key : keys) {
    tx::StatementMsg*& statement = statements[key.object_type];
    if (statement == nullptr) {
      tx::MonitorStatementMsg* added = response->add_statements();
      statement = added->mutable_statement();
      schema_->types().SetObjectType(key.object_type, statement);
      added->set_send_old_object_body(
          engine_->GetMonitorStatementFlag(monitor_id, key.object_type));
      const std::string selection = engine_->FindMonitorSubscription(monitor_id, key.object_type);
      if (!selection.empty()) statement->mutable_select()->set_op_msg(selection);
    }
    tx::WhereMsg* where = statement->add_where();
    where->set_op_msg(key.text.operation());
    where->set_value(key.text.operand());
  }
}

std::string UuidToString(uint64_t first, uint64_t second) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%08" PRIx64 "-%04" PRIx64 "-%04" PRIx64 "-%04" PRIx64 "-%012" PRIx64, first >> 32,
                (first >> 16) & 0xFFFF, first & 0xFFFF, second >> 48,
                second & uint64_t{0xFFFFFFFFFFFF});
  return text;
}

}  // namespace tarnix

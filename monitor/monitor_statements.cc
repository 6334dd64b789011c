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

// Passes results on and counts them.
struct CountingSink : QueryResultSink {
  explicit CountingSink(QueryResultSink* next) : next(next) {}
  void Add(QueryResultRecord&& record) override {
    ++count;
    next->Add(std::move(record));
  }
  QueryResultSink* const next;
  size_t count = 0;
};

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
                                                    MonitorStatementRecords* records) const {
  for (const tx::MonitorStatementMsg& statement : statements) {
    if (!statement.has_statement()) {
      TARNIX_LOG(orv::INFO, nullptr,
                 "Monitor: Empty subscription request for monitor_request_id %s",
                 monitor_id.c_str());
      continue;
    }
    const tx::StatementMsg& body = statement.statement();
    const std::string type_name = schema_->types().GetObjectType(&body);
    if (type_name.empty()) continue;  // the schema logged why
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
    for (const tx::WhereMsg& where : body.where()) {
      record.where_clauses.emplace_back();
      Status status = DecodeWhereClause(type_name, where, true, &record.where_clauses.back());
      if (!status.ok()) return status;
    }
  }
  return Status::OK();
}

Status MonitorStatements::CheckWhereClause(const std::string& client_id, const Updates& updates,
                                           WhereClauseUpdateRecords* records) const {
  for (const tx::MonitorStatementUpdateMsg& update : updates) {
    const std::string type_name = schema_->types().GetObjectType(&update);
    if (type_name.empty()) continue;
    if (!schema_->permissions().HasReadPermission(client_id, type_name)) {
      return NoReadPermission(client_id, type_name);
    }
    WhereClauseUpdateRecord& record = (*records)[type_name];
    for (const tx::WhereMsg& where : update.remove_where()) {
      record.remove.emplace_back();
      Status status = DecodeWhereClause(type_name, where, false, &record.remove.back());
      if (!status.ok()) return status;
    }
    for (const tx::WhereMsg& where : update.add_where()) {
      record.add.emplace_back();
      Status status = DecodeWhereClause(type_name, where, true, &record.add.back());
      if (!status.ok()) return status;
    }
  }
  return Status::OK();
}

Status MonitorStatements::ScanWhereClauses(const std::string& type_name,
                                           const std::string& selection,
                                           const std::vector<WhereClause>& clauses, VdbId vdb_id,
                                           const DbAccess::SnapshotHolder& snapshot,
                                           SnapshotEntrySet* snapshot_entries) const {
  std::unique_ptr<pb::Message> select;
  if (!selection.empty()) {
    select.reset(schema_->types().ParseMessage(schema_->op_messages().GetOpMsgTypeName(type_name),
                                               selection));
  }
  const QueryScan& scan = queries_->scan();
  for (const WhereClause& clause : clauses) {
    const TarnixObject::MessagePtr op = clause.first->GetMessage(*schema_);
    const TarnixObject::MessagePtr value = clause.second->GetMessage(*schema_);
    CountingSink counted(snapshot_entries->ScanResults(type_name));
    Status status =
        scan.ExecuteQueryScan(select.get(), *op, *value, nullptr, vdb_id, snapshot, &counted);
    if (!status.ok()) return status;
    if (counted.count == 0) snapshot_entries->AddNoMatch(value->GetDescriptor()->full_name());
  }
  return Status::OK();
}

Status MonitorStatements::AddMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                                               const DbAccess::SnapshotHolder& snapshot,
                                               const MonitorStatementRecords& added,
                                               const MonitorStatementRecords& deleted,
                                               SnapshotEntrySet* snapshot_entries) const {
  for (const auto& [type_name, record] : added) {
    if (deleted.count(type_name) == 0 && engine_->HasMonitorStatement(monitor_id, type_name)) {
      return Status::InvalidArgument("An existing monitor statement for object type " + type_name +
                                     " already exist for monitor_id " + monitor_id);
    }
    Status status = ScanWhereClauses(type_name, record.selection, record.where_clauses, vdb_id,
                                     snapshot, snapshot_entries);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

Status MonitorStatements::ScanMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                                                const DbAccess::SnapshotHolder& snapshot,
                                                const WhereClauseUpdateRecords& updated,
                                                const MonitorStatementRecords& deleted,
                                                SnapshotEntrySet* snapshot_entries) const {
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
                         record.add, vdb_id, snapshot, snapshot_entries);
    if (!status.ok()) return status;
  }
  return Status::OK();
}

void MonitorStatements::ConfigureSubscriptions(const std::string& monitor_id,
                                               const MonitorStatementRecords& added,
                                               const MonitorStatementRecords& deleted,
                                               const WhereClauseUpdateRecords& updated) {
  for (const auto& entry : deleted) engine_->DeleteSubscriptions(monitor_id, entry.first);
  for (const auto& [type_name, record] : updated) {
    for (const WhereClause& clause : record.add) {
      if (!engine_->AddSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: update to add subscription on object_type %s failed",
                   type_name.c_str());
      }
    }
    for (const WhereClause& clause : record.remove) {
      if (!engine_->DeleteSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: update to del subscription on object_type %s failed",
                   type_name.c_str());
      }
    }
  }
  for (const auto& [type_name, record] : added) {
    engine_->SetSubscriptionString(monitor_id, type_name, record.selection);
    engine_->SetSubscriptionFlag(monitor_id, type_name, record.flag);
    bool subscribed = false;
    for (const WhereClause& clause : record.where_clauses) {
      if (engine_->AddSubscription(monitor_id, type_name, *clause.first, *clause.second)) {
        subscribed = true;
      } else {
        TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                   "ConfigureSubscriptions: add subscription on object_type %s failed",
                   type_name.c_str());
      }
    }
    // Else the statement would stay, watch nothing and keep the type from
    // being added again.
    if (!subscribed) engine_->DeleteSubscriptions(monitor_id, type_name);
  }
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

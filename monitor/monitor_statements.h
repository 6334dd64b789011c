#ifndef TARNIX_MONITOR_MONITOR_STATEMENTS_H_
#define TARNIX_MONITOR_MONITOR_STATEMENTS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "monitor/monitor_snapshot.h"
#include "query/selection.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace tarnix {

class MonitorEngine;
class QueryProcessor;
class Schema;

// One statement of a request, checked: the selection bytes as received ("":
// the whole object), the old-body flag and the where clauses (a statement
// without any has one empty clause: the whole type).
struct MonitorStatementRecord {
  std::string type_name;
  std::string selection;
  bool flag = false;
  std::vector<WhereClause> where_clauses;
};
// By full type name.
using MonitorStatementRecords = std::unordered_map<std::string, MonitorStatementRecord>;

// The where clauses a request removes from and adds to one existing
// statement.
struct WhereClauseUpdateRecord {
  std::vector<WhereClause> remove;
  std::vector<WhereClause> add;
};
using WhereClauseUpdateRecords = std::unordered_map<std::string, WhereClauseUpdateRecord>;

// The statements of monitors: checks what a Monitor or ConfigureMonitor
// request asks, scans what its new where clauses match and hands the
// changes to the monitor engine's subscriptions. A statement per object type
// and monitor: the type, a selection, the old-body flag and where clauses.
//
// The checks come in two kinds: those that depend only on the request and
// the schema (Validate..., CheckWhereClause), and those that depend on the
// monitor's current statements (Add..., Scan..., which also prepare the
// snapshot's scans). Both run when the request takes effect, the first in
// bounded steps. A request refused by either has changed nothing.
//
// Not thread-safe: runs on the RPC event-loop thread. Every pointer is
// borrowed and must outlive the object.
class MonitorStatements {
 public:
  using Statements = google::protobuf::RepeatedPtrField<caldek::orv::tarnix::MonitorStatementMsg>;
  using Updates =
      google::protobuf::RepeatedPtrField<caldek::orv::tarnix::MonitorStatementUpdateMsg>;

  MonitorStatements(const Schema* schema, const QueryProcessor* queries, MonitorEngine* engine);
  MonitorStatements(const MonitorStatements&) = delete;
  MonitorStatements& operator=(const MonitorStatements&) = delete;

  // How far a check in steps has got: the next statement or update, and
  // within it the next where clause (-1: its own checks come first).
  struct Progress {
    size_t item = 0;
    int clause = -1;
  };

  // Checks `statements` of `client_id` into *records, one per type. A
  // statement without StatementMsg, or of a type the schema does not know,
  // is skipped (logged). Refusals: PERMISSION_DENIED "<client> does not have
  // read permission for <type>"; INVALID_ARGUMENT "Multiple monitor
  // statement for object type <type> provided.", "Unable to parse SelectMsg
  // in monitor statement for object type <type>", "Invalid SelectMsg in
  // monitor statement for object type <type>", "Multiple attributes set in
  // the where clause for object type <type>", DecodeWhereMsg's refusal, and
  // CheckSubscription's for a clause no subscription can watch.
  // Goes in steps: decodes at most *budget more where clauses (lowering it)
  // from where *at stands, and moves *at on; the check is over once
  // at->item reaches the end of the list, or at a refusal. *records keeps
  // what the steps before found and must not change in between.
  Status ValidateMonitorStatements(const std::string& client_id, const std::string& monitor_id,
                                   const Statements& statements, MonitorStatementRecords* records,
                                   size_t* budget, Progress* at) const;

  // Checks `updates` of `client_id` into *records (several updates of one
  // type merge). Refusals: the permission and where-clause texts of
  // ValidateMonitorStatements; clauses to remove are only decoded. In steps
  // as ValidateMonitorStatements.
  Status CheckWhereClause(const std::string& client_id, const Updates& updates,
                          WhereClauseUpdateRecords* records, size_t* budget,
                          Progress* at) const;

  // For each added statement: refused with INVALID_ARGUMENT "An existing
  // monitor statement for object type <type> already exist for monitor_id
  // <id>" when the monitor has one of its type that `deleted` does not
  // drop; then the scan of its where clauses on `snapshot` in `vdb_id` is
  // prepared into *scans (SnapshotTypeScan::Start's refusal is returned as
  // it is). The scans run as the snapshot is sent.
  Status AddMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                              const DbAccess::SnapshotHolder& snapshot,
                              const MonitorStatementRecords& added,
                              const MonitorStatementRecords& deleted,
                              SnapshotScans* scans) const;

  // For each updated statement: refused with INVALID_ARGUMENT "Monitor
  // statement for object type <type> not found for monitor_id <id>." when
  // the monitor has none or `deleted` drops it; then the scan of the
  // clauses it adds, with the statement's stored selection, is prepared as
  // AddMonitorStatements does.
  Status ScanMonitorStatements(const std::string& monitor_id, VdbId vdb_id,
                               const DbAccess::SnapshotHolder& snapshot,
                               const WhereClauseUpdateRecords& updated,
                               const MonitorStatementRecords& deleted,
                               SnapshotScans* scans) const;

  // How far a ConfigureSubscriptions in steps has got.
  struct ConfigureProgress {
    size_t applied = 0;  // changes applied, in the order they are taken
    std::unordered_set<std::string> subscribed;  // added types with a clause subscribed
  };

  // Applies a checked request to the monitor's subscriptions: drops the
  // deleted types, adds then removes the updated clauses, then stores the
  // added statements and subscribes their clauses. Never fails: a refused
  // change is logged (ERR_SUBSCRIPTION_FAILED) and the rest goes on. A new
  // statement none of whose clauses could be added is dropped again.
  // Applies at most `max_changes` more changes (a deleted type or one
  // clause each) after those *progress counts, and returns true once all
  // are applied; the records must not change in between.
  bool ConfigureSubscriptions(const std::string& monitor_id, const MonitorStatementRecords& added,
                              const MonitorStatementRecords& deleted,
                              const WhereClauseUpdateRecords& updated, size_t max_changes,
                              ConfigureProgress* progress);

  // The monitor's statements: one per type, with its old-body flag always
  // set, its selection when it has one, and one WhereMsg per subscription.
  void BuildMonitorStatements(const std::string& monitor_id,
                              caldek::orv::tarnix::ConfigureMonitorResponseMsg* response) const;

 private:
  // Prepares the scan of `clauses` of `type_name` with `selection` (bytes;
  // "" for none).
  Status ScanWhereClauses(const std::string& type_name, const std::string& selection,
                          const std::vector<WhereClause>& clauses, VdbId vdb_id,
                          const DbAccess::SnapshotHolder& snapshot,
                          SnapshotScans* scans) const;
  // Decodes `where` of `type_name` into *clause and checks it names at most
  // one attribute; `watched` also runs CheckSubscription.
  Status DecodeWhereClause(const std::string& type_name, const caldek::orv::tarnix::WhereMsg& where,
                           bool watched, WhereClause* clause) const;

  const Schema* const schema_;
  const QueryProcessor* const queries_;
  MonitorEngine* const engine_;
  const Selection selection_;
};

// A generated monitor id: the 16 bytes of `first` then `second`, most
// significant first, as lower-case hexadecimal in groups of 8-4-4-4-12.
std::string UuidToString(uint64_t first, uint64_t second);

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_STATEMENTS_H_

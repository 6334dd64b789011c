#ifndef TARNIX_MONITOR_SNAPSHOT_TYPE_SCAN_H_
#define TARNIX_MONITOR_SNAPSHOT_TYPE_SCAN_H_

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <google/protobuf/message.h>

#include "metrics/metric.h"
#include "monitor/subscriber_set.h"
#include "monitor/subscription_predicate.h"
#include "monitor/subscriptions_sharing_attribute.h"
#include "query/query_scan.h"
#include "query/selection.h"
#include "query/where_matcher.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace tarnix {

class Schema;

// A decoded where clause: its op object and its value object.
using WhereClause = std::pair<std::shared_ptr<TarnixObject>, std::shared_ptr<TarnixObject>>;

// What the new where clauses of one object type of a monitor match on one
// storage snapshot, read in bounded steps. Every clause is matched in one
// pass over the type's records, through subscription trees of the scan's
// own, so the cost is the type's records, not records times clauses; when
// every clause names an object by its key, the objects are looked up
// instead. An object comes out once, however many clauses it satisfies.
//
// Each clause must also be known to have matched something (or the type
// is named once, without an object). A clause moves from the trees that
// records are credited from to those that only decide whether a record is
// kept once it is credited, so the pass costs about its records plus its
// clauses, however many clauses one record satisfies.
//
// Not thread-safe: runs on the RPC event-loop thread. The schema and the
// query scan are borrowed and must outlive the scan.
class SnapshotTypeScan : private RecordFilter {
 public:
  // Prepares the scan of `clauses` (not empty) of `type_name` with the
  // selection `selection` (op message bytes; "" for the whole object) in
  // `vdb_id` on `snapshot`. INVALID_ARGUMENT "object id missing from value"
  // for a clause that looks an object up by key without naming one.
  static Status Start(const Schema* schema, const QueryScan* scan, const std::string& type_name,
                      const std::string& selection, const std::vector<WhereClause>& clauses,
                      VdbId vdb_id, const DbAccess::SnapshotHolder& snapshot,
                      std::unique_ptr<SnapshotTypeScan>* started);
  ~SnapshotTypeScan() override;
  SnapshotTypeScan(const SnapshotTypeScan&) = delete;
  SnapshotTypeScan& operator=(const SnapshotTypeScan&) = delete;

  const std::string& type_name() const { return type_name_; }

  // Indexes or visits at most `max_records` more clauses or records, handing
  // each match to `sink` as QueryScan does, and pausing early once
  // sink->Full(). True once the scan has ended; then status() tells how,
  // and the storage snapshot and the index are let go. A record whose
  // CONTAINS_ALL matching takes more steps than it allows (see
  // ContainsAllSubscriptions::Lookup) ends the scan with
  // RESOURCE_EXHAUSTED.
  bool Step(size_t max_records, QueryResultSink* sink);
  const Status& status() const { return status_; }
  // Once the scan ended with OK: whether some clause matched no object.
  bool some_clause_matched_nothing() const { return matched_nothing_; }
  // The scan's cost so far beyond reading its records: the entries,
  // monitors and trie nodes matching examined, and the clauses taken out of
  // the trees.
  size_t work() const { return work_; }

 private:
  class CreditingSink;

  SnapshotTypeScan(const Schema* schema, const QueryScan* scan, std::string type_name, VdbId vdb_id,
                   const DbAccess::SnapshotHolder& snapshot);

  using Trees = std::unordered_map<std::string, SubscriptionsSharingAttribute>;

  bool Accept(const google::protobuf::Message& object) override;
  // Whether the selection leaves something of `object`: where it leaves
  // nothing, the record is no match of any clause.
  bool Selects(const google::protobuf::Message& object);
  // Adds to *matched what `object` matches in `trees`.
  void Collect(const Trees& trees, const google::protobuf::Message& object,
               MatchedSubscribers* matched) const;
  // Adds up to `max_clauses` more clauses to the index.
  void IndexClauses(size_t max_clauses);
  // The predicate of `clause`; false for a shape the trees do not store.
  bool ReadPredicate(size_t clause, SubscriptionPredicate* predicate) const;
  // Marks the clauses behind the last accepted object as matched.
  void CreditLastMatch();
  void Credit(const MatchedSubscribers& matched);
  void Credit(size_t clause);
  // Moves what kept records credited to credited_, and goes on matching a
  // record that matched more clauses than a step takes, while the step's
  // budget lasts; true once neither is left.
  bool Settle();
  void MoveCredited();
  // Matches `matching_` once more against what is still uncredited; done
  // with it once a pass ends before its limit.
  void MatchAgain();
  // Whether `matched` took one record past what its matching may cost:
  // then the scan is to end with RESOURCE_EXHAUSTED.
  bool Refuse(const MatchedSubscribers& matched);
  // Ends the scan once refused; true then.
  bool EndIfRefused();
  void StepKeyLookups(size_t max_records, QueryResultSink* sink);
  void End(Status status);

  const Schema* const schema_;
  const QueryScan* const scan_;
  const std::string type_name_;
  const VdbId vdb_id_;
  DbAccess::SnapshotHolder snapshot_;
  std::unique_ptr<google::protobuf::Message> selection_;
  // For Selects(), when the selection does not keep the object whole.
  const Selection selecting_;
  std::unique_ptr<google::protobuf::Message> selected_;
  std::unique_ptr<google::protobuf::Message> selected_op_;
  std::vector<TarnixObject::MessagePtr> ops_;
  std::vector<TarnixObject::MessagePtr> values_;
  bool done_ = false;
  Status status_;
  Status refusal_;  // set by Refuse()
  bool matched_nothing_ = false;

  // Key lookups: the first clause of each key, in key order.
  bool key_lookups_ = false;
  std::map<std::string, size_t> keys_;
  std::map<std::string, size_t>::const_iterator next_key_;

  // The pass: whole-type clauses accept every object; the others go into
  // the subscription trees, named by their index, as the scan begins:
  // uncredited_ holds those that no kept record matched yet, credited_ the
  // others, which only decide whether a record is kept.
  bool whole_type_ = false;
  bool whole_type_matched_ = false;
  std::vector<size_t> attribute_clauses_;
  size_t indexed_ = 0;             // of attribute_clauses_
  std::vector<size_t> unindexed_;  // shapes the trees do not store: matched one by one
  const WhereMatcher matcher_;
  Trees uncredited_;
  Trees credited_;
  std::vector<bool> in_uncredited_;  // by clause
  metrics::UnitCounter registrations_;
  size_t clause_registrations_ = 0;
  std::unique_ptr<QueryScan::Cursor> cursor_;
  MatchedSubscribers last_;  // in uncredited_
  std::vector<size_t> last_unindexed_;
  std::vector<bool> matched_;
  size_t work_ = 0;
  bool records_done_ = false;
  // One record can match every clause, so what a record credits is moved
  // over as many steps as it needs, each a budget of clauses, before the
  // next record is read: credited clauses still in uncredited_, and a
  // record whose match so far filled a budget, to be matched again.
  std::vector<size_t> crediting_;
  std::unique_ptr<google::protobuf::Message> matching_;
  std::unique_ptr<google::protobuf::Message> next_matching_;  // of the last Accept()
  size_t step_budget_ = 0;
  size_t budget_ = 0;  // left in this step
  size_t matched_count_ = 0;
  size_t clause_count_ = 0;  // that matching must credit
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_SNAPSHOT_TYPE_SCAN_H_

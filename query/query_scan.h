#ifndef TARNIX_QUERY_QUERY_SCAN_H_
#define TARNIX_QUERY_QUERY_SCAN_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "query/selection.h"
#include "query/where_matcher.h"
#include "schema/attribute_value.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace tarnix {

class Schema;

// One result of a query or statement scan.
struct QueryResultRecord {
  std::string type_name;
  // The object as the selection left it: the stored body (without a leading
  // 0x00 marker byte) when the whole object is selected, else the pruned
  // object serialised.
  std::string object;
  // The selection's result op message, serialised; never empty.
  std::string op_message;
};

// Takes the results of a scan one by one, in the order the scan gives them.
class QueryResultSink {
 public:
  virtual ~QueryResultSink() = default;
  virtual void Add(QueryResultRecord&& record) = 0;
  // True when a scan going in steps should pause before its next result
  // (see QueryScan::Cursor).
  virtual bool Full() const { return false; }
};

// Decides which records a scan keeps in place of one where clause: a scan
// that matches many clauses at once asks its own index.
class RecordFilter {
 public:
  virtual ~RecordFilter() = default;
  // Whether the scan keeps `object`, a parsed record of the scanned type.
  virtual bool Accept(const google::protobuf::Message& object) = 0;
};

// The two directions of a sorted scan; one pair serves the whole scan.
struct SortDirections {
  bool primary_ascending = true;
  bool secondary_ascending = true;
};

// A result with its two sort keys.
struct SortEntry {
  AttributeValue primary;
  AttributeValue secondary;
  QueryResultRecord record;
};

// Reads the objects of one type that one vdb sees, keeps those a where
// clause accepts, applies a selection to each and returns them, sorted when
// asked. Also checks sort orders.
//
// A sort order is an op message of the queried type whose OpMsg leaves say
// ASCENDING or DESCENDING (the primary key, exactly one) and at most one
// SECONDARY_ASCENDING or SECONDARY_DESCENDING (the secondary key), at any
// depth; a "self" leaf sorts by the text of its whole message.
//
// Nothing a client sends makes it abort. Holds no state besides its
// pointers; const methods, no locks; runs on the RPC event-loop thread.
class QueryScan {
 public:
  // Neither is owned; both must outlive the scan.
  QueryScan(const Schema* schema, DbAccess* db_access)
      : schema_(schema), db_access_(db_access), selection_(schema) {}

  QueryScan(const QueryScan&) = delete;
  QueryScan& operator=(const QueryScan&) = delete;

  // Appends to *results the objects of `where_value`'s type that `vdb_id`
  // sees and the where clause (`where_op`, `where_value`) accepts, each as
  // `selection` leaves it (null: the whole object); an object whose
  // selection leaves nothing is left out. When the where clause is a key
  // lookup (IsKeyLookup) only that object's first record the vdb sees is
  // read, without matching or sorting. Otherwise the records come in key
  // order, or sorted by `sort_by` (null: unsorted) as SortByCompare says.
  // Records whose key does not decode or whose body does not parse are
  // logged and skipped.
  // The records are read on `snapshot`, or on a snapshot of the scan's own
  // when it is empty.
  // Returns OK; INVALID_ARGUMENT "object id missing from value" for a key
  // lookup without a key; a storage failure as DbAccessStatus::ToStatus
  // gives it, and then nothing is appended. *results is never cleared.
  // REQUIRES: `where_op` is of the op type of `where_value`'s type, and so
  // are `selection` and `sort_by` when given; `sort_by` passed
  // ValidateSortByMsg.
  Status ExecuteQueryScan(const google::protobuf::Message* selection,
                          const google::protobuf::Message& where_op,
                          const google::protobuf::Message& where_value,
                          const google::protobuf::Message* sort_by, VdbId vdb_id,
                          const DbAccess::SnapshotHolder& snapshot,
                          std::vector<QueryResultRecord>* results) const;
  // The same, each result handed to `sink` as it is found (a sorted scan's
  // once it is sorted). On a failure the sink may have taken part of them.
  Status ExecuteQueryScan(const google::protobuf::Message* selection,
                          const google::protobuf::Message& where_op,
                          const google::protobuf::Message& where_value,
                          const google::protobuf::Message* sort_by, VdbId vdb_id,
                          const DbAccess::SnapshotHolder& snapshot, QueryResultSink* sink) const;

  // ExecuteQueryScan's work, a bounded part at a time. The scan keeps its
  // snapshot and iterator between steps; writes made meanwhile are not
  // seen. A sorted scan reads every match before it hands out the first.
  class Cursor {
   public:
    // Use StartQueryScan.
    Cursor(const QueryScan& scan, const google::protobuf::Message* selection,
           const google::protobuf::Message& where_op,
           const google::protobuf::Message& where_value,
           const google::protobuf::Message* sort_by, VdbId vdb_id,
           const DbAccess::SnapshotHolder& snapshot);
    // Use StartFilteredScan.
    Cursor(const QueryScan& scan, const google::protobuf::Message* selection,
           const google::protobuf::Message& prototype, RecordFilter* filter, VdbId vdb_id,
           const DbAccess::SnapshotHolder& snapshot);
    ~Cursor();
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // Visits at most `max_records` more records, or hands out at most that
    // many sorted results, pausing early once `sink` is Full(); true once
    // the scan has ended (see status()). Results go to `sink` as
    // ExecuteQueryScan hands them.
    bool Step(size_t max_records, QueryResultSink* sink);
    // OK, or what ended the scan as ExecuteQueryScan would return it.
    const Status& status() const { return status_; }

   private:
    void Start();
    void Scan(size_t max_records, QueryResultSink* sink);
    void Emit(size_t max_records, QueryResultSink* sink);
    void End(Status status);

    const QueryScan& scan_;
    const google::protobuf::Message* const selection_;
    const google::protobuf::Message* const where_op_;  // null when filter_ decides
    const google::protobuf::Message& where_value_;     // or the type's prototype
    RecordFilter* const filter_;
    const google::protobuf::Message* const sort_by_;
    const VdbId vdb_id_;
    DbAccess::SnapshotHolder snapshot_;
    const google::protobuf::Descriptor* const type_;
    // The where clause's operands stay as they are for the whole scan.
    WhereMatcher::OperandSets operands_;
    const WhereMatcher matcher_;
    bool key_lookup_ = false;
    bool started_ = false;
    bool done_ = false;
    Status status_;
    std::string prefix_;
    std::unique_ptr<google::protobuf::Message> object_;
    std::unique_ptr<google::protobuf::Message> result_op_;
    boost::shared_ptr<DbAccess::IteratorImpl> iterator_;
    std::string whole_op_;
    SortDirections directions_;
    std::vector<SortEntry> entries_;  // a sorted scan's results
    size_t next_entry_ = 0;
  };

  // A Cursor over ExecuteQueryScan's arguments, which must outlive it.
  std::unique_ptr<Cursor> StartQueryScan(const google::protobuf::Message* selection,
                                         const google::protobuf::Message& where_op,
                                         const google::protobuf::Message& where_value,
                                         const google::protobuf::Message* sort_by,
                                         VdbId vdb_id,
                                         const DbAccess::SnapshotHolder& snapshot) const;

  // An unsorted Cursor over the records of `prototype`'s type that `vdb_id`
  // sees, keeping those `filter` accepts, each as `selection` leaves it.
  // Every argument must outlive the cursor.
  std::unique_ptr<Cursor> StartFilteredScan(const google::protobuf::Message* selection,
                                            const google::protobuf::Message& prototype,
                                            RecordFilter* filter, VdbId vdb_id,
                                            const DbAccess::SnapshotHolder& snapshot) const;

  // OK for a sort order that holds one primary operation and at most one
  // secondary one and nothing else; else INVALID_ARGUMENT, logged at ERROR.
  // A null `sort_by` (bytes that did not parse) is refused with "Unable to
  // parse SortByMsg".
  Status ValidateSortByMsg(const google::protobuf::Message* sort_by) const;

  // The walk behind ValidateSortByMsg: counts the primary and secondary
  // operations of `op_message` and everything below it into the counters,
  // which all levels share. Fails at the first fault.
  Status ParseSortByMsg(const google::protobuf::Message& op_message, int* primary_count,
                        int* secondary_count) const;

  // Writes the primary (`primary`) or secondary key of `object` (a message
  // of `type`) that `sort_by` names into *key and its direction into
  // *ascending, and returns true; false, leaving both alone, when `sort_by`
  // names no such key. A sort order without any set field gives int32 0
  // and true. A key inside a sub-message that `object` does not hold reads
  // the sub-message's defaults, as protocol buffers do.
  bool ComputeSortKey(const google::protobuf::Message& sort_by,
                      const google::protobuf::Message& object,
                      const google::protobuf::Descriptor* type, bool primary,
                      AttributeValue* key, bool* ascending) const;

  // Whether `a` comes before `b`: by primary key in the primary direction,
  // then by secondary key in the secondary direction. Keys of different
  // kinds order by kind index; a NaN equals a NaN and comes after every
  // number ascending, before every number descending. A strict weak order.
  static bool SortByCompare(const SortDirections& directions, const SortEntry& a,
                            const SortEntry& b);

  // True when the where clause names the object by its key: `where_op` sets
  // exactly one field, the key field of `where_value`'s type, and its
  // operation (its own, or its "self" one) is EQUALS.
  bool IsKeyLookup(const google::protobuf::Message& where_op,
                   const google::protobuf::Message& where_value) const;

 private:
  Status KeyLookup(const google::protobuf::Message* selection,
                   const google::protobuf::Message& where_value, VdbId vdb_id,
                   const DbAccess::SnapshotHolder& snapshot, QueryResultSink* sink) const;
  // Applies `selection` to `object` (which it may prune) and fills *record
  // from it; false when the selection leaves nothing. `body` is the stored
  // body without marker, copied as it is when the whole object is selected.
  // `result_op` is a scratch message of the op type. The result op message
  // of a whole object is the same for every object: *whole_op keeps it once
  // made.
  bool MakeResult(const google::protobuf::Message* selection, const std::string& type_name,
                  std::string_view body, google::protobuf::Message* object,
                  google::protobuf::Message* result_op, std::string* whole_op,
                  QueryResultRecord* record) const;
  bool ComputeSortKeyAt(const google::protobuf::Message& sort_by,
                        const google::protobuf::Message& object, bool primary,
                        AttributeValue* key, bool* ascending) const;

  const Schema* const schema_;
  DbAccess* const db_access_;
  const Selection selection_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_QUERY_SCAN_H_

#ifndef TARNIX_MONITOR_MONITOR_SNAPSHOT_H_
#define TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "query/query_scan.h"

namespace tarnix {

class Schema;
class TypeOrder;

// What the where clauses of one Monitor or ConfigureMonitor request match:
// statement scans append their results, and each distinct entry (type,
// body, op message) is kept once. An entry with an empty body and op
// message stands for a where clause of its type that matched nothing.
class SnapshotEntrySet {
 public:
  // Where the scan of one where clause of `type_name` appends its results.
  // One scan never yields an entry twice; only types scanned more than once
  // are searched for repeats.
  std::vector<QueryResultRecord>* ScanResults(const std::string& type_name);
  // A where clause of `type_name` that matched nothing (after its scan).
  void AddNoMatch(const std::string& type_name);
  // The entries, each distinct one once (the first of its repeats stays);
  // leaves the set empty.
  std::vector<QueryResultRecord> TakeDistinct();

 private:
  std::vector<QueryResultRecord> entries_;
  std::unordered_map<std::string, int> scans_;  // type -> where clauses scanned
};

// Moves the entries of `set` into *ordered, the objects of parent types
// before those of the types that name them, each type's entries in the
// order they were scanned.
void OrderMonitorUpdates(const Schema& schema, TypeOrder* order, SnapshotEntrySet* set,
                         std::vector<QueryResultRecord>* ordered);

// The snapshot of one transaction of a monitor stream, cut into
// MonitorResponseMsg chunks as the stream takes them, so that each entry's
// bytes live in one place at a time: here until its chunk is built, then in
// the stream. A chunk is closed once the object bodies in it exceed
// kMaxChunkBytes; every chunk carries the transaction id, and the last one
// the end mark. An empty snapshot has no chunk.
class MonitorSnapshot {
 public:
  static constexpr size_t kMaxChunkBytes = 999999;

  // `entries` in the order they are to be sent.
  MonitorSnapshot(uint64_t txn_id, std::vector<QueryResultRecord> entries);
  MonitorSnapshot(const MonitorSnapshot&) = delete;
  MonitorSnapshot& operator=(const MonitorSnapshot&) = delete;

  uint64_t txn_id() const { return txn_id_; }
  // True once every chunk was built (at once for an empty snapshot).
  bool Done() const { return next_ == entries_.size(); }

  // Fills *response (cleared first) with the next chunk and frees the
  // bodies it takes. An entry with a body carries the object type, its op
  // message and its body; one without carries the type only.
  // REQUIRES: !Done().
  void BuildMonitorSnapshotResponse(const Schema& schema,
                                    caldek::orv::tarnix::MonitorResponseMsg* response);

 private:
  const uint64_t txn_id_;
  std::vector<QueryResultRecord> entries_;
  size_t next_ = 0;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

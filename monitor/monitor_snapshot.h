#ifndef TARNIX_MONITOR_MONITOR_SNAPSHOT_H_
#define TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "query/query_scan.h"

namespace tarnix {

class Schema;
class TypeOrder;

// The snapshot entries of one object type: each entry's object body and op
// message packed back to back in blocks of about 1 MiB, so that an entry
// costs its bytes and a few more. Read once, in the order added; a block is
// freed as soon as it has been read.
class SnapshotEntries {
 public:
  explicit SnapshotEntries(std::string type_name) : type_name_(std::move(type_name)) {}
  SnapshotEntries(const SnapshotEntries&) = delete;
  SnapshotEntries& operator=(const SnapshotEntries&) = delete;

  const std::string& type_name() const { return type_name_; }

  // Appends an entry; once Deduplicate() was called, one held already is
  // skipped.
  void Add(std::string_view body, std::string_view op_message);
  // From now on Add skips entries held already (a second where clause of
  // the type may match the same objects).
  void Deduplicate();
  // A where clause of the type matched nothing; held once, whatever the
  // number of such clauses.
  void AddNoMatch() { no_match_ = true; }

  // True when every entry, the no-match mark included, was read.
  bool Done() const;
  // Reads the next entry into the views, valid until the next call: a match,
  // or after the last one the no-match mark as two empty views; false when
  // nothing is left. The block read before is freed.
  bool Next(std::string_view* body, std::string_view* op_message);

 private:
  static constexpr size_t kBlockBytes = size_t{1} << 20;

  const std::string type_name_;
  // Blocks never grow past their reserved size, so views into them last.
  std::deque<std::string> blocks_;
  size_t read_offset_ = 0;  // in the front block
  bool deduplicate_ = false;
  std::unordered_set<std::string_view> held_;  // whole entries, when deduplicating
  bool no_match_ = false;
};

// What the where clauses of one Monitor or ConfigureMonitor request match:
// statement scans add their results, and each distinct entry (type, body,
// op message) is kept once. Entries are grouped by type, types in the order
// first met.
class SnapshotEntrySet {
 public:
  SnapshotEntrySet();
  ~SnapshotEntrySet();

  // Where the scan of one where clause of `type_name` puts its results. One
  // scan never yields an entry twice; a type's later scans skip what its
  // earlier ones found.
  QueryResultSink* ScanResults(const std::string& type_name);
  // A where clause of `type_name` that matched nothing.
  void AddNoMatch(const std::string& type_name);
  // The entries by type, in the order types were first met; leaves the set
  // empty.
  std::vector<std::unique_ptr<SnapshotEntries>> TakeTypes();

 private:
  class Sink;
  SnapshotEntries* Type(const std::string& type_name);

  std::vector<std::unique_ptr<SnapshotEntries>> types_;
  std::unordered_map<std::string, SnapshotEntries*> by_name_;
  std::unique_ptr<Sink> sink_;
};

// Takes the entries out of `set`, the types ordered parents first (objects
// of parent types before those of the types that name them), each type's
// entries in the order they were scanned.
std::vector<std::unique_ptr<SnapshotEntries>> OrderMonitorUpdates(const Schema& schema,
                                                                  TypeOrder* order,
                                                                  SnapshotEntrySet* set);

// The snapshot of one transaction of a monitor stream, cut into
// MonitorResponseMsg chunks as the stream takes them: an entry's bytes live
// here until its chunk is built, then in the stream. A chunk is closed once
// the object bodies in it exceed kMaxChunkBytes; every chunk carries the
// transaction id, and the last one the end mark. An empty snapshot has no
// chunk.
class MonitorSnapshot {
 public:
  static constexpr size_t kMaxChunkBytes = 999999;

  MonitorSnapshot(uint64_t txn_id, std::vector<std::unique_ptr<SnapshotEntries>> types);
  MonitorSnapshot(const MonitorSnapshot&) = delete;
  MonitorSnapshot& operator=(const MonitorSnapshot&) = delete;

  uint64_t txn_id() const { return txn_id_; }
  // True once every chunk was built (at once for an empty snapshot).
  bool Done();

  // Fills *response (cleared first) with the next chunk. A match carries
  // the object type, its op message and its body; a clause that matched
  // nothing carries the type only. REQUIRES: !Done().
  void BuildMonitorSnapshotResponse(const Schema& schema,
                                    caldek::orv::tarnix::MonitorResponseMsg* response);

 private:
  const uint64_t txn_id_;
  std::deque<std::unique_ptr<SnapshotEntries>> types_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

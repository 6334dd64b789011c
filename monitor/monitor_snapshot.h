#ifndef TARNIX_MONITOR_MONITOR_SNAPSHOT_H_
#define TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "monitor/snapshot_type_scan.h"
#include "util/status.h"

namespace tarnix {

class Schema;
class TypeOrder;

// The scans of one Monitor or ConfigureMonitor request, one per object type.
using SnapshotScans = std::vector<std::unique_ptr<SnapshotTypeScan>>;

// Orders `scans` parents first: objects of parent types before those of the
// types that name them.
void OrderMonitorUpdates(const Schema& schema, TypeOrder* order, SnapshotScans* scans);

// The snapshot of one transaction of a monitor stream, made as the stream
// takes it: the type scans run a slice at a time, and their matches are
// packed into MonitorResponseMsg chunks. A chunk is closed once the object
// bodies in it exceed kMaxChunkBytes; a type where some clause matched
// nothing adds one update carrying the type alone. Every chunk carries the
// transaction id, and the last one the end mark; an empty snapshot has no
// chunk. Beyond the storage snapshot it holds at most two chunks.
//
// Not thread-safe: runs on the RPC event-loop thread.
class MonitorSnapshot {
 public:
  static constexpr size_t kMaxChunkBytes = 999999;

  // `schema` is borrowed and must outlive the snapshot; `scans` parents
  // first.
  MonitorSnapshot(const Schema* schema, uint64_t txn_id, SnapshotScans scans);
  ~MonitorSnapshot();
  MonitorSnapshot(const MonitorSnapshot&) = delete;
  MonitorSnapshot& operator=(const MonitorSnapshot&) = delete;

  uint64_t txn_id() const { return txn_id_; }

  // Runs one slice of at most `max_records` records (or clauses indexed)
  // when no chunk is ready, then moves the next ready chunk into *chunk:
  // true then. False when the slice ended before a chunk was ready, or
  // when Done().
  bool NextChunk(size_t max_records, caldek::orv::tarnix::MonitorResponseMsg* chunk);
  // True once every chunk was handed out, or a scan failed.
  bool Done() const { return scans_.empty() && ready_.empty(); }
  // Whether NextChunk() has a chunk without running a slice.
  bool ChunkReady() const { return !ready_.empty(); }
  // OK, or the failure of a scan, which ends the snapshot.
  const Status& status() const { return status_; }

 private:
  class Packer;

  // Moves the chunk being filled to `held_` (closing it) and makes a new
  // one; a chunk held before is ready, as something follows it.
  void CloseChunk();
  // Adds one update to the chunk being filled.
  void AddUpdate(const std::string& type_name, std::string_view body, std::string_view op_message);
  // The scans have all ended: the last chunk gets the end mark.
  void Finish();
  caldek::orv::tarnix::MonitorResponseMsg NewChunk() const;

  const Schema* const schema_;
  const uint64_t txn_id_;
  std::deque<std::unique_ptr<SnapshotTypeScan>> scans_;
  std::unique_ptr<Packer> packer_;
  caldek::orv::tarnix::MonitorResponseMsg filling_;
  size_t filling_bytes_ = 0;
  // A full chunk, held until it is known whether another follows it.
  std::optional<caldek::orv::tarnix::MonitorResponseMsg> held_;
  std::deque<caldek::orv::tarnix::MonitorResponseMsg> ready_;
  Status status_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_SNAPSHOT_H_

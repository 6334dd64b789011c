#ifndef TARNIX_SERVER_MONITOR_STREAM_H_
#define TARNIX_SERVER_MONITOR_STREAM_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "monitor/monitor_snapshot.h"
#include "platform/rpc/call.h"
#include "platform/rpc/serialized_message.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class Schema;

// The server stream of one open monitor, and the one writer on it: its
// transactions (snapshots, notifications) leave in the order handed over.
//
// Back-pressure: at most kCallQueueBytes (plus one message) wait in the RPC
// layer; the rest waits here, in the monitor's backlog, and goes on as the
// client reads. A snapshot is scanned and cut into chunks only as they are
// sent, one slice of records per loop turn, so other calls go on between
// slices. A client that stops reading leaves the call over its cap, where
// the RPC layer's stall rule ends it, and with it the snapshot's scan; one that reads too slowly lets its backlog of
// notifications pass kBacklogBytes, and its monitor ends. A transaction
// that comes to an empty backlog is always taken, however large. The server
// ends the monitors with the largest backlogs once the notifications they
// hold, each counted once, pass kTotalBacklogBytes.
//
// Runs on the RPC event-loop thread; not thread-safe.
class MonitorStream {
 public:
  using Call = boost::intrusive_ptr<orv::rpc::CallHandle<caldek::orv::tarnix::MonitorResponseMsg>>;
  using Responses = std::shared_ptr<const std::vector<orv::rpc::SerializedMessage>>;
  // Runs a task on the loop at a later turn.
  using Poster = std::function<void(std::function<void()>)>;
  // How a snapshot's queueing ended: `queued` once its last chunk is on the
  // call; otherwise the stream ended first, with `ended_with`, or with OK
  // when the call ended on its own (the client went, or stopped reading).
  using SnapshotQueued = std::function<void(bool queued, const orv::rpc::AppStatus& ended_with)>;

  static constexpr size_t kCallQueueBytes = size_t{4} << 20;
  static constexpr size_t kBacklogBytes = size_t{64} << 20;
  static constexpr size_t kTotalBacklogBytes = size_t{2} << 30;

  // `schema` is borrowed and must outlive the stream. `vdb_id` is the vdb
  // the monitor watches and `owner` the client that opened it. Snapshots
  // are scanned `slice_records` records per loop turn through `post`;
  // without a poster each runs whole as the call takes it. `ended` (may be
  // empty) runs when End first ends the call.
  MonitorStream(const Schema* schema, Call call, VdbId vdb_id, std::string owner, Poster post,
                size_t slice_records, std::function<void()> ended = nullptr);
  // Calls the `queued` callbacks of snapshots not fully written.
  ~MonitorStream();
  MonitorStream(const MonitorStream&) = delete;
  MonitorStream& operator=(const MonitorStream&) = delete;

  // Queues `snapshot` behind what the stream holds; `queued` (may be
  // empty) runs once its last chunk is queued on the call, or when the
  // stream ends first. An empty snapshot writes nothing. A scan that fails
  // ends the monitor with its status.
  void WriteSnapshot(std::unique_ptr<MonitorSnapshot> snapshot, SnapshotQueued queued);

  // Queues the responses of one transaction behind what the stream holds;
  // other monitors may share them. False, with nothing queued, when the
  // backlog holds something and would pass kBacklogBytes: the caller ends
  // the monitor. A stream that has ended takes nothing.
  bool WriteNotification(Responses responses);

  // Ends the call with `status`, dropping what waits here.
  void End(const orv::rpc::AppStatus& status);
  // Ends the call with `status` after everything queued so far, once the
  // client has taken what waits here; the stream takes nothing more.
  void Finish(const orv::rpc::AppStatus& status);

  const Call& call() const { return call_; }
  VdbId vdb_id() const { return vdb_id_; }
  const std::string& owner() const { return owner_; }
  // Bytes of notifications waiting here.
  size_t backlog_bytes() const { return backlog_bytes_; }
  // Bytes handed to the call so far.
  uint64_t written_bytes() const { return written_bytes_; }

 private:
  // One transaction: a snapshot, or the responses of a notification.
  struct Pending {
    std::unique_ptr<MonitorSnapshot> snapshot;
    SnapshotQueued queued;
    Responses responses;
    size_t next = 0;  // the next response to write
  };

  // Writes while the call takes them.
  void Pump();
  // Writes the front snapshot's next chunk; false when it has none now.
  // Runs at most one slice a call: *sliced says whether one ran already.
  bool PumpSnapshot(Pending* front, bool* sliced);
  // Runs Pump at a later turn, once.
  void SchedulePump();
  // Drops what waits, calling the `queued` callbacks with `ended_with`.
  void DropPending(const orv::rpc::AppStatus& ended_with);

  const Schema* const schema_;
  const Call call_;
  const VdbId vdb_id_;
  const std::string owner_;
  const Poster post_;
  const size_t slice_records_;
  std::function<void()> ended_;
  std::deque<Pending> pending_;
  size_t backlog_bytes_ = 0;
  uint64_t written_bytes_ = 0;
  caldek::orv::tarnix::MonitorResponseMsg chunk_;  // reused for every snapshot chunk
  bool pumping_ = false;
  bool pump_scheduled_ = false;
  std::optional<orv::rpc::AppStatus> failure_;  // a snapshot's scan failed
  // Lets a posted pump tell whether the stream is still there.
  const std::shared_ptr<char> alive_ = std::make_shared<char>();
  std::optional<orv::rpc::AppStatus> final_status_;  // set by Finish
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_MONITOR_STREAM_H_

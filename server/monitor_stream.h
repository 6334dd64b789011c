#ifndef TARNIX_SERVER_MONITOR_STREAM_H_
#define TARNIX_SERVER_MONITOR_STREAM_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <boost/intrusive_ptr.hpp>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "monitor/monitor_snapshot.h"
#include "platform/rpc/call.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class Schema;

// The server stream of one open monitor, and the one writer on it: the
// transactions it carries leave in the order they were handed over. A
// snapshot is cut into chunks only as the stream takes them: chunks are
// made while the call holds at most one queue cap of unsent bytes, so a
// snapshot's bytes live either here or in the call, and a reader that stops
// leaves the call over the cap, where the RPC layer's stall rule ends it.
//
// Runs on the RPC event-loop thread; not thread-safe.
class MonitorStream {
 public:
  using Call = boost::intrusive_ptr<orv::rpc::CallHandle<caldek::orv::tarnix::MonitorResponseMsg>>;

  // `schema` is borrowed and must outlive the stream. `vdb_id` is the vdb
  // the monitor watches and `owner` the client that opened it.
  MonitorStream(const Schema* schema, Call call, VdbId vdb_id, std::string owner);
  // Calls the `written` callbacks of snapshots not fully written.
  ~MonitorStream();
  MonitorStream(const MonitorStream&) = delete;
  MonitorStream& operator=(const MonitorStream&) = delete;

  // Queues `snapshot` behind what the stream holds; `written` (may be
  // empty) runs once its last chunk is queued on the call, or when the
  // stream ends first. An empty snapshot writes nothing.
  void WriteSnapshot(std::unique_ptr<MonitorSnapshot> snapshot, std::function<void()> written);

  const Call& call() const { return call_; }
  VdbId vdb_id() const { return vdb_id_; }
  const std::string& owner() const { return owner_; }

 private:
  struct Pending {
    std::unique_ptr<MonitorSnapshot> snapshot;
    std::function<void()> written;
  };

  // Makes chunks while the call takes them.
  void Pump();

  const Schema* const schema_;
  const Call call_;
  const VdbId vdb_id_;
  const std::string owner_;
  std::deque<Pending> pending_;
  caldek::orv::tarnix::MonitorResponseMsg chunk_;  // reused for every chunk
  bool pumping_ = false;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_MONITOR_STREAM_H_

#include "server/monitor_stream.h"

#include <utility>

namespace tarnix {

MonitorStream::MonitorStream(const Schema* schema, Call call, VdbId vdb_id, std::string owner)
    : schema_(schema), call_(std::move(call)), vdb_id_(vdb_id), owner_(std::move(owner)) {
  call_->set_drain_callback(orv::rpc::ServerCall::kMaxQueuedBytes, [this] { Pump(); });
}

MonitorStream::~MonitorStream() {
  call_->set_drain_callback(0, nullptr);
  std::deque<Pending> pending;
  pending.swap(pending_);
  for (Pending& left : pending) {
    if (left.written) left.written();
  }
}

void MonitorStream::WriteSnapshot(std::unique_ptr<MonitorSnapshot> snapshot,
                                  std::function<void()> written) {
  pending_.push_back({std::move(snapshot), std::move(written)});
  Pump();
}

void MonitorStream::Pump() {
  if (pumping_) return;  // a `written` callback wrote again
  pumping_ = true;
  struct Done {
    bool* pumping;
    ~Done() { *pumping = false; }
  } done{&pumping_};
  while (!pending_.empty()) {
    Pending& front = pending_.front();
    while (!front.snapshot->Done() && call_->is_open() &&
           call_->queued_bytes() <= orv::rpc::ServerCall::kMaxQueuedBytes) {
      front.snapshot->BuildMonitorSnapshotResponse(*schema_, &chunk_);
      call_->Write(chunk_);
    }
    // A call that ended takes nothing more: what is left is dropped.
    if (!front.snapshot->Done() && call_->is_open()) break;
    std::function<void()> written = std::move(front.written);
    pending_.pop_front();
    if (written) written();
  }
}

}  // namespace tarnix

#include "server/monitor_stream.h"

#include <utility>

#include "logging/logger.h"
#include "server/rpc_status.h"

namespace tarnix {

MonitorStream::MonitorStream(const Schema* schema, Call call, VdbId vdb_id, std::string owner,
                             Poster post, size_t slice_records, std::function<void()> ended)
    : schema_(schema),
      call_(std::move(call)),
      vdb_id_(vdb_id),
      owner_(std::move(owner)),
      post_(std::move(post)),
      slice_records_(slice_records),
      ended_(std::move(ended)) {
  call_->set_queue_cap(kCallQueueBytes);
  call_->set_drain_callback(kCallQueueBytes, [this] { Pump(); });
}

MonitorStream::~MonitorStream() {
  call_->set_drain_callback(0, nullptr);
  DropPending(orv::rpc::SUCCESS);
}

void MonitorStream::WriteSnapshot(std::unique_ptr<MonitorSnapshot> snapshot,
                                  SnapshotQueued queued) {
  Pending pending;
  pending.snapshot = std::move(snapshot);
  pending.queued = std::move(queued);
  pending_.push_back(std::move(pending));
  Pump();
}

bool MonitorStream::WriteNotification(Responses responses) {
  if (!call_->is_open() || final_status_) return true;  // its end is on its way
  size_t bytes = 0;
  for (const orv::rpc::SerializedMessage& response : *responses) bytes += response.size();
  if (backlog_bytes_ > 0 && backlog_bytes_ + bytes > kBacklogBytes) return false;
  backlog_bytes_ += bytes;
  Pending pending;
  pending.responses = std::move(responses);
  pending_.push_back(std::move(pending));
  Pump();
  return true;
}

void MonitorStream::End(const orv::rpc::AppStatus& status) {
  DropPending(status);
  call_->Fail(status);
  if (ended_) {
    std::function<void()> ended = std::move(ended_);
    ended_ = nullptr;
    ended();
  }
}

void MonitorStream::Finish(const orv::rpc::AppStatus& status) {
  final_status_ = status;
  Pump();
}

void MonitorStream::DropPending(const orv::rpc::AppStatus& ended_with) {
  std::deque<Pending> dropped;
  dropped.swap(pending_);
  backlog_bytes_ = 0;
  for (Pending& pending : dropped) {
    if (pending.queued) pending.queued(false, ended_with);
  }
}

void MonitorStream::SchedulePump() {
  if (pump_scheduled_) return;
  pump_scheduled_ = true;
  post_([this, alive = std::weak_ptr<char>(alive_)] {
    if (alive.expired()) return;
    pump_scheduled_ = false;
    Pump();
  });
}

bool MonitorStream::PumpSnapshot(Pending* front, bool* sliced) {
  MonitorSnapshot& snapshot = *front->snapshot;
  if (!snapshot.ChunkReady()) {
    // A slice that filled a chunk used up the turn too: the next one waits
    // for a later turn, however much the call would take.
    if (*sliced && post_) {
      SchedulePump();
      return false;
    }
    *sliced = true;
  }
  if (snapshot.NextChunk(slice_records_, &chunk_)) {
    written_bytes_ += chunk_.ByteSizeLong();
    call_->Write(chunk_);
    return true;
  }
  if (!snapshot.status().ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED", "Monitor operation failed: %s",
               snapshot.status().ToString().c_str());
    failure_ = ToAppStatus(snapshot.status());
    return false;
  }
  if (snapshot.Done()) return true;
  // The slice is used up: the rest waits for a later turn, so that other
  // calls go on meanwhile.
  if (!post_) return true;
  SchedulePump();
  return false;
}

void MonitorStream::Pump() {
  if (pumping_ || pump_scheduled_) return;  // a callback wrote again, or a slice waits its turn
  pumping_ = true;
  struct Done {
    bool* pumping;
    ~Done() { *pumping = false; }
  } done{&pumping_};
  bool sliced = false;
  while (!pending_.empty() && call_->is_open() && call_->queued_bytes() <= kCallQueueBytes) {
    Pending& front = pending_.front();
    if (front.snapshot != nullptr && !front.snapshot->Done()) {
      if (PumpSnapshot(&front, &sliced)) continue;
      break;
    }
    if (front.responses != nullptr && front.next < front.responses->size()) {
      const orv::rpc::SerializedMessage& response = (*front.responses)[front.next++];
      written_bytes_ += response.size();
      call_->WriteSerialized(response);
      backlog_bytes_ -= response.size();
      continue;
    }
    SnapshotQueued queued = std::move(front.queued);
    pending_.pop_front();
    if (queued) queued(true, orv::rpc::SUCCESS);
  }
  if (failure_) {
    const orv::rpc::AppStatus failure = *failure_;
    failure_.reset();
    End(failure);
  } else if (!call_->is_open()) {
    DropPending(orv::rpc::SUCCESS);  // a call that ended takes nothing more
  } else if (pending_.empty() && final_status_) {
    call_->Fail(*final_status_);
  }
}

}  // namespace tarnix

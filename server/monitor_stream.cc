#include "server/monitor_stream.h"

#include <utility>

namespace tarnix {

MonitorStream::MonitorStream(const Schema* schema, Call call, VdbId vdb_id, std::string owner)
    : schema_(schema), call_(std::move(call)), vdb_id_(vdb_id), owner_(std::move(owner)) {
  call_->set_queue_cap(kCallQueueBytes);
  call_->set_drain_callback(kCallQueueBytes, [this] { Pump(); });
}

MonitorStream::~MonitorStream() {
  call_->set_drain_callback(0, nullptr);
  DropPending();
}

void MonitorStream::WriteSnapshot(std::unique_ptr<MonitorSnapshot> snapshot,
                                  std::function<void()> written) {
  Pending pending;
  pending.snapshot = std::move(snapshot);
  pending.written = std::move(written);
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
  DropPending();
  call_->Fail(status);
}

void MonitorStream::Finish(const orv::rpc::AppStatus& status) {
  final_status_ = status;
  Pump();
}

void MonitorStream::DropPending() {
  std::deque<Pending> dropped;
  dropped.swap(pending_);
  backlog_bytes_ = 0;
  for (Pending& pending : dropped) {
    if (pending.written) pending.written();
  }
}

void MonitorStream::Pump() {
  if (pumping_) return;  // a `written` callback wrote again
  pumping_ = true;
  struct Done {
    bool* pumping;
    ~Done() { *pumping = false; }
  } done{&pumping_};
  while (!pending_.empty() && call_->is_open() && call_->queued_bytes() <= kCallQueueBytes) {
    Pending& front = pending_.front();
    if (front.snapshot != nullptr && !front.snapshot->Done()) {
      front.snapshot->BuildMonitorSnapshotResponse(*schema_, &chunk_);
      call_->Write(chunk_);
      continue;
    }
    if (front.responses != nullptr && front.next < front.responses->size()) {
      const orv::rpc::SerializedMessage& response = (*front.responses)[front.next++];
      call_->WriteSerialized(response);
      backlog_bytes_ -= response.size();
      continue;
    }
    std::function<void()> written = std::move(front.written);
    pending_.pop_front();
    if (written) written();
  }
  // A call that ended takes nothing more.
  if (!call_->is_open()) {
    DropPending();
  } else if (pending_.empty() && final_status_) {
    call_->Fail(*final_status_);
  }
}

}  // namespace tarnix

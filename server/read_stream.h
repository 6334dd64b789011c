#ifndef TARNIX_SERVER_READ_STREAM_H_
#define TARNIX_SERVER_READ_STREAM_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "platform/rpc/call.h"
#include "query/chunked_read.h"
#include "util/heap_release.h"
#include "util/status.h"

namespace tarnix {

// Writes the chunks of a ChunkedRead on a server-stream call as the client
// takes them: one step of the read per loop turn, and none while more than
// kQueueBytes wait to be sent, so a large answer is never held whole and
// other calls go on between steps. A client that stops reading leaves the
// call over its cap, where the RPC layer's stall rule ends it; a call that
// ends early (cancelled, past its deadline, the server stopping) ends the
// read and frees its snapshot. Runs on the RPC event-loop thread.
template <class Chunk>
class ReadStream : public std::enable_shared_from_this<ReadStream<Chunk>> {
 public:
  using Call = boost::intrusive_ptr<orv::rpc::CallHandle<Chunk>>;
  using Read = ChunkedRead<Chunk>;
  // Runs a task on the loop at a later turn.
  using Poster = std::function<void(std::function<void()>)>;
  // Called with the status of a read that failed, before the call fails.
  using FailureLog = std::function<void(const Status&)>;

  static constexpr size_t kQueueBytes = size_t{1} << 20;

  // Starts writing `read` on `call`: its first step runs now. Without a
  // `post` the whole read runs now. Answers of kReleaseHeapAfterBytes or
  // more hand the freed heap back to the system when the call ends.
  static void Start(std::unique_ptr<Read> read, const Call& call, Poster post,
                    size_t slice_records, FailureLog log_failure) {
    std::shared_ptr<ReadStream> stream(
        new ReadStream(std::move(read), call, std::move(post), slice_records,
                       std::move(log_failure)));
    call->set_queue_cap(kQueueBytes);
    call->set_drain_callback(kQueueBytes, [stream] {
      if (!stream->scheduled_) stream->Pump();
    });
    std::shared_ptr<size_t> written = stream->written_;
    call->context().set_completion_callback([written](const orv::rpc::Status&) {
      if (*written >= kReleaseHeapAfterBytes) ReleaseFreeHeapMemory();
    });
    stream->Pump();
  }

 private:
  ReadStream(std::unique_ptr<Read> read, const Call& call, Poster post, size_t slice_records,
             FailureLog log_failure)
      : read_(std::move(read)),
        call_(call),
        post_(std::move(post)),
        slice_records_(slice_records),
        log_failure_(std::move(log_failure)) {}

  void Pump() {
    scheduled_ = false;
    while (read_ != nullptr) {
      if (!call_->is_open()) return End();
      std::vector<Chunk> ready;
      const bool done = read_->Step(slice_records_, &ready);
      // Each chunk is freed once written: the call holds its serialised copy.
      for (Chunk& chunk : ready) {
        *written_ += chunk.ByteSizeLong();
        call_->Write(chunk);
        Chunk().Swap(&chunk);
      }
      if (done) {
        if (read_->status().ok()) {
          call_->Finish();
        } else {
          log_failure_(read_->status());
          call_->Fail(ToAppStatus(read_->status()));
        }
        return End();
      }
      if (!post_) continue;
      // Past the queue's mark the drain callback goes on.
      if (call_->queued_bytes() > kQueueBytes) return;
      scheduled_ = true;
      std::shared_ptr<ReadStream> self = this->shared_from_this();
      post_([self] { self->Pump(); });
      return;
    }
  }

  void End() {
    read_.reset();
    call_->set_drain_callback(0, nullptr);  // it holds this stream
  }

  std::unique_ptr<Read> read_;
  const Call call_;
  const Poster post_;
  const size_t slice_records_;
  const FailureLog log_failure_;
  bool scheduled_ = false;  // a Pump is posted
  const std::shared_ptr<size_t> written_ = std::make_shared<size_t>(0);
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_READ_STREAM_H_

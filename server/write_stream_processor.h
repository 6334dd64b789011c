#ifndef TARNIX_SERVER_WRITE_STREAM_PROCESSOR_H_
#define TARNIX_SERVER_WRITE_STREAM_PROCESSOR_H_

#include <cstddef>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "platform/rpc/call.h"
#include "server/call_reply.h"
#include "server/write_stream_budget.h"
#include "write/write_op.h"
#include "write/write_transactions.h"

namespace tarnix {

// What the I/O thread made of a write stream's message (Put only).
struct PreparedRead : orv::rpc::RequestExtra {
  PreparedRequest request;
};

// Buffers the request messages of one write stream of the operation
// WriteOpDescription<Req> describes and, when the client ends the stream
// normally, runs its write transaction once over all of them. The buffered
// bytes are counted against `budget`: a message that would pass one of its
// caps fails the call with RESOURCE_EXHAUSTED, drops every buffered message
// and makes the processor ignore the rest of the stream. Created per stream
// by the service and deleted by the framework after OnRelease (the default
// one). Runs on the RPC event-loop thread.
template <class Req, class Resp>
class WriteStreamProcessor : public orv::rpc::CallObserver<Req> {
 public:
  using CallPtr = boost::intrusive_ptr<orv::rpc::CallHandle<Resp>>;

  // The stream runs on `writes` and is answered on `call`. `writes` and
  // `budget` must outlive the processor. `refused`: the entry point failed
  // the call, so the write never runs.
  WriteStreamProcessor(std::string client_id, WriteTransactions* writes, CallPtr call,
                       WriteStreamBudget* budget, bool refused = false)
      : client_id_(std::move(client_id)),
        writes_(writes),
        call_(std::move(call)),
        operation_(WriteOpDescription<Req>::kName),
        budget_(budget),
        refused_(refused),
        prepared_(writes->request_log_bound()) {}
  ~WriteStreamProcessor() override { Drop(); }

  void OnMessage(const Req& message) override {
    if (!Admit(message)) return;
    requests_.push_back(message);
    prepared_.Add(PreparedRequest());
  }
  void TakeMessage(Req&& message, std::unique_ptr<orv::rpc::RequestExtra> extra) override {
    if (!Admit(message)) return;
    requests_.push_back(std::move(message));
    auto* read = dynamic_cast<PreparedRead*>(extra.get());
    prepared_.Add(read != nullptr ? std::move(read->request) : PreparedRequest());
  }

  // A stream that ended with an error is only logged. A refused call never
  // runs its body, whatever status the framework reports for it.
  void OnComplete(const orv::rpc::Status& status) override {
    if (!status.ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0006", "Received an error for %s: %s", operation_,
                 status.ToString().c_str());
    } else if (!refused_) {
      CallReply<Resp> reply(call_);
      writes_->Run(client_id_, &reply, &requests_, prepared_.requests());
    }
    Drop();
  }

  // Messages held for the body, and their serialised bytes.
  size_t buffered() const { return requests_.size(); }
  size_t buffered_bytes() const { return held_bytes_; }

 private:
  // Whether `message` is to be kept. A refused call keeps nothing: its
  // messages would never be used. A message past the budget fails the call.
  bool Admit(const Req& message) {
    if (refused_) return false;
    const orv::rpc::AppStatus status = budget_->Take(message.ByteSizeLong(), &held_bytes_);
    if (status.ok()) return true;
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0010", "%s stream of client %s failed: %s", operation_,
               client_id_.c_str(), status.message().c_str());
    refused_ = true;
    Drop();
    call_->Fail(status);
    return false;
  }

  // Frees the buffered messages and gives their bytes back.
  void Drop() {
    requests_.clear();
    prepared_.Clear();
    budget_->Release(&held_bytes_);
  }

  const std::string client_id_;
  WriteTransactions* const writes_;
  CallPtr call_;
  const char* const operation_;
  WriteStreamBudget* const budget_;
  bool refused_;
  std::list<Req> requests_;
  PreparedStream prepared_;  // one per message of requests_
  size_t held_bytes_ = 0;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_WRITE_STREAM_PROCESSOR_H_

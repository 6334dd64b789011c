#ifndef TARNIX_WRITE_REQUEST_STREAM_H_
#define TARNIX_WRITE_REQUEST_STREAM_H_

#include <cstdint>
#include <list>
#include <vector>

#include "platform/wft/workflow_util.h"
#include "schema/key_reader.h"
#include "util/status.h"
#include "write/entry_scope.h"
#include "write/prepared_request.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/workflow_contexts.h"
#include "write/write_op.h"

namespace tarnix {

// The request messages of one write stream, as the transaction runner sees
// them whatever their operation. Borrows the messages, which Preprocess
// consumes.
class RequestStream {
 public:
  explicit RequestStream(const WriteOpInfo& op) : op(op) {}
  virtual ~RequestStream() = default;

  virtual bool empty() const = 0;
  // The serialised size of all messages.
  virtual int64_t ByteSize() const = 0;
  // One TraceInfo per entry with a span context, in stream order.
  virtual void CollectWorkflowContexts(std::list<orv::wft::TraceInfo>* out) const = 0;
  // REQUIRES: !empty(). Records each message in `log` unless it is null,
  // and turns every entry into pending operations of scope.processor through
  // the operation's entry step, releasing each message once done with it.
  // *sync gets the `sync` field of the first message and *entries the
  // number of entries. Entries without vdb ids apply to the vdbs of the
  // nearest earlier entry that named some ({1} at first). Fails with the
  // first entry step's failure.
  virtual Status Preprocess(const EntryScope& scope, TarnixTransactionLog* log, bool* sync,
                            uint64_t* entries) = 0;

  const WriteOpInfo op;
};

// The workflow contexts of a stream of Req, as RequestStream gives them.
template <class Req>
void CollectWorkflowContexts(const std::list<Req>& requests, std::list<orv::wft::TraceInfo>* out) {
  for (const Req& request : requests) {
    for (const auto& entry : WriteOpDescription<Req>::Entries(request)) {
      if (const caldek::orv::tarnix::SpanContextMsg* span = SpanOf(entry)) {
        out->push_back(ToTraceInfo(*span));
      }
    }
  }
}

// A stream of Req. `prepared`, when not null, holds per message what
// PrepareRequest made of it on another thread, which is then not done again.
template <class Req>
class RequestStreamOf : public RequestStream {
 public:
  using Op = WriteOpDescription<Req>;

  RequestStreamOf(std::list<Req>* requests, std::vector<PreparedRequest>* prepared)
      : RequestStream(WriteOpInfo::Of<Req>()), requests_(requests), prepared_(prepared) {}

  bool empty() const override { return requests_->empty(); }
  int64_t ByteSize() const override {
    int64_t size = 0;
    for (const Req& request : *requests_) size += static_cast<int64_t>(request.ByteSizeLong());
    return size;
  }
  void CollectWorkflowContexts(std::list<orv::wft::TraceInfo>* out) const override {
    tarnix::CollectWorkflowContexts(*requests_, out);
  }

  Status Preprocess(const EntryScope& scope, TarnixTransactionLog* log, bool* sync,
                    uint64_t* entries) override {
    *sync = requests_->front().has_sync() && requests_->front().sync();
    // A stream too large for the log is known before any request is copied.
    if (log != nullptr) {
      size_t i = 0;
      for (const Req& request : *requests_) log->MeasureRequest(request, UnitOf(PreparedFor(i++)));
    }
    size_t stream_entries = 0;
    for (const Req& request : *requests_) {
      stream_entries += Op::Entries(request).size();
      for (const auto& entry : Op::Entries(request)) ForeseeEntry(scope, entry);
    }
    scope.processor->Reserve(stream_entries);
    VdbIdSet vdb_ids{kMainVdbId};
    *entries = 0;
    for (size_t message = 0; !requests_->empty(); ++message) {
      Req& request = requests_->front();
      PreparedRequest* read = PreparedFor(message);
      if (log != nullptr) log->AddMeasuredRequest(request, UnitOf(read));
      auto* list = Op::Entries(&request);
      for (int i = 0; i < list->size(); ++i) {
        const bool offered = read != nullptr && static_cast<size_t>(i) < read->keys.keys.size();
        if (offered) scope.keys->Offer(read->keys.snapshot.get(), &read->keys.keys[i]);
        Status status = Op::AddEntry(scope, list->Mutable(i), &vdb_ids);
        // An entry step that read no key leaves no offer behind.
        if (offered) scope.keys->Offer(nullptr, nullptr);
        if (!status.ok()) return status;
      }
      *entries += list->size();
      // Bodies already moved into the pending operations; free the rest now.
      requests_->pop_front();
      if (read != nullptr) *read = PreparedRequest();
    }
    return Status::OK();
  }

 private:
  // What another thread made of message `i`, or null.
  PreparedRequest* PreparedFor(size_t i) const {
    return prepared_ != nullptr && i < prepared_->size() ? &(*prepared_)[i] : nullptr;
  }
  static std::string* UnitOf(PreparedRequest* read) {
    return read != nullptr && read->has_log_unit ? &read->log_unit : nullptr;
  }

  std::list<Req>* const requests_;
  std::vector<PreparedRequest>* const prepared_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_REQUEST_STREAM_H_

#ifndef TARNIX_WRITE_PREPROCESS_FRAME_H_
#define TARNIX_WRITE_PREPROCESS_FRAME_H_

// The preprocessing frame that every write stream shares; included only by
// the files of WriteTransactions.

#include <optional>

#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/write_op.h"
#include "write/write_transactions.h"

namespace tarnix {

namespace preprocess_internal {

// An entry's span context, or null when the entry carries none.
inline const caldek::orv::tarnix::SpanContextMsg* SpanOf(
    bool has, const caldek::orv::tarnix::SpanContextMsg& span) {
  return has ? &span : nullptr;
}

}  // namespace preprocess_internal

// The vdb-id set is carried from entry to entry across the whole stream.
template <class Req>
Status WriteTransactions::PreprocessRequests(const EntryScope& scope, bool tracing,
                                             bool record_requests, std::list<Req>* requests,
                                             std::vector<PreparedRequest>* prepared,
                                             TarnixTransactionLog* log, bool* sync) {
  using Op = WriteOpDescription<Req>;
  metrics::ScopedLatencyTimer timer(metrics_->preprocess(Op::kOp));
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace(Op::kPreprocessSpan, 2);
  if (requests->empty()) {
    return Status::InvalidArgument("Received empty request from " + scope.client_id);
  }
  *sync = requests->front().has_sync() && requests->front().sync();
  // What another thread made of message `i`, or null.
  auto prepared_for = [prepared](size_t i) -> PreparedRequest* {
    return prepared != nullptr && i < prepared->size() ? &(*prepared)[i] : nullptr;
  };
  auto unit_of = [](PreparedRequest* read) {
    return read != nullptr && read->has_log_unit ? &read->log_unit : nullptr;
  };
  // A stream too large for the log is known before any request is copied.
  if (record_requests) {
    size_t i = 0;
    for (const Req& request : *requests) log->MeasureRequest(request, unit_of(prepared_for(i++)));
  }
  size_t stream_entries = 0;
  for (Req& request : *requests) stream_entries += Op::Entries(&request)->size();
  scope.processor->Reserve(stream_entries);
  VdbIdSet vdb_ids{kMainVdbId};
  uint64_t entries = 0;
  for (size_t message = 0; !requests->empty(); ++message) {
    Req& request = requests->front();
    PreparedRequest* read = prepared_for(message);
    if (record_requests) log->AddMeasuredRequest(request, unit_of(read));
    auto* list = Op::Entries(&request);
    for (int i = 0; i < list->size(); ++i) {
      const bool offered = read != nullptr && static_cast<size_t>(i) < read->keys.keys.size();
      if (offered) scope.keys->Offer(read->keys.snapshot.get(), &read->keys.keys[i]);
      Status status = AddEntry(scope, list->Mutable(i), &vdb_ids);
      // An entry step that read no key leaves no offer behind.
      if (offered) scope.keys->Offer(nullptr, nullptr);
      if (!status.ok()) return status;
    }
    entries += list->size();
    // Bodies already moved into the pending operations; free the rest now.
    requests->pop_front();
    if (read != nullptr) *read = PreparedRequest();
  }
  metrics_->request_count(Op::kOp)->update(entries);
  return Status::OK();
}

}  // namespace tarnix

#endif  // TARNIX_WRITE_PREPROCESS_FRAME_H_

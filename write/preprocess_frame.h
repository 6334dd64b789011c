#ifndef TARNIX_WRITE_PREPROCESS_FRAME_H_
#define TARNIX_WRITE_PREPROCESS_FRAME_H_

// The preprocessing frame that every write stream shares; included only by
// the preprocessing files of WriteTransactions.

#include <optional>

#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "write/status_helpers.h"
#include "write/tarnix_transaction_log.h"
#include "write/write_transactions.h"

namespace tarnix {

namespace preprocess_internal {

namespace tx = caldek::orv::tarnix;

inline auto* MutableEntries(tx::PutRequestMsg* r) { return r->mutable_puts(); }
inline auto* MutableEntries(tx::DeleteRequestMsg* r) { return r->mutable_deletes(); }
inline auto* MutableEntries(tx::FlushRequestMsg* r) { return r->mutable_flushes(); }
inline auto* MutableEntries(tx::PatchRequestMsg* r) { return r->mutable_patches(); }
inline auto* MutableEntries(tx::CopyRequestMsg* r) { return r->mutable_copies(); }
inline auto* MutableEntries(tx::FlushByBlockIdRequestMsg* r) { return r->mutable_flushes(); }
inline auto* MutableEntries(tx::ModifyRequestMsg* r) { return r->mutable_modifies(); }

// An entry's span context, or null when the entry carries none.
inline const tx::SpanContextMsg* SpanOf(bool has, const tx::SpanContextMsg& span) {
  return has ? &span : nullptr;
}

}  // namespace preprocess_internal

// `step(entry, &vdb_ids)` handles one entry; the vdb-id set is carried from
// entry to entry across the whole stream.
template <class Req, class EntryStep>
Status WriteTransactions::Preprocess(WriteOp op, const char* span_name,
                                     const std::string& client_id, bool tracing,
                                     bool record_requests, std::list<Req>* requests,
                                     TarnixTransactionLog* log, bool* sync, EntryStep step) {
  metrics::ScopedLatencyTimer timer(metrics_->preprocess(op));
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace(span_name, 2);
  if (requests->empty()) {
    return Status::InvalidArgument("Received empty request from " + client_id);
  }
  *sync = requests->front().has_sync() && requests->front().sync();
  VdbIdSet vdb_ids{kMainVdbId};
  uint64_t entries = 0;
  while (!requests->empty()) {
    Req& request = requests->front();
    if (record_requests) log->RecordRequest(request);
    auto* list = preprocess_internal::MutableEntries(&request);
    for (auto& entry : *list) {
      Status status = step(&entry, &vdb_ids);
      if (!status.ok()) return status;
    }
    entries += list->size();
    // Bodies already moved into the pending operations; free the rest now.
    requests->pop_front();
  }
  metrics_->request_count(op)->update(entries);
  return Status::OK();
}

}  // namespace tarnix

#endif  // TARNIX_WRITE_PREPROCESS_FRAME_H_

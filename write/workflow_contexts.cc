#include "write/workflow_contexts.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

// `entries` picks the repeated entry field of one request message.
template <typename Request, typename Entries>
void Collect(const std::list<Request>& requests, Entries entries,
             std::list<orv::wft::TraceInfo>* out) {
  for (const Request& request : requests) {
    for (const auto& entry : entries(request)) {
      if (entry.has_span_context()) out->push_back(ToTraceInfo(entry.span_context()));
    }
  }
}

}  // namespace

orv::wft::TraceInfo ToTraceInfo(const tx::SpanContextMsg& span) {
  orv::wft::TraceInfo info;
  info.trace_id_high = span.trace_id_high();
  info.trace_id_low = span.trace_id_low();
  info.span_id = span.span_id();
  info.parent_span_id = span.parent_span_id();
  info.sampled = span.sampled();  // defaults to true
  for (const auto& item : span.baggage()) info.baggage[item.key()] = item.value();
  return info;
}

void CollectPutWorkflowContexts(const std::list<tx::PutRequestMsg>& requests,
                                std::list<orv::wft::TraceInfo>* out) {
  Collect(requests, [](const tx::PutRequestMsg& r) -> const auto& { return r.puts(); }, out);
}

void CollectDeleteWorkflowContexts(const std::list<tx::DeleteRequestMsg>& requests,
                                   std::list<orv::wft::TraceInfo>* out) {
  Collect(requests, [](const tx::DeleteRequestMsg& r) -> const auto& { return r.deletes(); },
          out);
}

void CollectFlushWorkflowContexts(const std::list<tx::FlushRequestMsg>& requests,
                                  std::list<orv::wft::TraceInfo>* out) {
  Collect(requests, [](const tx::FlushRequestMsg& r) -> const auto& { return r.flushes(); },
          out);
}

void CollectPatchWorkflowContexts(const std::list<tx::PatchRequestMsg>& requests,
                                  std::list<orv::wft::TraceInfo>* out) {
  Collect(requests, [](const tx::PatchRequestMsg& r) -> const auto& { return r.patches(); },
          out);
}

void CollectCopyWorkflowContexts(const std::list<tx::CopyRequestMsg>& requests,
                                 std::list<orv::wft::TraceInfo>* out) {
  Collect(requests, [](const tx::CopyRequestMsg& r) -> const auto& { return r.copies(); }, out);
}

void CollectFlushByBlockIdWorkflowContexts(
    const std::list<tx::FlushByBlockIdRequestMsg>& requests,
    std::list<orv::wft::TraceInfo>* out) {
  Collect(requests,
          [](const tx::FlushByBlockIdRequestMsg& r) -> const auto& { return r.flushes(); }, out);
}

void CollectModifyWorkflowContexts(const std::list<tx::ModifyRequestMsg>& requests,
                                   std::list<orv::wft::TraceInfo>* out) {
  for (const tx::ModifyRequestMsg& request : requests) {
    for (const tx::ModifyMsg& entry : request.modifies()) {
      const tx::SpanContextMsg* span = nullptr;
      if (entry.has_put_msg() && entry.put_msg().has_span_context()) {
        span = &entry.put_msg().span_context();
      } else if (entry.has_delete_msg() && entry.delete_msg().has_span_context()) {
        span = &entry.delete_msg().span_context();
      } else if (entry.has_flush_msg() && entry.flush_msg().has_span_context()) {
        span = &entry.flush_msg().span_context();
      } else if (entry.has_patch_msg() && entry.patch_msg().has_span_context()) {
        span = &entry.patch_msg().span_context();
      } else if (entry.has_copy_msg() && entry.copy_msg().has_span_context()) {
        span = &entry.copy_msg().span_context();
      } else if (entry.has_flush_by_block_id_msg() &&
                 entry.flush_by_block_id_msg().has_span_context()) {
        span = &entry.flush_by_block_id_msg().span_context();
      }
      if (span != nullptr) out->push_back(ToTraceInfo(*span));
    }
  }
}

}  // namespace tarnix

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

}  // namespace tarnix

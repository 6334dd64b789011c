#include "write/workflow_contexts.h"

namespace tarnix {

orv::wft::TraceInfo ToTraceInfo(const caldek::orv::tarnix::SpanContextMsg& span) {
  orv::wft::TraceInfo info;
  info.trace_id_high = span.trace_id_high();
  info.trace_id_low = span.trace_id_low();
  info.span_id = span.span_id();
  info.parent_span_id = span.parent_span_id();
  info.sampled = span.sampled();  // defaults to true
  for (const auto& item : span.baggage()) info.baggage[item.key()] = item.value();
  return info;
}

}  // namespace tarnix

#ifndef TARNIX_WRITE_WORKFLOW_CONTEXTS_H_
#define TARNIX_WRITE_WORKFLOW_CONTEXTS_H_

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/wft/workflow_util.h"

namespace tarnix {

// One span context as a trace info, so that a transaction's span can
// continue it; an absent `sampled` reads as true and a later baggage item
// overwrites an earlier one of the same key.
orv::wft::TraceInfo ToTraceInfo(const caldek::orv::tarnix::SpanContextMsg& span);

}  // namespace tarnix

#endif  // TARNIX_WRITE_WORKFLOW_CONTEXTS_H_

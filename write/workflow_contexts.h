#ifndef TARNIX_WRITE_WORKFLOW_CONTEXTS_H_
#define TARNIX_WRITE_WORKFLOW_CONTEXTS_H_

#include <list>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/wft/workflow_util.h"

namespace tarnix {

// The tracing contexts of a write stream's entries, so that the
// transaction's span can continue all of them. Each appends to `out` one
// TraceInfo per entry that carries a span context, in stream order.
// Called only while tracing is on.
void CollectPutWorkflowContexts(const std::list<caldek::orv::tarnix::PutRequestMsg>& requests,
                                std::list<orv::wft::TraceInfo>* out);
void CollectDeleteWorkflowContexts(
    const std::list<caldek::orv::tarnix::DeleteRequestMsg>& requests,
    std::list<orv::wft::TraceInfo>* out);
void CollectFlushWorkflowContexts(const std::list<caldek::orv::tarnix::FlushRequestMsg>& requests,
                                  std::list<orv::wft::TraceInfo>* out);
void CollectPatchWorkflowContexts(const std::list<caldek::orv::tarnix::PatchRequestMsg>& requests,
                                  std::list<orv::wft::TraceInfo>* out);
void CollectCopyWorkflowContexts(const std::list<caldek::orv::tarnix::CopyRequestMsg>& requests,
                                 std::list<orv::wft::TraceInfo>* out);
void CollectFlushByBlockIdWorkflowContexts(
    const std::list<caldek::orv::tarnix::FlushByBlockIdRequestMsg>& requests,
    std::list<orv::wft::TraceInfo>* out);

// Per Modify entry, the span context of its one sub-message, if any.
void CollectModifyWorkflowContexts(
    const std::list<caldek::orv::tarnix::ModifyRequestMsg>& requests,
    std::list<orv::wft::TraceInfo>* out);

// One span context as a trace info; an absent `sampled` reads as true.
orv::wft::TraceInfo ToTraceInfo(const caldek::orv::tarnix::SpanContextMsg& span);

}  // namespace tarnix

#endif  // TARNIX_WRITE_WORKFLOW_CONTEXTS_H_

#ifndef TARNIX_WRITE_WRITE_OP_H_
#define TARNIX_WRITE_WRITE_OP_H_

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "write/workflow_contexts.h"
#include "write/write_metrics.h"

namespace tarnix {

// The description of each write operation, keyed by its request message:
// its metric slot, its name in log lines, the names of its body's and its
// preprocessing's spans, the entries of one request and how their workflow
// contexts are collected. How one entry is validated and preprocessed is the
// WriteTransactions::AddEntry overload for its Entry type. kSampled: the
// operation samples the write telemetry and logs its size and completion.
// WriteTransactions runs every operation from this description alone.
template <class Req>
struct WriteOpDescription;

template <>
struct WriteOpDescription<caldek::orv::tarnix::PutRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kPut;
  static constexpr const char* kName = "Put";
  static constexpr const char* kSpan = "PutImpl";
  static constexpr const char* kPreprocessSpan = "PutRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectPutWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::PutRequestMsg* r) { return r->mutable_puts(); }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::DeleteRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kDelete;
  static constexpr const char* kName = "Delete";
  static constexpr const char* kSpan = "DeleteImpl";
  static constexpr const char* kPreprocessSpan = "DeleteRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectDeleteWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::DeleteRequestMsg* r) { return r->mutable_deletes(); }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::FlushRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kFlush;
  static constexpr const char* kName = "Flush";
  static constexpr const char* kSpan = "FlushImpl";
  static constexpr const char* kPreprocessSpan = "FlushRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectFlushWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::FlushRequestMsg* r) { return r->mutable_flushes(); }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::PatchRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kPatch;
  static constexpr const char* kName = "Patch";
  static constexpr const char* kSpan = "PatchImpl";
  static constexpr const char* kPreprocessSpan = "PatchRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectPatchWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::PatchRequestMsg* r) { return r->mutable_patches(); }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::CopyRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kCopy;
  static constexpr const char* kName = "Copy";
  static constexpr const char* kSpan = "CopyImpl";
  static constexpr const char* kPreprocessSpan = "CopyRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectCopyWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::CopyRequestMsg* r) { return r->mutable_copies(); }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::FlushByBlockIdRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kFlushByBlockId;
  static constexpr const char* kName = "FlushByBlockId";
  static constexpr const char* kSpan = "FlushByBlockIdImpl";
  static constexpr const char* kPreprocessSpan = "FlushByBlockIdRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static constexpr auto kCollectContexts = &CollectFlushByBlockIdWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::FlushByBlockIdRequestMsg* r) {
    return r->mutable_flushes();
  }
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::ModifyRequestMsg> {
  static constexpr WriteOp kOp = WriteOp::kModify;
  static constexpr const char* kName = "Modify";
  static constexpr const char* kSpan = "ModifyImpl";
  static constexpr const char* kPreprocessSpan = "ModifyRequest.PreprocessRequests";
  static constexpr bool kSampled = true;
  static constexpr auto kCollectContexts = &CollectModifyWorkflowContexts;
  static auto* Entries(caldek::orv::tarnix::ModifyRequestMsg* r) { return r->mutable_modifies(); }
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_OP_H_

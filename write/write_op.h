#ifndef TARNIX_WRITE_WRITE_OP_H_
#define TARNIX_WRITE_WRITE_OP_H_

// The write operations, each described once. The runner (WriteTransactions),
// the stream entry points, the metrics and the spans are all built from these
// descriptions; README.md, "Adding a write operation", lists what a new one
// takes.

#include <cstddef>
#include <type_traits>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/vdb_id_set.h"
#include "util/status.h"
#include "write/entry_scope.h"

namespace tarnix {

// The description of the write operation whose stream carries messages of
// type Req:
//   Response        the message that answers the stream;
//   Entry           the type of one entry of a request;
//   kName           the RPC method and the operation's name in log lines;
//   kMetricName     its part of "server/latency/<name>/preprocess" and the
//                   other write metrics;
//   kSpan           the span of its body;
//   kPreprocessSpan the span of its preprocessing;
//   kSampled        it samples the write telemetry and logs its size and
//                   completion;
//   Entries()       the entries of one request (const and mutable);
//   AddEntry()      its entry step: validates one entry and adds its
//                   operations to scope.processor; may narrow or replace
//                   *vdb_ids, the set carried from entry to entry.
// An entry's span context is SpanOf(entry). The workflow contexts of a
// stream are those of its entries (CollectWorkflowContexts).
template <class Req>
struct WriteOpDescription;

template <>
struct WriteOpDescription<caldek::orv::tarnix::PutRequestMsg> {
  using Response = caldek::orv::tarnix::PutResponseMsg;
  using Entry = caldek::orv::tarnix::PutMsg;
  static constexpr const char* kName = "Put";
  static constexpr const char* kMetricName = "put";
  static constexpr const char* kSpan = "PutImpl";
  static constexpr const char* kPreprocessSpan = "PutRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::PutRequestMsg& r) { return r.puts(); }
  static auto* Entries(caldek::orv::tarnix::PutRequestMsg* r) { return r->mutable_puts(); }
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::DeleteRequestMsg> {
  using Response = caldek::orv::tarnix::DeleteResponseMsg;
  using Entry = caldek::orv::tarnix::DeleteMsg;
  static constexpr const char* kName = "Delete";
  static constexpr const char* kMetricName = "delete";
  static constexpr const char* kSpan = "DeleteImpl";
  static constexpr const char* kPreprocessSpan = "DeleteRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::DeleteRequestMsg& r) { return r.deletes(); }
  static auto* Entries(caldek::orv::tarnix::DeleteRequestMsg* r) { return r->mutable_deletes(); }
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::FlushRequestMsg> {
  using Response = caldek::orv::tarnix::FlushResponseMsg;
  using Entry = caldek::orv::tarnix::FlushMsg;
  static constexpr const char* kName = "Flush";
  static constexpr const char* kMetricName = "flush";
  static constexpr const char* kSpan = "FlushImpl";
  static constexpr const char* kPreprocessSpan = "FlushRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::FlushRequestMsg& r) { return r.flushes(); }
  static auto* Entries(caldek::orv::tarnix::FlushRequestMsg* r) { return r->mutable_flushes(); }
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::PatchRequestMsg> {
  using Response = caldek::orv::tarnix::PatchResponseMsg;
  using Entry = caldek::orv::tarnix::PatchMsg;
  static constexpr const char* kName = "Patch";
  static constexpr const char* kMetricName = "patch";
  static constexpr const char* kSpan = "PatchImpl";
  static constexpr const char* kPreprocessSpan = "PatchRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::PatchRequestMsg& r) { return r.patches(); }
  static auto* Entries(caldek::orv::tarnix::PatchRequestMsg* r) { return r->mutable_patches(); }
  // Notes the patched object in scope.cache within Modify streams.
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::CopyRequestMsg> {
  using Response = caldek::orv::tarnix::CopyResponseMsg;
  using Entry = caldek::orv::tarnix::CopyMsg;
  static constexpr const char* kName = "Copy";
  static constexpr const char* kMetricName = "copy";
  static constexpr const char* kSpan = "CopyImpl";
  static constexpr const char* kPreprocessSpan = "CopyRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::CopyRequestMsg& r) { return r.copies(); }
  static auto* Entries(caldek::orv::tarnix::CopyRequestMsg* r) { return r->mutable_copies(); }
  // Within Modify the text for an unregistered source vdb differs.
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::FlushByBlockIdRequestMsg> {
  using Response = caldek::orv::tarnix::FlushByBlockIdResponseMsg;
  using Entry = caldek::orv::tarnix::FlushByBlockIdMsg;
  static constexpr const char* kName = "FlushByBlockId";
  static constexpr const char* kMetricName = "flush_by_block_id";
  static constexpr const char* kSpan = "FlushByBlockIdImpl";
  static constexpr const char* kPreprocessSpan = "FlushByBlockIdRequest.PreprocessRequests";
  static constexpr bool kSampled = false;
  static const auto& Entries(const caldek::orv::tarnix::FlushByBlockIdRequestMsg& r) {
    return r.flushes();
  }
  static auto* Entries(caldek::orv::tarnix::FlushByBlockIdRequestMsg* r) {
    return r->mutable_flushes();
  }
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

template <>
struct WriteOpDescription<caldek::orv::tarnix::ModifyRequestMsg> {
  using Response = caldek::orv::tarnix::ModifyResponseMsg;
  using Entry = caldek::orv::tarnix::ModifyMsg;
  static constexpr const char* kName = "Modify";
  static constexpr const char* kMetricName = "modify";
  static constexpr const char* kSpan = "ModifyImpl";
  static constexpr const char* kPreprocessSpan = "ModifyRequest.PreprocessRequests";
  static constexpr bool kSampled = true;
  static const auto& Entries(const caldek::orv::tarnix::ModifyRequestMsg& r) {
    return r.modifies();
  }
  static auto* Entries(caldek::orv::tarnix::ModifyRequestMsg* r) { return r->mutable_modifies(); }
  // Exactly one sub-message, added by its own operation's step.
  static Status AddEntry(const EntryScope& scope, Entry* entry, VdbIdSet* vdb_ids);
};

// Tells scope.processor, before the first entry step of a stream runs, what
// an entry's step will ask of it: FlushByBlockId entries name their blocks,
// so that one read of the stored objects serves them all. Other entries
// tell nothing.
inline void ForeseeEntry(const EntryScope&, const google::protobuf::Message&) {}
void ForeseeEntry(const EntryScope& scope, const caldek::orv::tarnix::FlushByBlockIdMsg& entry);
void ForeseeEntry(const EntryScope& scope, const caldek::orv::tarnix::ModifyMsg& entry);

// The span context of a Modify entry is that of its sub-message; declared
// here, before any collector, as the template SpanOf cannot read one.
const caldek::orv::tarnix::SpanContextMsg* SpanOf(const caldek::orv::tarnix::ModifyMsg& entry);

// The operations, by their request messages. A position in this list is the
// operation's metric slot, and metrics are registered in this order.
template <class... Reqs>
struct WriteOpList {
  static constexpr size_t kCount = sizeof...(Reqs);

  template <class Req>
  static constexpr size_t SlotOf() {
    constexpr bool kMatches[] = {std::is_same<Req, Reqs>::value...};
    for (size_t i = 0; i < kCount; ++i) {
      if (kMatches[i]) return i;
    }
    return kCount;
  }

  // Calls f(static_cast<Req*>(nullptr)) for each operation, in order.
  template <class F>
  static void ForEach(F&& f) {
    (f(static_cast<Reqs*>(nullptr)), ...);
  }
};

using WriteOps =
    WriteOpList<caldek::orv::tarnix::PutRequestMsg, caldek::orv::tarnix::DeleteRequestMsg,
                caldek::orv::tarnix::FlushRequestMsg, caldek::orv::tarnix::PatchRequestMsg,
                caldek::orv::tarnix::CopyRequestMsg, caldek::orv::tarnix::FlushByBlockIdRequestMsg,
                caldek::orv::tarnix::ModifyRequestMsg>;

// The metric slot of the operation of Req.
template <class Req>
constexpr size_t kWriteOpSlot = WriteOps::SlotOf<Req>();

// What the runner needs of a description, whatever its operation.
struct WriteOpInfo {
  size_t slot;
  const char* name;
  const char* span;
  const char* preprocess_span;
  bool sampled;

  template <class Req>
  static constexpr WriteOpInfo Of() {
    using Op = WriteOpDescription<Req>;
    static_assert(kWriteOpSlot<Req> < WriteOps::kCount, "an operation missing from WriteOps");
    return {kWriteOpSlot<Req>, Op::kName, Op::kSpan, Op::kPreprocessSpan, Op::kSampled};
  }
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_OP_H_

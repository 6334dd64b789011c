#ifndef TARNIX_QUERY_UPDATE_DELTA_H_
#define TARNIX_QUERY_UPDATE_DELTA_H_

#include <cstddef>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "metrics/metric.h"
#include "query/where_matcher.h"
#include "write/update_request.h"

namespace tarnix {

class Schema;

// Update deltas: what changed in one object between its old and its new
// version, restricted to the fields a monitor's selection names.
//
// A delta is an op message of the object's op type (the result op message)
// read together with the new object as its value message. A changed
// singular field, or a list that was empty or became empty, gets SET or
// CLEAR. A list changed in place gets element edits in order: UPDATE,
// REMOVE and INSERT carry "index", APPEND carries none. Indexes count
// positions in the list left by the earlier edits, so applying the edits in
// order turns the old list into the new one. The new object's list is
// replaced by one operand per edit (the new element for UPDATE, INSERT and
// APPEND, the removed element for REMOVE); the old object's list by the
// old elements that UPDATE edits replaced.
//
// A list's edits come from one of two roads:
//  - patch replay (ExtractRepeatedDelta): when the transaction only patched
//    the object, its own list operations, one per operand; a REMOVE then
//    carries no index and removes the first element equal to its operand,
//    as the patch did;
//  - edit distance (ComputeRepeatedFieldDelta): a Levenshtein alignment of
//    the two lists. A table of more than kMaxEditCells cells is not built:
//    the list gets a single SET and the new object keeps its whole list.
// Replay is a shortcut only: whenever it cannot tell the edits for sure it
// declines and the edit-distance road is taken, so a changed list always
// gets a delta.
//
// Nothing here fails a write or reports to a client; trouble is logged. The
// messages handed in are changed in place and stay the caller's. Holds the
// schema and two latency counters; const methods, no locks. Runs on the RPC
// event-loop thread, as the Schema it reads is not thread-safe.
class UpdateDelta {
 public:
  // Object fields (resp. op-message fields) from the top-level message down
  // to the current nested level.
  using FieldPath = std::vector<const google::protobuf::FieldDescriptor*>;

  // Largest edit table built: 16 M cells (64 MiB).
  static constexpr size_t kMaxEditCells = size_t{1} << 24;
  // New lists of this many elements or more log a warning.
  static constexpr int kLargeListElements = 3000;

  // `schema` is not owned and must outlive this object. The latency
  // counters "server/latency/compute/delta" and
  // "server/latency/compute/repeated_delta" are created in (or shared from)
  // `registry`.
  UpdateDelta(const Schema* schema, orv::metrics::MetricRegistry& registry);

  UpdateDelta(const UpdateDelta&) = delete;
  UpdateDelta& operator=(const UpdateDelta&) = delete;

  // The delta of one message level. For every field F of the new object's
  // type, in declaration order: not selected by `select_op` or unchanged ->
  // cleared from both objects unless F is a key field; selected through a
  // singular nested op message without "self" -> recursion into the two
  // sub-messages (created empty where missing) with the paths extended by F;
  // a changed singular field (or one selected through "self") -> SET, or
  // CLEAR when the new object lacks it; a changed list -> SET when it was
  // empty, CLEAR when it became empty, else the element edits of one of the
  // two roads. Returns true when this level or one below left an operation
  // in `result_op`. `type_name` and `id` name the top-level object in
  // `pending_requests` (the transaction's table, or null); `trace` opens
  // the workflow span "ComputeDelta". At log level 5 and above a replayed
  // list is also computed by edit distance and a difference is logged.
  // REQUIRES: `select_op` is not null, of the op type of the objects, and
  // has no set "self" (the caller takes the whole-object road then);
  // `old_object`, `new_object` and `result_op` are not null, the objects of
  // one type and `result_op` of its op type; the paths lead from the
  // top-level object type to this level.
  bool ComputeDelta(const std::string& type_name, const std::string& id, bool trace,
                    const google::protobuf::Message* select_op,
                    google::protobuf::Message* old_object, google::protobuf::Message* new_object,
                    google::protobuf::Message* result_op, const FieldPath& object_path,
                    const FieldPath& op_path,
                    const TransactionRequestTable* pending_requests) const;

  // Patch replay of list `field` (op field `op_field`) at the level the
  // paths lead to. Declines (false, nothing changed) when: there is no
  // table or no entry for the object; one of its pending requests puts,
  // deletes or copies, or they do not all carry the same vdbs; a patch does
  // not parse, holds "self" at the top or along the op path, or has an
  // operation other than INSERT, APPEND, REMOVE and UPDATE (SET only as the
  // object's one request); an INSERT, UPDATE or SET does not carry exactly
  // one element; no patch touched the field. Otherwise writes the replayed
  // edits into `op_field` of `result_op`, replaces `field` of `new_object`
  // by their operands and returns true.
  // REQUIRES: as ComputeDelta; `field` is a repeated field of
  // `new_object`'s type, `op_field` the repeated field of the same name of
  // `result_op`'s type, and `result_op` holds no element of it yet.
  bool ExtractRepeatedDelta(const std::string& type_name, const std::string& id,
                            const google::protobuf::FieldDescriptor* field,
                            const google::protobuf::FieldDescriptor* op_field,
                            google::protobuf::Message* new_object,
                            google::protobuf::Message* result_op, const FieldPath& object_path,
                            const FieldPath& op_path,
                            const TransactionRequestTable* pending_requests) const;

  // The edit-distance delta of list `field`: writes the edits into
  // `op_field` of `result_op` and replaces `field` of `old_object` and
  // `new_object` by the replaced and the operand elements. Elements compare
  // as AttributeValues (messages by serialised bytes, floats by ==). Ties in
  // the alignment prefer a substitution, then a removal, then an insertion.
  // Above kMaxEditCells cells: a single SET, both lists left whole. `trace`
  // opens the workflow span "ComputeRepeatedFieldDelta".
  // REQUIRES: as ExtractRepeatedDelta, with `old_object` of the same type.
  void ComputeRepeatedFieldDelta(bool trace, const google::protobuf::FieldDescriptor* field,
                                 const google::protobuf::FieldDescriptor* op_field,
                                 google::protobuf::Message* old_object,
                                 google::protobuf::Message* new_object,
                                 google::protobuf::Message* result_op) const;

  // The cell count of the edit table of lists of n and m elements,
  // (n + 1) * (m + 1), in *cells; false when it overflows size_t or exceeds
  // kMaxEditCells.
  static bool EditTableFits(size_t n, size_t m, size_t* cells);

 private:
  using Message = google::protobuf::Message;
  using Field = google::protobuf::FieldDescriptor;

  // ComputeDelta's step for a selected, changed list.
  void ComputeListDelta(const std::string& type_name, const std::string& id, bool trace,
                        const Field* field, const Field* op_field, const Message& old_as_given,
                        Message* old_object, Message* new_object, Message* result_op,
                        const FieldPath& object_path, const FieldPath& op_path,
                        const TransactionRequestTable* pending_requests) const;
  // Recomputes a replayed list by edit distance and logs a difference.
  void CheckReplay(bool trace, const Field* field, const Field* op_field,
                   const Message& old_as_given, const Message& old_object,
                   const Message& new_before, const Message& result_before,
                   const Message& new_object, const Message& result_op) const;

  const Schema* const schema_;
  const WhereMatcher matcher_;
  const metrics::LatencyMetric delta_latency_;
  const metrics::LatencyMetric repeated_delta_latency_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_UPDATE_DELTA_H_

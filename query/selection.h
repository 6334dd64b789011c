#ifndef TARNIX_QUERY_SELECTION_H_
#define TARNIX_QUERY_SELECTION_H_

#include <string>

#include <google/protobuf/message.h>

#include "query/where_matcher.h"
#include "schema/proto_forward.h"
#include "write/update_request.h"

namespace tarnix {

class Schema;
class UpdateDelta;

// Selections: which fields of an object a statement (query or monitor)
// sends back to its client.
//
// A selection is an op message of the object's op type (SelectMsg field 1,
// parsed by the caller): a set OpMsg leaf selects that field, a set nested
// op message selects inside the sub-message, a set "self" selects the whole
// message of its level. An absent selection (null) selects the whole object.
//
// Applying a selection fills a result op message, an empty message of the
// object's op type that the caller creates (SchemaTypes::NewMessage) and
// serialises: SET (present, changed) or CLEAR (deleted) on every selected
// field the object holds, or on "self" for the whole object. It also prunes
// the object to its selected fields; key fields are never pruned. A result
// left empty serialises to "" and means nothing to send.
//
// Nothing here fails a request or aborts, whatever selection a client sent:
// a field the op type lacks is not selected, and malformed parts are logged.
// Holds no state besides the schema; const methods, no locks; runs on the
// RPC event-loop thread.
class Selection {
 public:
  // `schema` is not owned and must outlive the selection.
  explicit Selection(const Schema* schema) : schema_(schema), matcher_(schema) {}
  // Also applies selections to updates, through `deltas` (not owned; must
  // outlive the selection).
  Selection(const Schema* schema, const UpdateDelta* deltas)
      : schema_(schema), matcher_(schema), deltas_(deltas) {}

  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;

  // True when `select_op` is an acceptable selection: every leaf says
  // SELECT, "self" is the only set field of its level when set, and below a
  // repeated message field only "self" is selected. `in_repeated` is false
  // for a statement's selection; the walk passes true for the nested op
  // message of a repeated field. An absent or empty `select_op` is
  // acceptable. On false one ERROR line says why.
  bool ParseSelectMsg(const google::protobuf::Message* select_op, bool in_repeated) const;

  // An object reported as present (a query result, a whole object in an
  // update notification): with "self" or no selection, sets "self" of
  // `result_op` to SET and leaves `object` whole; otherwise
  // ApplyOpToNestedSelfFields with SET.
  // REQUIRES: `object` and `result_op` are not null; `result_op` is an
  // empty message of the object's op type, and so is `select_op` when
  // given.
  void ApplySelectionOnSet(const google::protobuf::Message* select_op,
                           google::protobuf::Message* object,
                           google::protobuf::Message* result_op) const;

  // A deleted object in a delete notification: `value` (a message of the
  // object type, supplied by the caller) receives the object's key fields
  // only, whatever is selected; then as ApplySelectionOnSet with CLEAR in
  // place of SET, pruning `deleted_object`. `trace` opens the workflow span
  // "ApplySelectionOnDelete" for the call.
  // REQUIRES: as ApplySelectionOnSet, and `value` is not null and of the
  // object's type.
  void ApplySelectionOnDelete(bool trace, const google::protobuf::Message* select_op,
                              google::protobuf::Message* deleted_object,
                              google::protobuf::Message* value,
                              google::protobuf::Message* result_op) const;

  // A changed object in an update notification: with "self" or no
  // selection, sets "self" of `result_op` to SET and leaves both objects
  // whole; otherwise the delta of the selected fields, computed from the top
  // level by UpdateDelta::ComputeDelta, which prunes both objects.
  // `type_name` and `id` name the object in `pending_requests`, the write
  // transaction's table (or null). `trace` opens the workflow span
  // "ApplySelectionOnUpdate" for the call.
  // REQUIRES: the selection was built with an UpdateDelta (without one the
  // whole object is marked SET, after an ERROR line); `old_object`,
  // `new_object` and `result_op` are not null, the objects of one type and
  // `result_op` an empty message of its op type, as `select_op` when given.
  void ApplySelectionOnUpdate(const std::string& type_name, const std::string& id, bool trace,
                              const google::protobuf::Message* select_op,
                              google::protobuf::Message* old_object,
                              google::protobuf::Message* new_object,
                              google::protobuf::Message* result_op,
                              const TransactionRequestTable* pending_requests) const;

  // The walk shared by the two above, at one message level. For each set
  // field of `object`: not selected by `select_op` and not a key field ->
  // cleared in `object`; not selected but a key -> kept, no operation;
  // selected through a singular nested op message without "self" ->
  // recursion into the sub-messages (the result's sub-message is removed
  // again when the recursion left nothing); otherwise `operation` is set on
  // the field in `result_op` (a new element for a repeated field, "self" of
  // a nested op message). Returns true when this level or one below left an
  // operation in `result_op`. `operation` is SET or CLEAR.
  // REQUIRES: `select_op`, `object` and `result_op` are not null;
  // `select_op` and `result_op` are of the object's op type.
  bool ApplyOpToNestedSelfFields(const google::protobuf::Message* select_op,
                                 caldek::orv::tarnix::OpMsg_Operation operation,
                                 google::protobuf::Message* object,
                                 google::protobuf::Message* result_op) const;

  // The matcher whose MessageHasSelfField picks the whole-message road.
  const WhereMatcher& matcher() const { return matcher_; }

 private:
  const Schema* const schema_;
  const WhereMatcher matcher_;
  const UpdateDelta* const deltas_ = nullptr;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_SELECTION_H_

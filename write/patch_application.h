#ifndef TARNIX_WRITE_PATCH_APPLICATION_H_
#define TARNIX_WRITE_PATCH_APPLICATION_H_

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "util/status.h"

namespace tarnix {

class Schema;

// Applies the op message of a PATCH to an object.
//
// An op message mirrors its object type field by field: a field holds an
// OpMsg (an operation on the whole field) or, for a message field patched
// field by field, a nested op message; a "self" OpMsg applies to the whole
// (sub)message. Operations: SET and CLEAR on anything; INSERT, APPEND,
// REMOVE and UPDATE on repeated fields only. Top-level key fields cannot be
// patched, nor can the top-level message be cleared.
//
// Every refusal is INVALID_ARGUMENT with a text for the client (refusals of
// the walk itself are also logged as ERROR). A failed patch may leave the
// target half patched: callers patch a copy and drop it on failure.
// Stateless apart from the schema, which must outlive it.
class ObjectPatcher {
 public:
  explicit ObjectPatcher(const Schema& schema) : schema_(schema) {}

  // Decodes `body` as an object of `type`, patches it with the op message
  // `op_msg` and the operands `object_value` (both serialised) and writes
  // the serialised result to *patched.
  Status Apply(const std::string& type, const std::string& id, const std::string& body,
               const std::string& object_value, const std::string& op_msg,
               std::string* patched) const;

  // Applies `op` (of the target's op type) to `target`, with operands from
  // `value` (of the target's type; may be null). Below the top level,
  // `parent` holds `target` in `parent_field`; at the top both are null.
  Status PatchNestedMessage(const google::protobuf::Message& op,
                            const google::protobuf::Message* value,
                            google::protobuf::Message* target, google::protobuf::Message* parent,
                            const google::protobuf::FieldDescriptor* parent_field) const;

 private:
  using Message = google::protobuf::Message;
  using Field = google::protobuf::FieldDescriptor;

  // A "self" OpMsg: the whole (sub)message.
  Status PatchMessage(const Message& op, const Message* value, Message* target, Message* parent,
                      const Field* parent_field) const;
  // The op part `sub` of one target field.
  Status PatchDispatch(const Message& sub, const Message* value, Message* target,
                       const Field* field) const;
  Status PatchField(const Message& op, const Message* value, Message* target,
                    const Field* field) const;
  Status PatchNestedField(const Message& sub, const Message* value, Message* target,
                          const Field* field) const;
  Status ApplyRepeatedFieldOp(const Message& op, const Message* value, Message* target,
                              const Field* field) const;
  // Removes, for each element of the value's field, the first equal element
  // of the target's.
  void RemoveMatchingElements(Message* target, const Message& value, const Field* field) const;

  const Schema& schema_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_PATCH_APPLICATION_H_

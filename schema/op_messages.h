#ifndef TARNIX_SCHEMA_OP_MESSAGES_H_
#define TARNIX_SCHEMA_OP_MESSAGES_H_

#include <climits>
#include <cstdint>
#include <string>
#include <unordered_map>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/proto_forward.h"
#include "util/status.h"

namespace tarnix {

class SchemaTypes;

// Op messages: OpMsg leaves ("op", "index") and XOpMsg types whose "self"
// field holds the OpMsg of a whole sub-message. An OpMsg is recognised by
// its full name in any pool the schema has loaded, so op messages decoded
// before a reload keep working; the compiled OpMsg is none. Not
// thread-safe; lookups fill a cache kept across reloads.
class OpMessages {
 public:
  // `types` is not owned and must outlive this.
  explicit OpMessages(const SchemaTypes* types) : types_(types) {}
  OpMessages(const OpMessages&) = delete;
  OpMessages& operator=(const OpMessages&) = delete;

  bool IsOpMsgType(const google::protobuf::Descriptor* type) const;
  bool IsOpMsg(const google::protobuf::Message* message) const;
  int GetOpMsgOperation(const google::protobuf::Message* op_msg) const;
  // 0xFFFFFFFF when "index" is unset.
  uint32_t GetOpMsgIndex(const google::protobuf::Message* op_msg) const;
  // "pkg.XMsg" -> "pkg.XOpMsg".
  std::string GetOpMsgTypeName(const std::string& type_name) const;
  std::string GetOpMsgTypeNameOf(const google::protobuf::Descriptor* type) const;
  // *self: the set "self" OpMsg of a nested op message, or null when unset.
  // FAILED_PRECONDITION, logged, when the op type has no "self" field of
  // type OpMsg (an invalid schema); INVALID_ARGUMENT for a null message.
  Status GetSelfOpMsg(const google::protobuf::Message* nested_op,
                      const google::protobuf::Message** self) const;
  // Writes `op` into the op message held by `field` of `message` (a new
  // element of a repeated field).
  void SetOperation(const google::protobuf::FieldDescriptor* field,
                    caldek::orv::tarnix::OpMsg_Operation op,
                    google::protobuf::Message* message) const;
  // Appends an op element; kNoOpIndex leaves its "index" unset.
  static constexpr int32_t kNoOpIndex = INT32_MIN;
  void AddRepeatedFieldOp(const google::protobuf::FieldDescriptor* field,
                          caldek::orv::tarnix::OpMsg_Operation op,
                          google::protobuf::Message* message, int32_t index) const;

 private:
  struct OpMsgFields {
    const google::protobuf::FieldDescriptor* op;
    const google::protobuf::FieldDescriptor* index;
  };
  // The fields of `type` when it is "caldek.orv.tarnix.OpMsg" of one of the
  // schema's pools (of any generation), else null; cached per type.
  const OpMsgFields* FindOpMsgFields(const google::protobuf::Descriptor* type) const;
  // `part` of the OpMsg `op_msg` when set, else null; logged when `op_msg`
  // is no OpMsg or its type lacks that field.
  const google::protobuf::FieldDescriptor* SetOpMsgField(
      const google::protobuf::Message* op_msg,
      const google::protobuf::FieldDescriptor* OpMsgFields::*part) const;
  // The "self" OpMsg field of `op_type` in *self; a logged
  // FAILED_PRECONDITION when it has none.
  Status SelfOpField(const google::protobuf::Descriptor* op_type,
                     const google::protobuf::FieldDescriptor** self) const;
  // Where an op lands in an element of `field`: the element itself when it
  // is an OpMsg, else its "self" field (returned through *self). False when
  // neither is usable.
  bool ResolveOpTarget(const google::protobuf::FieldDescriptor* field,
                       const google::protobuf::FieldDescriptor** self) const;
  // The value of `op` in the OpMsg an op on an element of `field` lands in,
  // with that target (ResolveOpTarget) in *self and the OpMsg's fields in
  // *fields; null (logged) when there is none.
  const google::protobuf::EnumValueDescriptor* ResolveOp(
      const google::protobuf::FieldDescriptor* field, caldek::orv::tarnix::OpMsg_Operation op,
      const google::protobuf::FieldDescriptor** self, const OpMsgFields** fields) const;

  const SchemaTypes* const types_;
  // OpMsg types met so far, of any generation, with their "op" (enum) and
  // "index" (uint32) fields; a field is null when the type lacks it or types
  // it otherwise. Kept across reloads: messages of old generations stay.
  mutable std::unordered_map<const google::protobuf::Descriptor*, OpMsgFields> op_msg_fields_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_OP_MESSAGES_H_

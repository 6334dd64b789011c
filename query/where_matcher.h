#ifndef TARNIX_QUERY_WHERE_MATCHER_H_
#define TARNIX_QUERY_WHERE_MATCHER_H_

#include <map>
#include <utility>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/attribute_value.h"

namespace tarnix {

class Schema;

// Where-clause matching over op messages.
//
// An op message has the shape of one object type ("pkg.FooMsg" has the op
// type "pkg.FooOpMsg"): each set field names the object field of the same
// name and carries either an OpMsg leaf {op, index} or, for a message field,
// a nested op message; a field "self" of type OpMsg applies its operation
// to the whole message of its level. A where clause is an op message read
// together with a value message (a message of the object type) that holds
// the operands.
//
// Nothing here fails a request: every fault (wrong operation for the kind of
// field, op message of the wrong shape, absent messages) is logged at ERROR
// with a DRX02xx tag and counts as no match. Nothing here aborts, whatever
// op message a client sends: a nested op type without an OpMsg "self" is
// treated as having no "self".
//
// Holds no state besides the schema and, when given, the operand sets of
// one scan; const methods, no locks. Runs on the RPC event-loop thread, as
// the Schema it reads is not thread-safe.
class WhereMatcher {
 public:
  // The distinct elements of the repeated operand fields, built once for a
  // scan that matches every record against the same operands: keyed by the
  // operand message's address, so the messages must stay alive and
  // unchanged while the sets are used.
  using OperandSets = std::map<
      std::pair<const google::protobuf::Message*, const google::protobuf::FieldDescriptor*>,
      AttributeValueHashSet>;

  // `schema` is not owned and must outlive the matcher; so must `operands`,
  // when given (without it each match builds its operand sets anew).
  explicit WhereMatcher(const Schema* schema, OperandSets* operands = nullptr)
      : schema_(schema), operands_(operands) {}

  WhereMatcher(const WhereMatcher&) = delete;
  WhereMatcher& operator=(const WhereMatcher&) = delete;

  // True when `object` satisfies the where clause (`op_msg`, `value`) at
  // this message level: the conjunction of every set field of `op_msg`,
  // evaluated in field-number order with early exit. An op message with no
  // set field matches everything; an absent `op_msg` matches nothing.
  // `value` and `object` may be absent (below the top level an absent
  // sub-message holds no field); when present they must be messages of
  // `type`, otherwise nothing matches. Top-level callers pass the where
  // clause's op and value messages, the parsed object and the value's
  // descriptor.
  bool MatchOpMsg(const google::protobuf::Message* op_msg,
                  const google::protobuf::Message* value,
                  const google::protobuf::Message* object,
                  const google::protobuf::Descriptor* type) const;

  // One op-message field against field `field` of `value` and `object`.
  // `leaf` is the OpMsg or nested op message taken from that op-message
  // field (the first element when repeated). `field` may be null (the op
  // type names a field the object type lacks): it is then held by neither
  // side, so EQUALS matches and everything else does not.
  bool MatchField(const google::protobuf::Message& leaf,
                  const google::protobuf::Message* value,
                  const google::protobuf::Message* object,
                  const google::protobuf::FieldDescriptor* field) const;

  // An OpMsg `leaf` on a singular (resp. repeated) `field`.
  // REQUIRES: `value` and `object` both hold `field`.
  // Singular: EQUALS, NOT_EQUALS. Repeated: EQUALS and NOT_EQUALS compare
  // the lists in order; CONTAINS_ANY and CONTAINS_ALL compare the sets of
  // distinct elements (CONTAINS_ALL fails at once when the value's list is
  // longer than the object's). Message elements compare by serialised
  // bytes. Any other operation is logged and does not match.
  bool MatchSingularField(const google::protobuf::Message& leaf,
                          const google::protobuf::Message& value,
                          const google::protobuf::Message& object,
                          const google::protobuf::FieldDescriptor* field) const;
  bool MatchRepeatedField(const google::protobuf::Message& leaf,
                          const google::protobuf::Message& value,
                          const google::protobuf::Message& object,
                          const google::protobuf::FieldDescriptor* field) const;

  // A "self" OpMsg `leaf` on the whole message of this level (either side
  // may be absent): EXISTS (object present), EQUALS and NOT_EQUALS (absent
  // on both sides is equal; otherwise serialised bytes). Any other
  // operation is logged and does not match. `type` names the level in logs.
  bool MatchMessageOp(const google::protobuf::Message& leaf,
                      const google::protobuf::Message* value,
                      const google::protobuf::Message* object,
                      const google::protobuf::Descriptor* type) const;

  // A nested op message on message field `field`. Singular: recurses into
  // the two sub-messages (absent when not held). Repeated: only a nested op
  // message whose sole set field is an OpMsg "self" is allowed, and its
  // operation applies to the list as a whole (MatchField). A nested op
  // message on a scalar field does not match.
  bool MatchNestedMessage(const google::protobuf::Message& nested,
                          const google::protobuf::Message* value,
                          const google::protobuf::Message* object,
                          const google::protobuf::FieldDescriptor* field) const;

  // True when `op_msg` is absent or one of its set fields is named "self".
  // Selection and deltas use it to choose the whole-message road.
  bool MessageHasSelfField(const google::protobuf::Message* op_msg) const;

  // The set "self" OpMsg of `nested_op`, or null: when `nested_op` is
  // absent, its type has no "self" field of type OpMsg, or "self" is unset.
  // Unlike OpMessages::GetSelfOpMsg it logs nothing for an op type without
  // a usable self, so it is the one to use on anything a client sent.
  const google::protobuf::Message* FindSelfOpMsg(
      const google::protobuf::Message* nested_op) const;

 private:
  // The distinct elements of repeated `field` of the operand `value`, from
  // operands_ when there is one; `built` holds them otherwise.
  const AttributeValueHashSet& OperandSet(const google::protobuf::Message& value,
                                          const google::protobuf::FieldDescriptor* field, int size,
                                          AttributeValueHashSet* built) const;

  const Schema* const schema_;
  OperandSets* const operands_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_WHERE_MATCHER_H_

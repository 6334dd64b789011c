#ifndef TARNIX_MONITOR_SUBSCRIPTION_PREDICATE_H_
#define TARNIX_MONITOR_SUBSCRIPTION_PREDICATE_H_

#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/attribute_value.h"

namespace tarnix {

class Schema;

// Where a predicate lives in the node of its attribute.
enum class PredicateTarget {
  kExists,       // EXISTS: the node's own subscribers
  kValue,        // EQUALS / NOT_EQUALS on a singular attribute, by value
  kList,         // EQUALS / NOT_EQUALS on a repeated attribute, by the whole list
  kMessage,      // EQUALS / NOT_EQUALS through "self" on a message attribute
  kContainsAny,  // CONTAINS_ANY, one entry per element
  kContainsAll,  // CONTAINS_ALL, by the set of elements
};

// A where predicate of one attribute, read from its op message and value
// message: the attribute path, the operation and what the operation keys on.
struct SubscriptionPredicate {
  // Field names from the top-level attribute down to the attribute the
  // operation applies to; never empty.
  std::vector<std::string> path;
  int operation = 0;
  PredicateTarget target = PredicateTarget::kExists;
  AttributeValue value;                  // kValue
  std::string key;                       // kList: ListKey of the operands; kMessage: operand bytes
  std::vector<AttributeValue> elements;  // kContainsAny, kContainsAll: distinct, ascending
};

// Reading a predicate logs its faults in the words of the operation that
// reads it.
enum class PredicateUse { kAdd, kDelete };

// Reads the predicate that `op_field` of the top-level op message `op`
// names, with the operands from `value` (may be null). False, after one
// ERROR line (DRX0203 or DRX0207), when the op message is not of a shape
// the subscription tree stores. A CONTAINS_ALL without elements is read
// (its elements empty): the tree, not the reader, refuses it.
bool ReadSubscriptionPredicate(const Schema& schema, const google::protobuf::Message& op,
                               const google::protobuf::FieldDescriptor* op_field,
                               const google::protobuf::Message* value, PredicateUse use,
                               SubscriptionPredicate* predicate);

// The value of a singular field (its default when unset): the field's own
// kind, int32 and enum fields both as kEnum; a message field as the
// deterministic bytes of the sub-message (int32 0, after a DRX0203 line,
// when the message does not hold it).
AttributeValue ExtractFieldValue(const google::protobuf::Message& message,
                                 const google::protobuf::FieldDescriptor* field);
// The elements of a repeated field in list order (message elements as
// their deterministic bytes); none, after a DRX0204 line, for a singular one.
std::vector<AttributeValue> ExtractRepeatedFieldValues(
    const google::protobuf::Message& message, const google::protobuf::FieldDescriptor* field);

// The key of a whole list: each element's kind and value, strings with
// their length, so that no two lists that differ share a key. Floats are
// written by their value in the total order of AttributeValue: -0 as +0,
// every NaN alike.
std::string ListKey(const std::vector<AttributeValue>& values);

// The values ascending in the total order of AttributeValue, each once.
std::vector<AttributeValue> SortedDistinct(std::vector<AttributeValue> values);

// True for a float or double NaN, which equals nothing when matched.
bool IsNaN(const AttributeValue& value);

}  // namespace tarnix

#endif  // TARNIX_MONITOR_SUBSCRIPTION_PREDICATE_H_

#ifndef TARNIX_SCHEMA_FIELD_VALUES_H_
#define TARNIX_SCHEMA_FIELD_VALUES_H_

// Field presence, values as AttributeValue and equality, by reflection. They
// read nothing of the schema, so they need no Schema to call.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/attribute_value.h"

namespace tarnix {

// Whether the field holds a value (a repeated one: at least one element);
// false for null arguments or a field of another type (logged).
bool IsFieldSet(const google::protobuf::Message* message,
                const google::protobuf::FieldDescriptor* field);

// The singular field's value; a message field reads as whether it is set.
// Enum 0, with an ERROR line, for bad arguments or a repeated field.
AttributeValue GetFieldValue(const google::protobuf::Message* message,
                             const google::protobuf::FieldDescriptor* field);
// Element `index` of a repeated field; Enum 0, with an ERROR line, when
// there is none.
AttributeValue GetRepeatedFieldValue(const google::protobuf::Message* message,
                                     const google::protobuf::FieldDescriptor* field, int index);

// Equal deterministic serialisations; two nulls are equal.
bool MessagesEqual(const google::protobuf::Message* a, const google::protobuf::Message* b);
// Whether `field` holds the same values in `a` and `b` (both unset counts).
bool CompareField(const google::protobuf::FieldDescriptor* field,
                  const google::protobuf::Message* a, const google::protobuf::Message* b);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_FIELD_VALUES_H_

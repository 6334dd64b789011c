#ifndef TARNIX_SCHEMA_FIELD_ACCESS_H_
#define TARNIX_SCHEMA_FIELD_ACCESS_H_

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/attribute_value.h"

namespace tarnix {

// Reads, compares and copies a field's values whatever their C++ type: one
// entry per protobuf cpp_type, so that code handling every kind of field is
// written once instead of as a switch per use. An `index` of kSingular
// names a singular field's value, any other an element of a repeated one.
// The caller checks that the field belongs to the messages and that the
// index is in range.
struct FieldAccess {
  static constexpr int kSingular = -1;

  // The value as an AttributeValue: int32 values are enums; a message
  // element is its deterministic serialisation ("" with an ERROR line when
  // that fails). A singular message field has none here (see
  // GetFieldValue).
  AttributeValue (*value)(const google::protobuf::Message& message,
                          const google::protobuf::FieldDescriptor* field, int index);
  // The key string of the value, as stored in record keys; `package_prefix`
  // names the schema's UuidMsg and StringMsg.
  std::string (*key)(const google::protobuf::Message& message,
                     const google::protobuf::FieldDescriptor* field, int index,
                     const std::string& package_prefix);
  // Whether the singular values of `a` and `b`, both set, are equal.
  bool (*equal)(const google::protobuf::Message& a, const google::protobuf::Message& b,
                const google::protobuf::FieldDescriptor* field);
  // Sets `to`'s singular value to `from`'s.
  void (*copy)(const google::protobuf::Message& from,
               const google::protobuf::FieldDescriptor* field, google::protobuf::Message* to);
  // Appends element `index` of `from` to `to` (which may be `from`).
  void (*append)(const google::protobuf::Message& from,
                 const google::protobuf::FieldDescriptor* field, int index,
                 google::protobuf::Message* to);
  // Overwrites element `to_index` of `to` with element `from_index` of `from`.
  void (*set_element)(const google::protobuf::Message& from,
                      const google::protobuf::FieldDescriptor* field, int from_index,
                      int to_index, google::protobuf::Message* to);
};

// The entry for the field's cpp_type.
const FieldAccess& AccessOf(const google::protobuf::FieldDescriptor* field);

// Whether the deterministic serialisations of `a` and `b` are equal; false,
// with an ERROR line, when one fails.
bool SerializedEqual(const google::protobuf::Message& a, const google::protobuf::Message& b);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_FIELD_ACCESS_H_

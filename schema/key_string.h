#ifndef TARNIX_SCHEMA_KEY_STRING_H_
#define TARNIX_SCHEMA_KEY_STRING_H_

// Key strings, as stored in record keys, of a field's value; `package_prefix`
// names the schema's UuidMsg and StringMsg. The caller checks that the field
// belongs to the message and is singular or repeated as the function wants.

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace tarnix {

std::string KeyFieldString(const google::protobuf::Message& message,
                           const google::protobuf::FieldDescriptor* field,
                           const std::string& package_prefix);

std::string RepeatedKeyFieldString(const google::protobuf::Message& message,
                                   const google::protobuf::FieldDescriptor* field, int index,
                                   const std::string& package_prefix);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_KEY_STRING_H_

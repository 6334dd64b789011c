#ifndef TARNIX_SCHEMA_FIELD_CHECKS_H_
#define TARNIX_SCHEMA_FIELD_CHECKS_H_

// Checks on reflection arguments shared by the schema/ implementation files.

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace tarnix {

// The singular field `name` of `type` when its values are `cpp_type`, else
// null (also for a null type).
const google::protobuf::FieldDescriptor* SingularField(
    const google::protobuf::Descriptor* type, const char* name,
    google::protobuf::FieldDescriptor::CppType cpp_type);

// Whether `field` belongs to the message's type; logs an ERROR when not.
bool FieldOf(const google::protobuf::Message& message,
             const google::protobuf::FieldDescriptor* field);

// Both present ("field_descriptor is nullptr" or "msg is nullptr" otherwise)
// and FieldOf.
bool CheckFieldArguments(const google::protobuf::Message* message,
                         const google::protobuf::FieldDescriptor* field);

// `from` (when `need_from`) and `to` present, and messages of the field's
// type; logs (DRX0002, DRX0208) and returns false otherwise.
bool CheckEditArguments(const google::protobuf::Message* from,
                        const google::protobuf::FieldDescriptor* field,
                        const google::protobuf::Message* to, bool need_from);
// CheckEditArguments, and the field is repeated.
bool CheckRepeatedEditArguments(const google::protobuf::Message* from,
                                const google::protobuf::FieldDescriptor* field,
                                const google::protobuf::Message* to, bool need_from);

// The first field carrying the `key` option, or null (also for a null type).
const google::protobuf::FieldDescriptor* FindKeyField(const google::protobuf::Descriptor* type);

// The value of the field's parent_key option, or null without one.
const std::string* ParentKeyOption(const google::protobuf::FieldDescriptor* field);

// The first field, in declaration order, whose enum type's full name holds
// "ObjectType"; null when `type` has none.
const google::protobuf::FieldDescriptor* FindObjectTypeField(
    const google::protobuf::Descriptor* type);

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_FIELD_CHECKS_H_

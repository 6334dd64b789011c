#include "schema/key_string.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "schema/field_checks.h"
#include "schema/varint.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

// Truncates toward zero into int64, saturating at its bounds; NaN gives 0.
int64_t SaturatingTruncate(double v) {
  if (std::isnan(v)) return 0;
  // 2^63 is exact as a double; every double below it truncates into range.
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

std::string SignedKey64(int64_t v) { return EncodeVarint64(ZigZagEncode64(v)); }

// UuidMsg: "left" and "right" as 8 bytes little-endian each; StringMsg: the
// bytes of "string"; any other message (or one missing these fields): its
// short debug text.
std::string MessageKeyString(const pb::Message& key, const std::string& prefix) {
  const pb::Descriptor* type = key.GetDescriptor();
  const pb::Reflection* reflection = key.GetReflection();
  if (type->full_name() == prefix + ".UuidMsg") {
    const pb::FieldDescriptor* left =
        SingularField(type, "left", pb::FieldDescriptor::CPPTYPE_UINT64);
    const pb::FieldDescriptor* right =
        SingularField(type, "right", pb::FieldDescriptor::CPPTYPE_UINT64);
    if (left != nullptr && right != nullptr && reflection->HasField(key, left) &&
        reflection->HasField(key, right)) {
      std::string out;
      for (uint64_t half : {reflection->GetUInt64(key, left), reflection->GetUInt64(key, right)}) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((half >> (8 * i)) & 0xFF));
      }
      return out;
    }
  } else if (type->full_name() == prefix + ".StringMsg") {
    const pb::FieldDescriptor* text =
        SingularField(type, "string", pb::FieldDescriptor::CPPTYPE_STRING);
    if (text != nullptr && reflection->HasField(key, text)) {
      return reflection->GetString(key, text);
    }
  }
  return key.ShortDebugString();
}

}  // namespace

std::string KeyFieldString(const pb::Message& message, const pb::FieldDescriptor* field,
                           const std::string& package_prefix) {
  const pb::Reflection* r = message.GetReflection();
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return EncodeVarint64(ZigZagEncode32(r->GetInt32(message, field)));
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return SignedKey64(r->GetInt64(message, field));
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return EncodeVarint64(r->GetUInt32(message, field));
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return EncodeVarint64(r->GetUInt64(message, field));
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return SignedKey64(SaturatingTruncate(r->GetFloat(message, field)));
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return SignedKey64(SaturatingTruncate(r->GetDouble(message, field)));
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return r->GetBool(message, field) ? "1" : "0";
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return std::to_string(r->GetEnumValue(message, field));
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return r->GetString(message, field);
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      return MessageKeyString(r->GetMessage(message, field), package_prefix);
  }
  return std::string();
}


std::string RepeatedKeyFieldString(const pb::Message& message, const pb::FieldDescriptor* field,
                                   int index, const std::string& package_prefix) {
  const pb::Reflection* r = message.GetReflection();
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return EncodeVarint64(ZigZagEncode32(r->GetRepeatedInt32(message, field, index)));
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return SignedKey64(r->GetRepeatedInt64(message, field, index));
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return EncodeVarint64(r->GetRepeatedUInt32(message, field, index));
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return EncodeVarint64(r->GetRepeatedUInt64(message, field, index));
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return SignedKey64(SaturatingTruncate(r->GetRepeatedFloat(message, field, index)));
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return SignedKey64(SaturatingTruncate(r->GetRepeatedDouble(message, field, index)));
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return r->GetRepeatedBool(message, field, index) ? "1" : "0";
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return std::to_string(r->GetRepeatedEnumValue(message, field, index));
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return r->GetRepeatedString(message, field, index);
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      return MessageKeyString(r->GetRepeatedMessage(message, field, index), package_prefix);
  }
  return std::string();
}

}  // namespace tarnix

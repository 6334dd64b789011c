#include "schema/field_access.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "logging/logger.h"
#include "schema/field_checks.h"
#include "schema/varint.h"
#include "schema/wire_format.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using Reflection = pb::Reflection;
using Field = const pb::FieldDescriptor*;

// Truncates toward zero into int64, saturating at its bounds; NaN gives 0.
int64_t SaturatingTruncate(double v) {
  if (std::isnan(v)) return 0;
  // 2^63 is exact as a double; every double below it truncates into range.
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

std::string SignedKey64(int64_t v) { return EncodeVarint64(ZigZagEncode64(v)); }

AttributeValue EnumValue(int v) { return AttributeValue::Enum(v); }
AttributeValue Int64Value(int64_t v) { return AttributeValue::Int64(v); }
AttributeValue Uint32Value(uint32_t v) { return AttributeValue::Uint32(v); }
AttributeValue Uint64Value(uint64_t v) { return AttributeValue::Uint64(v); }
AttributeValue FloatValue(float v) { return AttributeValue::Float(v); }
AttributeValue DoubleValue(double v) { return AttributeValue::Double(v); }
AttributeValue BoolValue(bool v) { return AttributeValue::Bool(v); }
AttributeValue StringValue(std::string v) { return AttributeValue::String(std::move(v)); }

std::string Int32Key(int32_t v) { return EncodeVarint64(ZigZagEncode32(v)); }
std::string Int64Key(int64_t v) { return SignedKey64(v); }
std::string Uint32Key(uint32_t v) { return EncodeVarint64(v); }
std::string Uint64Key(uint64_t v) { return EncodeVarint64(v); }
std::string FloatKey(float v) { return SignedKey64(SaturatingTruncate(v)); }
std::string DoubleKey(double v) { return SignedKey64(SaturatingTruncate(v)); }
std::string BoolKey(bool v) { return v ? "1" : "0"; }
std::string EnumKey(int v) { return std::to_string(v); }
std::string StringKey(std::string v) { return v; }

// One scalar cpp_type, from its reflection calls, its AttributeValue and its
// key string.
template <class T, T (Reflection::*kGet)(const pb::Message&, Field) const,
          T (Reflection::*kGetAt)(const pb::Message&, Field, int) const,
          void (Reflection::*kSet)(pb::Message*, Field, T) const,
          void (Reflection::*kSetAt)(pb::Message*, Field, int, T) const,
          void (Reflection::*kAdd)(pb::Message*, Field, T) const, AttributeValue (*kValue)(T),
          std::string (*kKey)(T)>
struct Scalar {
  static T Get(const pb::Message& m, Field f, int i) {
    const Reflection& r = *m.GetReflection();
    return i == FieldAccess::kSingular ? (r.*kGet)(m, f) : (r.*kGetAt)(m, f, i);
  }
  static AttributeValue Value(const pb::Message& m, Field f, int i) { return kValue(Get(m, f, i)); }
  static std::string Key(const pb::Message& m, Field f, int i, const std::string& /*prefix*/) {
    return kKey(Get(m, f, i));
  }
  static bool Equal(const pb::Message& a, const pb::Message& b, Field f) {
    return Get(a, f, FieldAccess::kSingular) == Get(b, f, FieldAccess::kSingular);
  }
  static void Copy(const pb::Message& from, Field f, pb::Message* to) {
    (to->GetReflection()->*kSet)(to, f, Get(from, f, FieldAccess::kSingular));
  }
  static void Append(const pb::Message& from, Field f, int i, pb::Message* to) {
    (to->GetReflection()->*kAdd)(to, f, Get(from, f, i));
  }
  static void SetElement(const pb::Message& from, Field f, int from_index, int to_index,
                         pb::Message* to) {
    (to->GetReflection()->*kSetAt)(to, f, to_index, Get(from, f, from_index));
  }
  static constexpr FieldAccess kAccess = {&Value, &Key, &Equal, &Copy, &Append, &SetElement};
};

using R = Reflection;
// int32 values read as enums.
using Int32 = Scalar<int32_t, &R::GetInt32, &R::GetRepeatedInt32, &R::SetInt32,
                     &R::SetRepeatedInt32, &R::AddInt32, &EnumValue, &Int32Key>;
using Int64 = Scalar<int64_t, &R::GetInt64, &R::GetRepeatedInt64, &R::SetInt64,
                     &R::SetRepeatedInt64, &R::AddInt64, &Int64Value, &Int64Key>;
using Uint32 = Scalar<uint32_t, &R::GetUInt32, &R::GetRepeatedUInt32, &R::SetUInt32,
                      &R::SetRepeatedUInt32, &R::AddUInt32, &Uint32Value, &Uint32Key>;
using Uint64 = Scalar<uint64_t, &R::GetUInt64, &R::GetRepeatedUInt64, &R::SetUInt64,
                      &R::SetRepeatedUInt64, &R::AddUInt64, &Uint64Value, &Uint64Key>;
using Float = Scalar<float, &R::GetFloat, &R::GetRepeatedFloat, &R::SetFloat,
                     &R::SetRepeatedFloat, &R::AddFloat, &FloatValue, &FloatKey>;
using Double = Scalar<double, &R::GetDouble, &R::GetRepeatedDouble, &R::SetDouble,
                      &R::SetRepeatedDouble, &R::AddDouble, &DoubleValue, &DoubleKey>;
using Bool = Scalar<bool, &R::GetBool, &R::GetRepeatedBool, &R::SetBool, &R::SetRepeatedBool,
                    &R::AddBool, &BoolValue, &BoolKey>;
// Enums by number, so values the schema's enum does not name survive.
using Enum = Scalar<int, &R::GetEnumValue, &R::GetRepeatedEnumValue, &R::SetEnumValue,
                    &R::SetRepeatedEnumValue, &R::AddEnumValue, &EnumValue, &EnumKey>;
using String = Scalar<std::string, &R::GetString, &R::GetRepeatedString, &R::SetString,
                      &R::SetRepeatedString, &R::AddString, &StringValue, &StringKey>;

// Sub-messages.
const pb::Message& MessageAt(const pb::Message& m, Field f, int i) {
  const Reflection& r = *m.GetReflection();
  return i == FieldAccess::kSingular ? r.GetMessage(m, f) : r.GetRepeatedMessage(m, f, i);
}

AttributeValue MessageValue(const pb::Message& m, Field f, int i) {
  if (i == FieldAccess::kSingular) return AttributeValue::Bool(m.GetReflection()->HasField(m, f));
  std::string bytes;
  if (!SerializeDeterministic(MessageAt(m, f, i), &bytes)) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0205", "Failed to serialized %s field %s of type %s",
               m.GetDescriptor()->full_name().c_str(), f->name().c_str(),
               f->message_type()->full_name().c_str());
  }
  return AttributeValue::String(std::move(bytes));
}

// UuidMsg: "left" and "right" as 8 bytes little-endian each; StringMsg: the
// bytes of "string"; any other message (or one missing these fields): its
// short debug text.
std::string MessageKey(const pb::Message& m, Field f, int i, const std::string& prefix) {
  const pb::Message& key = MessageAt(m, f, i);
  const pb::Descriptor* type = key.GetDescriptor();
  const Reflection* reflection = key.GetReflection();
  if (type->full_name() == prefix + ".UuidMsg") {
    const pb::FieldDescriptor* left =
        SingularField(type, "left", pb::FieldDescriptor::CPPTYPE_UINT64);
    const pb::FieldDescriptor* right =
        SingularField(type, "right", pb::FieldDescriptor::CPPTYPE_UINT64);
    if (left != nullptr && right != nullptr && reflection->HasField(key, left) &&
        reflection->HasField(key, right)) {
      std::string out;
      for (uint64_t half : {reflection->GetUInt64(key, left), reflection->GetUInt64(key, right)}) {
        for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>((half >> (8 * b)) & 0xFF));
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

bool MessageEqual(const pb::Message& a, const pb::Message& b, Field f) {
  return SerializedEqual(MessageAt(a, f, FieldAccess::kSingular),
                         MessageAt(b, f, FieldAccess::kSingular));
}

void CopyMessage(const pb::Message& from, Field f, pb::Message* to) {
  to->GetReflection()->MutableMessage(to, f)->CopyFrom(MessageAt(from, f, FieldAccess::kSingular));
}

void AppendMessage(const pb::Message& from, Field f, int i, pb::Message* to) {
  const pb::Message& element = MessageAt(from, f, i);
  if (&from != to) {
    to->GetReflection()->AddMessage(to, f)->CopyFrom(element);
    return;
  }
  // AddMessage may move the elements of this very field.
  std::unique_ptr<pb::Message> copy(element.New());
  copy->CopyFrom(element);
  to->GetReflection()->AddMessage(to, f)->CopyFrom(*copy);
}

void SetMessageElement(const pb::Message& from, Field f, int from_index, int to_index,
                       pb::Message* to) {
  to->GetReflection()->MutableRepeatedMessage(to, f, to_index)
      ->CopyFrom(MessageAt(from, f, from_index));
}

constexpr FieldAccess kMessageAccess = {&MessageValue, &MessageKey,         &MessageEqual,
                                        &CopyMessage,  &AppendMessage, &SetMessageElement};

}  // namespace

bool SerializedEqual(const pb::Message& a, const pb::Message& b) {
  std::string bytes_a;
  std::string bytes_b;
  for (auto [message, bytes] : {std::make_pair(&a, &bytes_a), std::make_pair(&b, &bytes_b)}) {
    if (!SerializeDeterministic(*message, bytes)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0205", "Serialize object type %s failed",
                 message->GetDescriptor()->full_name().c_str());
      return false;
    }
  }
  return bytes_a == bytes_b;
}

const FieldAccess& AccessOf(const pb::FieldDescriptor* field) {
  switch (field->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return Int32::kAccess;
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return Int64::kAccess;
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return Uint32::kAccess;
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return Uint64::kAccess;
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return Float::kAccess;
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return Double::kAccess;
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return Bool::kAccess;
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return Enum::kAccess;
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return String::kAccess;
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
  return kMessageAccess;
}

}  // namespace tarnix

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

// One scalar cpp_type: its reflection calls, its AttributeValue and its key.
struct Int32 {
  using Type = int32_t;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetInt32(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedInt32(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetInt32(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedInt32(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddInt32(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Enum(v); }
  static std::string Key(Type v) { return EncodeVarint64(ZigZagEncode32(v)); }
};

struct Int64 {
  using Type = int64_t;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetInt64(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedInt64(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetInt64(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedInt64(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddInt64(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Int64(v); }
  static std::string Key(Type v) { return SignedKey64(v); }
};

struct Uint32 {
  using Type = uint32_t;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetUInt32(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedUInt32(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetUInt32(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedUInt32(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddUInt32(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Uint32(v); }
  static std::string Key(Type v) { return EncodeVarint64(v); }
};

struct Uint64 {
  using Type = uint64_t;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetUInt64(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedUInt64(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetUInt64(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedUInt64(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddUInt64(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Uint64(v); }
  static std::string Key(Type v) { return EncodeVarint64(v); }
};

struct Float {
  using Type = float;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetFloat(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedFloat(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetFloat(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedFloat(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddFloat(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Float(v); }
  static std::string Key(Type v) { return SignedKey64(SaturatingTruncate(v)); }
};

struct Double {
  using Type = double;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetDouble(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedDouble(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetDouble(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedDouble(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddDouble(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Double(v); }
  static std::string Key(Type v) { return SignedKey64(SaturatingTruncate(v)); }
};

struct Bool {
  using Type = bool;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetBool(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedBool(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) { r.SetBool(m, f, v); }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedBool(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) { r.AddBool(m, f, v); }
  static AttributeValue Value(Type v) { return AttributeValue::Bool(v); }
  static std::string Key(Type v) { return v ? "1" : "0"; }
};

// Enums by number, so values the schema's enum does not name survive.
struct Enum {
  using Type = int;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) {
    return r.GetEnumValue(m, f);
  }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedEnumValue(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) {
    r.SetEnumValue(m, f, v);
  }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedEnumValue(m, f, i, v);
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) {
    r.AddEnumValue(m, f, v);
  }
  static AttributeValue Value(Type v) { return AttributeValue::Enum(v); }
  static std::string Key(Type v) { return std::to_string(v); }
};

struct String {
  using Type = std::string;
  static Type Get(const Reflection& r, const pb::Message& m, Field f) { return r.GetString(m, f); }
  static Type GetAt(const Reflection& r, const pb::Message& m, Field f, int i) {
    return r.GetRepeatedString(m, f, i);
  }
  static void Set(const Reflection& r, pb::Message* m, Field f, Type v) {
    r.SetString(m, f, std::move(v));
  }
  static void SetAt(const Reflection& r, pb::Message* m, Field f, int i, Type v) {
    r.SetRepeatedString(m, f, i, std::move(v));
  }
  static void Add(const Reflection& r, pb::Message* m, Field f, Type v) {
    r.AddString(m, f, std::move(v));
  }
  static AttributeValue Value(Type v) { return AttributeValue::String(std::move(v)); }
  static std::string Key(Type v) { return v; }
};

template <class T>
struct Scalar {
  static typename T::Type Get(const pb::Message& m, Field f, int i) {
    const Reflection& r = *m.GetReflection();
    return i == FieldAccess::kSingular ? T::Get(r, m, f) : T::GetAt(r, m, f, i);
  }
  static AttributeValue Value(const pb::Message& m, Field f, int i) { return T::Value(Get(m, f, i)); }
  static std::string Key(const pb::Message& m, Field f, int i, const std::string& /*prefix*/) {
    return T::Key(Get(m, f, i));
  }
  static bool Equal(const pb::Message& a, const pb::Message& b, Field f) {
    return Get(a, f, FieldAccess::kSingular) == Get(b, f, FieldAccess::kSingular);
  }
  static void Copy(const pb::Message& from, Field f, pb::Message* to) {
    T::Set(*to->GetReflection(), to, f, Get(from, f, FieldAccess::kSingular));
  }
  static void Append(const pb::Message& from, Field f, int i, pb::Message* to) {
    T::Add(*to->GetReflection(), to, f, Get(from, f, i));
  }
  static void SetElement(const pb::Message& from, Field f, int from_index, int to_index,
                         pb::Message* to) {
    T::SetAt(*to->GetReflection(), to, f, to_index, Get(from, f, from_index));
  }
  static constexpr FieldAccess kAccess = {&Value, &Key, &Equal, &Copy, &Append, &SetElement};
};

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
      return Scalar<Int32>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return Scalar<Int64>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return Scalar<Uint32>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return Scalar<Uint64>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_FLOAT:
      return Scalar<Float>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_DOUBLE:
      return Scalar<Double>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return Scalar<Bool>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return Scalar<Enum>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_STRING:
      return Scalar<String>::kAccess;
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
  return kMessageAccess;
}

}  // namespace tarnix

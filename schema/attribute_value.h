#ifndef TARNIX_SCHEMA_ATTRIBUTE_VALUE_H_
#define TARNIX_SCHEMA_ATTRIBUTE_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace tarnix {

// The value of one scalar field (or one serialised message element). The kind
// is part of the value: values of different kinds are never equal.
class AttributeValue {
 public:
  enum Kind : int {
    kInt32 = 0,
    kInt64 = 1,
    kUint32 = 2,
    kUint64 = 3,
    kFloat = 4,
    kDouble = 5,
    kBool = 6,
    kEnum = 7,
    kString = 8,
  };

  AttributeValue() = default;  // int32 0

  static AttributeValue Int32(int32_t v) {
    AttributeValue value(kInt32);
    value.number_.i32 = v;
    return value;
  }
  static AttributeValue Int64(int64_t v) {
    AttributeValue value(kInt64);
    value.number_.i64 = v;
    return value;
  }
  static AttributeValue Uint32(uint32_t v) {
    AttributeValue value(kUint32);
    value.number_.u32 = v;
    return value;
  }
  static AttributeValue Uint64(uint64_t v) {
    AttributeValue value(kUint64);
    value.number_.u64 = v;
    return value;
  }
  static AttributeValue Float(float v) {
    AttributeValue value(kFloat);
    value.number_.f = v;
    return value;
  }
  static AttributeValue Double(double v) {
    AttributeValue value(kDouble);
    value.number_.d = v;
    return value;
  }
  static AttributeValue Bool(bool v) {
    AttributeValue value(kBool);
    value.number_.b = v;
    return value;
  }
  static AttributeValue Enum(int32_t v) {
    AttributeValue value(kEnum);
    value.number_.i32 = v;
    return value;
  }
  static AttributeValue String(std::string v) {
    AttributeValue value(kString);
    value.string_ = std::move(v);
    return value;
  }

  Kind kind() const { return kind_; }

  // Accessors for the value of the matching kind; int32_value() serves both
  // kInt32 and kEnum. Asking for another kind throws std::logic_error.
  int32_t int32_value() const {
    Expect(kind_ == kInt32 || kind_ == kEnum);
    return number_.i32;
  }
  int64_t int64_value() const { return Expect(kind_ == kInt64), number_.i64; }
  uint32_t uint32_value() const { return Expect(kind_ == kUint32), number_.u32; }
  uint64_t uint64_value() const { return Expect(kind_ == kUint64), number_.u64; }
  float float_value() const { return Expect(kind_ == kFloat), number_.f; }
  double double_value() const { return Expect(kind_ == kDouble), number_.d; }
  bool bool_value() const { return Expect(kind_ == kBool), number_.b; }
  const std::string& string_value() const { return Expect(kind_ == kString), string_; }

 private:
  union Number {
    int32_t i32;
    int64_t i64;
    uint32_t u32;
    uint64_t u64;
    float f;
    double d;
    bool b;
  };

  explicit AttributeValue(Kind kind) : kind_(kind) {}
  static void Expect(bool right_kind) {
    if (!right_kind) throw std::logic_error("AttributeValue read as another kind");
  }

  Kind kind_ = kInt32;
  Number number_{};  // i32 active unless kind_ says otherwise
  std::string string_;
};

// Same kind and equal value; floats by IEEE equality (NaN is unequal to
// itself, -0 equals +0).
bool AttributeValueEquals(const AttributeValue& a, const AttributeValue& b);
inline bool operator==(const AttributeValue& a, const AttributeValue& b) {
  return AttributeValueEquals(a, b);
}
inline bool operator!=(const AttributeValue& a, const AttributeValue& b) {
  return !AttributeValueEquals(a, b);
}

// Total order: kind index first, then the value (integers as their kind's
// signedness, floats numerically with -0 equal to +0 and every NaN equal to
// each other and after all numbers, false before true, strings bytewise).
// Returns <0, 0 or >0.
int CompareAttributeValues(const AttributeValue& a, const AttributeValue& b);
inline bool operator<(const AttributeValue& a, const AttributeValue& b) {
  return CompareAttributeValues(a, b) < 0;
}

// Equality and hash that match the total order, for hashed containers.
struct AttributeValueKeyEqual {
  bool operator()(const AttributeValue& a, const AttributeValue& b) const {
    return CompareAttributeValues(a, b) == 0;
  }
};
struct AttributeValueHash {
  size_t operator()(const AttributeValue& v) const;
};

// Containers keyed by AttributeValue: use these (std::map and std::set order
// by operator<, the total order).
template <typename V>
using AttributeValueHashMap =
    std::unordered_map<AttributeValue, V, AttributeValueHash, AttributeValueKeyEqual>;
using AttributeValueHashSet =
    std::unordered_set<AttributeValue, AttributeValueHash, AttributeValueKeyEqual>;

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_ATTRIBUTE_VALUE_H_

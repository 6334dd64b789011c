#ifndef TARNIX_SCHEMA_ATTRIBUTE_VALUE_H_
#define TARNIX_SCHEMA_ATTRIBUTE_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>

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

  static AttributeValue Int32(int32_t v) { return AttributeValue(Storage(std::in_place_index<kInt32>, v)); }
  static AttributeValue Int64(int64_t v) { return AttributeValue(Storage(std::in_place_index<kInt64>, v)); }
  static AttributeValue Uint32(uint32_t v) { return AttributeValue(Storage(std::in_place_index<kUint32>, v)); }
  static AttributeValue Uint64(uint64_t v) { return AttributeValue(Storage(std::in_place_index<kUint64>, v)); }
  static AttributeValue Float(float v) { return AttributeValue(Storage(std::in_place_index<kFloat>, v)); }
  static AttributeValue Double(double v) { return AttributeValue(Storage(std::in_place_index<kDouble>, v)); }
  static AttributeValue Bool(bool v) { return AttributeValue(Storage(std::in_place_index<kBool>, v)); }
  static AttributeValue Enum(int32_t v) { return AttributeValue(Storage(std::in_place_index<kEnum>, v)); }
  static AttributeValue String(std::string v) {
    return AttributeValue(Storage(std::in_place_index<kString>, std::move(v)));
  }

  Kind kind() const { return static_cast<Kind>(value_.index()); }

  // Accessors for the value of the matching kind; int32_value() serves both
  // kInt32 and kEnum. Asking for another kind throws std::bad_variant_access.
  int32_t int32_value() const {
    return kind() == kEnum ? std::get<kEnum>(value_) : std::get<kInt32>(value_);
  }
  int64_t int64_value() const { return std::get<kInt64>(value_); }
  uint32_t uint32_value() const { return std::get<kUint32>(value_); }
  uint64_t uint64_value() const { return std::get<kUint64>(value_); }
  float float_value() const { return std::get<kFloat>(value_); }
  double double_value() const { return std::get<kDouble>(value_); }
  bool bool_value() const { return std::get<kBool>(value_); }
  const std::string& string_value() const { return std::get<kString>(value_); }

 private:
  using Storage = std::variant<int32_t, int64_t, uint32_t, uint64_t, float, double,
                               bool, int32_t, std::string>;
  explicit AttributeValue(Storage value) : value_(std::move(value)) {}

  Storage value_;
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

#include "schema/attribute_value.h"

#include <cmath>
#include <functional>

namespace tarnix {
namespace {

template <typename T>
int Compare3(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// NaN after every number, all NaNs equal; -0 == +0 by plain comparison.
template <typename F>
int CompareFloating(F a, F b) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan || b_nan) return static_cast<int>(a_nan) - static_cast<int>(b_nan);
  return Compare3(a, b);
}

// Hash consistent with CompareFloating: one hash for every NaN and for both
// zeros.
template <typename F>
size_t HashFloating(F v) {
  if (std::isnan(v)) return 0x7ff8dead;
  if (v == 0) return 0;
  return std::hash<F>()(v);
}

}  // namespace

bool AttributeValueEquals(const AttributeValue& a, const AttributeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case AttributeValue::kInt32:
    case AttributeValue::kEnum:
      return a.int32_value() == b.int32_value();
    case AttributeValue::kInt64:
      return a.int64_value() == b.int64_value();
    case AttributeValue::kUint32:
      return a.uint32_value() == b.uint32_value();
    case AttributeValue::kUint64:
      return a.uint64_value() == b.uint64_value();
    case AttributeValue::kFloat:
      return a.float_value() == b.float_value();
    case AttributeValue::kDouble:
      return a.double_value() == b.double_value();
    case AttributeValue::kBool:
      return a.bool_value() == b.bool_value();
    case AttributeValue::kString:
      return a.string_value() == b.string_value();
  }
  return false;
}

int CompareAttributeValues(const AttributeValue& a, const AttributeValue& b) {
  if (a.kind() != b.kind()) return Compare3<int>(a.kind(), b.kind());
  switch (a.kind()) {
    case AttributeValue::kInt32:
    case AttributeValue::kEnum:
      return Compare3(a.int32_value(), b.int32_value());
    case AttributeValue::kInt64:
      return Compare3(a.int64_value(), b.int64_value());
    case AttributeValue::kUint32:
      return Compare3(a.uint32_value(), b.uint32_value());
    case AttributeValue::kUint64:
      return Compare3(a.uint64_value(), b.uint64_value());
    case AttributeValue::kFloat:
      return CompareFloating(a.float_value(), b.float_value());
    case AttributeValue::kDouble:
      return CompareFloating(a.double_value(), b.double_value());
    case AttributeValue::kBool:
      return Compare3<int>(a.bool_value(), b.bool_value());
    case AttributeValue::kString: {
      const int c = a.string_value().compare(b.string_value());
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
  }
  return 0;
}

size_t AttributeValueHash::operator()(const AttributeValue& v) const {
  size_t h = 0;
  switch (v.kind()) {
    case AttributeValue::kInt32:
    case AttributeValue::kEnum:
      h = std::hash<int32_t>()(v.int32_value());
      break;
    case AttributeValue::kInt64:
      h = std::hash<int64_t>()(v.int64_value());
      break;
    case AttributeValue::kUint32:
      h = std::hash<uint32_t>()(v.uint32_value());
      break;
    case AttributeValue::kUint64:
      h = std::hash<uint64_t>()(v.uint64_value());
      break;
    case AttributeValue::kFloat:
      h = HashFloating(v.float_value());
      break;
    case AttributeValue::kDouble:
      h = HashFloating(v.double_value());
      break;
    case AttributeValue::kBool:
      h = v.bool_value() ? 1 : 0;
      break;
    case AttributeValue::kString:
      h = std::hash<std::string>()(v.string_value());
      break;
  }
  return h ^ (static_cast<size_t>(v.kind()) * 0x9e3779b97f4a7c15ULL);
}

}  // namespace tarnix

#include "schema/attribute_value.h"

#include <cmath>
#include <limits>
#include <map>

#include <gtest/gtest.h>

namespace tarnix {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(AttributeValueTest, EqualityNeedsTheSameKind) {
  EXPECT_THROW(AttributeValue::Int64(1).int32_value(), std::logic_error);
  EXPECT_TRUE(AttributeValueEquals(AttributeValue::Enum(-5), AttributeValue::Enum(-5)));
  EXPECT_FALSE(AttributeValueEquals(AttributeValue::Int32(-5), AttributeValue::Enum(-5)));
  EXPECT_FALSE(AttributeValueEquals(AttributeValue::Float(1), AttributeValue::Double(1)));
  EXPECT_FALSE(AttributeValueEquals(AttributeValue::Uint32(1), AttributeValue::Uint64(1)));
  EXPECT_TRUE(AttributeValueEquals(AttributeValue::String(std::string("a\0b", 3)),
                                   AttributeValue::String(std::string("a\0b", 3))));
  EXPECT_FALSE(AttributeValueEquals(AttributeValue::String("a"), AttributeValue::String("b")));
  // IEEE: NaN is unequal to itself, the zeros are equal.
  EXPECT_FALSE(AttributeValueEquals(AttributeValue::Double(kNaN), AttributeValue::Double(kNaN)));
  EXPECT_TRUE(AttributeValueEquals(AttributeValue::Float(-0.0f), AttributeValue::Float(0.0f)));
}

TEST(AttributeValueTest, OrdersByKindThenValue) {
  const std::vector<AttributeValue> ascending = {
      AttributeValue::Int32(-1),
      AttributeValue::Int32(7),
      AttributeValue::Int64(std::numeric_limits<int64_t>::min()),
      AttributeValue::Int64(3),
      AttributeValue::Uint32(1),
      AttributeValue::Uint32(0x80000000u),  // unsigned: above 1
      AttributeValue::Uint64(2),
      AttributeValue::Uint64(std::numeric_limits<uint64_t>::max()),
      AttributeValue::Float(-std::numeric_limits<float>::infinity()),
      AttributeValue::Float(2.5f),
      AttributeValue::Float(std::numeric_limits<float>::quiet_NaN()),
      AttributeValue::Double(-1),
      AttributeValue::Double(kNaN),
      AttributeValue::Bool(false),
      AttributeValue::Bool(true),
      AttributeValue::Enum(-3),
      AttributeValue::Enum(0),
      AttributeValue::String(""),
      AttributeValue::String("a"),
      AttributeValue::String("ab"),
      AttributeValue::String("\xff"),  // bytes compare unsigned
  };
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " vs " << j;
    }
  }
}

TEST(AttributeValueTest, NaNKeysKeepContainersValid) {
  std::map<AttributeValue, int> ordered;
  ordered[AttributeValue::Double(1.0)] = 1;
  ordered[AttributeValue::Double(kNaN)] = 2;
  ordered[AttributeValue::Double(-kNaN)] = 3;  // another NaN: the same key
  ordered[AttributeValue::Double(-0.0)] = 4;
  ordered[AttributeValue::Double(0.0)] = 5;  // equal to -0
  ASSERT_EQ(ordered.size(), 3u);
  EXPECT_EQ(ordered.at(AttributeValue::Double(kNaN)), 3);
  EXPECT_EQ(ordered.at(AttributeValue::Double(0.0)), 5);
  EXPECT_TRUE(std::isnan(ordered.rbegin()->first.double_value()));

  AttributeValueHashSet hashed;
  hashed.insert(AttributeValue::Float(std::numeric_limits<float>::quiet_NaN()));
  hashed.insert(AttributeValue::Float(-std::numeric_limits<float>::quiet_NaN()));
  hashed.insert(AttributeValue::Float(0.0f));
  hashed.insert(AttributeValue::Float(-0.0f));
  hashed.insert(AttributeValue::Double(0.0));  // another kind
  EXPECT_EQ(hashed.size(), 3u);
  EXPECT_EQ(hashed.count(AttributeValue::Float(std::numeric_limits<float>::quiet_NaN())), 1u);

  AttributeValueHashMap<int> by_value;
  by_value[AttributeValue::Int32(5)] = 1;
  by_value[AttributeValue::Enum(5)] = 2;
  EXPECT_EQ(by_value.size(), 2u);
}

}  // namespace
}  // namespace tarnix

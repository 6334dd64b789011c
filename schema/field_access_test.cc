#include "schema/field_access.h"

#include <memory>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
constexpr int kSingular = FieldAccess::kSingular;

class FieldAccessTest : public ::testing::Test {
 protected:
  std::unique_ptr<pb::Message> Kinds(const std::string& text) {
    auto message = enc_test::NewMsg(*schema_, "KindsMsg");
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return message;
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

// Every kind of singular field: a copied value reads, compares and keys
// like the original, and a changed one no longer compares equal.
TEST_F(FieldAccessTest, CopiedSingularValuesOfEveryKindReadTheSame) {
  const auto from = Kinds(
      "i32: -5 i64: -7000000000 u32: 4000000000 u64: 9000000000000000000 f: -2.5 d: 1e300 "
      "b: true color: COLOR_NEG s: 'text' raw: '\\001\\000' uuid { left: 1 right: 2 } "
      "str_msg { string: 'k' } plain { a: 3 b: 'x' }");
  const auto other = Kinds(
      "i32: 5 i64: 7 u32: 4 u64: 9 f: 2.5 d: 1e-300 b: false color: COLOR_RED s: 'other' "
      "raw: '\\001' uuid { left: 2 right: 1 } str_msg { string: 'j' } plain { a: 4 }");
  const pb::Descriptor* type = from->GetDescriptor();
  int kinds = 0;
  for (int i = 0; i < type->field_count(); ++i) {
    const pb::FieldDescriptor* field = type->field(i);
    if (field->is_repeated() || !from->GetReflection()->HasField(*from, field)) continue;
    SCOPED_TRACE(field->name());
    ++kinds;
    const FieldAccess& access = AccessOf(field);
    auto to = enc_test::NewMsg(*schema_, "KindsMsg");
    access.copy(*from, field, to.get());
    EXPECT_TRUE(access.equal(*from, *to, field));
    EXPECT_FALSE(access.equal(*from, *other, field));
    EXPECT_EQ(access.key(*from, field, kSingular, "enc.test"),
              access.key(*to, field, kSingular, "enc.test"));
    EXPECT_NE(access.key(*from, field, kSingular, "enc.test"),
              access.key(*other, field, kSingular, "enc.test"));
    EXPECT_TRUE(AttributeValueEquals(access.value(*from, field, kSingular),
                                     access.value(*to, field, kSingular)));
  }
  EXPECT_EQ(kinds, 13);
}

// Element copies land where asked, from another message or from the same
// one, whatever the element type.
TEST_F(FieldAccessTest, ElementsOfEveryKindAppendAndOverwriteInPlace) {
  const auto from = Kinds(
      "r_i32: [-1, 2, 7] r_color: [COLOR_NEG, COLOR_GREEN, COLOR_BLUE] r_s: ['a', 'b', 'c'] "
      "r_plain { a: 1 } r_plain { a: 2 } r_plain { a: 3 } r_f: [0.5, -8, 30]");
  const pb::Descriptor* type = from->GetDescriptor();
  int kinds = 0;
  for (int i = 0; i < type->field_count(); ++i) {
    const pb::FieldDescriptor* field = type->field(i);
    if (!field->is_repeated()) continue;
    SCOPED_TRACE(field->name());
    ++kinds;
    const FieldAccess& access = AccessOf(field);
    const auto element = [&](const pb::Message& m, int index) {
      return access.key(m, field, index, "enc.test");
    };
    auto to = enc_test::NewMsg(*schema_, "KindsMsg");
    access.append(*from, field, 1, to.get());
    access.append(*from, field, 0, to.get());
    access.append(*to, field, 0, to.get());  // from itself
    access.set_element(*from, field, 2, 0, to.get());
    ASSERT_EQ(to->GetReflection()->FieldSize(*to, field), 3);
    EXPECT_EQ(element(*to, 0), element(*from, 2));
    EXPECT_EQ(element(*to, 1), element(*from, 0));
    EXPECT_EQ(element(*to, 2), element(*from, 1));
    EXPECT_NE(element(*from, 0), element(*from, 1));
    EXPECT_NE(element(*from, 1), element(*from, 2));
    EXPECT_TRUE(AttributeValueEquals(access.value(*to, field, 1), access.value(*from, field, 0)));
  }
  EXPECT_EQ(kinds, 5);
}

}  // namespace
}  // namespace tarnix

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"
#include "schema/field_values.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using enc_test::Bytes;
using enc_test::Field;
using enc_test::NewMsg;

class FieldValuesTest : public ::testing::Test {
 protected:
  std::unique_ptr<pb::Message> Kinds(const std::string& text) {
    auto message = NewMsg(*schema_, "KindsMsg");
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return message;
  }
  const pb::FieldDescriptor* F(const std::string& name) {
    return schema_->types().FindMessageTypeByName("enc.test.KindsMsg")->FindFieldByName(name);
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(FieldValuesTest, FieldValues) {
  // int32 fields read as enums, message fields as whether they are set,
  // message elements as their bytes.
  auto m = Kinds("i32: -5 color: COLOR_BLUE plain {} r_i32: -5 r_plain { a: 9 } u32: 0");
  const auto value = [&](const char* field) { return GetFieldValue(m.get(), F(field)); };
  EXPECT_TRUE(AttributeValueEquals(value("i32"), AttributeValue::Enum(-5)));
  EXPECT_TRUE(AttributeValueEquals(value("color"), AttributeValue::Enum(3)));
  EXPECT_TRUE(AttributeValueEquals(value("plain"), AttributeValue::Bool(true)));
  EXPECT_TRUE(AttributeValueEquals(value("uuid"), AttributeValue::Bool(false)));
  EXPECT_TRUE(AttributeValueEquals(value("r_plain"), AttributeValue::Bool(true)));
  EXPECT_TRUE(AttributeValueEquals(GetRepeatedFieldValue(m.get(), F("r_i32"), 0),
                                   AttributeValue::Enum(-5)));
  EXPECT_TRUE(AttributeValueEquals(GetRepeatedFieldValue(m.get(), F("r_plain"), 0),
                                   AttributeValue::String(Bytes("08 09"))));
  EXPECT_TRUE(IsFieldSet(m.get(), F("u32")));  // set to its default
  EXPECT_FALSE(IsFieldSet(m.get(), F("r_f")));

  orv::LogCapture capture;
  for (int index : {-1, 1}) {
    EXPECT_TRUE(AttributeValueEquals(GetRepeatedFieldValue(m.get(), F("r_i32"), index),
                                     AttributeValue::Enum(0)));
  }
  EXPECT_EQ(GetRepeatedFieldValue(m.get(), F("i32"), 0).kind(), AttributeValue::kEnum);
  EXPECT_EQ(value("r_i32").kind(), AttributeValue::kEnum);
  auto other = NewMsg(*schema_, "PlainMsg");
  EXPECT_EQ(GetFieldValue(other.get(), F("i32")).int32_value(), 0);
  EXPECT_EQ(capture.Count("DRX0204"), 5u);
}

TEST_F(FieldValuesTest, CompareFieldAndMessages) {
  const struct {
    const char* field;
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"i32", "", "", true},
      {"i32", "i32: 0", "", false},  // set differs from unset
      {"d", "d: -0.0", "d: 0", true},
      {"f", "f: nan", "f: nan", false},
      {"s", "s: 'x'", "s: 'y'", false},
      {"color", "color: COLOR_RED", "color: COLOR_RED", true},
      {"plain", "plain {}", "plain {}", true},
      {"plain", "plain {}", "plain { a: 1 }", false},
      {"r_i32", "r_i32: [1, 2]", "r_i32: [1, 2]", true},
      {"r_i32", "r_i32: [1, 2]", "r_i32: [2, 1]", false},
      {"r_i32", "r_i32: [1, 2]", "r_i32: [1]", false},
      {"r_s", "", "", true},
      {"r_plain", "r_plain { b: 'x' }", "r_plain { b: 'x' }", true},
      {"r_f", "r_f: nan", "r_f: nan", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompareField(F(c.field), Kinds(c.a).get(), Kinds(c.b).get()), c.equal)
        << c.a << " vs " << c.b;
  }
  EXPECT_TRUE(MessagesEqual(nullptr, nullptr));
  EXPECT_FALSE(MessagesEqual(nullptr, Kinds("").get()));
  EXPECT_TRUE(MessagesEqual(Kinds("s: 'x'").get(), Kinds("s: 'x'").get()));
  EXPECT_FALSE(MessagesEqual(Kinds("s: 'x'").get(), Kinds("").get()));
}

// Map entries serialise in insertion order unless asked for a deterministic
// form; equal maps built in another order must still compare equal.
TEST_F(FieldValuesTest, EqualMapsCompareEqualWhateverTheirInsertionOrder) {
  auto fill = [](pb::Message* plain, bool ascending) {
    const pb::FieldDescriptor* counts = Field(*plain, "counts");
    for (int i = 0; i < 20; ++i) {
      const int k = ascending ? i : 19 - i;
      pb::Message* entry = plain->GetReflection()->AddMessage(plain, counts);
      entry->GetReflection()->SetString(entry, Field(*entry, "key"), "k" + std::to_string(k));
      entry->GetReflection()->SetInt32(entry, Field(*entry, "value"), k);
    }
  };
  auto a = Kinds("");
  auto b = Kinds("");
  const pb::Reflection* r = a->GetReflection();
  fill(r->MutableMessage(a.get(), F("plain")), true);
  fill(r->MutableMessage(b.get(), F("plain")), false);
  fill(r->AddMessage(a.get(), F("r_plain")), true);
  fill(r->AddMessage(b.get(), F("r_plain")), false);
  EXPECT_TRUE(MessagesEqual(a.get(), b.get()));
  EXPECT_TRUE(CompareField(F("plain"), a.get(), b.get()));
  EXPECT_TRUE(CompareField(F("r_plain"), a.get(), b.get()));
}

}  // namespace
}  // namespace tarnix

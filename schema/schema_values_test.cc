#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using enc_test::Field;
using enc_test::NewMsg;

class SchemaValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = NewMsg(*schema_, "KindsMsg");
    b_ = NewMsg(*schema_, "KindsMsg");
  }
  const pb::FieldDescriptor* F(const std::string& name) { return Field(*a_, name); }
  const pb::Reflection* R() { return a_->GetReflection(); }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
  std::unique_ptr<pb::Message> a_;
  std::unique_ptr<pb::Message> b_;
};

TEST_F(SchemaValuesTest, SingularValueKinds) {
  R()->SetInt32(a_.get(), F("i32"), -5);
  R()->SetUInt32(a_.get(), F("u32"), 0xFFFFFFFFu);
  R()->SetFloat(a_.get(), F("f"), 1.5f);
  R()->SetEnumValue(a_.get(), F("color"), 3);

  // int32 fields give the enum kind.
  EXPECT_TRUE(AttributeValueEquals(schema_->GetFieldValue(a_.get(), F("i32")),
                                   AttributeValue::Enum(-5)));
  EXPECT_TRUE(AttributeValueEquals(schema_->GetFieldValue(a_.get(), F("u32")),
                                   AttributeValue::Uint32(0xFFFFFFFFu)));
  EXPECT_TRUE(AttributeValueEquals(schema_->GetFieldValue(a_.get(), F("f")),
                                   AttributeValue::Float(1.5f)));
  EXPECT_TRUE(AttributeValueEquals(schema_->GetFieldValue(a_.get(), F("color")),
                                   AttributeValue::Enum(3)));
  // Message fields read whether they are set.
  EXPECT_FALSE(schema_->GetFieldValue(a_.get(), F("plain")).bool_value());
  R()->MutableMessage(a_.get(), F("plain"));
  EXPECT_TRUE(AttributeValueEquals(schema_->GetFieldValue(a_.get(), F("plain")),
                                   AttributeValue::Bool(true)));
  EXPECT_FALSE(schema_->GetFieldValue(a_.get(), F("r_plain")).bool_value());
  R()->AddMessage(a_.get(), F("r_plain"));
  EXPECT_TRUE(schema_->GetFieldValue(a_.get(), F("r_plain")).bool_value());
}

TEST_F(SchemaValuesTest, ElementValues) {
  R()->AddInt32(a_.get(), F("r_i32"), -5);
  R()->AddEnumValue(a_.get(), F("r_color"), 3);
  pb::Message* element = R()->AddMessage(a_.get(), F("r_plain"));
  element->GetReflection()->SetInt32(element, Field(*element, "a"), 9);

  EXPECT_TRUE(AttributeValueEquals(schema_->GetRepeatedFieldValue(a_.get(), F("r_i32"), 0),
                                   AttributeValue::Enum(-5)));
  EXPECT_TRUE(AttributeValueEquals(schema_->GetRepeatedFieldValue(a_.get(), F("r_color"), 0),
                                   AttributeValue::Enum(3)));
  const AttributeValue serialised = schema_->GetRepeatedFieldValue(a_.get(), F("r_plain"), 0);
  EXPECT_EQ(serialised.kind(), AttributeValue::kString);
  EXPECT_EQ(serialised.string_value(), element->SerializeAsString());

  orv::LogCapture capture;
  for (int index : {-1, 1}) {
    EXPECT_TRUE(AttributeValueEquals(schema_->GetRepeatedFieldValue(a_.get(), F("r_i32"), index),
                                     AttributeValue::Enum(0)));
  }
  EXPECT_EQ(schema_->GetRepeatedFieldValue(a_.get(), F("i32"), 0).kind(), AttributeValue::kEnum);
  EXPECT_EQ(schema_->GetFieldValue(a_.get(), F("r_i32")).kind(), AttributeValue::kEnum);
  auto other = NewMsg(*schema_, "PlainMsg");
  EXPECT_EQ(schema_->GetFieldValue(other.get(), F("i32")).int32_value(), 0);
  EXPECT_EQ(capture.Count("DRX0204"), 5u);
}

TEST_F(SchemaValuesTest, FieldPresence) {
  EXPECT_FALSE(schema_->IsFieldSet(a_.get(), F("i32")));
  EXPECT_FALSE(schema_->IsFieldSet(a_.get(), F("r_s")));
  R()->SetInt32(a_.get(), F("i32"), 0);
  R()->AddString(a_.get(), F("r_s"), "");
  EXPECT_TRUE(schema_->IsFieldSet(a_.get(), F("i32")));
  EXPECT_TRUE(schema_->IsFieldSet(a_.get(), F("r_s")));
}

TEST_F(SchemaValuesTest, CompareRepeatedFieldsElementWise) {
  for (int v : {1, 2}) R()->AddInt32(a_.get(), F("r_i32"), v);
  for (int v : {1, 2}) R()->AddInt32(b_.get(), F("r_i32"), v);
  EXPECT_TRUE(schema_->CompareField(F("r_i32"), a_.get(), b_.get()));
  R()->SwapElements(b_.get(), F("r_i32"), 0, 1);
  EXPECT_FALSE(schema_->CompareField(F("r_i32"), a_.get(), b_.get()));
  R()->RemoveLast(b_.get(), F("r_i32"));
  EXPECT_FALSE(schema_->CompareField(F("r_i32"), a_.get(), b_.get()));
  EXPECT_TRUE(schema_->CompareField(F("r_s"), a_.get(), b_.get()));  // both empty

  for (auto* message : {a_.get(), b_.get()}) {
    pb::Message* element = R()->AddMessage(message, F("r_plain"));
    element->GetReflection()->SetString(element, Field(*element, "b"), "x");
  }
  EXPECT_TRUE(schema_->CompareField(F("r_plain"), a_.get(), b_.get()));
  R()->AddFloat(a_.get(), F("r_f"), std::nanf(""));
  R()->AddFloat(b_.get(), F("r_f"), std::nanf(""));
  EXPECT_FALSE(schema_->CompareField(F("r_f"), a_.get(), b_.get()));
}

TEST_F(SchemaValuesTest, CompareSingularFields) {
  EXPECT_TRUE(schema_->CompareField(F("i32"), a_.get(), b_.get()));
  R()->SetInt32(a_.get(), F("i32"), 0);
  EXPECT_FALSE(schema_->CompareField(F("i32"), a_.get(), b_.get()));
  R()->SetInt32(b_.get(), F("i32"), 0);
  EXPECT_TRUE(schema_->CompareField(F("i32"), a_.get(), b_.get()));

  R()->SetDouble(a_.get(), F("d"), -0.0);
  R()->SetDouble(b_.get(), F("d"), 0.0);
  EXPECT_TRUE(schema_->CompareField(F("d"), a_.get(), b_.get()));
  R()->SetFloat(a_.get(), F("f"), std::nanf(""));
  R()->SetFloat(b_.get(), F("f"), std::nanf(""));
  EXPECT_FALSE(schema_->CompareField(F("f"), a_.get(), b_.get()));

  R()->SetString(a_.get(), F("s"), "x");
  R()->SetString(b_.get(), F("s"), "y");
  EXPECT_FALSE(schema_->CompareField(F("s"), a_.get(), b_.get()));
  R()->SetEnumValue(a_.get(), F("color"), 1);
  R()->SetEnumValue(b_.get(), F("color"), 1);
  EXPECT_TRUE(schema_->CompareField(F("color"), a_.get(), b_.get()));

  R()->MutableMessage(a_.get(), F("plain"));
  pb::Message* plain = R()->MutableMessage(b_.get(), F("plain"));
  EXPECT_TRUE(schema_->CompareField(F("plain"), a_.get(), b_.get()));
  plain->GetReflection()->SetInt32(plain, Field(*plain, "a"), 1);
  EXPECT_FALSE(schema_->CompareField(F("plain"), a_.get(), b_.get()));
}

TEST_F(SchemaValuesTest, MessagesEqualBySerialisation) {
  EXPECT_TRUE(schema_->MessagesEqual(nullptr, nullptr));
  EXPECT_FALSE(schema_->MessagesEqual(nullptr, a_.get()));
  EXPECT_FALSE(schema_->MessagesEqual(a_.get(), nullptr));
  EXPECT_TRUE(schema_->MessagesEqual(a_.get(), b_.get()));
  R()->SetString(a_.get(), F("s"), "x");
  EXPECT_FALSE(schema_->MessagesEqual(a_.get(), b_.get()));
  R()->SetString(b_.get(), F("s"), "x");
  EXPECT_TRUE(schema_->MessagesEqual(a_.get(), b_.get()));
}

// Map entries serialise in insertion order unless asked for a deterministic
// form; equal maps built in another order must still compare equal.
TEST_F(SchemaValuesTest, EqualMapsCompareEqualWhateverTheirInsertionOrder) {
  auto fill = [](pb::Message* plain, bool ascending) {
    const pb::FieldDescriptor* counts = Field(*plain, "counts");
    for (int i = 0; i < 20; ++i) {
      const int k = ascending ? i : 19 - i;
      pb::Message* entry = plain->GetReflection()->AddMessage(plain, counts);
      entry->GetReflection()->SetString(entry, Field(*entry, "key"), "k" + std::to_string(k));
      entry->GetReflection()->SetInt32(entry, Field(*entry, "value"), k);
    }
  };
  fill(R()->MutableMessage(a_.get(), F("plain")), true);
  fill(R()->MutableMessage(b_.get(), F("plain")), false);
  fill(R()->AddMessage(a_.get(), F("r_plain")), true);
  fill(R()->AddMessage(b_.get(), F("r_plain")), false);
  EXPECT_TRUE(schema_->MessagesEqual(a_.get(), b_.get()));
  EXPECT_TRUE(schema_->CompareField(F("plain"), a_.get(), b_.get()));
  EXPECT_TRUE(schema_->CompareField(F("r_plain"), a_.get(), b_.get()));
}

}  // namespace
}  // namespace tarnix

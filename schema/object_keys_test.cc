#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using enc_test::Bytes;
using enc_test::Field;
using enc_test::Hex;
using enc_test::NewMsg;

class ObjectKeysTest : public ::testing::Test {
 protected:
  // Key string of KindsMsg field `field` once `text` is parsed into one.
  std::string KindKey(const std::string& field, const std::string& text) {
    auto message = NewMsg(*schema_, "KindsMsg");
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return schema_->keys().KeyFieldToString(message.get(), Field(*message, field));
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(ObjectKeysTest, KeyStringOfEveryKind) {
  // Floating keys truncate toward zero and saturate into int64.
  const std::string max64 = "FE FF FF FF FF FF FF FF FF 01";
  const std::string min64 = "FF FF FF FF FF FF FF FF FF 01";
  const struct {
    const char* field;
    const char* text;
    std::string key;
  } cases[] = {
      {"i32", "i32: -1", Bytes("01")},
      {"i32", "i32: -2147483648", Bytes("FF FF FF FF 0F")},
      {"i64", "i64: -2", Bytes("03")},
      {"u32", "u32: 300", Bytes("AC 02")},
      {"u64", "u64: 18446744073709551615", Bytes("FF FF FF FF FF FF FF FF FF 01")},
      {"b", "b: true", "1"},
      {"color", "color: COLOR_NEG", "-3"},
      {"s", "s: 'a b'", "a b"},
      {"raw", R"(raw: "\000\377")", std::string("\0\xff", 2)},
      {"d", "d: -2.9", Bytes("03")},
      {"f", "f: -0.5", Bytes("00")},
      {"d", "d: nan", Bytes("00")},
      {"d", "d: inf", Bytes(max64)},
      {"d", "d: 9223372036854775808", Bytes(max64)},
      {"d", "d: -9223372036854775808", Bytes(min64)},  // in range: exact
      {"d", "d: -1e300", Bytes(min64)},
      {"f", "f: -inf", Bytes(min64)},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(KindKey(c.field, c.text)), Hex(c.key)) << c.text;
}

TEST_F(ObjectKeysTest, MessageKeys) {
  // A whole UuidMsg: both halves little-endian; a StringMsg: its string; any
  // other message: its short debug text.
  const struct {
    const char* field;
    const char* text;
    std::string key;
  } cases[] = {
      {"uuid", "uuid { left: 1 }", "left: 1"},
      {"uuid", "uuid { left: 1 right: 2 }",
       Bytes("01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00")},
      {"str_msg", "", ""},
      {"str_msg", R"(str_msg { string: "k\000y" })", std::string("k\0y", 3)},
      {"plain", "plain { a: 4 }", "a: 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(KindKey(c.field, c.text)), Hex(c.key)) << c.text;
}

TEST_F(ObjectKeysTest, RepeatedKeyElementsAndBadArguments) {
  auto message = NewMsg(*schema_, "KindsMsg");
  const pb::Reflection* r = message->GetReflection();
  const pb::FieldDescriptor* r_i32 = Field(*message, "r_i32");
  r->AddInt32(message.get(), r_i32, 5);
  r->AddInt32(message.get(), r_i32, -1);
  EXPECT_EQ(Hex(schema_->keys().RepeatedKeyFieldToString(message.get(), r_i32, 1)), "01");

  orv::LogCapture capture;
  EXPECT_EQ(schema_->keys().RepeatedKeyFieldToString(message.get(), r_i32, 2), "");
  EXPECT_EQ(schema_->keys().RepeatedKeyFieldToString(message.get(), r_i32, -1), "");
  EXPECT_EQ(schema_->keys().RepeatedKeyFieldToString(message.get(), Field(*message, "i32"), 0), "");
  EXPECT_EQ(schema_->keys().KeyFieldToString(message.get(), r_i32), "");
  EXPECT_EQ(schema_->keys().KeyFieldToString(message.get(), nullptr), "");
  EXPECT_EQ(schema_->keys().KeyFieldToString(nullptr, r_i32), "");
  auto other = NewMsg(*schema_, "PlainMsg");
  EXPECT_EQ(schema_->keys().KeyFieldToString(other.get(), r_i32), "");
  EXPECT_EQ(capture.Count("DRX0002"), 2u);
  EXPECT_TRUE(capture.Contains("field_descriptor is nullptr"));
  EXPECT_TRUE(capture.Contains("msg is nullptr"));
}

TEST_F(ObjectKeysTest, GetKeyNeedsASetSingularKey) {
  auto object = NewMsg(*schema_, "StrKeyMsg");
  EXPECT_EQ(schema_->keys().GetKeyFieldName(object.get()), "name");
  {
    orv::LogCapture capture;
    EXPECT_EQ(schema_->keys().GetKey(object.get()), "");
    EXPECT_TRUE(capture.Contains("DRX0206"));
    EXPECT_TRUE(capture.Contains("Object does not have a key: "));
  }
  object->GetReflection()->SetString(object.get(), Field(*object, "name"), "n1");
  EXPECT_EQ(schema_->keys().GetKey(object.get()), "n1");
  EXPECT_EQ(schema_->keys().GetKeyFromSerialized("enc.test.StrKeyMsg", object->SerializeAsString()),
            "n1");

  orv::LogCapture capture;
  auto child = NewMsg(*schema_, "ChildMsg");  // repeated key field
  child->GetReflection()->AddString(child.get(), Field(*child, "ids"), "x");
  EXPECT_EQ(schema_->keys().GetKey(child.get()), "");
  EXPECT_EQ(schema_->keys().GetKeyFieldName(child.get()), "");
  EXPECT_EQ(schema_->keys().GetKeyFieldName(nullptr), "");
  EXPECT_EQ(schema_->keys().GetKey(nullptr), "");
  EXPECT_TRUE(capture.Contains("Input Message is nullptr"));
  EXPECT_EQ(schema_->keys().GetKeyFromSerialized("enc.test.StrKeyMsg", "\x0a\x09"), "");
  EXPECT_TRUE(capture.Contains("DRX0203"));
  EXPECT_TRUE(capture.Contains("Unable to deserialize Object"));
}

TEST_F(ObjectKeysTest, ParentKeysComeFromTheFirstInstanceOfEachNestedType) {
  auto child = NewMsg(*schema_, "ChildMsg");
  const pb::Reflection* r = child->GetReflection();
  r->AddString(child.get(), Field(*child, "parents"), "a");
  r->AddString(child.get(), Field(*child, "parents"), "b");
  auto set_owner = [](pb::Message* ref, uint32_t owner) {
    ref->GetReflection()->SetUInt32(ref, Field(*ref, "owner"), owner);
  };
  pb::Message* ref = r->MutableMessage(child.get(), Field(*child, "ref"));
  set_owner(ref, 7);
  set_owner(ref->GetReflection()->MutableMessage(ref, Field(*ref, "next")), 5);
  set_owner(r->AddMessage(child.get(), Field(*child, "refs")), 8);
  set_owner(r->AddMessage(child.get(), Field(*child, "refs")), 9);
  pb::Message* inner = r->MutableMessage(child.get(), Field(*child, "inner"));
  inner->GetReflection()->AddString(inner, Field(*inner, "parents"), "z");

  ObjectKeys::ParentKeyMap keys;
  schema_->keys().GetParentKeys(child.get(), &keys);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys["enc.test.StrKeyMsg"], (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(keys["enc.test.Uint32KeyMsg"], (std::vector<std::string>{"\x07", "\x08"}));

  // A second call appends; the serialised form gives the same keys.
  schema_->keys().GetParentKeysFromSerialized("enc.test.ChildMsg", child->SerializeAsString(),
                                              &keys);
  EXPECT_EQ(keys["enc.test.StrKeyMsg"], (std::vector<std::string>{"a", "b", "a", "b"}));

  orv::LogCapture capture;
  schema_->keys().GetParentKeys(child.get(), nullptr);
  schema_->keys().GetParentKeys(nullptr, &keys);
  schema_->keys().GetParentKeysFromSerialized("enc.test.ChildMsg", "\x0a\x09", &keys);
  EXPECT_EQ(keys["enc.test.StrKeyMsg"].size(), 4u);
  EXPECT_TRUE(capture.Contains("parent_keys is nullptr"));
  EXPECT_TRUE(capture.Contains("DRX0203"));
}

}  // namespace
}  // namespace tarnix

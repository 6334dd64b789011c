#include <blake2.h>

#include <set>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "logging/log_capture.h"
#include "schema/enc_test_util.h"
#include "schema/varint.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using enc_test::Bytes;
using enc_test::Field;
using enc_test::Hex;
using enc_test::NewMsg;

class SchemaKeysTest : public ::testing::Test {
 protected:
  // Key string of KindsMsg field `field` once `text` is parsed into one.
  std::string KindKey(const std::string& field, const std::string& text) {
    auto message = NewMsg(*schema_, "KindsMsg");
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return schema_->keys().KeyFieldToString(message.get(), Field(*message, field));
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(SchemaKeysTest, KeyStringOfEveryKind) {
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

TEST_F(SchemaKeysTest, MessageKeys) {
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

TEST_F(SchemaKeysTest, RepeatedKeyElementsAndBadArguments) {
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

TEST_F(SchemaKeysTest, GetKeyNeedsASetSingularKey) {
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

TEST_F(SchemaKeysTest, ParentKeysComeFromTheFirstInstanceOfEachNestedType) {
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

TEST_F(SchemaKeysTest, ObjectTypeFieldRoundTrip) {
  // The compiled enum knows no real type: ids travel as unknown varints.
  caldek::orv::tarnix::TypedObjectMsg typed;
  schema_->types().SetObjectType("enc.test.Type300Msg", &typed);
  EXPECT_FALSE(typed.has_object_type());
  EXPECT_EQ(schema_->types().GetObjectType(&typed), "enc.test.Type300Msg");
  caldek::orv::tarnix::TypedObjectMsg parsed;
  ASSERT_TRUE(parsed.ParseFromString(typed.SerializeAsString()));
  EXPECT_EQ(Hex(parsed.SerializeAsString()), "08 AC 02");
  EXPECT_EQ(schema_->types().GetObjectType(&parsed), "enc.test.Type300Msg");
  // A second call adds a second field; the first one is read.
  schema_->types().SetObjectType("enc.test.Type129Msg", &typed);
  EXPECT_EQ(Hex(typed.SerializeAsString()), "08 AC 02 08 81 01");
  EXPECT_EQ(schema_->types().GetObjectType(&typed), "enc.test.Type300Msg");

  // The schema's own enum defines the id: parsing sets the field itself.
  auto kinds = NewMsg(*schema_, "KindsMsg");
  schema_->types().SetObjectType("enc.test.StrKeyMsg", kinds.get());
  auto reparsed = NewMsg(*schema_, "KindsMsg");
  ASSERT_TRUE(reparsed->ParseFromString(kinds->SerializeAsString()));
  EXPECT_TRUE(reparsed->GetReflection()->HasField(*reparsed, Field(*reparsed, "object_type")));
  EXPECT_EQ(schema_->types().GetObjectType(reparsed.get()), "enc.test.StrKeyMsg");

  orv::LogCapture capture;
  caldek::orv::tarnix::TypedObjectMsg unknown;
  unknown.mutable_unknown_fields()->AddVarint(1, 77);
  EXPECT_EQ(schema_->types().GetObjectType(&unknown), "");
  EXPECT_TRUE(capture.Contains("Unable to find the full qualified name from the object type 77"));
  caldek::orv::tarnix::TypedObjectMsg empty;
  EXPECT_EQ(schema_->types().GetObjectType(&empty), "");
  auto plain = NewMsg(*schema_, "PlainMsg");
  EXPECT_EQ(schema_->types().GetObjectType(plain.get()), "");
  EXPECT_EQ(capture.Count("Message does not have an ObjectType enum field: "), 2u);
  schema_->types().SetObjectType("enc.test.NoSuchMsg", &empty);
  schema_->types().SetObjectType("enc.test.StrKeyMsg", plain.get());
  schema_->types().SetObjectType("enc.test.StrKeyMsg", nullptr);
  EXPECT_EQ(empty.ByteSizeLong() + plain->ByteSizeLong(), 0u);
  EXPECT_TRUE(capture.Contains("Message is nullptr"));
}

// BLAKE2b-32 of type name and fed bytes, big-endian.
uint32_t ReferenceHash(const std::string& type_name, const std::string& fed) {
  const std::string input = type_name + fed;
  uint8_t out[4];
  EXPECT_EQ(blake2b(out, input.data(), nullptr, sizeof(out), input.size(), 0), 0);
  return (uint32_t{out[0]} << 24) | (uint32_t{out[1]} << 16) | (uint32_t{out[2]} << 8) | out[3];
}

using Ranges = caldek::orv::tarnix::MerkleTreeBlockRangesMsg;

TEST_F(SchemaKeysTest, BlockIdsMatchAnIndependentHash) {
  const std::string str_type = "enc.test.StrKeyMsg";
  const std::string u32_type = "enc.test.Uint32KeyMsg";
  const std::string i32_type = "enc.test.Int32KeyMsg";
  // Digests computed outside this code base (4-byte BLAKE2b, big-endian).
  EXPECT_EQ(ReferenceHash(str_type, "abc"), 0x18889227u);
  EXPECT_EQ(schema_->types().ComputeBlockId(str_type, "abc", nullptr), 0x18889227u % 1024 + 1);
  // Integer keys are hashed as fixed-width little-endian values.
  EXPECT_EQ(schema_->types().ComputeBlockId(u32_type, Bytes("AC 02"), nullptr),
            ReferenceHash(u32_type, Bytes("2C 01 00 00")) % 1024 + 1);
  EXPECT_EQ(schema_->types().ComputeBlockId(i32_type, EncodeVarint64(ZigZagEncode32(-5)), nullptr),
            ReferenceHash(i32_type, Bytes("FB FF FF FF")) % 1024 + 1);
  const std::string u64_type = "enc.test.Uint64KeyMsg";
  EXPECT_EQ(schema_->types().ComputeBlockId(u64_type, EncodeVarint64(uint64_t{1} << 40), nullptr),
            ReferenceHash(u64_type, Bytes("00 00 00 00 00 01 00 00")) % 1024 + 1);

  // A count without a range for the type's frequency (high).
  auto ranges = std::make_shared<Ranges>();
  ranges->set_num_blocks(16);
  ranges->mutable_low_frequency_range()->set_first_block(3);
  ranges->mutable_low_frequency_range()->set_last_block(4);
  EXPECT_EQ(schema_->types().ComputeBlockId(str_type, "abc", ranges),
            ReferenceHash(str_type, "abc") % 16 + 1);
  // The low range applies to the low-frequency type; N = min(16, 4).
  EXPECT_EQ(schema_->types().ComputeBlockId(u32_type, Bytes("AC 02"), ranges),
            3 + ReferenceHash(u32_type, Bytes("2C 01 00 00")) % 2);
}

TEST_F(SchemaKeysTest, BlockIdsStayInTheirRange) {
  const std::string u32_type = "enc.test.Uint32KeyMsg";
  const struct {
    uint32_t first, last, lo, hi;
  } cases[] = {{5, 8, 5, 8}, {0, 8, 1, 8}, {7, 7, 7, 7}, {1, 1000, 1, 64}};
  for (const auto& c : cases) {
    auto ranges = std::make_shared<Ranges>();
    ranges->set_num_blocks(64);
    ranges->mutable_low_frequency_range()->set_first_block(c.first);
    ranges->mutable_low_frequency_range()->set_last_block(c.last);
    std::set<uint32_t> seen;
    for (uint32_t key = 0; key < 3000; ++key) {
      const uint32_t block = schema_->types().ComputeBlockId(u32_type, EncodeVarint64(key), ranges);
      ASSERT_GE(block, c.lo);
      ASSERT_LE(block, c.hi);
      seen.insert(block);
    }
    EXPECT_EQ(seen.size(), c.hi - c.lo + 1) << c.first << ".." << c.last;
  }
}

TEST_F(SchemaKeysTest, EmptyBlockRangesGiveNoBlock) {
  orv::LogCapture capture;
  auto zero = std::make_shared<Ranges>();
  zero->set_num_blocks(0);
  EXPECT_EQ(schema_->types().ComputeBlockId("enc.test.StrKeyMsg", "abc", zero), 0u);
  auto inverted = std::make_shared<Ranges>();
  inverted->mutable_low_frequency_range()->set_first_block(9);
  inverted->mutable_low_frequency_range()->set_last_block(8);
  EXPECT_EQ(schema_->types().ComputeBlockId("enc.test.Uint32KeyMsg", "\x01", inverted), 0u);
  auto no_last = std::make_shared<Ranges>();
  no_last->mutable_low_frequency_range()->set_first_block(2);
  EXPECT_EQ(schema_->types().ComputeBlockId("enc.test.Uint32KeyMsg", "\x01", no_last), 0u);
  EXPECT_EQ(capture.Count("DRX0204"), 3u);
  EXPECT_EQ(schema_->types().ComputeBlockId("enc.test.NoSuchMsg", "abc", nullptr), 0u);
  EXPECT_TRUE(capture.Contains("Unable to find the object type id from the enc.test.NoSuchMsg"));
  // The widest count still fits.
  auto widest = std::make_shared<Ranges>();
  widest->set_num_blocks(0xFFFFFFFFu);
  EXPECT_EQ(schema_->types().ComputeBlockId("enc.test.StrKeyMsg", "abc", widest),
            1 + ReferenceHash("enc.test.StrKeyMsg", "abc") % 0xFFFFFFFFu);
}

}  // namespace
}  // namespace tarnix

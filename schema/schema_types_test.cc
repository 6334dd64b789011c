#include <blake2.h>

#include <set>

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

class SchemaTypesTest : public ::testing::Test {
 protected:
  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(SchemaTypesTest, ObjectTypeFieldRoundTrip) {
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

TEST_F(SchemaTypesTest, ParseIntoSaysWhyBytesDoNotParse) {
  auto message = NewMsg(*schema_, "KindsMsg");
  orv::LogCapture capture;
  EXPECT_EQ(schema_->types().ParseInto("enc.test.KindsMsg", "\x0a\x05", message.get()),
            Status::InvalidArgument("Unable to parse data into enc.test.KindsMsg message"));
  EXPECT_TRUE(capture.Contains("Unable to parse data into enc.test.KindsMsg message"));
  EXPECT_EQ(schema_->types().ParseInto("enc.test.KindsMsg", "", message.get()), Status::OK());
}

using Ranges = caldek::orv::tarnix::MerkleTreeBlockRangesMsg;

TEST_F(SchemaTypesTest, BlockIdsMatchAnIndependentHash) {
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

TEST_F(SchemaTypesTest, BlockIdsStayInTheirRange) {
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

TEST_F(SchemaTypesTest, EmptyBlockRangesGiveNoBlock) {
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

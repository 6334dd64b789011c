#include "schema/wire_format.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

using enc_test::Bytes;
using enc_test::Hex;

std::string Sorted(const std::string& hex) { return Hex(SortSerializedFields(Bytes(hex))); }

TEST(WireFormatTest, SortsTopLevelRecordsBytewise) {
  EXPECT_EQ(Sorted("10 05 08 07"), "08 07 10 05");
  EXPECT_EQ(Sorted("08 03 08 01 08 02"), "08 01 08 02 08 03");
  // Field 16 has a two-byte tag and sorts after one-byte tags.
  EXPECT_EQ(Sorted("80 01 01 10 01"), "10 01 80 01 01");
  // Fixed-width and length-delimited payloads stay whole; nested messages are
  // not reordered inside.
  EXPECT_EQ(Sorted("1A 04 10 01 08 02 0D 01 02 03 04 09 01 02 03 04 05 06 07 08"),
            "09 01 02 03 04 05 06 07 08 0D 01 02 03 04 1A 04 10 01 08 02");
  // Equal records keep their places; a prefix sorts first.
  EXPECT_EQ(Sorted("12 02 61 62 12 01 61 12 01 61"), "12 01 61 12 01 61 12 02 61 62");
  EXPECT_EQ(SortSerializedFields(""), "");
}

TEST(WireFormatTest, GroupsAndInvalidWireTypesComeBackUnchanged) {
  for (const char* hex : {"08 01 0B 08 01 0C", "08 01 0F 00"}) {
    orv::LogCapture capture;
    EXPECT_EQ(Sorted(hex), hex);
    EXPECT_EQ(capture.Count("DRX0207"), 1u);
    EXPECT_TRUE(capture.Contains("Unsupported wire format"));
  }
}

TEST(WireFormatTest, TruncatedInputIsCutAtItsEnd) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"10 05 08 87", "08 87 10 05"},       // last varint cut
      {"10 05 08", "08 10 05"},             // tag without payload
      {"10 05 12 05 61", "10 05 12 05 61"}, // payload shorter than its length
      {"10 05 12 85", "10 05 12 85"},       // length varint cut
      {"10 05 09 01 02", "09 01 02 10 05"}, // fixed64 cut
      {"10 05 88", "10 05 88"},             // tag varint cut
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sorted(c.in), c.out) << c.in;
  }
}

TEST(WireFormatTest, ReadVarintIsBounded) {
  const std::string bytes = Bytes("AC 02 FF");
  EXPECT_EQ(ReadVarint(bytes, 0), std::make_pair(300u, size_t{2}));
  EXPECT_EQ(ReadVarint(bytes, 2), std::make_pair(127u, size_t{3}));
  EXPECT_EQ(ReadVarint(bytes, 3), std::make_pair(0u, size_t{3}));
  // Eleven continuation bytes: stops after ten.
  EXPECT_EQ(ReadVarint(std::string(11, '\xFF'), 0).second, 10u);
  // Groups past 32 bits wrap: 2^35 reads as 2^3.
  EXPECT_EQ(ReadVarint(Bytes("80 80 80 80 80 01"), 0).first, 8u);
}

TEST(WireFormatTest, SliceClampsItsEnd) {
  EXPECT_EQ(SliceSerialized("abcdef", 2, 4), "cd");
  EXPECT_EQ(SliceSerialized("abcdef", 4, 100), "ef");
  EXPECT_EQ(SliceSerialized("abcdef", 6, 7), "");
  EXPECT_THROW(SliceSerialized("abcdef", 7, 8), std::out_of_range);
}

}  // namespace
}  // namespace tarnix

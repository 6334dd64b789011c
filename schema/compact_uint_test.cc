#include "schema/compact_uint.h"

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "schema/vdb_id_set.h"

namespace tarnix {
namespace {

std::string Encode64(uint64_t value) {
  std::string out;
  EXPECT_TRUE(AppendCompactUint64(&out, value)) << value;
  return out;
}

std::string Encode16(uint16_t value) {
  std::string out;
  AppendCompactUint16(&out, value);
  return out;
}

TEST(CompactUint, KnownEncodingsRoundTrip) {
  const std::vector<std::pair<uint64_t, std::string>> table64 = {
      {0, std::string(1, '\0')}, {31, "\x1F"}, {32, "\x20\x20"}, {300, "\x21\x2C"},
      {8191, "\x3F\xFF"}, {8192, std::string("\x40\x20\x00", 3)},
      {uint64_t{1} << 53, std::string("\xE0\x20\0\0\0\0\0\0", 8)},
      {kCompactUint64Limit - 1, std::string(8, '\xFF')}};
  for (const auto& [value, bytes] : table64) {
    EXPECT_EQ(Encode64(value), bytes) << value;
    uint64_t decoded = 0;
    EXPECT_EQ(DecodeCompactUint64(bytes.data(), bytes.size(), &decoded), bytes.size());
    EXPECT_EQ(decoded, value);
  }
  const std::vector<std::pair<uint16_t, std::string>> table16 = {
      {1, "\x01"}, {63, "\x3F"}, {64, "\x40\x40"}, {300, "\x41\x2C"}, {16383, "\x7F\xFF"},
      {16384, std::string("\x80\x40\x00", 3)}, {65535, "\x80\xFF\xFF"}};
  for (const auto& [value, bytes] : table16) {
    EXPECT_EQ(Encode16(value), bytes) << value;
    EXPECT_EQ(Encode16(value), EncodeVdbIdSet({value})) << value;
    uint16_t decoded = 0;
    EXPECT_EQ(DecodeCompactUint16(bytes.data(), bytes.size(), &decoded), bytes.size());
    EXPECT_EQ(decoded, value);
  }
}

TEST(CompactUint, RejectsWhatHasNoEncoding) {
  std::string out;
  EXPECT_FALSE(AppendCompactUint64(&out, kCompactUint64Limit));
  EXPECT_TRUE(out.empty());

  uint64_t v64 = 7;
  const std::string three = Encode64(8192);
  EXPECT_EQ(DecodeCompactUint64(three.data(), 0, &v64), 0u);
  EXPECT_EQ(DecodeCompactUint64(three.data(), 2, &v64), 0u);
  EXPECT_EQ(v64, 7u);
  uint16_t v16 = 9;
  for (const std::string& bad : {std::string("\x80\x40", 2), std::string("\x81\x00\x00", 3),
                                 std::string("\xC0\x00\x00\x01", 4)}) {
    EXPECT_EQ(DecodeCompactUint16(bad.data(), bad.size(), &v16), 0u);
  }
  EXPECT_EQ(v16, 9u);

  // The wide reader takes a four-byte form, as set headers allow.
  uint32_t wide = 0;
  const std::string four("\xC0\x00\x00\x05", 4);
  EXPECT_EQ(DecodeWideCompactUint16(four.data(), 4, &wide), 4u);
  EXPECT_EQ(wide, 5u);
  EXPECT_EQ(DecodeWideCompactUint16(four.data(), 3, &wide), 0u);
}

// Keys built from these sort like the numbers, whatever their lengths.
TEST(CompactUint, BytewiseOrderIsNumericOrder) {
  std::mt19937_64 rng(20240601);
  std::vector<uint64_t> values;
  for (int bits = 1; bits <= 61; ++bits) {
    for (int i = 0; i < 40; ++i) values.push_back(rng() & ((uint64_t{1} << bits) - 1));
  }
  std::shuffle(values.begin(), values.end(), rng);
  for (size_t i = 1; i < values.size(); ++i) {
    const uint64_t a = values[i - 1], b = values[i];
    EXPECT_EQ(a < b, Encode64(a) < Encode64(b)) << a << " " << b;
    const uint16_t sa = static_cast<uint16_t>(a), sb = static_cast<uint16_t>(b);
    EXPECT_EQ(sa < sb, Encode16(sa) < Encode16(sb)) << sa << " " << sb;
  }
}

}  // namespace
}  // namespace tarnix

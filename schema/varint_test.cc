#include "schema/varint.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

using enc_test::Bytes;
using enc_test::Hex;

TEST(VarintTest, EncodeAndDecode) {
  EXPECT_EQ(Hex(EncodeVarint64(5)), "05");
  EXPECT_EQ(Hex(EncodeVarint64(300)), "AC 02");
  EXPECT_EQ(EncodeVarint64(std::numeric_limits<uint64_t>::max()).size(), 10u);
  for (uint64_t v : {uint64_t{0}, uint64_t{127}, uint64_t{128}, uint64_t{1} << 35,
                     std::numeric_limits<uint64_t>::max()}) {
    const std::string bytes = EncodeVarint64(v) + "tail";
    uint64_t decoded = 0;
    ASSERT_EQ(DecodeVarint64(bytes.data(), bytes.size(), &decoded), bytes.size() - 4);
    EXPECT_EQ(decoded, v);
  }
}

TEST(VarintTest, DecoderStopsAtTheEndAndAfterTenBytes) {
  uint64_t value = 0;
  const std::string truncated = Bytes("AC");
  EXPECT_EQ(DecodeVarint64(truncated.data(), truncated.size(), &value), 0u);
  EXPECT_EQ(DecodeVarint64(nullptr, 0, &value), 0u);
  const std::string eleven = std::string(10, '\x80') + '\x01';
  EXPECT_EQ(DecodeVarint64(eleven.data(), eleven.size(), &value), 0u);
}

// The encodings themselves are pinned by the key-string tests.
TEST(VarintTest, ZigZagDecodesTheWholeRange) {
  for (int64_t v : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::max(),
                    std::numeric_limits<int64_t>::min()}) {
    EXPECT_EQ(ZigZagDecode64(ZigZagEncode64(v)), v);
  }
  for (int32_t v : {0, -7, std::numeric_limits<int32_t>::max(),
                    std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(ZigZagDecode32(ZigZagEncode32(v)), v);
  }
}

}  // namespace
}  // namespace tarnix

#include "schema/vdb_id_set.h"

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

using enc_test::Bytes;
using enc_test::Hex;

TEST(VdbIdSetTest, WorkedEncodings) {
  const struct {
    VdbIdSet ids;
    const char* hex;
  } cases[] = {
      {{1}, "01"},           {{1, 2}, "01 80"},      {{1, 3, 10}, "01 40 80"},
      {{0}, "00"},           {{0, 1}, "00 80"},      {{63}, "3F"},
      {{64}, "40 40"},       {{100, 101}, "40 64 80"}, {{300}, "41 2C"},
      {{16383}, "7F FF"},    {{16384}, "80 40 00"},  {{65535}, "80 FF FF"},
      {{5, 12, 13}, "05 03"}, {{2, 9}, "02 02"},
  };
  for (const auto& c : cases) {
    const EncodedVdbIdSet encoded = EncodeVdbIdSet(c.ids);
    EXPECT_EQ(Hex(encoded), c.hex) << VdbIdSetToString(c.ids);
    VdbIdSet decoded;
    ASSERT_TRUE(DecodeVdbSuffix(encoded, &decoded)) << c.hex;
    EXPECT_EQ(decoded, c.ids) << c.hex;
  }
}

TEST(VdbIdSetTest, WidestSetUsesEveryBitmapByte) {
  const EncodedVdbIdSet encoded = EncodeVdbIdSet({1, 65535});
  EXPECT_TRUE(encoded == "\x01" + std::string(8191, '\0') + "\x04");
  EXPECT_TRUE(IdBitmapContains(encoded, 65535));
  EXPECT_TRUE(IdBitmapContains(encoded, 1));
  EXPECT_FALSE(IdBitmapContains(encoded, 65534));
  EXPECT_FALSE(IdBitmapContains(encoded, 0));
  VdbIdSet decoded;
  ASSERT_TRUE(DecodeVdbSuffix(encoded, &decoded));
  EXPECT_EQ(decoded, (VdbIdSet{1, 65535}));

  // {0, ..., 65535}: all ones but the bit after 65535.
  VdbIdSet all;
  for (uint32_t id = 0; id <= 65535; ++id) all.insert(static_cast<VdbId>(id));
  const EncodedVdbIdSet full = EncodeVdbIdSet(all);
  EXPECT_TRUE(full == std::string(1, '\0') + std::string(8191, '\xFF') + "\xFE");
  ASSERT_TRUE(DecodeVdbSuffix(full, &decoded));
  EXPECT_EQ(decoded.size(), 65536u);
}

TEST(VdbIdSetTest, ShortOrEmptyBytesHoldNothing) {
  // Only the given length counts, whatever follows it in memory.
  const std::string padded = Bytes("01 40 80 FF");
  for (VdbId id = 18; id <= 25; ++id) EXPECT_FALSE(IdBitmapContains(padded.data(), 3, id)) << id;
  // Headers announcing more bytes than present.
  for (const char* hex : {"40", "80 40", "C0 00 00"}) {
    const std::string bytes = Bytes(hex);
    for (VdbId id : {0, 1, 64, 16384}) EXPECT_FALSE(IdBitmapContains(bytes, id)) << hex;
    VdbIdSet ids;
    EXPECT_FALSE(DecodeVdbSuffix(bytes, &ids)) << hex;
  }
  EXPECT_FALSE(IdBitmapContains(nullptr, 0, 1));
  // A four-byte header is readable, but its base is no 16-bit id.
  VdbIdSet ids;
  EXPECT_FALSE(DecodeVdbSuffix(Bytes("C0 01 00 00"), &ids));
  EXPECT_TRUE(DecodeVdbSuffix(Bytes("C0 00 00 05"), &ids));
  EXPECT_EQ(ids, VdbIdSet{5});
}

TEST(VdbIdSetTest, EmptySuffixIsTheMainVdb) {
  EXPECT_EQ(EncodeVdbIdSet({}), "");
  VdbIdSet ids{7};
  ASSERT_TRUE(DecodeVdbSuffix("", &ids));
  EXPECT_EQ(ids, VdbIdSet{1});
  EXPECT_TRUE(VdbSuffixContains("", 1));
  EXPECT_FALSE(VdbSuffixContains("", 2));
  EXPECT_TRUE(VdbSuffixContains(Bytes("02 02"), 9));
  EXPECT_FALSE(VdbSuffixContains(Bytes("02 02"), 1));
}

TEST(VdbIdSetTest, RandomSetsRoundTrip) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 400; ++round) {
    // Mix dense sets near a random base with sparse sets over the whole range.
    const uint32_t base = rng() % 65536;
    const uint32_t spread = round % 2 == 0 ? 1 + rng() % 200 : 65536;
    const int count = 1 + static_cast<int>(rng() % 40);
    VdbIdSet ids;
    for (int i = 0; i < count; ++i) {
      ids.insert(static_cast<VdbId>(std::min<uint32_t>(65535, base + rng() % spread)));
    }
    const EncodedVdbIdSet encoded = EncodeVdbIdSet(ids);
    VdbIdSet decoded;
    ASSERT_TRUE(DecodeVdbSuffix(encoded, &decoded));
    ASSERT_EQ(decoded, ids) << Hex(encoded);
    ASSERT_NE(encoded.back(), '\0') << "bitmap must not end in a zero byte";
    // Membership agrees with std::set around every member and at random.
    for (VdbId id : ids) {
      ASSERT_TRUE(IdBitmapContains(encoded, id));
      ASSERT_EQ(IdBitmapContains(encoded, static_cast<VdbId>(id + 1)), ids.count(id + 1) != 0);
      ASSERT_EQ(IdBitmapContains(encoded, static_cast<VdbId>(id - 1)),
                ids.count(static_cast<VdbId>(id - 1)) != 0);
    }
    for (int i = 0; i < 50; ++i) {
      const VdbId probe = static_cast<VdbId>(rng());
      ASSERT_EQ(IdBitmapContains(encoded, probe), ids.count(probe) != 0) << probe;
    }
  }
}

// --- Edits ---

// Random sets around the points where the encoding changes: the header
// grows at 64 and 16384, the bitmap spans up to 65535.
class VdbSetGenerator {
 public:
  explicit VdbSetGenerator(uint32_t seed) : rng_(seed) {}

  VdbIdSet Next() {
    static const uint32_t kCentres[] = {0, 1, 63, 64, 100, 16383, 16384, 40000, 65535};
    VdbIdSet ids;
    const int count = Uniform(0, 12);
    for (int i = 0; i < count; ++i) {
      const int centre = static_cast<int>(kCentres[Uniform(0, 8)]);
      const int spread = Uniform(0, 3) == 0 ? 3000 : 20;
      ids.insert(static_cast<VdbId>(std::clamp(centre + Uniform(-spread, spread), 0, 65535)));
    }
    return ids;
  }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  std::mt19937 rng_;
};

VdbIdSet Union(VdbIdSet a, const VdbIdSet& b) {
  a.insert(b.begin(), b.end());
  return a;
}
VdbIdSet Difference(VdbIdSet a, const VdbIdSet& b) {
  for (VdbId id : b) a.erase(id);
  return a;
}

TEST(EncodedVdbIdSetTest, AddAndRemoveMatchTheSetReference) {
  VdbSetGenerator generator(20240601);
  std::string out;
  for (int round = 0; round < 20000; ++round) {
    const VdbIdSet old_set = generator.Next();
    const VdbIdSet ids = generator.Next();
    const std::string old = EncodeVdbIdSet(old_set);
    ASSERT_TRUE(AddToVdbIdSet(ids, old, &out));
    ASSERT_EQ(out, EncodeVdbIdSet(Union(old_set, ids)))
        << "{" << VdbIdSetToString(old_set) << "} + {" << VdbIdSetToString(ids) << "}";
    ASSERT_TRUE(RemoveFromVdbIdSet(ids, old, &out));
    ASSERT_EQ(out, EncodeVdbIdSet(Difference(old_set, ids)))
        << "{" << VdbIdSetToString(old_set) << "} - {" << VdbIdSetToString(ids) << "}";
    // Removing ids the set shares with itself, including its base.
    const VdbIdSet part = Difference(old_set, ids);
    ASSERT_TRUE(RemoveFromVdbIdSet(part, old, &out));
    ASSERT_EQ(out, EncodeVdbIdSet(Difference(old_set, part)));
  }
}

// `encoded` with a header one byte wider than it needs.
std::string WidenHeader(const std::string& encoded) {
  const size_t n = static_cast<uint8_t>(encoded[0]) >> 6;
  if (n == 3) return encoded;
  uint32_t base = static_cast<uint8_t>(encoded[0]) & 0x3F;
  for (size_t i = 1; i <= n; ++i) base = (base << 8) | static_cast<uint8_t>(encoded[i]);
  std::string out(1, static_cast<char>(((n + 1) << 6) | (base >> (8 * (n + 1)))));
  for (size_t i = n + 1; i > 0; --i) out.push_back(static_cast<char>((base >> (8 * (i - 1))) & 0xFF));
  return out + encoded.substr(n + 1);
}

// Encodings that writers do not produce but readers accept (wide headers,
// trailing zero bytes, bits above 65535) and bytes they refuse: edits must
// read them as the record-key reader does and write canonical encodings.
TEST(EncodedVdbIdSetTest, EditsReadNonCanonicalInputsAsKeyReadersDo) {
  VdbSetGenerator generator(7);
  std::mt19937 rng(11);
  std::string out;
  for (int round = 0; round < 5000; ++round) {
    const VdbIdSet old_set = generator.Next();
    if (old_set.empty()) continue;
    std::string old = EncodeVdbIdSet(old_set);
    switch (rng() % 4) {
      case 0:
        old = WidenHeader(old);
        break;
      case 1:
        old.append(rng() % 50, '\0');
        break;
      case 2:  // ids past 65535
        old.append(rng() % 300, '\xFF');
        break;
      default:  // random bytes
        old.resize(rng() % 4);
        for (char& c : old) c = static_cast<char>(rng());
        break;
    }
    if (old.empty()) continue;
    const VdbIdSet ids = generator.Next();
    VdbIdSet reference;
    const bool readable = DecodeVdbSuffix(old, &reference);
    const std::string shown = "{" + VdbIdSetToString(reference) + "} and {" +
                              VdbIdSetToString(ids) + "}, input size " +
                              std::to_string(old.size());
    ASSERT_EQ(IsValidVdbSuffix(old), readable) << shown;
    ASSERT_EQ(AddToVdbIdSet(ids, old, &out), readable) << shown;
    if (!readable) {
      ASSERT_EQ(RemoveFromVdbIdSet(ids, old, &out), false) << shown;
      continue;
    }
    ASSERT_EQ(out, EncodeVdbIdSet(Union(reference, ids))) << shown;
    ASSERT_TRUE(RemoveFromVdbIdSet(ids, old, &out)) << shown;
    ASSERT_EQ(out, EncodeVdbIdSet(Difference(reference, ids))) << shown;
  }
  // A bitmap of zero bytes longer than the result.
  ASSERT_TRUE(AddToVdbIdSet({2}, "\x01" + std::string(40, '\0'), &out));
  EXPECT_EQ(out, EncodeVdbIdSet({1, 2}));
  ASSERT_TRUE(AddToVdbIdSet({}, "\x01" + std::string(40, '\0'), &out));
  EXPECT_EQ(out, EncodeVdbIdSet({1}));
}

TEST(EncodedVdbIdSetTest, WholeRangeAndItsEnds) {
  VdbIdSet all;
  for (uint32_t id = 0; id <= 65535; ++id) all.insert(static_cast<VdbId>(id));
  const std::string encoded = EncodeVdbIdSet(all);
  ASSERT_EQ(encoded.size(), 1u + 8192u);
  std::string out;
  // Re-basing from the top of the range down to 0.
  ASSERT_TRUE(AddToVdbIdSet(Difference(all, {65535}), EncodeVdbIdSet({65535}), &out));
  EXPECT_EQ(out, encoded);
  ASSERT_TRUE(RemoveFromVdbIdSet({0}, encoded, &out));
  EXPECT_EQ(out, EncodeVdbIdSet(Difference(all, {0})));
  ASSERT_TRUE(RemoveFromVdbIdSet(Difference(all, {65535}), encoded, &out));
  EXPECT_EQ(out, EncodeVdbIdSet({65535}));
  ASSERT_TRUE(RemoveFromVdbIdSet(all, encoded, &out));
  EXPECT_EQ(out, "");
}

TEST(EncodedVdbIdSetTest, RefusesAHeaderLongerThanItsBytes) {
  std::string out = "x";
  EXPECT_FALSE(AddToVdbIdSet({1}, std::string("\x80", 1), &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(RemoveFromVdbIdSet({1}, std::string("\xC1\x00", 2), &out));
}

}  // namespace
}  // namespace tarnix

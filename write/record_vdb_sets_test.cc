#include "write/record_vdb_sets.h"

#include <random>

#include <gtest/gtest.h>

namespace tarnix {
namespace {

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

// --- Working records and the writes they need ---

const char kObjectKey[] = "object-key";

std::string Key(const VdbIdSet& vdbs) { return kObjectKey + EncodeVdbIdSet(vdbs); }

WorkingRecord Stored(const std::string& body, const std::string& suffix) {
  WorkingRecord working{std::make_shared<const std::string>(body), DbRecord()};
  working.record.SetStored(kObjectKey + suffix, suffix);
  return working;
}

class ObjectRecordWritesTest : public ::testing::Test {
 protected:
  size_t Add(WorkingRecord record) {
    const size_t i = table_.FindOrAdd(record.body);
    table_[i] = std::move(record);
    return i;
  }
  DbRecord& At(size_t i) { return table_[i].record; }
  void Compute() {
    writes_.Clear();
    ASSERT_TRUE(writes_.AddObject(kObjectKey, table_));
  }
  std::vector<std::string> PutKeys() const {
    std::vector<std::string> keys;
    for (const auto& put : writes_.puts()) keys.push_back(put.first);
    return keys;
  }

  RecordBodyTable table_;
  ObjectRecordWrites writes_;
};

TEST_F(ObjectRecordWritesTest, ChangedRecordMovesToTheKeyOfItsNewSet) {
  const size_t x = Add(Stored("X", EncodeVdbIdSet({1, 2})));
  At(x).RemoveVdbs({2});
  At(x).AddVdbs({3});
  EXPECT_EQ(At(x).kind(), DbRecord::CHANGED);
  Compute();
  EXPECT_EQ(PutKeys(), std::vector<std::string>{Key({1, 3})});
  EXPECT_EQ(*writes_.puts()[0].second, "X");
  EXPECT_EQ(writes_.deletes(), std::vector<std::string>{Key({1, 2})});
}

TEST_F(ObjectRecordWritesTest, RecordLeftWithoutVdbsIsDeletedAndRestoredOneUntouched) {
  const size_t x = Add(Stored("X", EncodeVdbIdSet({1})));
  const size_t y = Add(Stored("Y", EncodeVdbIdSet({5})));
  At(x).RemoveVdbs({1});
  At(y).RemoveVdbs({5});
  At(y).AddVdbs({5});
  EXPECT_EQ(At(y).kind(), DbRecord::CHANGED);
  Compute();
  EXPECT_TRUE(writes_.puts().empty());
  EXPECT_EQ(writes_.deletes(), std::vector<std::string>{Key({1})});
}

TEST_F(ObjectRecordWritesTest, RecordsSwappingSetsTakeEachOthersKeys) {
  const size_t x = Add(Stored("X", EncodeVdbIdSet({1})));
  const size_t y = Add(Stored("Y", EncodeVdbIdSet({2})));
  At(x).RemoveVdbs({1});
  At(x).AddVdbs({2});
  At(y).RemoveVdbs({2});
  At(y).AddVdbs({1});
  Compute();
  EXPECT_EQ(PutKeys(), (std::vector<std::string>{Key({2}), Key({1})}));
  EXPECT_TRUE(writes_.deletes().empty());
}

TEST_F(ObjectRecordWritesTest, NewRecordTakesOverAKeyAnotherRecordGivesUp) {
  const size_t x = Add(Stored("X", EncodeVdbIdSet({2})));
  At(x).RemoveVdbs({2});
  WorkingRecord fresh{std::make_shared<const std::string>("Z"), DbRecord()};
  fresh.record.AddVdbs({2});
  Add(std::move(fresh));
  WorkingRecord empty{std::make_shared<const std::string>("E"), DbRecord()};
  Add(std::move(empty));  // EXPLICIT without vdbs: nothing
  Compute();
  EXPECT_EQ(PutKeys(), std::vector<std::string>{Key({2})});
  EXPECT_EQ(*writes_.puts()[0].second, "Z");
  EXPECT_TRUE(writes_.deletes().empty());
}

// A key without suffix holds the main vdb: it keeps it when others change.
TEST_F(ObjectRecordWritesTest, KeyWithoutSuffixStartsFromTheMainVdb) {
  const size_t x = Add(Stored("X", ""));
  EXPECT_TRUE(At(x).HasVdb(kMainVdbId));
  EXPECT_FALSE(At(x).HasVdb(2));
  At(x).AddVdbs({2});
  Compute();
  EXPECT_EQ(PutKeys(), std::vector<std::string>{Key({1, 2})});
  EXPECT_EQ(writes_.deletes(), std::vector<std::string>{kObjectKey});

  At(x).RemoveVdbs({1, 2});
  Compute();
  EXPECT_TRUE(writes_.puts().empty());
  EXPECT_EQ(writes_.deletes(), std::vector<std::string>{kObjectKey});
}

// A second stored record of the same body joins the first: the union of
// their vdbs ends under one key.
TEST_F(ObjectRecordWritesTest, MergedRecordsEndUnderOneKey) {
  const size_t x = Add(Stored("X", EncodeVdbIdSet({2})));
  ASSERT_TRUE(At(x).MergeStored(Key({3}), EncodeVdbIdSet({3})));
  ASSERT_TRUE(At(x).MergeStored(kObjectKey, ""));  // the main vdb
  EXPECT_TRUE(At(x).HasVdb(1) && At(x).HasVdb(2) && At(x).HasVdb(3));
  EXPECT_EQ(At(x).kind(), DbRecord::STORED);
  Compute();
  EXPECT_EQ(PutKeys(), std::vector<std::string>{Key({1, 2, 3})});
  EXPECT_EQ(writes_.deletes(), (std::vector<std::string>{Key({2}), Key({3}), kObjectKey}));

  // Left with one of the merged keys' sets: that key stays, the others go.
  At(x).RemoveVdbs({1, 2});
  Compute();
  EXPECT_TRUE(writes_.puts().empty());
  EXPECT_EQ(writes_.deletes(), (std::vector<std::string>{Key({2}), kObjectKey}));
  EXPECT_FALSE(At(x).MergeStored(Key({4}), "\xC1"));
}

TEST_F(ObjectRecordWritesTest, UnreadableStoredSuffixFailsTheWrites) {
  const size_t x = Add(Stored("X", "\xC1"));
  At(x).AddVdbs({2});
  writes_.Clear();
  EXPECT_FALSE(writes_.AddObject(kObjectKey, table_));
}

TEST(DbRecordTest, MembershipThroughChanges) {
  DbRecord record;
  record.SetStored("k", EncodeVdbIdSet({1, 2}));
  record.RemoveVdbs({2, 7});  // 7 is not held: nothing to exclude
  EXPECT_EQ(record.exclude(), VdbIdSet({2}));
  record.AddVdbs({1, 3});
  VdbIdSet held;
  record.CollectHeldVdbs({1, 2, 3, 4}, &held);
  EXPECT_EQ(held, VdbIdSet({1, 3}));
  VdbIdSet same;
  record.CollectStoredIncludes(&same);
  EXPECT_EQ(same, VdbIdSet({1}));
  record.AddVdbs({2});
  record.RemoveVdbs({1, 3});
  EXPECT_EQ(record.include(), VdbIdSet({2}));
  EXPECT_EQ(record.exclude(), VdbIdSet({1}));
}

}  // namespace
}  // namespace tarnix

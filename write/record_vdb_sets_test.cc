#include "write/record_vdb_sets.h"

#include <gtest/gtest.h>

namespace tarnix {
namespace {

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

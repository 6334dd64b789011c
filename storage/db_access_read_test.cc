#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "storage/db_access.h"
#include "storage/db_access_test_util.h"
#include "storage/fault_env.h"

namespace tarnix {
namespace {

using ReadTest = DbAccessTest;

std::string Bytes(const char* data, size_t size) {
  return std::string(data, size);
}

TEST_F(ReadTest, MultiKeyGetAppendsEmptyValueForMissingKey) {
  auto db = OpenDb();
  PutAll(db.get(), {{"k1", "value1"}, {"k3", "value3"}});
  std::vector<std::string> values = {"earlier"};
  EXPECT_TRUE(db->Get(nullptr, {"k1", "k2", "k3"}, &values).ok());
  EXPECT_EQ(values,
            (std::vector<std::string>{"earlier", "value1", "", "value3"}));
}

TEST_F(ReadTest, SnapshotsKeepTheirView) {
  auto db = OpenDb();
  PutAll(db.get(), {{"a", "old"}, {"b", "old"}});
  DbAccess::SnapshotHolder snapshot = db->GetSnapshot();
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put({{"a", "new"}, {"c", "new"}}, false, &codes).ok());

  std::vector<std::string> values;
  ASSERT_TRUE(db->Get(snapshot->snapshot(), {"a", "c"}, &values).ok());
  EXPECT_EQ(values, (std::vector<std::string>{"old", ""}));

  std::string value = "untouched";
  EXPECT_EQ(db->Get(snapshot, "c", &value).code, DbAccessCode::NOT_FOUND);
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(db->Get(db->GetSnapshot(), "c", &value).code, DbAccessCode::OK);
  EXPECT_EQ(value, "new");

  DbAccess::Records records;
  ASSERT_TRUE(db->PrefixFilter(snapshot, "", &records).ok());
  EXPECT_EQ(records, (DbAccess::Records{{"a", "old"}, {"b", "old"}}));
}

TEST_F(ReadTest, PrefixFilterComparesWholeBytesIncludingZeros) {
  auto db = OpenDb();
  const std::string zero_a = Bytes("\0a", 2);
  const DbAccess::Records stored = {
      {Bytes("\0", 1), "zero"},
      {zero_a, Bytes("v\0w", 3)},
      {Bytes("\0a\0", 3), "child"},
      {Bytes("\0ab", 3), "sibling"},
      {Bytes("\0b", 2), "other type"},
      {Bytes("\1a", 2), "log unit"},
  };
  PutAll(db.get(), stored);

  DbAccess::Records records = {{"kept", "first"}};
  ASSERT_TRUE(db->PrefixFilter(nullptr, zero_a, &records).ok());
  EXPECT_EQ(records, (DbAccess::Records{{"kept", "first"}, stored[1],
                                        stored[2], stored[3]}));
  records.clear();
  ASSERT_TRUE(db->PrefixFilter(nullptr, Bytes("\0a\0", 3), &records).ok());
  EXPECT_EQ(records, (DbAccess::Records{stored[2]}));
  records.clear();
  ASSERT_TRUE(db->PrefixFilter(nullptr, Bytes("\0c", 2), &records).ok());
  EXPECT_TRUE(records.empty());

  // From a key within the prefix on; a key before it changes nothing.
  records.clear();
  ASSERT_TRUE(db->PrefixFilter(nullptr, zero_a, &records, Bytes("\0a\0", 3)).ok());
  EXPECT_EQ(records, (DbAccess::Records{stored[2], stored[3]}));
  records.clear();
  ASSERT_TRUE(db->PrefixFilter(nullptr, zero_a, &records, Bytes("\0", 1)).ok());
  EXPECT_EQ(records, (DbAccess::Records{stored[1], stored[2], stored[3]}));
  records.clear();
  ASSERT_TRUE(db->PrefixFilter(nullptr, zero_a, &records, Bytes("\0b", 2)).ok());
  EXPECT_TRUE(records.empty());
}

TEST_F(ReadTest, IteratorWalksForwardOnItsOwnSnapshot) {
  auto db = OpenDb();
  PutAll(db.get(), {{"a", "1"}, {"b", "2"}, {"d", "4"}});
  auto it = db->NewIterator();
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put({{"c", "3"}}, false, &codes).ok());

  it->Seek("b");
  std::vector<std::string> keys;
  for (; it->Valid(); it->Next()) keys.push_back(it->key() + it->value());
  EXPECT_EQ(keys, (std::vector<std::string>{"b2", "d4"}));
  EXPECT_TRUE(it->status().ok());
  it->Seek("e");
  EXPECT_FALSE(it->Valid());
}

TEST_F(ReadTest, IteratorOnAGivenSnapshotSeesThatSnapshot) {
  auto db = OpenDb();
  PutAll(db.get(), {{"a", "1"}, {"b", "2"}});
  DbAccess::SnapshotHolder snapshot = db->GetSnapshot();
  PutAll(db.get(), {{"a", "new"}, {"c", "3"}});
  auto it = db->NewIterator(snapshot);
  ASSERT_TRUE(it);
  std::vector<std::string> keys;
  for (it->Seek(""); it->Valid(); it->Next()) keys.push_back(it->key() + it->value());
  EXPECT_EQ(keys, (std::vector<std::string>{"a1", "b2"}));

  EXPECT_FALSE(db->NewIterator(DbAccess::SnapshotHolder()));
  orv::LogCapture capture;
  db->Close();
  EXPECT_FALSE(db->NewIterator(snapshot));
  EXPECT_TRUE(capture.Contains("NewIterator"));
}

// Reads that fail inside LevelDB, as a damaged or failing disk makes them.
class ReadFaultTest : public DbAccessTest {
 protected:
  void SetUp() override {
    DbAccessTest::SetUp();
    // Enough records for many table blocks, then a reopen moves them from
    // the write-ahead log into a table, so scans read the table file.
    {
      auto db = OpenDb();
      for (int i = 0; i < 2000; ++i) {
        char key[16];
        std::snprintf(key, sizeof(key), "\x01k%05d", i);
        all_.emplace_back(key, std::string(100, 'v'));
      }
      PutAll(db.get(), all_);
    }
    { OpenDb(); }
    db_ = OpenDb(&env_);
  }
  void TearDown() override {
    db_.reset();
    DbAccessTest::TearDown();
  }

  FaultEnv env_;
  std::unique_ptr<DbAccess> db_;
  DbAccess::Records all_;
};

TEST_F(ReadFaultTest, PrefixFilterReportsErrorInsteadOfPartialList) {
  orv::LogCapture capture;
  env_.FailOneReadAfter(10, leveldb::Status::Corruption("injected"));
  DbAccess::Records records = {{"kept", "x"}};
  EXPECT_EQ(db_->PrefixFilter(nullptr, "\x01", &records).code,
            DbAccessCode::CORRUPTION);
  EXPECT_EQ(records, (DbAccess::Records{{"kept", "x"}}));
  EXPECT_TRUE(capture.Contains("errorCode=\"DRX0104\""));

  records.clear();
  ASSERT_TRUE(db_->PrefixFilter(nullptr, "\x01", &records).ok());
  EXPECT_EQ(records, all_);
}

// One unreadable block ends the walk: going on past it would hand a walker
// the records on both sides of a gap as if they were adjacent.
TEST_F(ReadFaultTest, IteratorStopsAtReadError) {
  auto it = db_->NewIterator();
  env_.FailOneReadAfter(10, leveldb::Status::IOError("injected"));
  size_t seen = 0;
  for (it->Seek("\x01"); it->Valid(); it->Next()) {
    ASSERT_EQ(it->key(), all_[seen].first);
    ++seen;
  }
  EXPECT_GT(seen, 0u);
  EXPECT_LT(seen, all_.size());
  EXPECT_EQ(it->status().code, DbAccessCode::IO_ERROR);
}

TEST_F(ReadFaultTest, DeleteByPrefixesFailsWithoutDeleting) {
  env_.FailOneReadAfter(10, leveldb::Status::Corruption("injected"));
  EXPECT_EQ(db_->DeleteByPrefixes({"\x01"}, false).code,
            DbAccessCode::CORRUPTION);
  EXPECT_EQ(All(db_.get()).size(), all_.size());
}

TEST_F(ReadFaultTest, MultiKeyGetStopsAtReadError) {
  std::vector<std::string> values;
  ASSERT_TRUE(db_->Get(nullptr, {all_[0].first}, &values).ok());
  env_.FailReadsAfter(0, leveldb::Status::IOError("injected"));
  // The first key's block is cached; the last key's block must be read.
  const DbAccessStatus status =
      db_->Get(nullptr, {all_[0].first, all_.back().first}, &values);
  EXPECT_EQ(status.code, DbAccessCode::IO_ERROR);
  EXPECT_EQ(values, (std::vector<std::string>{all_[0].second, all_[0].second}));
}

TEST_F(ReadFaultTest, PutAndDeleteWriteNothingWhenStoredValuesFail) {
  env_.FailReadsAfter(0, leveldb::Status::IOError("injected"));
  std::vector<int32_t> codes;
  EXPECT_EQ(db_->Put({{all_.back().first, "new"}, {"\x02", "42"}}, false,
                     &codes).code,
            DbAccessCode::IO_ERROR);
  EXPECT_EQ(db_->Delete({{all_.back().first, ""}}, false, &codes).code,
            DbAccessCode::IO_ERROR);
  EXPECT_TRUE(codes.empty());
  env_.FailReadsAfter(-1, leveldb::Status::OK());
  EXPECT_EQ(All(db_.get()), all_);
}

}  // namespace
}  // namespace tarnix

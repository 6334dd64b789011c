#include "write/object_key_filter_rebuild.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "schema/varint.h"
#include "storage/db_access_test_util.h"

namespace tarnix {
namespace {

std::string ObjectKey(int i) {
  const std::string id = "object-" + std::to_string(i);
  std::string key(1, '\0');
  AppendVarint64(&key, 3);
  AppendVarint64(&key, id.size());
  return key + id;
}

class ObjectKeyFilterRebuildTest : public DbAccessTest {
 protected:
  void SetUp() override {
    DbAccessTest::SetUp();
    db_ = OpenDb();
  }
  void TearDown() override {
    db_.reset();
    DbAccessTest::TearDown();
  }
  // Waits for the scan and adopts it.
  static void Finish(ObjectKeyFilterRebuild* rebuild) {
    while (rebuild->running()) {
      rebuild->Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::unique_ptr<DbAccess> db_;
};

// Objects stored in one or two records and deleted, at random, while
// rebuilds run and are adopted at random points. A stored object is never
// "absent"; while no deletion went unrecorded (always so right after a
// complete rebuild), the filter answers exactly as the store.
TEST_F(ObjectKeyFilterRebuildTest, AnswersFollowTheStoreAcrossRebuilds) {
  constexpr int kObjects = 48;
  ObjectKeyFilter filter(6 * (ObjectKey(0).size() + ObjectKeyFilter::kEntryOverhead));
  filter.Enable();  // the store is empty
  auto rebuild = std::make_unique<ObjectKeyFilterRebuild>(&filter);
  std::vector<int> records(kObjects, 0);
  std::mt19937 random(7);
  int rebuilt = 0;
  for (int step = 0; step < 3000; ++step) {
    const int i = static_cast<int>(random() % kObjects);
    const std::string key = ObjectKey(i);
    if (records[i] == 0) {
      records[i] = 1 + static_cast<int>(random() % 2);
      filter.Add(key);
      PutAll(db_.get(), {{key + "\x01", "a"}});
      if (records[i] == 2) PutAll(db_.get(), {{key + "\x02", "b"}});
    } else {
      std::vector<int32_t> results;
      ASSERT_TRUE(db_->Delete({{key + "\x01", ""}, {key + "\x02", ""}}, false, &results).ok());
      filter.Remove(key);
      records[i] = 0;
    }
    rebuild->StartIfWanted(db_.get());
    if (random() % 4 == 0 && rebuild->running()) {
      Finish(rebuild.get());
      rebuilt += !filter.wants_rebuild();
    }
    for (int k = 0; k < kObjects; ++k) {
      if (records[k] != 0) {
        ASSERT_TRUE(filter.MayContain(ObjectKey(k))) << step << " " << k;
      } else if (!filter.wants_rebuild()) {
        ASSERT_FALSE(filter.MayContain(ObjectKey(k))) << step << " " << k;
      }
    }
  }
  EXPECT_GT(rebuilt, 20);

  // A rebuild in flight at destruction is stopped and leaves no journal.
  for (int i = 0; i < 20; ++i) filter.Remove(ObjectKey(i));
  rebuild->StartIfWanted(db_.get());
  ASSERT_TRUE(filter.journaling());
  rebuild.reset();
  EXPECT_FALSE(filter.journaling());
}

}  // namespace
}  // namespace tarnix

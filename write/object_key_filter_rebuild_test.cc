#include "write/object_key_filter_rebuild.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

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

using ObjectKeyFilterRebuildTest = DbAccessTest;

// Objects stored in one or two records and deleted at random, while
// rebuilds run and are adopted at random points. A stored object is never
// "absent"; while no deletion went unrecorded (always so right after a
// complete rebuild), the filter answers exactly as the store.
TEST_F(ObjectKeyFilterRebuildTest, AnswersFollowTheStoreAcrossRebuilds) {
  std::unique_ptr<DbAccess> db = OpenDb();
  ObjectKeyFilter filter(6 * (ObjectKey(0).size() + ObjectKeyFilter::kEntryOverhead));
  filter.Enable();  // the store is empty
  auto rebuild = std::make_unique<ObjectKeyFilterRebuild>(&filter);
  std::vector<int> records(48, 0);
  std::mt19937 random(7);
  int rebuilt = 0;
  for (int step = 0; step < 3000; ++step) {
    const size_t i = random() % records.size();
    const std::string key = ObjectKey(static_cast<int>(i));
    std::vector<int32_t> codes;
    if (records[i] == 0) {
      records[i] = 1 + static_cast<int>(random() % 2);
      filter.Add(key);
      PutAll(db.get(), {{key + "\x01", "a"}});
      if (records[i] == 2) PutAll(db.get(), {{key + "\x02", "b"}});
    } else {
      ASSERT_TRUE(db->Delete({{key + "\x01", ""}, {key + "\x02", ""}}, false, &codes).ok());
      filter.Remove(key);
      records[i] = 0;
    }
    rebuild->StartIfWanted(db.get());
    if (random() % 4 == 0 && rebuild->running()) {
      while (rebuild->running()) {
        rebuild->Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      rebuilt += !filter.wants_rebuild();
    }
    for (size_t k = 0; k < records.size(); ++k) {
      const bool may = filter.MayContain(ObjectKey(static_cast<int>(k)));
      ASSERT_TRUE(may || (records[k] == 0)) << step << " " << k;
      ASSERT_TRUE(!may || records[k] != 0 || filter.wants_rebuild()) << step << " " << k;
    }
  }
  EXPECT_GT(rebuilt, 20);

  // A rebuild in flight at destruction is stopped and leaves no journal.
  for (int i = 0; i < 20; ++i) filter.Remove(ObjectKey(i));
  rebuild->StartIfWanted(db.get());
  ASSERT_TRUE(filter.journaling());
  rebuild.reset();
  EXPECT_FALSE(filter.journaling());
}

}  // namespace
}  // namespace tarnix

#include "write/object_key_filter.h"

#include <gtest/gtest.h>

#include <string>

#include "schema/varint.h"

namespace tarnix {
namespace {

std::string ObjectKey(uint64_t type_id, const std::string& id) {
  std::string key(1, '\0');
  AppendVarint64(&key, type_id);
  AppendVarint64(&key, id.size());
  return key + id;
}

TEST(ObjectKeyFilterTest, SaysNoOnlyOnceEnabledAndNeverForAKeyItWasGiven) {
  ObjectKeyFilter filter;
  EXPECT_TRUE(filter.MayContain(ObjectKey(1, "a")));
  filter.Add(ObjectKey(1, "a"));
  filter.Enable();
  EXPECT_TRUE(filter.MayContain(ObjectKey(1, "a")));
  EXPECT_FALSE(filter.MayContain(ObjectKey(1, "b")));
  EXPECT_FALSE(filter.MayContain(ObjectKey(2, "a")));

  // Enough keys for several levels; every one stays found and strangers
  // are rarely taken for them.
  constexpr int kKeys = 200000;
  for (int i = 0; i < kKeys; ++i) filter.Add(ObjectKey(7, "device-" + std::to_string(i)));
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_TRUE(filter.MayContain(ObjectKey(7, "device-" + std::to_string(i)))) << i;
  }
  int false_positives = 0;
  for (int i = 0; i < kKeys; ++i) {
    false_positives += filter.MayContain(ObjectKey(7, "absent-" + std::to_string(i)));
  }
  EXPECT_LT(false_positives, kKeys / 100);
}

// Past the largest key given, nothing was stored: no key there is taken for
// one given, while below it the Bloom filter's rare mistakes remain. Ids of
// one length, as the id's length comes before it in the key.
TEST(ObjectKeyFilterTest, KeysPastTheLargestGivenAreAbsentOnceEnabled) {
  auto id = [](char first, int i) {
    std::string digits = std::to_string(i);
    return first + std::string(6 - digits.size(), '0') + digits;
  };
  ObjectKeyFilter filter;
  constexpr int kKeys = 100000;
  for (int i = 0; i < kKeys; ++i) filter.Add(ObjectKey(5, id('m', i)));
  EXPECT_TRUE(filter.MayContain(ObjectKey(5, id('z', 0))));
  filter.Enable();
  int below = 0;
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_FALSE(filter.MayContain(ObjectKey(5, id('n', i)))) << i;
    ASSERT_FALSE(filter.MayContain(ObjectKey(6, id('a', i)))) << i;
    below += filter.MayContain(ObjectKey(5, id('a', i)));
  }
  EXPECT_GT(below, 0);  // the Bloom filter still answers below
  // A later key raises the bound; a deletion does not lower it.
  filter.Add(ObjectKey(6, "a"));
  EXPECT_TRUE(filter.MayContain(ObjectKey(6, "a")));
  filter.Remove(ObjectKey(6, "a"));
  filter.Add(ObjectKey(5, id('m', 1)));
  EXPECT_FALSE(filter.MayContain(ObjectKey(6, "a")));
  EXPECT_FALSE(filter.MayContain(ObjectKey(6, "b")));

  // A filter that adopts a rebuilt one takes its largest key too.
  ObjectKeyFilter serving;
  serving.StartJournal();
  serving.Add(ObjectKey(1, "x"));
  ASSERT_TRUE(serving.Adopt(&filter));
  EXPECT_TRUE(serving.MayContain(ObjectKey(1, "x")));
  EXPECT_TRUE(serving.MayContain(ObjectKey(5, id('m', kKeys - 1))));
  EXPECT_FALSE(serving.MayContain(ObjectKey(6, "a")));
}

TEST(ObjectKeyFilterTest, RecordKeysAddTheirObjectWithoutTheVdbSuffix) {
  ObjectKeyFilter filter;
  filter.Enable();
  const std::string object = ObjectKey(300, std::string("id\0x", 4));
  EXPECT_EQ(ObjectKeyFilter::ObjectKeyLength(object + "\x01\x02"), object.size());
  EXPECT_EQ(ObjectKeyFilter::ObjectKeyLength(object), object.size());
  EXPECT_TRUE(filter.AddRecordKey(object + "\x01\x02"));
  EXPECT_TRUE(filter.MayContain(object));

  // Not object record keys: another kind, a varint cut short, an id that
  // runs past the key.
  for (const std::string& key :
       {std::string("\x01\x01\x01", 3), std::string(1, '\0'), std::string("\0\x81", 2),
        std::string("\0\x01\x05" "abc", 6), std::string()}) {
    EXPECT_EQ(ObjectKeyFilter::ObjectKeyLength(key), 0u) << key.size();
    EXPECT_FALSE(filter.AddRecordKey(key));
  }
}

// A deleted key is absent until written again, enabled or not; past the
// bound deletions are not recorded and those keys stay "maybe".
TEST(ObjectKeyFilterTest, DeletedKeysAreAbsentUntilWrittenAgainWithinTheBound) {
  const std::string a = ObjectKey(1, "a");
  for (const bool enabled : {true, false}) {
    ObjectKeyFilter filter(3 * (a.size() + ObjectKeyFilter::kEntryOverhead));
    for (const char* id : {"a", "b", "c", "d", "e"}) filter.Add(ObjectKey(1, id));
    if (enabled) filter.Enable();
    for (const char* id : {"a", "b", "c", "d"}) filter.Remove(ObjectKey(1, id));
    EXPECT_TRUE(filter.wants_rebuild());
    for (const char* id : {"a", "b", "c"}) EXPECT_FALSE(filter.MayContain(ObjectKey(1, id)));
    for (const char* id : {"d", "e"}) EXPECT_TRUE(filter.MayContain(ObjectKey(1, id)));
    filter.Add(a);  // and its room goes to the next deletion
    filter.Remove(ObjectKey(1, "e"));
    EXPECT_TRUE(filter.MayContain(a));
    EXPECT_FALSE(filter.MayContain(ObjectKey(1, "e")));
  }
}

}  // namespace
}  // namespace tarnix

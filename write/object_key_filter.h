#ifndef TARNIX_WRITE_OBJECT_KEY_FILTER_H_
#define TARNIX_WRITE_OBJECT_KEY_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnix {

// The object keys (record keys without their vdb suffix) that may have
// records in the database, as a Bloom filter: a key it has never seen is
// answered false, almost always, so a write of a new object needs no
// iterator Seek. Keys are never taken out; an object that was deleted stays
// a "maybe".
//
// Until it is enabled, every key may exist: only a filter filled from a
// scan of every object record (and told of every object written since) can
// say no. The filter grows with its keys, in levels of doubling size, each
// at about 0.1% false positives.
class ObjectKeyFilter {
 public:
  ObjectKeyFilter() = default;
  ObjectKeyFilter(const ObjectKeyFilter&) = delete;
  ObjectKeyFilter& operator=(const ObjectKeyFilter&) = delete;

  // Adds an object key.
  void Add(std::string_view object_key);
  // Adds the object key of a stored record key; false, adding nothing, for
  // a key that is not an object record key.
  bool AddRecordKey(std::string_view record_key);
  // From now on the filter answers for the whole database.
  void Enable() { enabled_ = true; }
  bool enabled() const { return enabled_; }

  // False only when no record of `object_key` can exist.
  bool MayContain(std::string_view object_key) const;

  // The length of the object key that starts `record_key` (kObjectPrefix,
  // type id, id length and id), or 0 when it is not an object record key.
  static size_t ObjectKeyLength(std::string_view record_key);

 private:
  // Each key sets 8 bits in one 512-bit block: one cache line per level
  // and lookup.
  static constexpr size_t kBitsPerKey = 16;
  static constexpr size_t kFirstLevelKeys = size_t{1} << 14;
  struct Level {
    std::vector<uint64_t> words;  // blocks of 8 words
    size_t capacity = 0;          // keys before the next level starts
    size_t keys = 0;
  };
  static bool LevelHas(const Level& level, uint64_t hash);

  std::vector<Level> levels_;
  bool enabled_ = false;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_OBJECT_KEY_FILTER_H_

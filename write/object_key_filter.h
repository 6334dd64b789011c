#ifndef TARNIX_WRITE_OBJECT_KEY_FILTER_H_
#define TARNIX_WRITE_OBJECT_KEY_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarnix {

// The object keys (record keys without their vdb suffix) that may have
// records in the database, as a Bloom filter: a key it has never seen is
// answered false, almost always, so a write of a new object needs no
// iterator Seek. Beside it, the keys of objects deleted since the filter was
// filled are kept exactly, so that an emptied object written again needs no
// Seek either; they cost at most `deleted_bound` bytes (counted as key bytes
// plus kEntryOverhead each). A deletion past that bound is not recorded: its
// key stays a "maybe", and wants_rebuild() says that a filter filled anew
// (see ObjectKeyFilterRebuild) would answer better.
//
// Until it is enabled, every key but the deleted ones may exist: only a
// filter filled from a scan of every object record (and told of every
// object written since) can say no for others. It then also says no, with
// no false positives, for a key past the largest it was given: objects
// created in key order (by sequence or time) need no Seek, which would
// otherwise pass whatever deleted records follow the last object. The Bloom filter grows with
// its keys, in levels of doubling size, each at about 0.1% false positives.
//
// A rebuild fills a fresh filter from a snapshot while this one goes on
// serving; from StartJournal() on, every Add and Remove is also journaled
// (within the same bound), and Adopt() replays the journal into the fresh
// filter and takes its place.
//
// Not thread-safe.
class ObjectKeyFilter {
 public:
  static constexpr size_t kDefaultDeletedBound = size_t{32} << 20;
  // What one deleted or journaled key costs beyond its bytes: a hash set
  // node, its bucket and the allocator's share.
  static constexpr size_t kEntryOverhead = 96;

  explicit ObjectKeyFilter(size_t deleted_bound = kDefaultDeletedBound)
      : deleted_bound_(deleted_bound) {}
  ObjectKeyFilter(const ObjectKeyFilter&) = delete;
  ObjectKeyFilter& operator=(const ObjectKeyFilter&) = delete;

  // Adds an object key; a deleted one is no longer known absent.
  void Add(std::string_view object_key);
  // Adds the object key of a stored record key; false, adding nothing, for
  // a key that is not an object record key.
  bool AddRecordKey(std::string_view record_key);
  // Records that no record of `object_key` is stored any more.
  // REQUIRES: the deletion is written; a key said absent too early would
  // let a later put create a second record set of the object.
  void Remove(std::string_view object_key);
  // From now on the filter answers for the whole database.
  void Enable() { enabled_ = true; }
  bool enabled() const { return enabled_; }

  // False only when no record of `object_key` can exist.
  bool MayContain(std::string_view object_key) const;

  // Whether a deletion went unrecorded past the bound since the filter was
  // filled.
  bool wants_rebuild() const { return wants_rebuild_; }
  size_t deleted_bound() const { return deleted_bound_; }

  // Journals every Add and Remove from now on. REQUIRES: not journaling.
  void StartJournal();
  bool journaling() const { return journaling_; }
  // Replays the journal into `fresh`, filled from a scan of the snapshot
  // taken when StartJournal was called, and takes its keys, its deleted
  // keys and its state; `fresh` is left empty. When the journal passed the
  // bound, changes nothing and returns false. Either way journaling stops.
  bool Adopt(ObjectKeyFilter* fresh);
  // Stops journaling and drops the journal.
  void DropJournal();

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
  bool BloomHas(uint64_t hash) const;
  void Journal(std::string_view object_key, bool removed);

  size_t deleted_bound_;
  std::vector<Level> levels_;
  std::string largest_;  // the largest key added
  bool enabled_ = false;
  std::unordered_set<std::string> deleted_;
  size_t deleted_bytes_ = 0;
  bool wants_rebuild_ = false;
  // (key, removed) in the order they came.
  std::vector<std::pair<std::string, bool>> journal_;
  size_t journal_bytes_ = 0;
  bool journaling_ = false;
  bool journal_overflowed_ = false;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_OBJECT_KEY_FILTER_H_

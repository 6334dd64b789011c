#ifndef TARNIX_STORAGE_RANGE_COMPACTOR_H_
#define TARNIX_STORAGE_RANGE_COMPACTOR_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <leveldb/db.h>

namespace tarnix {

class DbAccess;

// Compacts the key range of large deletes on a thread of its own, so that
// LevelDB drops the deleted entries: until a compaction reaches them, every
// iterator that passes them steps over them one by one.
//
// The writer notes its deletes. Once kCompactAfterDeletes of them have been
// noted and then none for the quiet period, their range (the smallest to the
// largest key) is handed to the compaction thread and the count starts
// again. While deletes go on, LevelDB's own compactions, which the same
// writes drive, drop them as they go; a compaction asked for on top would
// take LevelDB's one background thread from those and double its work. So
// a rolling log that deletes its oldest entries as it adds new ones causes
// none, while a Flush, or a series of deletes, followed by a pause causes
// one. One compaction runs at a time; ranges handed over meanwhile are
// merged into one pending range (the smallest begin, the largest end).
// Reads and writes go on during a compaction: LevelDB serves them from
// other threads.
//
// A range is compacted in pieces of about `piece_bytes` of stored data, and
// Stop() waits for the piece in flight only, so a stopping daemon is not held
// by a large range. The rest of the range is then left as it is, which
// LevelDB is fine with (its compactions are applied atomically).
//
// The thread holds the database, as iterators do, only while it compacts:
// once idle, DbAccess::Close() closes the database as before, and drops the
// deletes noted in it.
//
// Threading: NoteDeletes, Compact and Stop are called from the thread that
// calls `db` (the event loop), and are cheap there; WaitIdle and
// compactions() from any thread. `db` is not owned and must outlive this
// object.
class RangeCompactor {
 public:
  // Deletes noted before their range is compacted.
  static constexpr size_t kCompactAfterDeletes = 4096;
  // How long no delete may be noted before the noted ones are handed over.
  static constexpr std::chrono::milliseconds kQuietPeriod{2000};
  // Stored bytes a piece of a compaction covers, as LevelDB estimates them.
  static constexpr uint64_t kPieceBytes = uint64_t{32} << 20;

  explicit RangeCompactor(DbAccess* db, uint64_t piece_bytes = kPieceBytes,
                          std::chrono::milliseconds quiet_period = kQuietPeriod);
  // Stop().
  ~RangeCompactor();
  RangeCompactor(const RangeCompactor&) = delete;
  RangeCompactor& operator=(const RangeCompactor&) = delete;

  // Notes `count` deleted keys, the smallest `smallest` and the largest
  // `largest`, with those noted before; their range is handed over once
  // kCompactAfterDeletes are noted and the quiet period has passed since
  // the last note. REQUIRES: the deletes are written.
  void NoteDeletes(size_t count, const std::string& smallest, const std::string& largest);
  // Hands the keys from `begin` to `end` (both included) over now, merged
  // with a pending range. Does nothing without an open database or after
  // Stop(). The first call starts the thread.
  void Compact(const std::string& begin, const std::string& end);
  // Drops the pending range and the noted deletes, and waits for the piece
  // in flight, then for the thread. Later calls hand nothing over.
  void Stop();

  // Waits until no range is pending or being compacted, and none noted is
  // waiting for its quiet period, or Stop() was called.
  void WaitIdle();
  // Ranges compacted to their end so far.
  uint64_t compactions() const;

 private:
  struct Range {
    std::string begin;
    std::string end;  // included
  };

  void Main();
  // Whether the noted deletes are enough to be handed over once quiet.
  bool NotedEnough() const;
  // Makes the noted range pending, merged with a pending one. REQUIRES: mu_.
  void HandOverNoted();
  // Merges `range` of `db` into the pending range. REQUIRES: mu_.
  void AddPending(const Range& range, boost::shared_ptr<leveldb::DB> db);
  // Compacts `range` piece by piece; false when Stop() cut it short.
  bool CompactPieces(leveldb::DB* db, const Range& range);
  // The last key of the piece that begins at `from` and ends by `end`.
  std::string PieceEnd(leveldb::DB* db, const std::string& from, const std::string& end) const;
  bool stopping() const;

  DbAccess* const db_;
  const uint64_t piece_bytes_;
  const std::chrono::milliseconds quiet_period_;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  // Deletes noted since the last hand-over, their range, the database they
  // were made in and when the last was noted.
  size_t noted_ = 0;                                   // guarded by mu_
  Range noted_range_;                                  // guarded by mu_
  boost::weak_ptr<leveldb::DB> noted_db_;              // guarded by mu_
  std::chrono::steady_clock::time_point last_noted_;   // guarded by mu_
  std::optional<Range> pending_;                // guarded by mu_
  boost::shared_ptr<leveldb::DB> pending_db_;   // guarded by mu_
  bool running_ = false;                        // guarded by mu_
  bool stop_ = false;                           // guarded by mu_
  uint64_t compactions_ = 0;                    // guarded by mu_
  std::thread thread_;                          // the writer's
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_RANGE_COMPACTOR_H_

#include "storage/range_compactor.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "storage/db_access.h"
#include "storage/printable.h"

namespace tarnix {

namespace {

// Bisection steps to find a piece's end; each halves the key interval.
constexpr int kMaxBisections = 64;

// A key about halfway between `a` and `b` in byte order, both read as
// fractions in base 256. It may fall on either of them or outside the
// interval when no key lies near halfway; the caller checks.
std::string Midpoint(const std::string& a, const std::string& b) {
  const size_t n = std::max(a.size(), b.size()) + 1;
  std::vector<unsigned> sum(n, 0);
  unsigned carry = 0;
  for (size_t i = n; i-- > 0;) {
    const unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    sum[i] = x + y + carry;
    carry = sum[i] >> 8;
    sum[i] &= 0xff;
  }
  std::string mid(n, '\0');
  unsigned rest = carry;
  for (size_t i = 0; i < n; ++i) {
    const unsigned value = (rest << 8) | sum[i];
    mid[i] = static_cast<char>(value >> 1);
    rest = value & 1;
  }
  while (!mid.empty() && mid.back() == '\0') mid.pop_back();
  return mid;
}

// LevelDB's estimate of the stored bytes of the keys from `from` up to
// `limit` (excluded).
uint64_t StoredBytes(leveldb::DB* db, const std::string& from, const std::string& limit) {
  const leveldb::Range range(from, limit);
  uint64_t bytes = 0;
  db->GetApproximateSizes(&range, 1, &bytes);
  return bytes;
}

long MillisSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

}  // namespace

RangeCompactor::RangeCompactor(DbAccess* db, uint64_t piece_bytes,
                               std::chrono::milliseconds quiet_period)
    : db_(db), piece_bytes_(std::max<uint64_t>(piece_bytes, 1)), quiet_period_(quiet_period) {}

RangeCompactor::~RangeCompactor() { Stop(); }

void RangeCompactor::NoteDeletes(size_t count, const std::string& smallest,
                                 const std::string& largest) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_ || !db_->db_) return;
    if (noted_ == 0 || noted_db_.lock() != db_->db_) {
      noted_ = 0;
      noted_range_ = Range{smallest, largest};
      noted_db_ = db_->db_;
    } else {
      if (smallest < noted_range_.begin) noted_range_.begin = smallest;
      if (largest > noted_range_.end) noted_range_.end = largest;
    }
    const bool was_enough = NotedEnough();
    noted_ += count;
    last_noted_ = std::chrono::steady_clock::now();
    // Once enough, the thread times the quiet period and sees later notes
    // when it falls due.
    if (was_enough || !NotedEnough()) return;
  }
  changed_.notify_all();
  if (!thread_.joinable()) thread_ = std::thread([this] { Main(); });
}

void RangeCompactor::Compact(const std::string& begin, const std::string& end) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_ || !db_->db_) return;
    AddPending(Range{begin, end}, db_->db_);
  }
  changed_.notify_all();
  if (!thread_.joinable()) thread_ = std::thread([this] { Main(); });
}

bool RangeCompactor::NotedEnough() const { return noted_ >= kCompactAfterDeletes; }

void RangeCompactor::HandOverNoted() {
  // A database closed since is not compacted.
  boost::shared_ptr<leveldb::DB> db = noted_db_.lock();
  if (db) AddPending(noted_range_, std::move(db));
  noted_ = 0;
  noted_db_.reset();
}

void RangeCompactor::AddPending(const Range& range, boost::shared_ptr<leveldb::DB> db) {
  if (pending_ && pending_db_ == db) {
    if (range.begin < pending_->begin) pending_->begin = range.begin;
    if (range.end > pending_->end) pending_->end = range.end;
  } else {
    // A pending range of a database closed since goes with it.
    pending_ = range;
  }
  pending_db_ = std::move(db);
}

void RangeCompactor::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    pending_.reset();
    pending_db_.reset();
    noted_ = 0;
    noted_db_.reset();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RangeCompactor::WaitIdle() {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [this] { return stop_ || (!pending_ && !running_ && !NotedEnough()); });
}

uint64_t RangeCompactor::compactions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return compactions_;
}

bool RangeCompactor::stopping() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stop_;
}

void RangeCompactor::Main() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (stop_) return;
    if (!pending_ && NotedEnough()) {
      const auto due = last_noted_ + quiet_period_;
      if (std::chrono::steady_clock::now() < due) {
        changed_.wait_until(lock, due);
        continue;
      }
      HandOverNoted();
      changed_.notify_all();
      continue;
    }
    if (!pending_) {
      changed_.wait(lock);
      continue;
    }
    Range range = std::move(*pending_);
    pending_.reset();
    boost::shared_ptr<leveldb::DB> db = std::move(pending_db_);
    running_ = true;
    lock.unlock();
    const auto start = std::chrono::steady_clock::now();
    const bool finished = CompactPieces(db.get(), range);
    TARNIX_LOG(orv::INFO, nullptr, "Compaction of the deleted keys from '%s' to '%s' %s in %li ms",
               Printable(range.begin).c_str(), Printable(range.end).c_str(),
               finished ? "done" : "stopped", MillisSince(start));
    // Let go before going idle, so that a Close() that follows closes it.
    db.reset();
    lock.lock();
    running_ = false;
    if (finished) ++compactions_;
    changed_.notify_all();
  }
}

bool RangeCompactor::CompactPieces(leveldb::DB* db, const Range& range) {
  std::string from = range.begin;
  // LevelDB picks the levels a compaction goes through before it writes out
  // its memtable, which holds the deletes just made and may land past
  // them: written out first, by a compaction of the first key alone.
  const leveldb::Slice first(from);
  db->CompactRange(&first, &first);
  for (;;) {
    if (stopping()) return false;
    std::string to = PieceEnd(db, from, range.end);
    const bool last = to >= range.end;
    if (last) to = range.end;
    const leveldb::Slice begin(from);
    const leveldb::Slice end(to);
    db->CompactRange(&begin, &end);
    if (last) return true;
    from = std::move(to);
  }
}

std::string RangeCompactor::PieceEnd(leveldb::DB* db, const std::string& from,
                                     const std::string& end) const {
  // The first key after `end`.
  const std::string limit = end + '\0';
  if (StoredBytes(db, from, limit) <= piece_bytes_) return end;
  // StoredBytes(from, low) fits in a piece, StoredBytes(from, high) does not.
  std::string low = from;
  std::string high = limit;
  for (int step = 0; step < kMaxBisections; ++step) {
    std::string mid = Midpoint(low, high);
    if (!(low < mid && mid < high)) break;
    if (StoredBytes(db, from, mid) <= piece_bytes_) {
      low = std::move(mid);
    } else {
      high = std::move(mid);
    }
  }
  // A piece is never empty, even when one block alone is over the size.
  return low > from ? low : high;
}

}  // namespace tarnix

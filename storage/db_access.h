#ifndef TARNIX_STORAGE_DB_ACCESS_H_
#define TARNIX_STORAGE_DB_ACCESS_H_

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <leveldb/db.h>
#include <leveldb/env.h>
#include <leveldb/iterator.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include "storage/db_access_status.h"
#include "storage/log_sync_env.h"

namespace orv {
namespace metrics {
class MetricRegistry;
}  // namespace metrics
}  // namespace orv

namespace tarnix {

// Handed to LevelDB as its information log, so that it writes no LOG file.
class NoOpLogger : public leveldb::Logger {
 public:
  void Logv(const char* /*format*/, std::va_list /*ap*/) override {}
};

// The only road to the daemon's LevelDB database. Not thread-safe: the daemon
// calls it from one thread at a time (LevelDB compacts on its own thread).
//
// Snapshot holders and iterators keep the database alive after Close(); it is
// closed when the handle and every holder and iterator have let go.
class DbAccess {
 public:
  // A (key, value) record. Keys and values are byte strings.
  using Record = std::pair<std::string, std::string>;
  using Records = std::vector<Record>;
  // A put of a write transaction; the value is shared, never copied.
  using TxnPut = std::pair<std::string, boost::shared_ptr<std::string>>;
  // Runs once in WriteTxn, after the batch is built and before it is written.
  using WriteHook = boost::function<void()>;

  // Per-record results of Put().
  struct PutReturnValue {
    enum Value : int32_t { CREATED = 0, UPDATED = 1, UNCHANGED = 2 };
  };
  // Per-record results of Delete().
  struct DeleteReturnValue {
    enum Value : int32_t { DELETED = 0, NOT_FOUND = 1, VALUE_MISMATCH = 2 };
  };

  // A held LevelDB snapshot; released when the last shared pointer goes.
  class DbSnapshotPtr {
   public:
    explicit DbSnapshotPtr(boost::shared_ptr<leveldb::DB> db);
    ~DbSnapshotPtr();
    DbSnapshotPtr(const DbSnapshotPtr&) = delete;
    DbSnapshotPtr& operator=(const DbSnapshotPtr&) = delete;

    const leveldb::Snapshot* snapshot() const { return snapshot_; }
    const boost::shared_ptr<leveldb::DB>& db() const { return db_; }

   private:
    boost::shared_ptr<leveldb::DB> db_;
    const leveldb::Snapshot* snapshot_;
  };
  using SnapshotHolder = boost::shared_ptr<DbSnapshotPtr>;

  // A forward iterator over one snapshot, which it keeps alive.
  class IteratorImpl {
   public:
    IteratorImpl(boost::shared_ptr<leveldb::DB> db, SnapshotHolder snapshot);
    ~IteratorImpl();
    IteratorImpl(const IteratorImpl&) = delete;
    IteratorImpl& operator=(const IteratorImpl&) = delete;

    // Positions at the first record whose key is equal or greater.
    void Seek(const std::string& key);
    void Next();
    // False past the last record and from the first failed read on.
    bool Valid() const;
    // Copies of the current record; meaningful only while Valid().
    std::string key() const;
    std::string value() const;
    // The current value's length, without copying it.
    size_t value_size() const;
    // The current key without copying it; valid as value_view() is.
    leveldb::Slice key_view() const;
    // The current value without copying it; valid until the iterator moves
    // or is destroyed, and only while Valid().
    leveldb::Slice value_view() const;
    // OK unless a read failed; an iterator that stopped on an error is not
    // Valid(), so walkers check this after the loop.
    DbAccessStatus status() const;

   private:
    // Destroyed in reverse order: the LevelDB iterator before its snapshot,
    // the snapshot before the database.
    boost::shared_ptr<leveldb::DB> db_;
    SnapshotHolder snapshot_;
    std::unique_ptr<leveldb::Iterator> iter_;
  };

  // No database is open yet. Registers the storage latency metrics in
  // `registry` (which must outlive the handle). `env` (not owned) replaces
  // LevelDB's default environment; tests use it to inject faults.
  explicit DbAccess(orv::metrics::MetricRegistry& registry,
                    leveldb::Env* env = nullptr);
  ~DbAccess();
  DbAccess(const DbAccess&) = delete;
  DbAccess& operator=(const DbAccess&) = delete;

  // Opens or creates the database in `directory`. Without CURRENT, a
  // directory holding anything LevelDB did not create is refused
  // (OTHER_ERROR) before any repair or creation. Only when LevelDB reports
  // corruption (or finds table or log files without CURRENT) is the database
  // repaired. A repair may drop data: ERROR lines give the open error that
  // caused it, what the repair reported it could not use or dropped, and
  // the files it set aside in lost/, which is never removed. A write-ahead
  // log that ends inside a write (LevelDB drops that write without a word)
  // has the bytes it loses, from where that write begins, kept in
  // lost/<log>.tail-<offset> before the open, with an ERROR line. Only when the
  // repair itself reports corruption is the database re-created from scratch;
  // re-creation removes LevelDB's own files only and refuses a directory
  // holding anything else. Every other failure (lock held, permissions, a
  // full disk during the repair, ...) is returned as it is, with the files
  // left in place.
  DbAccessStatus Open(const std::string& directory);
  // Whether the last Open dropped data: a cut write-ahead log or a repair.
  // Writes acknowledged before may then be gone, and what they recorded
  // (transaction ids) with them.
  bool lost_data_at_open() const { return lost_data_at_open_; }
  // The directory of the last successful Open; "" before one.
  const std::string& directory() const { return directory_; }
  // The environment every file of the database goes through, for files kept
  // beside LevelDB's. Lives as long as the handle.
  leveldb::Env* env() const { return env_; }
  // Files beside LevelDB's in the database directory: the bound of the
  // transaction ids handed out (see TransactionIds) and its temporary. Open
  // counts them as the database's own; re-creation keeps the bound, since
  // ids handed out before must not come again.
  static constexpr char kTxnIdBoundFile[] = "TXNID_BOUND";
  static constexpr char kTxnIdBoundTempFile[] = "TXNID_BOUND.tmp";
  // Drops the handle's reference to the database; false when none was open.
  bool Close();

  // Maps a LevelDB status to a DbAccessStatus with LevelDB's own text.
  static DbAccessStatus ToStatus(const leveldb::Status& status);

  // --- Reads ---
  // A consistent view of the current state; empty without an open database.
  SnapshotHolder GetSnapshot();
  // Appends one value per key (empty when the key is missing). Two or more
  // keys without `snapshot` are read on a snapshot of the call's own.
  // Corruption and I/O errors end the read and are returned.
  DbAccessStatus Get(const leveldb::Snapshot* snapshot,
                     const std::vector<std::string>& keys,
                     std::vector<std::string>* values);
  // Reads one key on `snapshot`; NOT_FOUND when absent. `value` is written
  // only when the key is found.
  DbAccessStatus Get(const SnapshotHolder& snapshot, const std::string& key,
                     std::string* value);
  // Appends every record whose key begins with `prefix`, in key order, from
  // `from` on where it sorts past `prefix`: a caller that knows no record
  // lies before it spares the read of the deleted ones there. A read error
  // is returned, and then nothing is appended.
  DbAccessStatus PrefixFilter(const leveldb::Snapshot* snapshot,
                              const std::string& prefix, Records* records,
                              const std::string& from = std::string());
  DbAccessStatus PrefixFilter(const SnapshotHolder& snapshot,
                              const std::string& prefix, Records* records,
                              const std::string& from = std::string());
  // An iterator over a fresh snapshot; empty without an open database.
  boost::shared_ptr<IteratorImpl> NewIterator();
  // An iterator over `snapshot`, so that several reads of one transaction
  // share one state of the store and one iterator can serve them all in key
  // order. Empty without an open database or with an empty `snapshot`.
  boost::shared_ptr<IteratorImpl> NewIterator(const SnapshotHolder& snapshot);

  // --- Writes --- (`sync` makes that one write reach the disk before it
  // returns)
  //
  // A write that fails with an I/O error (a full disk among them) does not
  // return: it logs DRX0103, waits until the log line is written (3 seconds
  // at most, see orv::ScheduleExit), and ends the process with exit status 1
  // at once, without exit handlers or static destructors
  // (orv::FlushLogAndExitNow), since the daemon's other threads still run.
  // Every write that returned before it has reached the write-ahead log
  // file; the failed one may or may not be found there at the next open.
  // Other failures are returned.

  // Writes the records that are new or changed, in one batch, and appends a
  // PutReturnValue per record to `results`. A stored empty value counts as
  // absent.
  DbAccessStatus Put(const Records& records, bool sync,
                     std::vector<int32_t>* results);
  // Deletes, in one batch, every key whose supplied value is empty or equal
  // to the stored one; appends a DeleteReturnValue per record to `results`.
  DbAccessStatus Delete(const Records& records, bool sync,
                        std::vector<int32_t>* results);
  // The classification behind Put(): appends the records to write, the
  // result codes and the stored values.
  DbAccessStatus ComputeReturnValuesForPut(const Records& records,
                                           Records* to_write,
                                           std::vector<int32_t>* results,
                                           std::vector<std::string>* stored);
  // The classification behind Delete(): appends the keys to delete, the
  // result codes and the stored values.
  DbAccessStatus ComputeReturnValuesForDelete(
      const Records& records, std::vector<std::string>* to_delete,
      std::vector<int32_t>* results, std::vector<std::string>* stored);
  // One atomic batch: every put in order, then every delete (so a key in
  // both lists ends deleted). `hook` runs once, before the write.
  DbAccessStatus WriteTxn(const std::vector<TxnPut>& puts,
                          const std::vector<std::string>& deletes, bool sync,
                          const WriteHook& hook);
  // The same, but consumes `puts`: each put lets go of its key and value once
  // the batch holds a copy, so a large transaction does not keep its values
  // twice while the batch grows. `puts` is left empty.
  DbAccessStatus WriteTxn(std::vector<TxnPut>&& puts, const std::vector<std::string>& deletes,
                          bool sync, const WriteHook& hook);
  // Deletes, in one batch, every record under any of `prefixes`; sets
  // *deleted, when given, to how many it deleted.
  DbAccessStatus DeleteByPrefixes(const std::vector<std::string>& prefixes,
                                  bool sync, size_t* deleted = nullptr);

  // Makes every write that returned before the call durable, as if it had
  // been written with `sync`. The one call that is thread-safe: another
  // thread may sync while the writer goes on writing, and the writer does
  // not wait for the disk. Requires an open database; an error is returned
  // (and not fatal: the caller decides).
  DbAccessStatus SyncLog();

 private:
  // Compacts on a thread of its own, which DbAccess is not made for; it
  // takes the database from here and holds it as iterators do.
  friend class RangeCompactor;
  struct Metrics;

  // Logs that `operation` was called without an open database; true then.
  bool NoDatabase(const char* operation) const;
  // Appends the stored value of every record's key (empty when absent).
  DbAccessStatus ReadStored(const Records& records,
                            std::vector<std::string>* stored);
  enum class WriteKind { kPut, kDelete };
  // The one classification of Put and Delete records against their stored
  // values: appends a PutReturnValue or DeleteReturnValue per record to
  // `results`, the stored values to `stored`, and the indices of the
  // records whose write goes ahead to `go_ahead`.
  DbAccessStatus Classify(WriteKind kind, const Records& records, std::vector<size_t>* go_ahead,
                          std::vector<int32_t>* results, std::vector<std::string>* stored);
  // Put and Delete: classifies, then writes what goes ahead in one batch.
  DbAccessStatus ClassifyAndWrite(WriteKind kind, const Records& records, bool sync,
                                  std::vector<int32_t>* results);
  DbAccessStatus Write(leveldb::WriteBatch* batch, bool sync);
  // WriteTxn's common end: adds the deletes, runs the hook, writes.
  DbAccessStatus WriteTxnBatch(leveldb::WriteBatch* batch,
                               const std::vector<std::string>& deletes,
                               bool sync, const WriteHook& hook);

  boost::shared_ptr<leveldb::DB> db_;
  // Between LevelDB and the caller's environment; shared with the open
  // database, which may outlive the handle.
  std::shared_ptr<LogSyncEnv> log_env_;
  leveldb::Env* env_;
  std::unique_ptr<Metrics> metrics_;
  bool lost_data_at_open_ = false;
  std::string directory_;
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_DB_ACCESS_H_

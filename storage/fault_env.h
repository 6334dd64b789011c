#ifndef TARNIX_STORAGE_FAULT_ENV_H_
#define TARNIX_STORAGE_FAULT_ENV_H_

#include <atomic>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include <leveldb/env.h>
#include <leveldb/status.h>

namespace tarnix {

// Test environment over the default one that injects file-system faults and
// counts syncs. Thread-safe: LevelDB calls it from its background thread too.
class FaultEnv : public leveldb::EnvWrapper {
 public:
  FaultEnv() : leveldb::EnvWrapper(leveldb::Env::Default()) {}

  // The next `n` random-access reads succeed, every later one fails with
  // `error`. A negative `n` switches the fault off.
  void FailReadsAfter(int n, const leveldb::Status& error);
  // The next `n` random-access reads succeed, the one after fails with
  // `error`, and later ones succeed again.
  void FailOneReadAfter(int n, const leveldb::Status& error);
  // While set, appends to write-ahead log files fail with `error`.
  void FailLogAppends(bool fail, const leveldb::Status& error = leveldb::Status::IOError(
                                     "injected append failure"));
  // The next `n` creations of a file whose name contains `part` fail with
  // `error`.
  void FailFileCreations(
      const std::string& part, int n,
      const leveldb::Status& error = leveldb::Status::IOError("injected"));
  // Syncs of write-ahead log files so far.
  int log_syncs() const { return log_syncs_; }
  // Runs before each creation of a table file, on the creating thread
  // (tests hold compactions in it).
  void SetTableCreationHook(std::function<void()> hook);

  // --- Syncs of write-ahead log files ---
  // While set, they fail with an I/O error and reach nothing.
  void FailLogSyncs(bool fail) { fail_log_syncs_ = fail; }
  // Runs before each of them, on the syncing thread (tests block in it).
  // Set it while no sync runs.
  void SetLogSyncHook(std::function<void()> hook) { log_sync_hook_ = std::move(hook); }

  // --- A full disk ---
  // Appends from now on may write `bytes` in all, over every file; the one
  // that would pass them fails as a full disk does and writes nothing.
  // Removals give no room back.
  void LimitWrites(uint64_t bytes);

  // --- Power loss ---
  // From now on remembers, for every file created, the length that reached
  // the disk: what it held at its last sync. Files that existed before count
  // as synced.
  void EnablePowerLossModel();
  // The power goes off: every later write, sync, creation, rename and
  // removal fails with an I/O error and changes nothing. Then close the
  // database and call DropUnsyncedData().
  void PowerLoss();
  // What the disk holds after the power came back: cuts every file created
  // since EnablePowerLossModel() back to its synced length, removes those
  // never synced, and turns the power back on (the files left count as
  // synced). REQUIRES: no database open on this environment.
  leveldb::Status DropUnsyncedData();
  bool power_lost() const { return power_lost_; }

  leveldb::Status RenameFile(const std::string& from, const std::string& to) override;
  leveldb::Status RemoveFile(const std::string& name) override;

  leveldb::Status NewRandomAccessFile(const std::string& name,
                                      leveldb::RandomAccessFile** result)
      override;
  leveldb::Status NewWritableFile(const std::string& name,
                                  leveldb::WritableFile** result) override;
  leveldb::Status NewAppendableFile(const std::string& name,
                                    leveldb::WritableFile** result) override;

  // Used by the file wrappers.
  leveldb::Status CheckRead();
  // OK, or the error an append to a write-ahead log file fails with.
  leveldb::Status LogAppendFault();
  // Takes room for `n` bytes appended to `name`, or says the disk is full.
  leveldb::Status TakeRoom(const std::string& name, size_t n);
  void CountLogSync() { ++log_syncs_; }
  // Around a sync of `file` (named `name`): whether it may go ahead, and
  // what it made durable.
  leveldb::Status BeforeSync(const std::string& name, bool is_log);
  void AfterSync(const std::string& name, uint64_t synced_length);

 private:
  void SetReadFault(int n, const leveldb::Status& error, bool once);
  leveldb::Status CheckCreation(const std::string& name);
  leveldb::Status Wrap(const std::string& name, leveldb::Status status,
                       leveldb::WritableFile** result);

  std::mutex mu_;
  int reads_left_ = -1;
  leveldb::Status read_error_;
  bool fail_one_read_ = false;
  std::string failing_part_;
  int failing_creations_ = 0;
  leveldb::Status creation_error_;
  std::function<void()> table_creation_hook_;  // guarded by mu_
  leveldb::Status log_append_error_;  // guarded by mu_
  bool limit_writes_ = false;         // guarded by mu_
  uint64_t write_room_ = 0;           // guarded by mu_
  std::atomic<int> log_syncs_{0};
  std::atomic<bool> fail_log_syncs_{false};
  std::function<void()> log_sync_hook_;
  bool track_synced_ = false;               // guarded by mu_
  std::map<std::string, int64_t> synced_;   // -1: never synced; guarded by mu_
  std::atomic<bool> power_lost_{false};
};

// Holds every log sync that reaches its hook until opened, on the syncing
// thread: env.SetLogSyncHook(gate.Hook()).
class SyncGate {
 public:
  std::function<void()> Hook() {
    return [this] {
      std::unique_lock<std::mutex> lock(mu_);
      ++arrived_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
    };
  }
  // Waits until a sync is held.
  void WaitForSync() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return arrived_ > 0; });
  }
  // The same, for `limit` at most; false when none came.
  bool WaitForSync(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, limit, [this] { return arrived_ > 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool open_ = false;
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_FAULT_ENV_H_

#ifndef TARNIX_STORAGE_FAULT_ENV_H_
#define TARNIX_STORAGE_FAULT_ENV_H_

#include <atomic>
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
  // While set, appends to write-ahead log files fail with an I/O error.
  void FailLogAppends(bool fail) { fail_log_appends_ = fail; }
  // The next `n` creations of a file whose name contains `part` fail with
  // `error`.
  void FailFileCreations(
      const std::string& part, int n,
      const leveldb::Status& error = leveldb::Status::IOError("injected"));
  // Syncs of write-ahead log files so far.
  int log_syncs() const { return log_syncs_; }

  leveldb::Status NewRandomAccessFile(const std::string& name,
                                      leveldb::RandomAccessFile** result)
      override;
  leveldb::Status NewWritableFile(const std::string& name,
                                  leveldb::WritableFile** result) override;
  leveldb::Status NewAppendableFile(const std::string& name,
                                    leveldb::WritableFile** result) override;

  // Used by the file wrappers.
  leveldb::Status CheckRead();
  bool fail_log_appends() const { return fail_log_appends_; }
  void CountLogSync() { ++log_syncs_; }

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
  std::atomic<bool> fail_log_appends_{false};
  std::atomic<int> log_syncs_{0};
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_FAULT_ENV_H_

#ifndef TARNIX_STORAGE_LOG_SYNC_ENV_H_
#define TARNIX_STORAGE_LOG_SYNC_ENV_H_

#include <list>
#include <memory>
#include <mutex>
#include <string>

#include <leveldb/env.h>
#include <leveldb/status.h>

namespace tarnix {

// An environment over `target` that lets another thread make LevelDB's
// write-ahead log durable while LevelDB goes on appending to it: SyncLogs()
// syncs every open log file through a second handle of its own, holding no
// lock that an append waits on while the disk works. A log file LevelDB
// closes, replaces or drops is synced first, so a record written before
// SyncLogs() was called is durable when it returns, whichever file it went
// to.
//
// Thread-safe. `target` is not owned and must outlive this environment and
// every file it made.
class LogSyncEnv : public leveldb::EnvWrapper {
 public:
  explicit LogSyncEnv(leveldb::Env* target) : leveldb::EnvWrapper(target) {}
  LogSyncEnv(const LogSyncEnv&) = delete;
  LogSyncEnv& operator=(const LogSyncEnv&) = delete;

  // Makes every log record appended before the call durable. Callable from
  // any thread, concurrently with LevelDB's own writes; the first error
  // stops it and is returned.
  leveldb::Status SyncLogs();

  leveldb::Status NewWritableFile(const std::string& name,
                                  leveldb::WritableFile** result) override;
  leveldb::Status NewAppendableFile(const std::string& name,
                                    leveldb::WritableFile** result) override;

  struct LogState;

 private:
  class LogFile;

  leveldb::Status Wrap(const std::string& name, leveldb::WritableFile** result);
  void Forget(const LogState* state);

  std::mutex mu_;  // guards logs_
  std::list<std::shared_ptr<LogState>> logs_;
};

}  // namespace tarnix

#endif  // TARNIX_STORAGE_LOG_SYNC_ENV_H_

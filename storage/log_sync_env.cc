#include "storage/log_sync_env.h"

#include <utility>
#include <vector>

namespace tarnix {

namespace {

bool IsLogFile(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

}  // namespace

// One open log file. `file` is LevelDB's handle, used under `mu` only (the
// default WritableFile is not safe for concurrent calls); `sync_handle` is a
// second handle on the same file that is only ever synced, so its fdatasync
// runs outside `mu`. Shared with SyncLogs(), so a sync in progress keeps the
// handle open after LevelDB dropped the file.
struct LogSyncEnv::LogState {
  LogState(std::string n, leveldb::WritableFile* f) : name(std::move(n)), file(f) {}

  const std::string name;
  std::mutex mu;
  std::unique_ptr<leveldb::WritableFile> file;
  bool closed = false;
  std::mutex sync_mu;  // one sync through sync_handle at a time
  std::unique_ptr<leveldb::WritableFile> sync_handle;
};

// What LevelDB holds: every call goes to the state's handle under its lock.
class LogSyncEnv::LogFile : public leveldb::WritableFile {
 public:
  LogFile(LogSyncEnv* env, std::shared_ptr<LogState> state)
      : env_(env), state_(std::move(state)) {}
  // LevelDB drops a log without closing it when the database closes.
  ~LogFile() override { Close(); }

  leveldb::Status Append(const leveldb::Slice& data) override {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->closed) return leveldb::Status::IOError(state_->name, "log file closed");
    return state_->file->Append(data);
  }
  leveldb::Status Flush() override {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->closed) return leveldb::Status::IOError(state_->name, "log file closed");
    return state_->file->Flush();
  }
  leveldb::Status Sync() override {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->closed) return leveldb::Status::IOError(state_->name, "log file closed");
    return state_->file->Sync();
  }
  // Synced first: SyncLogs() no longer looks at a closed file.
  leveldb::Status Close() override {
    leveldb::Status status;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      if (state_->closed) return status;
      status = state_->file->Sync();
      const leveldb::Status closed = state_->file->Close();
      if (status.ok()) status = closed;
      state_->closed = true;
    }
    env_->Forget(state_.get());
    return status;
  }

 private:
  LogSyncEnv* const env_;
  const std::shared_ptr<LogState> state_;
};

leveldb::Status LogSyncEnv::SyncLogs() {
  std::vector<std::shared_ptr<LogState>> logs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    logs.assign(logs_.begin(), logs_.end());
  }
  for (const std::shared_ptr<LogState>& log : logs) {
    std::lock_guard<std::mutex> sync_lock(log->sync_mu);
    {
      std::lock_guard<std::mutex> lock(log->mu);
      if (log->closed) continue;  // synced when it was closed
      // Hands LevelDB's buffered bytes to the file system, where the other
      // handle's sync reaches them.
      leveldb::Status status = log->file->Flush();
      if (status.ok() && !log->sync_handle) {
        leveldb::WritableFile* handle = nullptr;
        status = target()->NewAppendableFile(log->name, &handle);
        log->sync_handle.reset(handle);
      }
      if (!status.ok()) return status;
    }
    const leveldb::Status status = log->sync_handle->Sync();
    if (!status.ok()) return status;
  }
  return leveldb::Status::OK();
}

leveldb::Status LogSyncEnv::Wrap(const std::string& name, leveldb::WritableFile** result) {
  auto state = std::make_shared<LogState>(name, *result);
  {
    std::lock_guard<std::mutex> lock(mu_);
    logs_.push_back(state);
  }
  *result = new LogFile(this, std::move(state));
  return leveldb::Status::OK();
}

void LogSyncEnv::Forget(const LogState* state) {
  std::lock_guard<std::mutex> lock(mu_);
  logs_.remove_if([state](const std::shared_ptr<LogState>& log) { return log.get() == state; });
}

leveldb::Status LogSyncEnv::NewWritableFile(const std::string& name,
                                            leveldb::WritableFile** result) {
  const leveldb::Status status = target()->NewWritableFile(name, result);
  if (!status.ok() || !IsLogFile(name)) return status;
  return Wrap(name, result);
}

leveldb::Status LogSyncEnv::NewAppendableFile(const std::string& name,
                                              leveldb::WritableFile** result) {
  const leveldb::Status status = target()->NewAppendableFile(name, result);
  if (!status.ok() || !IsLogFile(name)) return status;
  return Wrap(name, result);
}

}  // namespace tarnix

#include "storage/fault_env.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace tarnix {

namespace {

bool IsLogFile(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
}

class FaultyRandomAccessFile : public leveldb::RandomAccessFile {
 public:
  FaultyRandomAccessFile(FaultEnv* env, leveldb::RandomAccessFile* target)
      : env_(env), target_(target) {}

  leveldb::Status Read(uint64_t offset, size_t n, leveldb::Slice* result,
                       char* scratch) const override {
    leveldb::Status status = env_->CheckRead();
    if (!status.ok()) return status;
    return target_->Read(offset, n, result, scratch);
  }

 private:
  FaultEnv* env_;
  std::unique_ptr<leveldb::RandomAccessFile> target_;
};

leveldb::Status PowerOff() { return leveldb::Status::IOError("injected power loss"); }

class FaultyWritableFile : public leveldb::WritableFile {
 public:
  FaultyWritableFile(FaultEnv* env, leveldb::WritableFile* target, bool is_log,
                     std::string name)
      : env_(env), target_(target), is_log_(is_log), name_(std::move(name)) {}

  leveldb::Status Append(const leveldb::Slice& data) override {
    if (is_log_) {
      leveldb::Status fault = env_->LogAppendFault();
      if (!fault.ok()) return fault;
    }
    if (env_->power_lost()) return PowerOff();
    leveldb::Status room = env_->TakeRoom(name_, data.size());
    if (!room.ok()) return room;
    return target_->Append(data);
  }
  leveldb::Status Close() override { return target_->Close(); }
  leveldb::Status Flush() override {
    if (env_->power_lost()) return PowerOff();
    return target_->Flush();
  }
  leveldb::Status Sync() override {
    if (is_log_) env_->CountLogSync();
    leveldb::Status status = env_->BeforeSync(name_, is_log_);
    // What is in the file system now is what this sync makes durable.
    if (status.ok()) status = target_->Flush();
    uint64_t length = 0;
    if (status.ok()) status = env_->target()->GetFileSize(name_, &length);
    if (status.ok()) status = target_->Sync();
    if (status.ok()) env_->AfterSync(name_, length);
    return status;
  }

 private:
  FaultEnv* env_;
  std::unique_ptr<leveldb::WritableFile> target_;
  bool is_log_;
  const std::string name_;
};

}  // namespace

void FaultEnv::FailReadsAfter(int n, const leveldb::Status& error) {
  SetReadFault(n, error, false);
}

void FaultEnv::FailOneReadAfter(int n, const leveldb::Status& error) {
  SetReadFault(n, error, true);
}

void FaultEnv::SetReadFault(int n, const leveldb::Status& error, bool once) {
  std::lock_guard<std::mutex> lock(mu_);
  reads_left_ = n;
  read_error_ = error;
  fail_one_read_ = once;
}

void FaultEnv::FailFileCreations(const std::string& part, int n,
                                 const leveldb::Status& error) {
  std::lock_guard<std::mutex> lock(mu_);
  failing_part_ = part;
  failing_creations_ = n;
  creation_error_ = error;
}

leveldb::Status FaultEnv::CheckRead() {
  std::lock_guard<std::mutex> lock(mu_);
  if (reads_left_ < 0) return leveldb::Status::OK();
  if (reads_left_ == 0) {
    if (fail_one_read_) reads_left_ = -1;
    return read_error_;
  }
  --reads_left_;
  return leveldb::Status::OK();
}

void FaultEnv::SetTableCreationHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  table_creation_hook_ = std::move(hook);
}

leveldb::Status FaultEnv::CheckCreation(const std::string& name) {
  std::function<void()> table_hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const std::string kTable = ".ldb";
    if (name.size() >= kTable.size() &&
        name.compare(name.size() - kTable.size(), kTable.size(), kTable) == 0) {
      table_hook = table_creation_hook_;
    }
  }
  if (table_hook) table_hook();
  std::lock_guard<std::mutex> lock(mu_);
  if (failing_creations_ <= 0 ||
      name.find(failing_part_) == std::string::npos) {
    return leveldb::Status::OK();
  }
  --failing_creations_;
  return creation_error_;
}

leveldb::Status FaultEnv::NewRandomAccessFile(
    const std::string& name, leveldb::RandomAccessFile** result) {
  leveldb::RandomAccessFile* file = nullptr;
  leveldb::Status status = target()->NewRandomAccessFile(name, &file);
  *result = status.ok() ? new FaultyRandomAccessFile(this, file) : nullptr;
  return status;
}

leveldb::Status FaultEnv::Wrap(const std::string& name, leveldb::Status status,
                               leveldb::WritableFile** result) {
  if (status.ok()) *result = new FaultyWritableFile(this, *result, IsLogFile(name), name);
  return status;
}

leveldb::Status FaultEnv::NewWritableFile(const std::string& name,
                                          leveldb::WritableFile** result) {
  *result = nullptr;
  if (power_lost_) return PowerOff();
  const leveldb::Status status = CheckCreation(name);
  if (!status.ok()) return status;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (track_synced_) synced_[name] = -1;
  }
  return Wrap(name, target()->NewWritableFile(name, result), result);
}

void FaultEnv::FailLogAppends(bool fail, const leveldb::Status& error) {
  std::lock_guard<std::mutex> lock(mu_);
  log_append_error_ = fail ? error : leveldb::Status::OK();
}

leveldb::Status FaultEnv::LogAppendFault() {
  std::lock_guard<std::mutex> lock(mu_);
  return log_append_error_;
}

void FaultEnv::LimitWrites(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_writes_ = true;
  write_room_ = bytes;
}

leveldb::Status FaultEnv::TakeRoom(const std::string& name, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!limit_writes_) return leveldb::Status::OK();
  if (n > write_room_) return leveldb::Status::IOError(name, "No space left on device");
  write_room_ -= n;
  return leveldb::Status::OK();
}

leveldb::Status FaultEnv::NewAppendableFile(const std::string& name,
                                            leveldb::WritableFile** result) {
  *result = nullptr;
  if (power_lost_) return PowerOff();
  const leveldb::Status status = CheckCreation(name);
  if (!status.ok()) return status;
  return Wrap(name, target()->NewAppendableFile(name, result), result);
}

leveldb::Status FaultEnv::BeforeSync(const std::string& /*name*/, bool is_log) {
  if (is_log && log_sync_hook_) log_sync_hook_();
  if (power_lost_) return PowerOff();
  if (is_log && fail_log_syncs_) return leveldb::Status::IOError("injected sync failure");
  return leveldb::Status::OK();
}

void FaultEnv::AfterSync(const std::string& name, uint64_t synced_length) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = synced_.find(name);
  // A sync that raced with the power loss may or may not have made it.
  if (it == synced_.end() || power_lost_) return;
  it->second = std::max<int64_t>(it->second, static_cast<int64_t>(synced_length));
}

void FaultEnv::EnablePowerLossModel() {
  std::lock_guard<std::mutex> lock(mu_);
  track_synced_ = true;
}

void FaultEnv::PowerLoss() {
  std::lock_guard<std::mutex> lock(mu_);
  power_lost_ = true;
}

leveldb::Status FaultEnv::DropUnsyncedData() {
  std::lock_guard<std::mutex> lock(mu_);
  leveldb::Status result;
  for (const auto& file : synced_) {
    if (file.second < 0) {
      const leveldb::Status removed = target()->RemoveFile(file.first);
      if (!removed.ok() && result.ok()) result = removed;
    } else if (truncate(file.first.c_str(), file.second) != 0 && result.ok()) {
      result = leveldb::Status::IOError(file.first, "truncate failed");
    }
  }
  synced_.clear();
  power_lost_ = false;
  return result;
}

leveldb::Status FaultEnv::RenameFile(const std::string& from, const std::string& to) {
  if (power_lost_) return PowerOff();
  const leveldb::Status status = target()->RenameFile(from, to);
  if (!status.ok()) return status;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = synced_.find(from);
  if (it == synced_.end()) {
    synced_.erase(to);
  } else {
    synced_[to] = it->second;
    synced_.erase(from);
  }
  return status;
}

leveldb::Status FaultEnv::RemoveFile(const std::string& name) {
  if (power_lost_) return PowerOff();
  const leveldb::Status status = target()->RemoveFile(name);
  std::lock_guard<std::mutex> lock(mu_);
  if (status.ok()) synced_.erase(name);
  return status;
}

}  // namespace tarnix

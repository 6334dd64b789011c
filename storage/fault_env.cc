#include "storage/fault_env.h"

#include <memory>

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

class FaultyWritableFile : public leveldb::WritableFile {
 public:
  FaultyWritableFile(FaultEnv* env, leveldb::WritableFile* target, bool is_log)
      : env_(env), target_(target), is_log_(is_log) {}

  leveldb::Status Append(const leveldb::Slice& data) override {
    if (is_log_ && env_->fail_log_appends()) {
      return leveldb::Status::IOError("injected append failure");
    }
    return target_->Append(data);
  }
  leveldb::Status Close() override { return target_->Close(); }
  leveldb::Status Flush() override { return target_->Flush(); }
  leveldb::Status Sync() override {
    if (is_log_) env_->CountLogSync();
    return target_->Sync();
  }

 private:
  FaultEnv* env_;
  std::unique_ptr<leveldb::WritableFile> target_;
  bool is_log_;
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

leveldb::Status FaultEnv::CheckCreation(const std::string& name) {
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
  if (status.ok()) *result = new FaultyWritableFile(this, *result, IsLogFile(name));
  return status;
}

leveldb::Status FaultEnv::NewWritableFile(const std::string& name,
                                          leveldb::WritableFile** result) {
  *result = nullptr;
  const leveldb::Status status = CheckCreation(name);
  if (!status.ok()) return status;
  return Wrap(name, target()->NewWritableFile(name, result), result);
}

leveldb::Status FaultEnv::NewAppendableFile(const std::string& name,
                                            leveldb::WritableFile** result) {
  *result = nullptr;
  const leveldb::Status status = CheckCreation(name);
  if (!status.ok()) return status;
  return Wrap(name, target()->NewAppendableFile(name, result), result);
}

}  // namespace tarnix

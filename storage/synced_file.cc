#include "storage/synced_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tarnix {

leveldb::Status WriteFileSynced(leveldb::Env* env, const std::string& path,
                                const std::string& data) {
  leveldb::WritableFile* file = nullptr;
  leveldb::Status status = env->NewWritableFile(path, &file);
  if (!status.ok()) return status;
  std::unique_ptr<leveldb::WritableFile> owned(file);
  status = owned->Append(data);
  if (status.ok()) status = owned->Sync();
  if (status.ok()) status = owned->Close();
  if (!status.ok()) env->RemoveFile(path);
  return status;
}

leveldb::Status SyncDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    if (errno == ENOENT) return leveldb::Status::OK();
    return leveldb::Status::IOError(directory, std::strerror(errno));
  }
  const int synced = fsync(fd);
  const int error = errno;
  close(fd);
  if (synced != 0) return leveldb::Status::IOError(directory, std::strerror(error));
  return leveldb::Status::OK();
}

}  // namespace tarnix

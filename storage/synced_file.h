#ifndef TARNIX_STORAGE_SYNCED_FILE_H_
#define TARNIX_STORAGE_SYNCED_FILE_H_

#include <string>

#include <leveldb/env.h>
#include <leveldb/status.h>

namespace tarnix {

// Writes `data` to a new file at `path` through `env` and syncs it; a failed
// write leaves no file.
leveldb::Status WriteFileSynced(leveldb::Env* env, const std::string& path,
                                const std::string& data);

// Makes a rename in `directory` durable. A directory that is not on the
// local file system (an environment that keeps its files in memory) has
// nothing to sync.
leveldb::Status SyncDirectory(const std::string& directory);

}  // namespace tarnix

#endif  // TARNIX_STORAGE_SYNCED_FILE_H_

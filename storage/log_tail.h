#ifndef TARNIX_STORAGE_LOG_TAIL_H_
#define TARNIX_STORAGE_LOG_TAIL_H_

#include <cstdint>
#include <string>

#include <leveldb/env.h>
#include <leveldb/status.h>

namespace tarnix {

// How a LevelDB write-ahead log ends. LevelDB's recovery drops a last write
// that the file ends inside without reporting anything: it takes it for a
// write cut short by a crash. After a clean stop a log ends on a write's
// boundary, so a cut means the file lost its tail.
struct LogTail {
  // The file ends inside a write.
  bool cut = false;
  // Where the last whole write ends (where the cut write begins).
  uint64_t whole_end = 0;
  uint64_t size = 0;
};

// Reads the log at `path` through `env` (record headers only) and fills
// `tail`. A log damaged in any other way (a record that runs past its block,
// an unknown record type, fragments out of order) is not reported as cut:
// LevelDB's checksummed recovery reports that itself. Returns the read
// error, if any.
leveldb::Status ReadLogTail(leveldb::Env* env, const std::string& path,
                            LogTail* tail);

// LevelDB's repair reads write-ahead logs without checking checksums and
// keeps a damaged record as if it were whole. Gives every record of the log
// at `path` whose checksum does not match an unknown type, which the repair
// drops, and writes the log anew (through a temporary file renamed over
// it). A record that runs past its block ends the walk. Before the log is
// rewritten, its original bytes are written to `original_copy`; both writes,
// and the directories that hold the two files, are synced. Sets `*marked` to
// the number of records marked.
leveldb::Status MarkDamagedLogRecords(leveldb::Env* env, const std::string& path,
                                      const std::string& original_copy, int* marked);

}  // namespace tarnix

#endif  // TARNIX_STORAGE_LOG_TAIL_H_

#ifndef TARNIX_TOOLS_LEVELDB_LOAD_TARGET_H_
#define TARNIX_TOOLS_LEVELDB_LOAD_TARGET_H_

#include <memory>
#include <string>

#include "tools/load_run.h"

namespace tarnix {
namespace load {

// The baseline: a fresh LevelDB in a new directory under
// options.baseline_leveldb, opened with the options the daemon's storage
// uses, removed with the target. A Put transaction writes the object records
// a Put stream stores in the main vdb (the same keys and bodies) as one
// batch, synchronous when options.sync says so; a Get transaction reads each
// object's record through a snapshot iterator, as the daemon's Get does.
// Record keys are built with the schema at options.schema_path. Returns null
// with *error when the directory, the database or the schema cannot be had.
std::unique_ptr<LoadTarget> NewLevelDbLoadTarget(const LoadOptions& options,
                                                 std::string* error);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_LEVELDB_LOAD_TARGET_H_

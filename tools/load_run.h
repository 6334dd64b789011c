#ifndef TARNIX_TOOLS_LOAD_RUN_H_
#define TARNIX_TOOLS_LOAD_RUN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/load_options.h"
#include "tools/load_report.h"

namespace tarnix {
namespace load {

// One client of what is measured, used by one thread only.
class LoadClient {
 public:
  virtual ~LoadClient() = default;
  // Builds the next transaction over the objects `sequences`: a Put of new
  // bodies or a Get of existing ones, as the client's mode says. Not timed.
  virtual void Prepare(const std::vector<uint64_t>& sequences) = 0;
  // Runs the prepared transaction; false with *error when it failed.
  virtual bool Run(std::string* error) = 0;
};

// One monitor of every object of the load type, used by one thread only
// but for Cancel.
class LoadMonitor {
 public:
  virtual ~LoadMonitor() = default;
  // Opens the monitor and reads its snapshot; false with *error when it
  // could not.
  virtual bool Open(std::string* error) = 0;
  // Waits for the next message and appends the sequences of the objects it
  // carries (UINT64_MAX for a body without a key); *end_of_transaction says
  // whether the message ends a transaction. False when the monitor ended,
  // with *error saying why.
  virtual bool Next(std::vector<uint64_t>* sequences, bool* end_of_transaction,
                    std::string* error) = 0;
  // Ends the monitor from any thread once Open has returned; Next then
  // returns false.
  virtual void Cancel() = 0;
};

// How a Get transaction ends: true when it found all `expected` objects,
// else false with *error giving both counts.
bool AllFound(size_t found, size_t expected, std::string* error);

// What a run drives: the daemon or a raw LevelDB. Thread-safe.
class LoadTarget {
 public:
  virtual ~LoadTarget() = default;
  // A client with a connection of its own, made before this returns.
  virtual std::unique_ptr<LoadClient> NewClient(LoadMode mode) = 0;
  // A monitor with a connection of its own, or null where the target has
  // no monitors.
  virtual std::unique_ptr<LoadMonitor> NewMonitor() = 0;
};

// Objects a Get or Query run reads, written before the clients start.
constexpr uint64_t kGetObjects = 10000;

// Runs options.clients clients, each on its own thread, until options.count
// transactions have run or options.duration_s has passed, or a transaction
// failed (its text in *error). Put transactions write new objects numbered
// from `first_sequence`; Get requests ask for objects drawn at random from
// kGetObjects numbered from there, which a Get or Query run first writes
// through the target; a Query is prepared with one sequence among the first
// kQueryGroups, and asks for the objects of its group.
// REQUIRES: `first_sequence` is a multiple of kQueryGroups, so that every
// group holds kGetObjects / kQueryGroups of the objects written.
// *error is left alone when nothing failed.
LoadResult RunLoad(const LoadOptions& options, uint64_t first_sequence, LoadTarget* target,
                   std::string* error);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_LOAD_RUN_H_

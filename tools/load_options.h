#ifndef TARNIX_TOOLS_LOAD_OPTIONS_H_
#define TARNIX_TOOLS_LOAD_OPTIONS_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnix {
namespace load {

enum class LoadMode { kPut, kGet, kQuery, kMonitor };

// "put", "get", "query" or "monitor".
const char* LoadModeName(LoadMode mode);

// What one run of tarnix-load does. A run is bounded either by a number of
// transactions shared by all clients or by a duration, never by both.
struct LoadOptions {
  std::string target;  // host:port of the daemon
  // When set, the run goes to a fresh LevelDB made under this directory
  // instead of the daemon, writing the records the daemon would write.
  std::string baseline_leveldb;
  // Schema the baseline builds record keys with.
  std::string schema_path;
  std::string client_id = "tarnix-cli";
  LoadMode mode = LoadMode::kPut;
  uint32_t clients = 1;
  uint32_t objects = 1;  // per transaction (Put stream or Get request; not Query)
  uint32_t monitors = 0;  // monitor runs: monitors reading what the one writer commits
  uint32_t body_bytes = 100;
  bool sync = false;
  uint64_t count = 0;       // transactions in all; 0 when bounded by duration
  uint32_t duration_s = 0;  // 0 when bounded by count
};

// Parses argv with getopt_long into *options, starting from its current
// values. Returns false with *error set for an unknown option, a missing or
// malformed number, a zero client or object count, an unknown mode, both or
// neither of --count and --duration_s, neither --target nor
// --baseline_leveldb, a Query or monitor run against the baseline (LevelDB
// has neither), or a monitor run with more than one client or bounded by
// duration. Not thread-safe (getopt's globals).
bool ParseLoadOptions(int argc, char** argv, LoadOptions* options, std::string* error);

void PrintLoadUsage(FILE* out);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_LOAD_OPTIONS_H_

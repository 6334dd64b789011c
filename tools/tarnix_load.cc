// tarnix-load: drives a running daemon (or, for comparison, a raw LevelDB
// writing the same records) with Put transactions, Get requests or Queries
// from concurrent clients, or with one writer's Puts delivered to monitors,
// and prints one JSON line of what it measured.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "logging/logger.h"
#include "tools/grpc_load_target.h"
#include "tools/leveldb_load_target.h"
#include "tools/load_options.h"
#include "tools/load_report.h"
#include "tools/load_run.h"
#include "tools/monitor_load.h"

int main(int argc, char** argv) {
  using namespace tarnix::load;
  LoadOptions options;
  options.schema_path = TARNIX_EXAMPLE_SCHEMA;
  std::string error;
  if (!ParseLoadOptions(argc, argv, &options, &error)) {
    if (!error.empty()) fprintf(stderr, "tarnix-load: %s\n", error.c_str());
    PrintLoadUsage(stderr);
    return 2;
  }
  // The schema's own complaints (a type without a domain) would go to
  // syslog; a schema without our type is reported below.
  orv::Logger::logLevel = orv::PANIC;

  std::unique_ptr<LoadTarget> target;
  if (options.baseline_leveldb.empty()) {
    target = NewGrpcLoadTarget(options);
  } else {
    target = NewLevelDbLoadTarget(options, &error);
    if (target == nullptr) {
      fprintf(stderr, "tarnix-load: %s\n", error.c_str());
      return 2;
    }
  }
  // Every run writes objects no earlier run wrote, so Puts against a daemon
  // that ran before create rather than replace (a monitor sees nothing of a
  // Put that changes nothing). Runs a millisecond apart are 2^22 sequences
  // apart, more than any run writes in a millisecond.
  const uint64_t first_sequence =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count())
      << 22;
  LoadResult result = options.mode == LoadMode::kMonitor
                          ? RunMonitorLoad(options, first_sequence, target.get(), &error)
                          : RunLoad(options, first_sequence, target.get(), &error);
  printf("%s\n", ResultJson(options, &result).c_str());
  if (result.errors > 0) {
    fprintf(stderr, "tarnix-load: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

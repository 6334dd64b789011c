#ifndef TARNIX_UTIL_FUZZ_SUPPORT_H_
#define TARNIX_UTIL_FUZZ_SUPPORT_H_

// Shared by the libFuzzer targets (*_fuzzer.cc) only; never linked into the
// daemon.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <dirent.h>
#include <google/protobuf/stubs/logging.h>

#include "logging/logger.h"

// A broken property is a fault like a crash: libFuzzer saves the input.
#define TARNIX_FUZZ_CHECK(condition)                                          \
  do {                                                                        \
    if (!(condition)) {                                                       \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                               \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

namespace tarnix {

// Most inputs are logged about at ERROR, ours or protobuf's; a log line per
// execution would only slow the run down.
inline void SilenceLogs() {
  orv::Logger::logLevel = 0;
  google::protobuf::SetLogHandler(nullptr);
}

// When the first corpus directory on the command line exists and is empty,
// writes `seeds` into it (seed-0, seed-1, ...), so that a fresh run starts
// from inputs that reach deep into the code.
inline void SeedEmptyCorpus(int argc, char** argv, const std::vector<std::string>& seeds) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;
    struct stat info;
    if (stat(argv[i], &info) != 0 || !S_ISDIR(info.st_mode)) return;
    DIR* dir = opendir(argv[i]);
    if (dir == nullptr) return;
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") empty = false;
    }
    closedir(dir);
    if (!empty) return;
    for (size_t n = 0; n < seeds.size(); ++n) {
      std::ofstream(std::string(argv[i]) + "/seed-" + std::to_string(n), std::ios::binary)
          << seeds[n];
    }
    return;
  }
}

}  // namespace tarnix

#endif  // TARNIX_UTIL_FUZZ_SUPPORT_H_

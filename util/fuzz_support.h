#ifndef TARNIX_UTIL_FUZZ_SUPPORT_H_
#define TARNIX_UTIL_FUZZ_SUPPORT_H_

// Shared by the libFuzzer targets (*_fuzzer.cc) only; never linked into the
// daemon.

#include <algorithm>
#include <cstdint>
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

// Reads a fuzzer's input as it is consumed; past its end every byte is 0.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}

  bool empty() const { return at_ == end_; }
  uint8_t Byte() { return at_ < end_ ? *at_++ : 0; }
  uint16_t Short() {
    const uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  // A string of Byte() bytes.
  std::string String() {
    const size_t length = std::min<size_t>(Byte(), end_ - at_);
    std::string out(reinterpret_cast<const char*>(at_), length);
    at_ += length;
    return out;
  }

 private:
  const uint8_t* at_;
  const uint8_t* const end_;
};

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

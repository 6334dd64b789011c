#ifndef TARNIX_PLATFORM_UTIL_LIBRARY_LOG_H_
#define TARNIX_PLATFORM_UTIL_LIBRARY_LOG_H_

#include "logging/logger.h"

namespace orv {
namespace rpc {
// Threshold of the RPC layer's own log lines (0 none .. 6 trivia).
extern int library_log_level;
}  // namespace rpc
namespace net {
// Threshold of the network security layer's own log lines.
extern int library_log_level;
}  // namespace net
}  // namespace orv

// TARNIX_LOG behind a library threshold: both it and the logger's must pass.
#define PLATFORM_LOG(library_level, level, tag_text, ...) \
  do {                                                    \
    if ((library_level) >= (level)) {                     \
      TARNIX_LOG(level, tag_text, __VA_ARGS__);           \
    }                                                     \
  } while (0)

#endif  // TARNIX_PLATFORM_UTIL_LIBRARY_LOG_H_

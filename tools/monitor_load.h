#ifndef TARNIX_TOOLS_MONITOR_LOAD_H_
#define TARNIX_TOOLS_MONITOR_LOAD_H_

#include <cstdint>
#include <string>

#include "tools/load_options.h"
#include "tools/load_report.h"
#include "tools/load_run.h"

namespace tarnix {
namespace load {

// Opens options.monitors monitors of the load type, each on its own thread,
// and waits for their snapshots; then one writer commits options.count
// transactions of options.objects new objects numbered from
// `first_sequence`, while every monitor checks that it receives each
// transaction whole, once and in order. Counts as errors the writer's
// failure (its text in *error), a monitor that could not open, and what
// any monitor missed, doubled or reordered; a monitor still short of
// objects a while after the last write is ended and counted short.
LoadResult RunMonitorLoad(const LoadOptions& options, uint64_t first_sequence, LoadTarget* target,
                          std::string* error);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_MONITOR_LOAD_H_

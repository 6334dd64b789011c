#include "util/heap_release.h"

// tcmalloc's C interface, resolved only when the process links tcmalloc.
extern "C" void MallocExtension_ReleaseFreeMemory(void) __attribute__((weak));

namespace tarnix {

void ReleaseFreeHeapMemory() {
  if (MallocExtension_ReleaseFreeMemory != nullptr) MallocExtension_ReleaseFreeMemory();
}

}  // namespace tarnix

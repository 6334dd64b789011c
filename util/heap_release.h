#ifndef TARNIX_UTIL_HEAP_RELEASE_H_
#define TARNIX_UTIL_HEAP_RELEASE_H_

#include <cstdint>

namespace tarnix {

// Write transactions of at least this many transaction-log bytes, answers
// of at least this many bytes, and removals of subscriptions whose indexes
// took about as much, hand the heap they freed back to the system when they
// end.
constexpr uint64_t kReleaseHeapAfterBytes = 8 << 20;

// Returns the allocator's free pages to the system. The allocator otherwise
// keeps what a large transaction, answer or monitor freed for the life of
// the process. Does nothing when the process does not run on tcmalloc.
// Thread-safe.
void ReleaseFreeHeapMemory();

}  // namespace tarnix

#endif  // TARNIX_UTIL_HEAP_RELEASE_H_

#ifndef TARNIX_WRITE_WRITE_TELEMETRY_H_
#define TARNIX_WRITE_WRITE_TELEMETRY_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnix {

// Stack room and heap use sampled at fixed phases of a write transaction, to
// diagnose memory exhaustion in large ones. Phases:
//   0 Modify start                  5 batch built, before the storage write
//   1 Modify, before preprocessing  6 after the storage write
//   2 after Build                   7 Modify, after the response
//   3 changes recorded in the log   8 Modify, after notification
//   4 log units computed
// A phase overwrites only its own entry; the values stay until reset.
// Written on the event-loop thread; the out-of-memory handler reads them
// without a lock, accepting a torn figure.
class WriteTelemetry {
 public:
  static constexpr int kPhases = 9;
  // Reading tcmalloc's figure walks all its free lists (about 2 us), and a
  // small transaction passes its phases in far less time than that changes
  // the figure by the 0.1 MiB it is shown in: a reading serves the phases
  // that come within this much of it.
  static constexpr std::chrono::microseconds kHeapReadReuse{250};

  // Bytes the allocator holds for the program; tests give their own.
  using HeapReader = uint64_t (*)();
  static uint64_t TcmallocAllocatedBytes();

  explicit WriteTelemetry(HeapReader read_heap = TcmallocAllocatedBytes)
      : read_heap_(read_heap) {}

  // Notes the lowest stack address of the calling thread, once.
  void CacheThreadStackBounds();
  // Samples phase `phase`; a phase outside 0..8 is ignored. The heap figure
  // is tcmalloc's "generic.current_allocated_bytes", 0 when the process does
  // not run on tcmalloc, read at most every kHeapReadReuse.
  void Record(int phase);
  void Reset();
  // "[(stack MiB, allocated MiB), ...]", nine pairs with one decimal each.
  std::string Format() const;

  float stack_mib(int phase) const { return stack_mib_[phase]; }
  float allocated_mib(int phase) const { return allocated_mib_[phase]; }

 private:
  const HeapReader read_heap_;
  std::chrono::steady_clock::time_point heap_read_at_;
  uint64_t heap_bytes_ = 0;
  uint64_t stack_low_address_ = 0;
  float stack_mib_[kPhases] = {};
  float allocated_mib_[kPhases] = {};
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_TELEMETRY_H_

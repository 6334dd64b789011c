#include "write/write_telemetry.h"

#include <pthread.h>

#include <cstddef>
#include <cstdio>

// tcmalloc's C interface, resolved only when the process links tcmalloc.
extern "C" int MallocExtension_GetNumericProperty(const char* property, size_t* value)
    __attribute__((weak));

namespace tarnix {
namespace {

constexpr double kMiB = 1.0 / 1024 / 1024;

}  // namespace

uint64_t WriteTelemetry::TcmallocAllocatedBytes() {
  size_t value = 0;
  if (MallocExtension_GetNumericProperty == nullptr ||
      !MallocExtension_GetNumericProperty("generic.current_allocated_bytes", &value)) {
    return 0;
  }
  return value;
}

void WriteTelemetry::CacheThreadStackBounds() {
  if (stack_low_address_ != 0) return;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) {
    stack_low_address_ = reinterpret_cast<uintptr_t>(low);
  }
  pthread_attr_destroy(&attr);
}

void WriteTelemetry::Record(int phase) {
  if (phase < 0 || phase >= kPhases) return;
  if (stack_low_address_ == 0) CacheThreadStackBounds();
  char here = 0;
  const int64_t room =
      static_cast<int64_t>(reinterpret_cast<uintptr_t>(&here) - stack_low_address_);
  stack_mib_[phase] = static_cast<float>(static_cast<double>(room) * kMiB);
  const auto now = std::chrono::steady_clock::now();
  if (now - heap_read_at_ >= kHeapReadReuse) {
    heap_bytes_ = read_heap_();
    heap_read_at_ = now;
  }
  allocated_mib_[phase] = static_cast<float>(static_cast<double>(heap_bytes_) * kMiB);
}

void WriteTelemetry::Reset() {
  for (int i = 0; i < kPhases; ++i) {
    stack_mib_[i] = 0;
    allocated_mib_[i] = 0;
  }
}

std::string WriteTelemetry::Format() const {
  std::string out = "[";
  char pair[64];
  for (int i = 0; i < kPhases; ++i) {
    if (i > 0) out += ", ";
    std::snprintf(pair, sizeof pair, "(%.1f, %.1f)", stack_mib_[i], allocated_mib_[i]);
    out += pair;
  }
  return out + "]";
}

}  // namespace tarnix

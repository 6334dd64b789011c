#include "metrics/spin_lock.h"

#include <time.h>

namespace orv {

void SpinLock::lock_contended() noexcept {
  if (byte_.exchange(1, std::memory_order_acquire) == 0) return;
  const timespec pause{0, 1000};
  for (;;) {
    nanosleep(&pause, nullptr);
    if (byte_.exchange(1, std::memory_order_acquire) == 0) return;
  }
}

}  // namespace orv

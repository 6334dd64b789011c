#ifndef TARNIX_METRICS_SPIN_LOCK_H_
#define TARNIX_METRICS_SPIN_LOCK_H_

#include <atomic>
#include <cstdint>

namespace orv {

// One-byte lock for very short critical sections: 0 free, 1 held. A waiter
// retries once at once, then sleeps one microsecond before every retry.
class SpinLock {
 public:
  void lock() noexcept {
    if (byte_.exchange(1, std::memory_order_acquire) == 0) return;
    lock_contended();
  }
  void unlock() noexcept { byte_.store(0, std::memory_order_release); }

 private:
  void lock_contended() noexcept;

  std::atomic<uint8_t> byte_{0};
};

}  // namespace orv

#endif  // TARNIX_METRICS_SPIN_LOCK_H_

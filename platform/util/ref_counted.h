#ifndef TARNIX_PLATFORM_UTIL_REF_COUNTED_H_
#define TARNIX_PLATFORM_UTIL_REF_COUNTED_H_

#include <atomic>
#include <boost/intrusive_ptr.hpp>

namespace orv {

// Base of objects held by boost::intrusive_ptr; the last release deletes.
class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<int> refs_{0};
};

inline void intrusive_ptr_add_ref(const RefCounted* p) { p->AddRef(); }
inline void intrusive_ptr_release(const RefCounted* p) { p->Release(); }

}  // namespace orv

#endif  // TARNIX_PLATFORM_UTIL_REF_COUNTED_H_

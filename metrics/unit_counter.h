#ifndef TARNIX_METRICS_UNIT_COUNTER_H_
#define TARNIX_METRICS_UNIT_COUNTER_H_

#include <cstdint>
#include <string>

#include "metrics/base_counter.h"

namespace orv {
namespace metrics {

// Window of a unit counter: `last` carries over from period to period,
// `num`, `min` and `max` describe the values set in the period.
struct unit_aggregators {
  uint64_t last;
  uint64_t num;
  uint64_t min;
  uint64_t max;
};

// A current value (a count, a size) with the count and extremes of the
// values set per period. Also used as a gauge through ++ and --.
template <typename T>
class UnitCounterT
    : public BaseCounter<T, aggregation::value_last, unit_aggregators> {
 public:
  static constexpr uint64_t kValueType = 0x180000000ULL;

  explicit UnitCounterT(const char* units = nullptr);

  void update(T value);
  // Record last + 1 (or last - 1) as a new value.
  UnitCounterT& operator++();
  UnitCounterT& operator--();

  std::string string(bool current) override;

 protected:
  void reset_impl() override;
  void collect_impl() override;
  void serialize_impl(Serializer& serializer, bool current) override;

 private:
  void record(uint64_t value);  // lock held
};

extern template class UnitCounterT<unsigned long>;

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_METRICS_UNIT_COUNTER_H_

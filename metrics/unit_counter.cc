#include "metrics/unit_counter.h"

#include <sstream>

#include "platform/metrics/serializer.h"

namespace orv {
namespace metrics {

template <typename T>
UnitCounterT<T>::UnitCounterT(const char* units)
    : BaseCounter<T, aggregation::value_last, unit_aggregators>(kValueType,
                                                                 units) {}

template <typename T>
void UnitCounterT<T>::record(uint64_t value) {
  unit_aggregators& w = this->active();
  w.last = value;
  CountValue(value, w.num, w.min, w.max);
}

template <typename T>
void UnitCounterT<T>::update(T value) {
  std::lock_guard<SpinLock> lock(this->lock_);
  record(static_cast<uint64_t>(value));
}

template <typename T>
UnitCounterT<T>& UnitCounterT<T>::operator++() {
  std::lock_guard<SpinLock> lock(this->lock_);
  record(this->active().last + 1);
  return *this;
}

template <typename T>
UnitCounterT<T>& UnitCounterT<T>::operator--() {
  std::lock_guard<SpinLock> lock(this->lock_);
  record(this->active().last - 1);
  return *this;
}

namespace {

std::string Text(const std::string& units, const unit_aggregators& w) {
  std::ostringstream out;
  if (!units.empty()) out << "units: " << units << ", ";
  out << "v~last: " << w.last << ", s~num: " << w.num
      << ", s~min: " << w.min << ", s~max: " << w.max;
  return out.str();
}

}  // namespace

template <typename T>
std::string UnitCounterT<T>::string(bool current) {
  return Text(this->units_, this->window(current));
}

template <typename T>
void UnitCounterT<T>::reset_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  unit_aggregators& w = this->active();
  w.num = w.min = w.max = 0;
}

template <typename T>
void UnitCounterT<T>::collect_impl() {
  std::lock_guard<SpinLock> lock(this->lock_);
  this->reset_base();
  unit_aggregators& next = this->standby();
  next.num = next.min = next.max = 0;
  next.last = this->active().last;
  this->swap_windows();
}

template <typename T>
void UnitCounterT<T>::serialize_impl(Serializer& serializer, bool current) {
  const unit_aggregators w = this->window(current);
  serializer.set_units(this->units_);
  serializer.set_text(Text(this->units_, w));
  serializer.set_uint64("v~last", w.last);
  serializer.set_uint64("s~num", w.num);
  serializer.set_uint64_range("s~min", "s~max", w.min, w.max);
}

template class UnitCounterT<unsigned long>;

}  // namespace metrics
}  // namespace orv

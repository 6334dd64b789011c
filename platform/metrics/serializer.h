#ifndef TARNIX_PLATFORM_METRICS_SERIALIZER_H_
#define TARNIX_PLATFORM_METRICS_SERIALIZER_H_

#include <cstdint>
#include <string>

namespace orv {
namespace metrics {

// Receives the fields of one metric value, one typed setter per field.
class Serializer {
 public:
  virtual ~Serializer() = default;
  virtual void set_units(const std::string& units) = 0;
  virtual void set_text(const std::string& text) = 0;
  virtual void set_uint64(const char* name, uint64_t value) = 0;
  virtual void set_double(const char* name, double value) = 0;
  virtual void set_uint64_range(const char* min_name, const char* max_name,
                                uint64_t min, uint64_t max) = 0;
};

}  // namespace metrics
}  // namespace orv

#endif  // TARNIX_PLATFORM_METRICS_SERIALIZER_H_

#include "schema/compact_uint.h"

namespace tarnix {
namespace {

// n + 1 bytes where n is the smallest count with value < 2^(free_bits + 8n).
void AppendTagged(std::string* out, uint64_t value, int count_bits) {
  const int free_bits = 8 - count_bits;
  size_t n = 0;
  while ((value >> (free_bits + 8 * n)) != 0) ++n;
  const size_t start = out->size();
  for (size_t i = 0; i <= n; ++i) {
    out->push_back(static_cast<char>((value >> (8 * (n - i))) & 0xFF));
  }
  (*out)[start] = static_cast<char>(static_cast<uint8_t>((*out)[start]) |
                                    (n << free_bits));
}

size_t DecodeTagged(const char* data, size_t size, int count_bits,
                    uint64_t* value) {
  if (size == 0) return 0;
  const int free_bits = 8 - count_bits;
  const uint8_t first = static_cast<uint8_t>(data[0]);
  const size_t n = first >> free_bits;
  if (size < n + 1) return 0;
  uint64_t v = first & ((1u << free_bits) - 1);
  for (size_t i = 1; i <= n; ++i) v = (v << 8) | static_cast<uint8_t>(data[i]);
  *value = v;
  return n + 1;
}

}  // namespace

bool AppendCompactUint64(std::string* out, uint64_t value) {
  if (value >= kCompactUint64Limit) return false;
  AppendTagged(out, value, 3);
  return true;
}

size_t DecodeCompactUint64(const char* data, size_t size, uint64_t* value) {
  return DecodeTagged(data, size, 3, value);
}

void AppendCompactUint16(std::string* out, uint16_t value) {
  AppendTagged(out, value, 2);
}

size_t DecodeCompactUint16(const char* data, size_t size, uint16_t* value) {
  uint32_t v = 0;
  const size_t used = DecodeWideCompactUint16(data, size, &v);
  if (used == 0 || used > kMaxCompactUint16Bytes || v > 0xFFFF) return 0;
  *value = static_cast<uint16_t>(v);
  return used;
}

size_t DecodeWideCompactUint16(const char* data, size_t size, uint32_t* value) {
  uint64_t v = 0;
  const size_t used = DecodeTagged(data, size, 2, &v);
  if (used != 0) *value = static_cast<uint32_t>(v);
  return used;
}

}  // namespace tarnix

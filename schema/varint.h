#ifndef TARNIX_SCHEMA_VARINT_H_
#define TARNIX_SCHEMA_VARINT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnix {

// LEB128: seven bits per byte, lowest group first, 0x80 on every byte but the
// last. A 64-bit value takes one to ten bytes.
constexpr size_t kMaxVarint64Bytes = 10;

void AppendVarint64(std::string* out, uint64_t value);
std::string EncodeVarint64(uint64_t value);

// Decodes the varint at the start of [data, data + size). Returns the number
// of bytes it occupies, or 0 when the input ends inside it or it runs past ten
// bytes; *value is then left unspecified.
size_t DecodeVarint64(const char* data, size_t size, uint64_t* value);

// Zigzag maps signed to unsigned so that small magnitudes stay short; all
// arithmetic is unsigned, so every input is defined.
inline uint32_t ZigZagEncode32(int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  return (u << 1) ^ (0u - (u >> 31));
}
inline uint64_t ZigZagEncode64(int64_t v) {
  const uint64_t u = static_cast<uint64_t>(v);
  return (u << 1) ^ (uint64_t{0} - (u >> 63));
}
inline int32_t ZigZagDecode32(uint32_t u) {
  return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1)));
}
inline int64_t ZigZagDecode64(uint64_t u) {
  return static_cast<int64_t>((u >> 1) ^ (uint64_t{0} - (u & 1)));
}

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_VARINT_H_

#include "schema/varint.h"

namespace tarnix {

void AppendVarint64(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

std::string EncodeVarint64(uint64_t value) {
  std::string out;
  AppendVarint64(&out, value);
  return out;
}

size_t DecodeVarint64(const char* data, size_t size, uint64_t* value) {
  uint64_t result = 0;
  const size_t limit = size < kMaxVarint64Bytes ? size : kMaxVarint64Bytes;
  for (size_t i = 0; i < limit; ++i) {
    const uint8_t byte = static_cast<uint8_t>(data[i]);
    result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = result;
      return i + 1;
    }
  }
  return 0;
}

}  // namespace tarnix

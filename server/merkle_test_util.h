#ifndef TARNIX_SERVER_MERKLE_TEST_UTIL_H_
#define TARNIX_SERVER_MERKLE_TEST_UTIL_H_

// Test-only: the Merkle tree of GetMerkleTree recomputed from its written
// definition (docs/merkle-tree.md) with libb2 alone, so that tests do not
// check the server's code against itself.

#include <blake2.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnix {
namespace testing {

// Unkeyed BLAKE2b, digest length `bytes` in the parameter block.
inline std::string Blake2b(const std::string& input, size_t bytes) {
  std::string out(bytes, '\0');
  blake2b(reinterpret_cast<uint8_t*>(&out[0]), input.data(), nullptr, bytes, input.size(), 0);
  return out;
}

// The block of an object: `first` + (H mod (`count` + 1 - `first`)), H the
// 4-byte BLAKE2b of the type name and then `key_bytes` (the id, or an
// integer key as fixed little-endian bytes), read big-endian.
inline uint32_t BlockOf(const std::string& type_name, const std::string& key_bytes,
                        uint32_t first = 1, uint32_t count = 1024) {
  const std::string digest = Blake2b(type_name + key_bytes, 4);
  uint32_t h = 0;
  for (unsigned char c : digest) h = (h << 8) | c;
  return first + h % (count + 1 - first);
}

inline std::string LittleEndian32(int32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
  return bytes;
}

// Block -> the bytes its leaf hashes, in walk order.
using LeafInputs = std::map<uint32_t, std::string>;

// The root hash over `leaves` (as in LeafInputs), level by level; "" when
// there is no leaf. *nodes, when given, gets the number of nodes.
inline std::string RootHashOf(const LeafInputs& leaves, int* nodes = nullptr) {
  std::vector<std::optional<std::string>> level(1024);
  for (const auto& leaf : leaves) level.at(leaf.first - 1) = Blake2b(leaf.second, 16);
  int count = 0;
  const std::string zeros(16, '\0');
  for (;;) {
    for (const auto& hash : level) count += hash.has_value();
    if (level.size() == 1) break;
    std::vector<std::optional<std::string>> up(level.size() / 2);
    for (size_t i = 0; i < up.size(); ++i) {
      const auto& left = level[2 * i];
      const auto& right = level[2 * i + 1];
      if (left || right) up[i] = Blake2b(left.value_or(zeros) + right.value_or(zeros), 16);
    }
    level.swap(up);
  }
  if (nodes != nullptr) *nodes = count;
  return level[0].value_or("");
}

}  // namespace testing
}  // namespace tarnix

#endif  // TARNIX_SERVER_MERKLE_TEST_UTIL_H_

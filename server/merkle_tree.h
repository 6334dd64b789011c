#ifndef TARNIX_SERVER_MERKLE_TREE_H_
#define TARNIX_SERVER_MERKLE_TREE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>

namespace caldek {
namespace orv {
namespace tarnix {
class MerkleTreeNodeMsg;
}  // namespace tarnix
}  // namespace orv
}  // namespace caldek

namespace tarnix {

// The binary hash tree that GetMerkleTree answers with (docs/merkle-tree.md
// defines it for clients): kLeafCount leaves, leaf i holding the hash of
// block i + 1; an inner node hashes its left child's hash and then its right
// child's, an absent child counting as kHashBytes zero bytes. Leaves and
// subtrees without any hash have no node.
class MerkleTree {
 public:
  static constexpr uint32_t kLeafCount = 1024;
  static constexpr size_t kHashBytes = 16;
  using Hash = std::array<uint8_t, kHashBytes>;

  // Unkeyed BLAKE2b with a kHashBytes digest (set in its parameter block).
  static Hash HashBytes(const void* data, size_t size);

  // The hash of block `block`; blocks outside 1..kLeafCount are ignored.
  // Setting a block twice keeps the last hash.
  void SetLeaf(uint32_t block, const Hash& hash);
  size_t leaf_count() const { return leaves_.size(); }

  // Writes the tree into *root; false, leaving *root alone, when no leaf is
  // set (the tree has no root).
  bool Build(caldek::orv::tarnix::MerkleTreeNodeMsg* root) const;

 private:
  // Fills *node with the subtree over leaf positions [first, first + width);
  // false when none of them is set.
  bool BuildSubtree(uint32_t first, uint32_t width, caldek::orv::tarnix::MerkleTreeNodeMsg* node,
                    std::map<uint32_t, Hash>::const_iterator* next) const;

  // Leaf position (block - 1) -> hash.
  std::map<uint32_t, Hash> leaves_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_MERKLE_TREE_H_

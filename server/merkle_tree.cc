#include "server/merkle_tree.h"

#include <blake2.h>

#include <cstring>
#include <string>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"

namespace tarnix {

MerkleTree::Hash MerkleTree::HashBytes(const void* data, size_t size) {
  Hash hash;
  blake2b(hash.data(), data, nullptr, kHashBytes, size, 0);
  return hash;
}

void MerkleTree::SetLeaf(uint32_t block, const Hash& hash) {
  if (block == 0 || block > kLeafCount) return;
  leaves_[block - 1] = hash;
}

bool MerkleTree::Build(caldek::orv::tarnix::MerkleTreeNodeMsg* root) const {
  if (leaves_.empty()) return false;
  caldek::orv::tarnix::MerkleTreeNodeMsg tree;
  auto next = leaves_.cbegin();
  BuildSubtree(0, kLeafCount, &tree, &next);
  root->Swap(&tree);
  return true;
}

bool MerkleTree::BuildSubtree(uint32_t first, uint32_t width,
                              caldek::orv::tarnix::MerkleTreeNodeMsg* node,
                              std::map<uint32_t, Hash>::const_iterator* next) const {
  // Leaves are visited in position order, so the next one tells whether
  // this subtree holds any.
  if (*next == leaves_.cend() || (*next)->first >= first + width) return false;
  if (width == 1) {
    node->set_hash((*next)->second.data(), kHashBytes);
    ++*next;
    return true;
  }
  const uint32_t half = width / 2;
  uint8_t children[2 * kHashBytes] = {};
  if (BuildSubtree(first, half, node->mutable_left(), next)) {
    std::memcpy(children, node->left().hash().data(), kHashBytes);
  } else {
    node->clear_left();
  }
  if (BuildSubtree(first + half, half, node->mutable_right(), next)) {
    std::memcpy(children + kHashBytes, node->right().hash().data(), kHashBytes);
  } else {
    node->clear_right();
  }
  const Hash hash = HashBytes(children, sizeof(children));
  node->set_hash(hash.data(), kHashBytes);
  return true;
}

}  // namespace tarnix

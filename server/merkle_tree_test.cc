#include "server/merkle_tree.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using Hash = MerkleTree::Hash;

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

std::string Bytes(const Hash& hash) { return std::string(hash.begin(), hash.end()); }

Hash Leaf(int n) {
  const std::string text = "leaf " + std::to_string(n);
  return MerkleTree::HashBytes(text.data(), text.size());
}

Hash Parent(const std::string& left, const std::string& right) {
  const std::string both = left + right;
  return MerkleTree::HashBytes(both.data(), both.size());
}

const std::string kZeros(16, '\0');

// Nodes in the tree under `node`, itself included.
int CountNodes(const tx::MerkleTreeNodeMsg& node) {
  int count = 1;
  if (node.has_left()) count += CountNodes(node.left());
  if (node.has_right()) count += CountNodes(node.right());
  return count;
}

TEST(MerkleTreeTest, HashIsBlake2bWithASixteenByteDigestNotACutLongerOne) {
  const Hash empty = MerkleTree::HashBytes("", 0);
  EXPECT_EQ(Hex(Bytes(empty)), "cae66941d9efbd404e4d88758ea67670");
  const Hash abc = MerkleTree::HashBytes("abc", 3);
  EXPECT_EQ(Hex(Bytes(abc)), "cf4ab791c62b8d2b2109c90275287816");
}

TEST(MerkleTreeTest, NoLeafNoRoot) {
  MerkleTree tree;
  tree.SetLeaf(0, Leaf(0));     // no block 0
  tree.SetLeaf(1025, Leaf(1));  // past the last leaf
  tx::MerkleTreeNodeMsg root;
  root.set_hash("untouched");
  EXPECT_FALSE(tree.Build(&root));
  EXPECT_EQ(root.hash(), "untouched");
}

TEST(MerkleTreeTest, LoneLeavesAtBothEndsClimbWithZeroSiblings) {
  for (uint32_t block : {1u, 1024u}) {
    MerkleTree tree;
    tree.SetLeaf(block, Leaf(7));
    tx::MerkleTreeNodeMsg root;
    ASSERT_TRUE(tree.Build(&root));
    std::string hash = Bytes(Leaf(7));
    for (int level = 0; level < 10; ++level) {
      hash = Bytes(block == 1 ? Parent(hash, kZeros) : Parent(kZeros, hash));
    }
    EXPECT_EQ(Hex(root.hash()), Hex(hash)) << block;
    // Eleven levels, one node each, all on one side.
    EXPECT_EQ(CountNodes(root), 11);
    const tx::MerkleTreeNodeMsg* node = &root;
    while (node->has_left() || node->has_right()) {
      EXPECT_EQ(node->has_left(), block == 1);
      node = node->has_left() ? &node->left() : &node->right();
    }
    EXPECT_EQ(node->hash(), Bytes(Leaf(7)));
  }
}

TEST(MerkleTreeTest, NeighbourLeavesShareTheirParentLowerBlockLeft) {
  MerkleTree tree;
  tree.SetLeaf(2, Leaf(2));
  tree.SetLeaf(1, Leaf(1));
  tx::MerkleTreeNodeMsg root;
  ASSERT_TRUE(tree.Build(&root));
  std::string hash = Bytes(Parent(Bytes(Leaf(1)), Bytes(Leaf(2))));
  for (int level = 1; level < 10; ++level) hash = Bytes(Parent(hash, kZeros));
  EXPECT_EQ(Hex(root.hash()), Hex(hash));
  EXPECT_EQ(CountNodes(root), 9 + 1 + 2);
}

// The tree computed level by level from the leaves, as a client would.
TEST(MerkleTreeTest, SparseTreeMatchesALevelByLevelRecomputation) {
  std::mt19937 random(21);
  for (int round = 0; round < 20; ++round) {
    MerkleTree tree;
    std::vector<std::optional<std::string>> level(1024);
    const int leaves = 1 + static_cast<int>(random() % (round < 10 ? 8 : 1024));
    for (int i = 0; i < leaves; ++i) {
      const uint32_t block = 1 + random() % 1024;
      tree.SetLeaf(block, Leaf(i));
      level[block - 1] = Bytes(Leaf(i));
    }
    int nodes = 0;
    while (true) {
      for (const auto& hash : level) nodes += hash.has_value();
      if (level.size() == 1) break;
      std::vector<std::optional<std::string>> up(level.size() / 2);
      for (size_t i = 0; i < up.size(); ++i) {
        const auto& left = level[2 * i];
        const auto& right = level[2 * i + 1];
        if (left || right) up[i] = Bytes(Parent(left.value_or(kZeros), right.value_or(kZeros)));
      }
      level.swap(up);
    }
    tx::MerkleTreeNodeMsg root;
    ASSERT_TRUE(tree.Build(&root));
    EXPECT_EQ(Hex(root.hash()), Hex(*level[0])) << round;
    EXPECT_EQ(CountNodes(root), nodes) << round;
  }
}

}  // namespace
}  // namespace tarnix

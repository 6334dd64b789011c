#include "server/merkle_walk.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "schema/record_key.h"
#include "server/merkle_test_util.h"
#include "server/merkle_tree.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::BlockOf;
using testing::LeafInputs;
using testing::LittleEndian32;
using testing::RootHashOf;

constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";  // type 3, string key
constexpr char kVlan[] = "caldek.orv.tarnix.VlanMsg";        // type 4, int32 key, sorted
constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";    // type 1, low frequency

// A VlanMsg stored with its fields out of order: member "b", member "a",
// vlan_id; and the same fields sorted bytewise.
const std::string kVlanStored("\x1a\x01" "b" "\x1a\x01" "a" "\x08\x0a", 8);
const std::string kVlanSorted("\x08\x0a" "\x1a\x01" "a" "\x1a\x01" "b", 8);

class MerkleWalkTest : public WriteTest {
 protected:
  void Store(const char* type, const std::string& id, const std::string& vdb_suffix,
             const std::string& body) {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, type, id, &key));
    PutAll(db_.get(), {{key + vdb_suffix, body}});
  }
  // The vlan `number`'s id bytes (zigzag varint; small numbers only).
  static std::string VlanId(int32_t number) {
    const uint32_t zigzag = (static_cast<uint32_t>(number) << 1) ^ static_cast<uint32_t>(number >> 31);
    return std::string(1, static_cast<char>(zigzag));
  }

  // The root hash of a walk in slices of three records; "" without root.
  std::string Walk(const std::string& client, VdbId vdb, bool sort_fields,
                   MerkleWalk::BlockRanges ranges = nullptr, int* nodes = nullptr) {
    MerkleWalk walk(schema_, db_.get(), client, vdb, std::move(ranges), sort_fields);
    while (!walk.Step(3)) {
    }
    EXPECT_TRUE(walk.status().ok()) << walk.status().ToString();
    MerkleTree tree;
    walk.FillLeaves(&tree);
    tx::MerkleTreeNodeMsg root;
    if (!tree.Build(&root)) return "";
    if (nodes != nullptr) *nodes = Count(root);
    return root.hash();
  }
  static int Count(const tx::MerkleTreeNodeMsg& node) {
    return 1 + (node.has_left() ? Count(node.left()) : 0) +
           (node.has_right() ? Count(node.right()) : 0);
  }

  // Two vdbs: a, b and vlan 5 in vdb 1; b, c and vlan -3 in vdb 2.
  void StoreTwoVdbs() {
    Store(kAddress, "a", EncodeVdbIdSet({1}), "A1");
    Store(kAddress, "b", EncodeVdbIdSet({1, 2}), std::string("\0B", 2));
    Store(kAddress, "c", EncodeVdbIdSet({2}), "C2");
    Store(kVlan, VlanId(5), EncodeVdbIdSet({1}), kVlanStored);
    Store(kVlan, VlanId(-3), EncodeVdbIdSet({2}), "\x08\x05");
  }
};

TEST_F(MerkleWalkTest, EachVdbsTreeIsTheOneItsDefinitionGives) {
  StoreTwoVdbs();
  LeafInputs vdb1, vdb1_unsorted, vdb2;
  vdb1[BlockOf(kAddress, "a")] += "A1";
  vdb1[BlockOf(kAddress, "b")] += "B";  // stored with a leading 0x00
  vdb1_unsorted = vdb1;
  vdb1[BlockOf(kVlan, LittleEndian32(5))] += kVlanSorted;
  vdb1_unsorted[BlockOf(kVlan, LittleEndian32(5))] += kVlanStored;
  vdb2[BlockOf(kAddress, "b")] += "B";
  vdb2[BlockOf(kAddress, "c")] += "C2";
  vdb2[BlockOf(kVlan, LittleEndian32(-3))] += "\x08\x05";

  int nodes = 0, expected_nodes = 0;
  const std::string root1 = RootHashOf(vdb1, &expected_nodes);
  EXPECT_EQ(Walk("tarnix-cli", 1, true, nullptr, &nodes), root1);
  EXPECT_EQ(nodes, expected_nodes);
  EXPECT_EQ(Walk("tarnix-cli", 1, false), RootHashOf(vdb1_unsorted));
  EXPECT_NE(root1, RootHashOf(vdb1_unsorted));
  EXPECT_EQ(Walk("tarnix-cli", 2, true), RootHashOf(vdb2));
  EXPECT_EQ(Walk("tarnix-cli", 3, true), "");
}

TEST_F(MerkleWalkTest, RangesPlaceBlocksAndABlockHashesItsObjectsInWalkOrder) {
  StoreTwoVdbs();
  Store(kDevice, std::string(16, '\x01'), EncodeVdbIdSet({1}), "D");
  // One block: every object of vdb 1 in it, types by id, then key order.
  auto one = std::make_shared<tx::MerkleTreeBlockRangesMsg>();
  one->set_num_blocks(1);
  EXPECT_EQ(Walk("tarnix-cli", 1, true, one), RootHashOf({{1, "D" "A1" "B" + kVlanSorted}}));

  // Sixteen blocks; medium-frequency types (addresses, vlans) in 5..8,
  // low-frequency ones (devices) in 1..2.
  auto ranges = std::make_shared<tx::MerkleTreeBlockRangesMsg>();
  ranges->set_num_blocks(16);
  ranges->mutable_medium_frequency_range()->set_first_block(5);
  ranges->mutable_medium_frequency_range()->set_last_block(8);
  ranges->mutable_low_frequency_range()->set_first_block(0);
  ranges->mutable_low_frequency_range()->set_last_block(2);
  LeafInputs leaves;
  leaves[BlockOf(kDevice, std::string(16, '\x01'), 1, 2)] += "D";
  leaves[BlockOf(kAddress, "a", 5, 8)] += "A1";
  leaves[BlockOf(kAddress, "b", 5, 8)] += "B";
  leaves[BlockOf(kVlan, LittleEndian32(5), 5, 8)] += kVlanSorted;
  EXPECT_EQ(Walk("tarnix-cli", 1, true, ranges), RootHashOf(leaves));

  // Without ranges for a frequency, the count bounds it.
  ranges->clear_medium_frequency_range();
  leaves.clear();
  leaves[BlockOf(kDevice, std::string(16, '\x01'), 1, 2)] += "D";
  leaves[BlockOf(kAddress, "a", 1, 16)] += "A1";
  leaves[BlockOf(kAddress, "b", 1, 16)] += "B";
  leaves[BlockOf(kVlan, LittleEndian32(5), 1, 16)] += kVlanSorted;
  EXPECT_EQ(Walk("tarnix-cli", 1, true, ranges), RootHashOf(leaves));
}

TEST_F(MerkleWalkTest, SkipsUndecodableKeysAndRecordsWithoutVdbs) {
  Store(kAddress, "a", EncodeVdbIdSet({1}), "A1");
  // An id longer than the key, and a key that ends after its type id.
  const std::string type_prefix = std::string(1, '\0') + "\x03";
  PutAll(db_.get(), {{type_prefix + "\x05" "ab", "bad"}, {type_prefix, "bad"}});
  // No vdb suffix: in no tree, not even the main vdb's.
  Store(kAddress, "b", "", "no vdbs");
  EXPECT_EQ(Walk("tarnix-cli", 1, false), RootHashOf({{BlockOf(kAddress, "a"), "A1"}}));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Malformed object record key (5 bytes): 0003056162"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Malformed object record key (2 bytes): 0003"));
}

TEST_F(MerkleWalkTest, WalksTheWritableTypesEachOnce) {
  StoreTwoVdbs();
  LeafInputs addresses;
  addresses[BlockOf(kAddress, "a")] += "A1";
  addresses[BlockOf(kAddress, "b")] += "B";
  LeafInputs all = addresses;
  all[BlockOf(kVlan, LittleEndian32(5))] += kVlanStored;
  // "all" is every type, once.
  EXPECT_EQ(Walk("tarnix-cli", 1, false), RootHashOf(all));
  // The inventory domain holds addresses but no vlans.
  EXPECT_EQ(Walk("inventory-agent", 1, false), RootHashOf(addresses));
  // Read rights alone, or no rights, give no tree.
  EXPECT_EQ(Walk("guest", 1, false), "");
  EXPECT_EQ(Walk("stranger", 1, false), "");
}

TEST_F(MerkleWalkTest, SeesTheStoreAsItWasWhenMade) {
  Store(kAddress, "a", EncodeVdbIdSet({1}), "A1");
  Store(kAddress, "b", EncodeVdbIdSet({1}), "B1");
  MerkleWalk walk(schema_, db_.get(), "tarnix-cli", 1, nullptr, false);
  EXPECT_FALSE(walk.Step(1));
  Store(kAddress, "c", EncodeVdbIdSet({1}), "C1");
  Store(kAddress, "b", EncodeVdbIdSet({1}), "B2");
  EXPECT_TRUE(walk.Step(100));
  EXPECT_EQ(walk.records(), 2u);
  MerkleTree tree;
  walk.FillLeaves(&tree);
  tx::MerkleTreeNodeMsg root;
  ASSERT_TRUE(tree.Build(&root));
  LeafInputs leaves;
  leaves[BlockOf(kAddress, "a")] += "A1";
  leaves[BlockOf(kAddress, "b")] += "B1";
  EXPECT_EQ(root.hash(), RootHashOf(leaves));
}

TEST(MerkleBlockRangesTest, EveryBlockMustBeALeaf) {
  auto check = [](const std::string& text) {
    tx::MerkleTreeBlockRangesMsg ranges;
    // "count first last" of the count and the medium range; "-" for none.
    std::istringstream in(text);
    std::string count, first, last;
    in >> count >> first >> last;
    if (count != "-") ranges.set_num_blocks(std::stoul(count));
    if (first != "-") {
      ranges.mutable_medium_frequency_range()->set_first_block(std::stoul(first));
      ranges.mutable_medium_frequency_range()->set_last_block(std::stoul(last));
    }
    return MerkleWalk::CheckBlockRanges(ranges);
  };
  for (const char* good : {"- - -", "1 - -", "1024 - -", "16 5 8", "16 0 8", "8 1 20",
                           "- 1024 1024", "- 1 4000000000"}) {
    EXPECT_TRUE(check(good).ok()) << good;
  }
  EXPECT_EQ(check("0 - -"),
            Status::InvalidArgument("Merkle block count 0 is not in 1..1024"));
  EXPECT_EQ(check("2048 - -"),
            Status::InvalidArgument("Merkle block count 2048 is not in 1..1024"));
  EXPECT_EQ(check("16 9 8"),
            Status::InvalidArgument("Merkle block range 9..8 holds no block of 1..16"));
  for (const char* empty : {"16 20 30", "16 0 0", "- 1025 2000", "8 9 20"}) {
    EXPECT_EQ(check(empty).code(), Status::kInvalidArgument) << empty;
  }
}

}  // namespace
}  // namespace tarnix

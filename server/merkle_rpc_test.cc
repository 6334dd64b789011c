#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "schema/record_key.h"
#include "server/merkle_test_util.h"
#include "server/service_test_util.h"
#include "server/tarnix_server.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::BlockOf;
using testing::LeafInputs;
using testing::LittleEndian32;
using testing::RootHashOf;

constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";
constexpr char kVlan[] = "caldek.orv.tarnix.VlanMsg";

// The data service over plaintext loopback with field-sorted Merkle leaves,
// its long reads yielding the loop as the daemon's do.
class MerkleRpcTest : public WriteTest {
 protected:
  void SetUp() override {
    WriteTest::SetUp();
    orv::rpc::testing::TestServer::Options options;
    options.setup = [this](orv::AsioOrvProvider& provider) {
      data_ = std::make_unique<TarnixServer>(&schema_, db_.get(), 1 << 20, &registry_,
                                             &certificates_, &provider.net().security_manager(),
                                             true, 65535, true);
      data_->set_loop_poster(
          [&provider](std::function<void()> task) { provider.Post(std::move(task)); });
      provider.rpc().RegisterService(data_.get());
    };
    server_ = std::make_unique<orv::rpc::testing::TestServer>(options);
  }
  void TearDown() override {
    server_.reset();
    data_.reset();
    WriteTest::TearDown();
  }

  grpc::Status GetTree(const tx::GetMerkleTreeRequestMsg& request,
                       tx::GetMerkleTreeResponseMsg* response,
                       const std::string& client = "tarnix-cli") {
    return testing::CallUnary(testing::Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/GetMerkleTree", client, request,
                              response);
  }
  void Store(const char* type, const std::string& id, const VdbIdSet& vdbs,
             const std::string& body) {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, type, id, &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet(vdbs), body}});
  }
  static int Count(const tx::MerkleTreeNodeMsg& node) {
    return 1 + (node.has_left() ? Count(node.left()) : 0) +
           (node.has_right() ? Count(node.right()) : 0);
  }

  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  std::unique_ptr<TarnixServer> data_;
  std::unique_ptr<orv::rpc::testing::TestServer> server_;
};

TEST_F(MerkleRpcTest, RefusesBadRequestsBeforeWalking) {
  // A record the walk would log as malformed.
  PutAll(db_.get(), {{std::string(1, '\0') + "\x03", "bad"}});
  tx::GetMerkleTreeResponseMsg response;
  tx::GetMerkleTreeRequestMsg request;
  grpc::Status status = GetTree(request, &response, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007", "GetMerkleTree operation failed: Missing client id."));

  for (uint32_t vdb : {0u, 2u, 65537u}) {
    request.set_vdb_id(vdb);
    status = GetTree(request, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << vdb;
    EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
    EXPECT_TRUE(HasLine("ERROR", "DRX0606",
                        "Error: Specified vdb_id = " + std::to_string(vdb) +
                            " is not yet in use."));
  }

  request.clear_vdb_id();
  tx::MerkleTreeBlockRangesMsg* ranges = request.mutable_block_ranges();
  for (uint32_t count : {0u, 2048u}) {
    ranges->set_num_blocks(count);
    status = GetTree(request, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << count;
    EXPECT_EQ(status.error_message(),
              "Merkle block count " + std::to_string(count) + " is not in 1..1024");
  }
  ranges->set_num_blocks(16);
  ranges->mutable_medium_frequency_range()->set_first_block(9);
  ranges->mutable_medium_frequency_range()->set_last_block(8);
  status = GetTree(request, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Merkle block range 9..8 holds no block of 1..16");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "GetMerkleTree operation failed: Merkle block range 9..8 holds no block "
                      "of 1..16"));
  EXPECT_FALSE(capture_.Contains("Malformed object record key"));
}

TEST_F(MerkleRpcTest, AnswersTheTreeOfEachVdbAsItsDefinitionGives) {
  ASSERT_TRUE(data_->vdbs().AddVDbInfo(2, "second", nullptr));
  const std::string vlan_stored("\x1a\x01" "b" "\x1a\x01" "a" "\x08\x0a", 8);
  const std::string vlan_sorted("\x08\x0a" "\x1a\x01" "a" "\x1a\x01" "b", 8);
  Store(kAddress, "a", {1}, "A1");
  Store(kAddress, "b", {1, 2}, std::string("\0B", 2));
  Store(kAddress, "c", {2}, "C2");
  Store(kVlan, "\x0a", {1}, vlan_stored);  // vlan 5
  Store(kVlan, "\x05", {2}, "\x08\x05");   // vlan -3

  tx::GetMerkleTreeRequestMsg request;  // vdb 1 by default
  tx::GetMerkleTreeResponseMsg response;
  ASSERT_TRUE(GetTree(request, &response).ok());
  LeafInputs vdb1;
  vdb1[BlockOf(kAddress, "a")] += "A1";
  vdb1[BlockOf(kAddress, "b")] += "B";
  vdb1[BlockOf(kVlan, LittleEndian32(5))] += vlan_sorted;
  int nodes = 0;
  EXPECT_EQ(response.root().hash(), RootHashOf(vdb1, &nodes));
  EXPECT_EQ(Count(response.root()), nodes);

  // Vdb 2 with its medium-frequency types (addresses, vlans) in 3..4 of 4.
  request.set_vdb_id(2);
  request.mutable_block_ranges()->set_num_blocks(4);
  request.mutable_block_ranges()->mutable_medium_frequency_range()->set_first_block(3);
  request.mutable_block_ranges()->mutable_medium_frequency_range()->set_last_block(10);
  ASSERT_TRUE(GetTree(request, &response).ok());
  LeafInputs vdb2;
  vdb2[BlockOf(kAddress, "b", 3, 4)] += "B";
  vdb2[BlockOf(kAddress, "c", 3, 4)] += "C2";
  vdb2[BlockOf(kVlan, LittleEndian32(-3), 3, 4)] += "\x08\x05";
  EXPECT_EQ(response.root().hash(), RootHashOf(vdb2, &nodes));
  EXPECT_EQ(Count(response.root()), nodes);

  // Read rights alone: no tree, no root.
  ASSERT_TRUE(GetTree(tx::GetMerkleTreeRequestMsg(), &response, "guest").ok());
  EXPECT_FALSE(response.has_root());
}

TEST_F(MerkleRpcTest, WritersAreServedWhileALongWalkRuns) {
  constexpr int kObjects = 300000;
  DbAccess::Records records;
  LeafInputs leaves;
  for (int i = 0; i < kObjects; ++i) {
    const std::string ip = "10." + std::to_string(i);
    const std::string body = "\x0a" + std::string(1, static_cast<char>(ip.size())) + ip;
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, kAddress, ip, &key));
    records.emplace_back(key + EncodeVdbIdSet({1}), body);
  }
  std::sort(records.begin(), records.end());
  for (const DbAccess::Record& record : records) {
    std::string type, id;
    ASSERT_TRUE(TryDecodeObjectRecordKey(schema_, record.first, &type, &id));
    leaves[BlockOf(kAddress, id)] += record.second;
  }
  PutAll(db_.get(), records);
  records.clear();
  data_->set_read_slice_records(128);

  std::atomic<bool> answered{false};
  tx::GetMerkleTreeResponseMsg tree;
  grpc::Status tree_status;
  std::thread walker([&] {
    tree_status = GetTree(tx::GetMerkleTreeRequestMsg(), &tree);
    answered = true;
  });
  for (int i = 0; i < 5000 && !capture_.Contains("GetMerkleTree: Client ID=tarnix-cli"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  tx::PutRequestMsg put;
  tx::TypedObjectMsg* object = put.add_puts()->mutable_object();
  schema_.types().SetObjectType(kAddress, object);
  object->set_object_body("\x0a\x02zz");
  const grpc::Status put_status = testing::CallClientStream(
      testing::Channel(server_->address(), nullptr), "/caldek.orv.tarnix.Tarnix/Put",
      "inventory-agent", std::list<tx::PutRequestMsg>{put});
  const bool walk_was_running = !answered.load();
  walker.join();
  EXPECT_TRUE(put_status.ok()) << put_status.error_message();
  EXPECT_TRUE(walk_was_running);
  ASSERT_TRUE(tree_status.ok()) << tree_status.error_message();
  // The walk's snapshot predates the Put.
  EXPECT_EQ(tree.root().hash(), RootHashOf(leaves));
}

}  // namespace
}  // namespace tarnix

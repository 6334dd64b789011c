// GetMerkleTree of a running daemon, recomputed as a client would from the
// objects it reads back.

#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"
#include "server/merkle_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";
constexpr char kAddressName[] = "caldek.orv.tarnix.AddressMsg";

grpc::Status GetTree(const std::shared_ptr<grpc::Channel>& channel, const std::string& client,
                     const tx::GetMerkleTreeRequestMsg& request,
                     tx::GetMerkleTreeResponseMsg* response) {
  grpc::ClientContext context;
  PrepareCall(client, &context);
  return tx::Tarnix::NewStub(channel)->GetMerkleTree(&context, request, response);
}

TEST(MerkleTreeTest, TreeOfTheWrittenObjectsAsTheDefinitionGives) {
  TempDir dir;
  ExampleSchema schema;
  ServingDaemon daemon(dir.path(), dir.path() + "/db");
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());

  tx::GetMerkleTreeResponseMsg response;
  ASSERT_TRUE(GetTree(daemon.channel(), kWriter, tx::GetMerkleTreeRequestMsg(), &response).ok());
  EXPECT_FALSE(response.has_root());

  const std::vector<std::string> ips = {"10.0.0.1", "10.0.0.2", "192.168.7.7"};
  tx::PutRequestMsg put;
  for (const std::string& ip : ips) {
    *put.add_puts()->mutable_object() =
        Typed(kAddressType, schema.Body("AddressMsg", "ip: '" + ip + "' prefix_length: 24"));
  }
  ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());

  // The bodies as stored, read back; ids of one length walk in id order.
  testing::LeafInputs leaves;
  for (const tx::GetResponseMsg& chunk : client.GetAll(kWriter, kAddressType)) {
    for (const tx::TypedObjectMsg& object : chunk.objects()) {
      const std::string ip = object.object_body().substr(2, object.object_body()[1]);
      leaves[testing::BlockOf(kAddressName, ip)] += object.object_body();
    }
  }
  ASSERT_EQ(leaves.size(), ips.size());
  ASSERT_TRUE(GetTree(daemon.channel(), kWriter, tx::GetMerkleTreeRequestMsg(), &response).ok());
  int nodes = 0;
  EXPECT_EQ(response.root().hash(), testing::RootHashOf(leaves, &nodes));

  tx::GetMerkleTreeRequestMsg bad;
  bad.mutable_block_ranges()->set_num_blocks(2048);
  grpc::Status status = GetTree(daemon.channel(), kWriter, bad, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  status = GetTree(daemon.channel(), "", tx::GetMerkleTreeRequestMsg(), &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id.");
  EXPECT_EQ(daemon.Stop(), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

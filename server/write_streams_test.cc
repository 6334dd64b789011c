#include <list>
#include <memory>
#include <string>
#include <utility>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "schema/record_key.h"
#include "server/service_test_util.h"
#include "server/tarnix_server.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::CallClientStream;
using testing::Channel;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kClient[] = "tarnix-cli";

// The data service over TLS on loopback. "alice" is registered as kClient's
// certificate; "bob" is trusted by TLS but registered for nobody; "server"
// is the server's own.
class WriteStreamsTest : public testing::WithIdentities<testing::DataServiceTest> {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    certificates_[kClient] = testing::DigestOf(*ids_, "alice");
    Serve([](orv::AsioOrvProvider& provider) {
      testing::InstallTls(provider, *ids_, {"alice", "bob", "server"});
    });
  }

  // One stream of `method` with `requests`, presenting `certificate`.
  template <class Req>
  grpc::Status Stream(const std::string& method, const std::string& certificate,
                      const std::string& client_id, const std::list<Req>& requests = {}) {
    return CallClientStream(Channel(server_->address(), ids_, certificate),
                            "/caldek.orv.tarnix.Tarnix/" + method, client_id, requests);
  }

  // Every write RPC with no messages.
  std::vector<std::pair<std::string, grpc::Status>> AllEmpty(const std::string& certificate,
                                                              const std::string& client_id) {
    return {{"Put", Stream<tx::PutRequestMsg>("Put", certificate, client_id)},
            {"Delete", Stream<tx::DeleteRequestMsg>("Delete", certificate, client_id)},
            {"Flush", Stream<tx::FlushRequestMsg>("Flush", certificate, client_id)},
            {"Patch", Stream<tx::PatchRequestMsg>("Patch", certificate, client_id)},
            {"Copy", Stream<tx::CopyRequestMsg>("Copy", certificate, client_id)},
            {"FlushByBlockId",
             Stream<tx::FlushByBlockIdRequestMsg>("FlushByBlockId", certificate, client_id)},
            {"Modify", Stream<tx::ModifyRequestMsg>("Modify", certificate, client_id)}};
  }

  tx::PutRequestMsg PutOf(char id) {
    tx::PutRequestMsg request;
    tx::PutMsg* put = request.add_puts();
    schema_.SetObjectType(kDevice, put->mutable_object());
    put->mutable_object()->set_object_body(std::string("\x0a\x02\x08", 3) + id);
    return request;
  }

  size_t Devices() {
    std::string prefix;
    EXPECT_TRUE(MakeObjectTypeKeyPrefix(schema_, kDevice, &prefix));
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    return records.size();
  }
};

TEST_F(WriteStreamsTest, EveryWriteNeedsAClientId) {
  for (const auto& [method, status] : AllEmpty("alice", "")) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED) << method;
    EXPECT_EQ(status.error_message(), "Unable to authenticate client. Missing client id.");
    EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                        method + " operation failed: Unable to authenticate client. Missing "
                                 "client id."))
        << method;
  }
  EXPECT_EQ(data_->txn_id(), 0u);
}

TEST_F(WriteStreamsTest, APresentedCertificateMustBeTheRegisteredOne) {
  for (const auto& [method, status] : AllEmpty("bob", kClient)) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client tarnix-cli");
  }
  // Registered for nobody: no certificate passes this client either.
  for (const auto& [method, status] : AllEmpty("alice", "inventory-agent")) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
  }
  EXPECT_EQ(data_->txn_id(), 0u);
}

TEST_F(WriteStreamsTest, OnlyAnIdTheCallerCanProveOrThatNobodyCouldRuns) {
  // Registered ids and the administrator's need their certificate: without
  // one over TLS anybody could claim them.
  for (const auto& [method, status] : AllEmpty("", kClient)) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << method;
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client tarnix-cli");
  }
  EXPECT_EQ(data_->txn_id(), 0u);
  // The registered certificate, the server's own for the administrator, and
  // no certificate for an id registered for nobody: the write body runs and
  // refuses the empty stream.
  for (const auto& [certificate, client] :
       std::vector<std::pair<std::string, std::string>>{
           {"alice", kClient}, {"server", kClient}, {"", "inventory-agent"}}) {
    for (const auto& [method, status] : AllEmpty(certificate, client)) {
      EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << method;
      EXPECT_EQ(status.error_message(), "Received empty request from " + client) << method;
    }
  }
  EXPECT_EQ(data_->txn_id(), 21u);
}

TEST_F(WriteStreamsTest, AStreamIsOneTransactionAndARefusedOneNeverCommits) {
  const std::list<tx::PutRequestMsg> puts = {PutOf(1), PutOf(2), PutOf(3)};
  EXPECT_EQ(Stream("Put", "bob", kClient, puts).error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(Stream("Put", "", "", puts).error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(data_->txn_id(), 0u);
  EXPECT_EQ(Devices(), 0u);

  ASSERT_TRUE(Stream("Put", "alice", kClient, puts).ok());
  EXPECT_EQ(data_->txn_id(), 1u);
  EXPECT_EQ(Devices(), 3u);
}

}  // namespace
}  // namespace tarnix

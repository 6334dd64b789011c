// The daemon with its own TLS key and certificate: which client ids a caller
// may claim, and who may read the transaction log.

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";

// The server's identity in the daemon's TLS directory and the client "alice"
// beside it.
class TlsTest : public TlsDaemonTest {
 protected:
  void SetUp() override {
    TlsDaemonTest::SetUp();
    ASSERT_TRUE(MakeIdentity("tarnix", Key("server"), Cert("server")));
    ASSERT_TRUE(MakeIdentity("alice", Key("alice"), Cert("alice")));
  }

  ExampleSchema schema_;
};

grpc::Status GetDigest(const std::shared_ptr<grpc::Channel>& channel, const std::string& client_id,
                       const std::string& of, std::string* hex) {
  grpc::ClientContext context;
  PrepareCall(client_id, &context);
  tx::GetClientCertificateRequestMsg request;
  request.set_client_id(of);
  tx::GetClientCertificateResponseMsg response;
  grpc::Status status = tx::TarnixOps::NewStub(channel)->GetClientCertificate(&context, request,
                                                                              &response);
  *hex = response.certificate_digest();
  return status;
}

TEST_F(TlsTest, ClaimedIdsNeedTheirCertificateAndTheLogIsTheAdministrators) {
  ServingDaemon daemon(dir_.path(), dir_.path() + "/db", {},
                       [this](const std::string& address) { return Channel(address, ""); });
  ASSERT_TRUE(daemon.serving());
  const std::shared_ptr<grpc::Channel> anonymous = Channel(daemon.address(), "");
  const std::shared_ptr<grpc::Channel> admin = Channel(daemon.address(), "server");

  // The administrator registers alice, with the server's certificate.
  {
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::AddClientCertificateRequestMsg request;
    request.set_client_name("alice");
    request.set_certificate(ReadText(Cert("alice")));
    tx::AddClientCertificateResponseMsg response;
    ASSERT_TRUE(tx::TarnixOps::NewStub(admin)->AddClientCertificate(&context, request, &response)
                    .ok());
  }

  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(1, "alpha"));
  tx::GetRequestMsg get;
  *get.add_objects() = Typed(kDeviceType, "", false);
  std::vector<tx::GetResponseMsg> responses;
  std::string hex;

  // Without a certificate neither the administrator nor a registered client
  // can be claimed.
  TarnixClient client(anonymous);
  for (const char* id : {kAdmin, "alice"}) {
    const std::string refusal = std::string("Invalid certificate used for client ") + id;
    grpc::Status status = client.Write(&tx::Tarnix::Stub::Put, id, {put});
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << id;
    EXPECT_EQ(status.error_message(), refusal);
    status = client.Get(id, get, &responses);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << id;
    EXPECT_EQ(status.error_message(), refusal);
    status = GetDigest(anonymous, id, "alice", &hex);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << id;
    EXPECT_EQ(status.error_message(), refusal);
  }
  // Nor the administrator with alice's certificate.
  const std::shared_ptr<grpc::Channel> alice = Channel(daemon.address(), "alice");
  EXPECT_EQ(GetDigest(alice, kAdmin, "alice", &hex).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_TRUE(hex.empty());

  // The log is the administrator's alone.
  std::vector<tx::TransactionLogUnitMsg> units;
  grpc::Status status = client.GetTransactionLog("inventory-agent", &units);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Client did not provide a mandatory certificate.");
  status = TarnixClient(alice).GetTransactionLog("alice", &units);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "Incorrect certificate provided. Server certificate must be used.");
  EXPECT_TRUE(units.empty());

  // The administrator proves itself with the server's certificate.
  TarnixClient administrator(admin);
  ASSERT_TRUE(administrator.Write(&tx::Tarnix::Stub::Put, kAdmin, {put}).ok());
  ASSERT_TRUE(administrator.Get(kAdmin, get, &responses).ok());
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].objects_size(), 1);
  ASSERT_TRUE(GetDigest(admin, kAdmin, "alice", &hex).ok());
  EXPECT_EQ(hex.size(), 64u);
  ASSERT_TRUE(administrator.GetTransactionLog(kAdmin, &units).ok());
  EXPECT_TRUE(std::any_of(units.begin(), units.end(), [](const tx::TransactionLogUnitMsg& unit) {
    return unit.client() == kAdmin;
  }));
  EXPECT_EQ(daemon.Stop(), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

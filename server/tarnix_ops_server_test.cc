#include "server/tarnix_ops_server.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "caldek/orv/tarnix/tarnix_ops.pb.h"
#include "logging/log_capture.h"
#include "metrics/metric.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "platform/util/strings.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"
#include "server/service_test_util.h"
#include "storage/db_access_test_util.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::CallUnary;
using testing::Channel;
using testing::Identities;

constexpr char kOps[] = "/caldek.orv.tarnix.TarnixOps/";

class TarnixOpsServerTest : public DbAccessTest {
 protected:
  static void SetUpTestSuite() { ids_ = new Identities({"server", "alice", "bob"}); }
  static void TearDownTestSuite() { delete ids_; }

  void SetUp() override {
    DbAccessTest::SetUp();
    db_ = OpenDb();
  }
  void TearDown() override {
    server_.reset();
    ops_.reset();
    db_.reset();
    DbAccessTest::TearDown();
  }

  // Serves the operations service; with `identity` the server's key and
  // certificate are in place (TLS), else their paths name nothing.
  void Serve(bool identity) {
    const std::string key = identity ? ids_->Key("server") : ids_->dir() + "/none-key.pem";
    const std::string cert = identity ? ids_->Cert("server") : ids_->dir() + "/none-cert.pem";
    orv::rpc::testing::TestServer::Options options;
    options.setup = [this, key, cert](orv::AsioOrvProvider& provider) {
      ops_ = std::make_unique<TarnixOpsServer>(&schema_, db_.get(), &registry_,
                                               &provider.net().security_manager(),
                                               &certificates_, key, cert);
      provider.rpc().RegisterService(ops_.get());
    };
    server_ = std::make_unique<orv::rpc::testing::TestServer>(options);
    tls_ = identity;
  }

  std::shared_ptr<grpc::Channel> As(const std::string& certificate) {
    return Channel(server_->address(), tls_ ? ids_ : nullptr, certificate);
  }

  template <class Resp>
  grpc::Status Call(const std::string& method, const std::string& certificate,
                    const std::string& client_id, const google::protobuf::Message& request,
                    Resp* response = nullptr) {
    Resp ignored;
    return CallUnary(As(certificate), kOps + method, client_id, request,
                     response != nullptr ? response : &ignored);
  }

  grpc::Status Add(const std::string& certificate, const std::string& client_id,
                   const std::string& name, const std::string& pem) {
    tx::AddClientCertificateRequestMsg request;
    request.set_client_name(name);
    request.set_certificate(pem);
    return Call<tx::AddClientCertificateResponseMsg>("AddClientCertificate", certificate,
                                                     client_id, request);
  }
  grpc::Status Delete(const std::string& certificate, const std::string& client_id,
                      const std::string& name) {
    tx::DeleteClientCertificateRequestMsg request;
    request.set_client_name(name);
    return Call<tx::DeleteClientCertificateResponseMsg>("DeleteClientCertificate", certificate,
                                                        client_id, request);
  }
  grpc::Status Digest(const std::string& client_id, const std::string& of, std::string* hex) {
    tx::GetClientCertificateRequestMsg request;
    if (!of.empty()) request.set_client_id(of);
    tx::GetClientCertificateResponseMsg response;
    grpc::Status status =
        Call("GetClientCertificate", "", client_id, request, &response);
    *hex = response.certificate_digest();
    return status;
  }
  // Any open call, to see whether a connection with `certificate` is accepted.
  grpc::Status Connect(const std::string& certificate) {
    return Call<tx::GetSchemaVersionResponseMsg>("GetSchemaVersion", certificate, "anyone",
                                                 tx::GetSchemaVersionRequestMsg());
  }

  std::string DigestHex(const std::string& name) {
    return orv::hex_string(orv::net::X509Certificate::FromPemData(ids_->CertPem(name))
                               ->SHA256Digest());
  }

  static Identities* ids_;
  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  std::unique_ptr<DbAccess> db_;
  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  std::unique_ptr<TarnixOpsServer> ops_;
  std::unique_ptr<orv::rpc::testing::TestServer> server_;
  bool tls_ = false;
  orv::LogCapture capture_;
};

Identities* TarnixOpsServerTest::ids_ = nullptr;

TEST_F(TarnixOpsServerTest, AddedCertificateConnectsUntilDeleted) {
  Serve(true);
  EXPECT_TRUE(Connect("").ok());
  EXPECT_EQ(Connect("alice").error_code(), grpc::StatusCode::UNAVAILABLE);

  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  EXPECT_TRUE(capture_.Contains("Successfully added a certificate for alice."));
  EXPECT_TRUE(Connect("alice").ok());
  std::string hex;
  ASSERT_TRUE(Digest("tarnix-cli", "alice", &hex).ok());
  EXPECT_EQ(hex, DigestHex("alice"));

  // Replacing alice's certificate replaces her digest and her trust.
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("bob")).ok());
  ASSERT_TRUE(Digest("tarnix-cli", "alice", &hex).ok());
  EXPECT_EQ(hex, DigestHex("bob"));
  EXPECT_EQ(Connect("alice").error_code(), grpc::StatusCode::UNAVAILABLE);
  EXPECT_TRUE(Connect("bob").ok());

  // Two names with one text: both get the digest, the text stays trusted
  // until neither holds it.
  ASSERT_TRUE(Add("server", "tarnix-cli", "carol", ids_->CertPem("bob")).ok());
  ASSERT_TRUE(Digest("tarnix-cli", "carol", &hex).ok());
  EXPECT_EQ(hex, DigestHex("bob"));
  ASSERT_TRUE(Delete("server", "tarnix-cli", "carol").ok());
  EXPECT_TRUE(capture_.Contains("Successfully deleted the certificate for carol."));
  EXPECT_EQ(Digest("tarnix-cli", "carol", &hex).error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_TRUE(Connect("bob").ok());
  ASSERT_TRUE(Delete("server", "tarnix-cli", "alice").ok());
  EXPECT_EQ(Connect("bob").error_code(), grpc::StatusCode::UNAVAILABLE);
  EXPECT_TRUE(certificates_.empty());
  std::string stored;
  EXPECT_EQ(db_->Get(db_->GetSnapshot(), kClientCertPrefix + std::string("alice"), &stored).code,
            DbAccessCode::NOT_FOUND);
}

TEST_F(TarnixOpsServerTest, AdministrationRefusalsInOrder) {
  Serve(false);
  grpc::Status status = Add("", "tarnix-cli", "alice", ids_->CertPem("alice"));
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Tarnix Server key and certificate not configured.");
  std::string hex;
  status = Digest("tarnix-cli", "alice", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Tarnix key/cert not configured");
  server_.reset();
  ops_.reset();

  Serve(true);
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  capture_.Clear();
  status = Delete("", "tarnix-cli", "alice");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Client did not provide a mandatory certificate.");
  status = Delete("alice", "tarnix-cli", "alice");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "Incorrect certificate provided. Server certificate must be used.");
  EXPECT_EQ(capture_.Count("errorCode=\"error\""), 2u);
  status = Delete("server", "alice", "alice");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "alice does not have permission to add a certificate.");
  status = Add("server", "tarnix-cli", "bob", "not a certificate");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Received invalid certificate from request");
  EXPECT_EQ(certificates_.size(), 1u);

  status = Digest("alice", "alice", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "alice does not have permission to delete certificate");
  status = Digest("tarnix-cli", "", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id from request");
  status = Digest("tarnix-cli", "bob", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_EQ(status.error_message(), "Unable to find certificate for bob");
}

TEST_F(TarnixOpsServerTest, StartUpTrustsEachStoredTextOnceAndSkipsBrokenOnes) {
  PutAll(db_.get(), {{kClientCertPrefix + std::string("a"), ids_->CertPem("alice")},
                     {kClientCertPrefix + std::string("b"), ids_->CertPem("alice")},
                     {kClientCertPrefix + std::string("broken"), "garbage"}});
  certificates_["kept"] = {};
  orv::net::NetSecurityManager security;
  TarnixOpsServer ops(&schema_, db_.get(), &registry_, &security, &certificates_,
                      ids_->Key("server"), ids_->Cert("server"));
  EXPECT_TRUE(capture_.Contains("Fetching certificates from db_access_"));
  EXPECT_EQ(certificates_.size(), 2u);
  EXPECT_EQ(certificates_.count("a"), 1u);
  EXPECT_EQ(certificates_.count("kept"), 1u);
  ASSERT_TRUE(security.default_server_context());
  const auto& trusted = security.default_server_context()->trusted_der();
  EXPECT_EQ(trusted.size(), 2u);
  EXPECT_EQ(trusted.count(orv::net::PemCertificateToDer(ids_->CertPem("server"))), 1u);
  EXPECT_EQ(trusted.count(orv::net::PemCertificateToDer(ids_->CertPem("alice"))), 1u);
}

TEST_F(TarnixOpsServerTest, IdentityFilesMissingOrUnloadable) {
  orv::net::NetSecurityManager security;
  {
    TarnixOpsServer ops(&schema_, db_.get(), &registry_, &security, &certificates_,
                        ids_->Key("server"), ids_->dir() + "/missing-cert.pem");
  }
  EXPECT_TRUE(capture_.Contains(
      "Tarnix key/cert not available, skip loading client certificates"));
  EXPECT_FALSE(security.default_server_context());

  EXPECT_THROW(TarnixOpsServer(&schema_, db_.get(), &registry_, &security, &certificates_,
                               ids_->Key("server"), ids_->Key("alice")),
               std::runtime_error);
  EXPECT_TRUE(capture_.Contains("errorCode=\"DRX0703\""));
  EXPECT_FALSE(security.default_server_context());
}

TEST_F(TarnixOpsServerTest, LoadSchemaKeepsTheOldSchemaOnABadFile) {
  Serve(false);
  TempDir dir;
  const std::string bad = dir.Write("bad.pb", "not a descriptor set");
  tx::LoadSchemaRequestMsg request;
  request.set_schema_path(bad);
  tx::LoadSchemaResponseMsg loaded;
  ASSERT_TRUE(Call("LoadSchema", "", "anyone", request, &loaded).ok());
  EXPECT_TRUE(loaded.has_loaded());
  EXPECT_FALSE(loaded.loaded());
  tx::GetSchemaResponseMsg schema;
  ASSERT_TRUE(Call("GetSchema", "", "anyone", tx::GetSchemaRequestMsg(), &schema).ok());
  EXPECT_EQ(schema.schema_path(), TARNIX_EXAMPLE_SCHEMA);
  EXPECT_FALSE(schema.schema_text().empty());
  tx::GetSchemaVersionResponseMsg version;
  ASSERT_TRUE(Call("GetSchemaVersion", "", "", tx::GetSchemaVersionRequestMsg(), &version).ok());
  EXPECT_EQ(version.version(), "1.4.0");

  ASSERT_TRUE(Call("LoadSchema", "", "anyone", tx::LoadSchemaRequestMsg(), &loaded).ok());
  EXPECT_FALSE(loaded.loaded());
  request.set_schema_path(TARNIX_EXAMPLE_SCHEMA);
  ASSERT_TRUE(Call("LoadSchema", "", "anyone", request, &loaded).ok());
  EXPECT_TRUE(loaded.loaded());
}

TEST_F(TarnixOpsServerTest, LoadSchemaOverTlsIsForTheAdministrator) {
  Serve(true);
  tx::LoadSchemaRequestMsg request;
  request.set_schema_path(TARNIX_EXAMPLE_SCHEMA);
  tx::LoadSchemaResponseMsg loaded;
  grpc::Status status = Call("LoadSchema", "", "tarnix-cli", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  status = Call("LoadSchema", "server", "someone", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "someone does not have permission to load a schema.");
  ASSERT_TRUE(Call("LoadSchema", "server", "tarnix-cli", request, &loaded).ok());
  EXPECT_TRUE(loaded.loaded());
}

TEST_F(TarnixOpsServerTest, GetMetricsWalksASubtreeAndCreatesNothing) {
  metrics::UnitMetric count(registry_, "server/transaction/put/request/count");
  metrics::UnitMetric size(registry_, "server/transaction/put/request/size", "bytes");
  count->update(3);
  Serve(false);
  tx::GetMetricsRequestMsg request;
  request.set_path("server/transaction/put");
  tx::GetMetricsResponseMsg response;
  ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
  ASSERT_EQ(response.metrics_size(), 2);
  std::map<std::string, std::string> values;
  for (const auto& metric : response.metrics()) values[metric.name()] = metric.value();
  EXPECT_EQ(values["/orv/tarnixserver/transaction/put/request/count"], count->string(true));
  EXPECT_EQ(values["/orv/tarnixserver/transaction/put/request/size"], size->string(true));

  request.set_path("server/transaction/put/request/count");
  ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
  ASSERT_EQ(response.metrics_size(), 1);
  EXPECT_EQ(response.metrics(0).name(), "/orv/tarnixserver/transaction/put/request/count");

  request.set_path("server/no/such/path");
  ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
  EXPECT_EQ(response.metrics_size(), 0);
  EXPECT_FALSE(registry_.find_key("server/no"));
}

}  // namespace
}  // namespace tarnix

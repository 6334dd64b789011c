#include "server/tarnix_ops_server.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
#include "storage/fault_env.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::CallUnary;
using testing::Channel;

constexpr char kOps[] = "/caldek.orv.tarnix.TarnixOps/";

// Fills the memtable so that the next write must start a new log file, and
// makes that file's creation fail: the write fails without an I/O error,
// which would end the process.
void FailNextWrite(DbAccess* db, FaultEnv* env) {
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put({{"\x7F" "filler", std::string((4 << 20) + 1, 'f')}}, false, &codes).ok());
  env->FailFileCreations(".log", 1, leveldb::Status::Corruption("injected"));
}

class TarnixOpsServerTest : public testing::WithIdentities<DbAccessTest> {
 protected:
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
      ops_->set_on_schema_reloaded([this] { ++reloads_; });
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
  grpc::Status Digest(const std::string& certificate, const std::string& client_id,
                      const std::string& of, std::string* hex) {
    tx::GetClientCertificateRequestMsg request;
    if (!of.empty()) request.set_client_id(of);
    tx::GetClientCertificateResponseMsg response;
    grpc::Status status =
        Call("GetClientCertificate", certificate, client_id, request, &response);
    *hex = response.certificate_digest();
    return status;
  }
  // The administrator's digest request.
  grpc::Status Digest(const std::string& of, std::string* hex) {
    return Digest("server", "tarnix-cli", of, hex);
  }
  // Whether a connection with `certificate` gets past the TLS handshake,
  // whatever the call then answers.
  bool Connects(const std::string& certificate) {
    return Call<tx::GetSchemaVersionResponseMsg>("GetSchemaVersion", certificate, "",
                                                 tx::GetSchemaVersionRequestMsg())
               .error_code() != grpc::StatusCode::UNAVAILABLE;
  }

  std::string SchemaPath() {
    tx::GetSchemaResponseMsg schema;
    EXPECT_TRUE(Call("GetSchema", "", "", tx::GetSchemaRequestMsg(), &schema).ok());
    return schema.schema_path();
  }

  std::string DigestHex(const std::string& name) {
    return orv::hex_string(orv::net::X509Certificate::FromPemData(ids_->CertPem(name))
                               ->SHA256Digest());
  }

  FaultEnv env_;
  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  std::unique_ptr<DbAccess> db_;
  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  std::unique_ptr<TarnixOpsServer> ops_;
  std::unique_ptr<orv::rpc::testing::TestServer> server_;
  bool tls_ = false;
  // Reloads that put a new schema in force, as the service reported them.
  std::atomic<int> reloads_{0};
  orv::LogCapture capture_;
};

TEST_F(TarnixOpsServerTest, AddedCertificateConnectsUntilDeleted) {
  Serve(true);
  EXPECT_TRUE(Connects(""));
  EXPECT_FALSE(Connects("alice"));

  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  EXPECT_TRUE(capture_.Contains("Successfully added a certificate for alice."));
  EXPECT_TRUE(Connects("alice"));
  std::string hex;
  ASSERT_TRUE(Digest("alice", &hex).ok());
  EXPECT_EQ(hex, DigestHex("alice"));

  // Replacing alice's certificate replaces her digest and her trust.
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("bob")).ok());
  ASSERT_TRUE(Digest("alice", &hex).ok());
  EXPECT_EQ(hex, DigestHex("bob"));
  EXPECT_FALSE(Connects("alice"));
  EXPECT_TRUE(Connects("bob"));

  // Two names with one text: both get the digest, the text stays trusted
  // until neither holds it.
  ASSERT_TRUE(Add("server", "tarnix-cli", "carol", ids_->CertPem("bob")).ok());
  ASSERT_TRUE(Digest("carol", &hex).ok());
  EXPECT_EQ(hex, DigestHex("bob"));
  ASSERT_TRUE(Delete("server", "tarnix-cli", "carol").ok());
  EXPECT_TRUE(capture_.Contains("Successfully deleted the certificate for carol."));
  EXPECT_EQ(Digest("carol", &hex).error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_TRUE(Connects("bob"));
  ASSERT_TRUE(Delete("server", "tarnix-cli", "alice").ok());
  EXPECT_FALSE(Connects("bob"));
  EXPECT_TRUE(certificates_.empty());
  std::string stored;
  EXPECT_EQ(db_->Get(db_->GetSnapshot(), kClientCertPrefix + std::string("alice"), &stored).code,
            DbAccessCode::NOT_FOUND);
}

TEST_F(TarnixOpsServerTest, DeletingANameLeavesLongerNamesAlone) {
  Serve(true);
  ASSERT_TRUE(Add("server", "tarnix-cli", "al", ids_->CertPem("bob")).ok());
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  ASSERT_TRUE(Delete("server", "tarnix-cli", "al").ok());
  std::string stored;
  EXPECT_TRUE(db_->Get(db_->GetSnapshot(), kClientCertPrefix + std::string("alice"), &stored).ok());
  EXPECT_EQ(stored, ids_->CertPem("alice"));
  EXPECT_EQ(certificates_.count("al"), 0u);
  std::string hex;
  ASSERT_TRUE(Digest("alice", &hex).ok());
  EXPECT_EQ(hex, DigestHex("alice"));
  EXPECT_TRUE(Connects("alice"));
  EXPECT_FALSE(Connects("bob"));
}

TEST_F(TarnixOpsServerTest, AdministrationRefusalsInOrder) {
  Serve(false);
  grpc::Status status = Add("", "tarnix-cli", "alice", ids_->CertPem("alice"));
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Tarnix Server key and certificate not configured.");
  std::string hex;
  status = Digest("alice", &hex);
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
  const size_t logged = capture_.lines().size();
  status = Delete("server", "alice", "alice");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "alice does not have permission to add a certificate.");
  EXPECT_EQ(capture_.lines().size(), logged);
  status = Add("server", "tarnix-cli", "bob", "not a certificate");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Received invalid certificate from request");
  EXPECT_EQ(certificates_.size(), 1u);

  status = Digest("alice", "alice", "alice", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "alice does not have permission to delete certificate");
  status = Digest("", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing client id from request");
  status = Digest("bob", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_EQ(status.error_message(), "Unable to find certificate for bob");
}

// The calls every caller may make, as `client_id` presenting `certificate`.
TEST_F(TarnixOpsServerTest, OverTlsEveryCallNeedsAnIdTheCallerCanProveOrThatNobodyCould) {
  Serve(true);
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  ASSERT_TRUE(Add("server", "tarnix-cli", "bob", ids_->CertPem("bob")).ok());
  auto open_calls = [&](const std::string& certificate, const std::string& client_id) {
    return std::vector<grpc::Status>{
        Call<tx::GetSchemaResponseMsg>("GetSchema", certificate, client_id,
                                       tx::GetSchemaRequestMsg()),
        Call<tx::GetSchemaVersionResponseMsg>("GetSchemaVersion", certificate, client_id,
                                              tx::GetSchemaVersionRequestMsg()),
        Call<tx::GetMetricsResponseMsg>("GetMetrics", certificate, client_id,
                                        tx::GetMetricsRequestMsg())};
  };
  for (const auto& [certificate, client] : std::vector<std::pair<std::string, std::string>>{
           {"", "tarnix-cli"}, {"", "alice"}, {"bob", "alice"}, {"alice", "tarnix-cli"}}) {
    for (const grpc::Status& status : open_calls(certificate, client)) {
      EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED)
          << certificate << " as " << client;
      EXPECT_EQ(status.error_message(), "Invalid certificate used for client " + client);
    }
    // Nor may they read a digest by claiming the administrator.
    std::string hex;
    const grpc::Status status = Digest(certificate, client, "alice", &hex);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client " + client);
    EXPECT_TRUE(hex.empty());
  }
  for (const auto& [certificate, client] : std::vector<std::pair<std::string, std::string>>{
           {"alice", "alice"}, {"server", "tarnix-cli"}, {"", "carol"}}) {
    for (const grpc::Status& status : open_calls(certificate, client)) {
      EXPECT_TRUE(status.ok()) << certificate << " as " << client << ": "
                               << status.error_message();
    }
  }
}

TEST_F(TarnixOpsServerTest, OverPlaintextEveryIdMayBeClaimed) {
  certificates_["alice"] = testing::DigestOf(*ids_, "alice");
  Serve(false);
  for (const char* client : {"tarnix-cli", "alice", "carol"}) {
    EXPECT_TRUE(Call<tx::GetSchemaVersionResponseMsg>("GetSchemaVersion", "", client,
                                                      tx::GetSchemaVersionRequestMsg())
                    .ok())
        << client;
  }
  // The administrator gets past the identity rule to the missing TLS identity.
  std::string hex;
  const grpc::Status status = Digest("", "tarnix-cli", "alice", &hex);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Tarnix key/cert not configured");
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

TEST_F(TarnixOpsServerTest, StorageFailuresInCertificateAdministration) {
  PutAll(db_.get(), {{kClientCertPrefix + std::string("a"), ids_->CertPem("alice")}});
  db_.reset();
  db_ = OpenDb(&env_);  // the record moves from the log into a table file
  env_.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  Serve(true);
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0701",
                     "DbAccess error in TarnixOpsServer::GetClientCertificates(): "
                     "Corruption: injected."));
  // TLS stays on, trusting the server's own certificate alone.
  EXPECT_TRUE(Connects("server"));
  EXPECT_FALSE(Connects("alice"));

  // "zz" sorts after the table's keys: storing or deleting it reads no file,
  // the reload that follows does.
  grpc::Status status = Add("server", "tarnix-cli", "zz", ids_->CertPem("bob"));
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), "Unable to get client certificates from DbAccess");
  std::string stored;
  EXPECT_TRUE(db_->Get(db_->GetSnapshot(), kClientCertPrefix + std::string("zz"), &stored).ok());
  status = Delete("server", "tarnix-cli", "zz");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), "Unable to get client certificates from DbAccess");
  env_.FailReadsAfter(-1, leveldb::Status::OK());

  FailNextWrite(db_.get(), &env_);
  status = Add("server", "tarnix-cli", "bob", ids_->CertPem("bob"));
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), "DbAccess error in AddClientCertificate: Corruption: injected");
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0103", status.error_message()));
  env_.FailFileCreations(".log", 1, leveldb::Status::Corruption("injected"));
  status = Delete("server", "tarnix-cli", "a");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(),
            "DbAccess error in DeleteClientCertificate: Corruption: injected");
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0103", status.error_message()));
  EXPECT_FALSE(Connects("bob"));

  // With the store back the administrator repairs over TLS.
  ASSERT_TRUE(Add("server", "tarnix-cli", "bob", ids_->CertPem("bob")).ok());
  EXPECT_TRUE(Connects("alice"));
  EXPECT_TRUE(Connects("bob"));
  EXPECT_EQ(All(db_.get()).size(), 3u);  // a, bob and the filler
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

  EXPECT_TRUE(Logged(capture_, "WARNING", "",
                     "Tarnix key " + ids_->Key("server") + " found but certificate " +
                         ids_->dir() + "/missing-cert.pem is missing; TLS stays off"));
  {
    TarnixOpsServer ops(&schema_, db_.get(), &registry_, &security, &certificates_,
                        ids_->dir() + "/missing-key.pem", ids_->Cert("server"));
  }
  EXPECT_TRUE(capture_.Contains("Tarnix certificate " + ids_->Cert("server") +
                                " found but key " + ids_->dir() + "/missing-key.pem is missing"));
  EXPECT_FALSE(security.default_server_context());

  // Both files unloadable: the key is read first and stops start-up.
  EXPECT_THROW(TarnixOpsServer(&schema_, db_.get(), &registry_, &security, &certificates_,
                               ids_->Cert("server"), ids_->Key("alice")),
               std::runtime_error);
  EXPECT_TRUE(Logged(capture_, "ERROR", "",
                     "Unable to load the server key from " + ids_->Cert("server") +
                         ": Invalid argument"));
  EXPECT_FALSE(capture_.Contains("Unable to load the server certificate"));
  EXPECT_THROW(TarnixOpsServer(&schema_, db_.get(), &registry_, &security, &certificates_,
                               ids_->Key("server"), ids_->Key("alice")),
               std::runtime_error);
  EXPECT_TRUE(capture_.Contains("Unable to load the server certificate from " +
                                ids_->Key("alice")));
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
  EXPECT_EQ(reloads_, 0);
  request.set_schema_path(TARNIX_EXAMPLE_SCHEMA);
  ASSERT_TRUE(Call("LoadSchema", "", "anyone", request, &loaded).ok());
  EXPECT_TRUE(loaded.loaded());
  EXPECT_EQ(reloads_, 1);  // before the answer
}

// Any plaintext caller may reload: a descriptor set without object types
// would make every later write vanish.
TEST_F(TarnixOpsServerTest, LoadSchemaRefusesAFileWithoutObjectTypes) {
  Serve(false);
  TempDir dir;
  google::protobuf::FileDescriptorSet set;
  set.add_file()->set_name("unrelated.proto");
  set.mutable_file(0)->add_message_type()->set_name("UnrelatedMsg");
  const std::string unrelated = dir.WriteSet("unrelated.pb", set);
  tx::LoadSchemaRequestMsg request;
  request.set_schema_path(unrelated);
  tx::LoadSchemaResponseMsg loaded;
  const grpc::Status status = Call("LoadSchema", "", "anyone", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Schema file " + unrelated +
                                        " defines no object type; the loaded schema stays in "
                                        "force");
  EXPECT_EQ(SchemaPath(), TARNIX_EXAMPLE_SCHEMA);
  EXPECT_EQ(reloads_, 0);
}

TEST_F(TarnixOpsServerTest, LoadSchemaOverTlsIsForTheAdministrator) {
  Serve(true);
  ASSERT_TRUE(Add("server", "tarnix-cli", "alice", ids_->CertPem("alice")).ok());
  TempDir dir;
  const std::string copy = dir.Write("copy.pb", testing::ReadText(TARNIX_EXAMPLE_SCHEMA));
  tx::LoadSchemaRequestMsg request;
  request.set_schema_path(copy);
  tx::LoadSchemaResponseMsg loaded;
  grpc::Status status = Call("LoadSchema", "", "tarnix-cli", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Client did not provide a mandatory certificate.");
  status = Call("LoadSchema", "alice", "tarnix-cli", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "Incorrect certificate provided. Server certificate must be used.");
  status = Call("LoadSchema", "server", "someone", request, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "someone does not have permission to load a schema.");
  EXPECT_EQ(SchemaPath(), TARNIX_EXAMPLE_SCHEMA);
  ASSERT_TRUE(Call("LoadSchema", "server", "tarnix-cli", request, &loaded).ok());
  EXPECT_TRUE(loaded.loaded());
  EXPECT_EQ(SchemaPath(), copy);
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

  // Empty segments name nothing: a leading slash only shows in the names.
  request.set_path("/server/transaction/put/request/size");
  ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
  ASSERT_EQ(response.metrics_size(), 1);
  EXPECT_EQ(response.metrics(0).name(), "/orv/tarnix/server/transaction/put/request/size");

  request.set_path("server/no/such/path");
  ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
  EXPECT_EQ(response.metrics_size(), 0);
  EXPECT_FALSE(registry_.find_key("server/no"));
}

TEST_F(TarnixOpsServerTest, GetMetricsNamesANodeBeforeItsChildrenFromTheRoot) {
  metrics::UnitMetric node(registry_, "server/queue");
  metrics::UnitMetric child(registry_, "server/queue/depth");
  node->update(1);
  child->update(2);
  Serve(false);
  for (const char* root : {"", "/"}) {
    tx::GetMetricsRequestMsg request;
    if (*root != '\0') request.set_path(root);
    tx::GetMetricsResponseMsg response;
    ASSERT_TRUE(Call("GetMetrics", "", "", request, &response).ok());
    // The storage layer's own metrics are there too.
    std::vector<std::string> names;
    for (const auto& metric : response.metrics()) {
      EXPECT_EQ(metric.name().rfind("/orv/tarnix//server/", 0), 0u) << metric.name();
      names.push_back(metric.name());
    }
    const auto node = std::find(names.begin(), names.end(), "/orv/tarnix//server/queue");
    const auto depth = std::find(names.begin(), names.end(), "/orv/tarnix//server/queue/depth");
    ASSERT_NE(depth, names.end()) << root;
    EXPECT_LT(node, depth) << root;
  }
}

}  // namespace
}  // namespace tarnix

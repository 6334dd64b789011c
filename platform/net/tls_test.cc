#include "platform/crypto/tls.h"

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "logging/log_capture.h"
#include "platform/net/net_security_manager.h"
#include "platform/rpc/test_server.h"
#include "platform/util/strings.h"

namespace orv {
namespace net {
namespace {

using rpc::testing::TestServer;
using tarnix_test::EchoRequest;
using tarnix_test::EchoResponse;

// One approved TLS 1.2 suite: every server here offers only it, so that a
// client offering another approved one shows that the list is applied
// (gRPC's own list holds them all). The first server fixes it per process.
const char kTls12Suite[] = "ECDHE-ECDSA-AES256-GCM-SHA384";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[512];
  while (fgets(buf, sizeof(buf), pipe) != nullptr) out += buf;
  pclose(pipe);
  return out;
}

// Self-signed certificates made with the openssl CLI in a private temp dir.
class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = ::testing::TempDir() + "tarnix-tls-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buf.data()));
    dir_ = new std::string(buf.data());
    for (const char* name : {"server", "alice", "bob", "carol"}) {
      std::string base = *dir_ + "/" + name;
      std::string cmd =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
          "-nodes -days 2 -subj /CN=" +
          std::string(name) +
          " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " + base +
          "-key.pem -out " + base + "-cert.pem 2>/dev/null";
      ASSERT_EQ(0, system(cmd.c_str())) << cmd;
    }
  }

  static void TearDownTestSuite() {
    boost::filesystem::remove_all(*dir_);
    delete dir_;
  }

  static std::string Path(const std::string& file) { return *dir_ + "/" + file; }

  // A server context with the server's identity trusting `clients`, and
  // `key` as its private key.
  static SecurityContext::Ptr Context(const std::vector<std::string>& clients,
                                      const std::string& key = "server-key.pem") {
    NetSecurityContext::Builder builder(0, kTls12Suite,
                                        crypto::tls::APPROVED_TLS13_CIPHER_SUITES,
                                        crypto::tls::APPROVED_TLS_CURVES);
    builder.UsePrivateKey(RSAPrivateKey::FromPemFile(Path(key)));
    builder.UseCertificate(X509Certificate::FromPemFile(Path("server-cert.pem")));
    for (const std::string& client : clients) {
      builder.trust_store().AddCertificate(
          X509Certificate::FromPemFile(Path(client + "-cert.pem")));
    }
    return builder.release();
  }

  static TestServer::Options TlsOptions(const std::vector<std::string>& clients,
                                        const std::string& key = "server-key.pem") {
    TestServer::Options options;
    options.setup = [clients, key](AsioOrvProvider& provider) {
      provider.net().security_manager().default_server_context(Context(clients, key));
    };
    return options;
  }

  // The TLS 1.2 suite that `openssl s_client` negotiates with the server
  // when it offers only `suite`, or "" when the handshake fails.
  static std::string NegotiatedTls12Suite(const TestServer& server,
                                          const std::string& suite) {
    std::string out = RunCommand("openssl s_client -connect " + server.address() +
                                 " -tls1_2 -alpn h2 -cipher " + suite +
                                 " </dev/null 2>&1");
    std::string marker = "Cipher is " + suite;
    return out.find(marker) != std::string::npos ? suite : std::string();
  }

  // A fresh TLS channel (own subchannel pool) presenting `client`'s certificate
  // ("" for none).
  static std::unique_ptr<tarnix_test::Echo::Stub> Stub(const TestServer& server,
                                                       const std::string& client) {
    grpc::SslCredentialsOptions ssl;
    ssl.pem_root_certs = ReadFile(Path("server-cert.pem"));
    if (!client.empty()) {
      ssl.pem_private_key = ReadFile(Path(client + "-key.pem"));
      ssl.pem_cert_chain = ReadFile(Path(client + "-cert.pem"));
    }
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    args.SetSslTargetNameOverride("localhost");
    return tarnix_test::Echo::NewStub(
        grpc::CreateCustomChannel(server.address(), grpc::SslCredentials(ssl), args));
  }

  static grpc::Status Call(tarnix_test::Echo::Stub& stub, EchoResponse* response) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    context.AddMetadata("client-id", "tls-client");
    EchoRequest request;
    request.set_text("hi");
    return stub.Unary(&context, request, response);
  }

  static std::string* dir_;
};

std::string* TlsTest::dir_ = nullptr;

TEST_F(TlsTest, CertificatesAndKeysLoadFromPem) {
  auto cert = X509Certificate::FromPemFile(Path("alice-cert.pem"));
  ASSERT_TRUE(cert);
  auto again = X509Certificate::FromPemData(ReadFile(Path("alice-cert.pem")));
  ASSERT_TRUE(again);
  EXPECT_TRUE(*cert == *again);
  EXPECT_TRUE(*cert != *X509Certificate::FromPemFile(Path("bob-cert.pem")));
  EXPECT_TRUE(X509Certificate::FromPemData(cert->pem()));

  std::error_code ec;
  EXPECT_FALSE(X509Certificate::FromPemFile(Path("missing.pem"), ec));
  EXPECT_TRUE(ec);
  EXPECT_FALSE(X509Certificate::FromPemFile(Path("alice-key.pem"), ec));
  EXPECT_TRUE(ec);
  EXPECT_FALSE(X509Certificate::FromPemData("garbage"));
  EXPECT_TRUE(RSAPrivateKey::FromPemFile(Path("alice-key.pem"), ec));
  EXPECT_FALSE(ec);
  EXPECT_FALSE(RSAPrivateKey::FromPemFile(Path("alice-cert.pem"), ec));
  EXPECT_TRUE(ec);

  // An encrypted key is refused, not prompted for (stdin offers the passphrase).
  std::string locked = Path("locked-key.pem");
  ASSERT_EQ(0, system(("openssl genpkey -algorithm EC -pkeyopt "
                       "ec_paramgen_curve:prime256v1 -aes256 -pass pass:secret -out " +
                       locked + " 2>/dev/null")
                          .c_str()));
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(7, write(fds[1], "secret\n", 7));
  close(fds[1]);
  int saved_stdin = dup(0);
  dup2(fds[0], 0);
  close(fds[0]);
  RSAPrivateKey::Ptr key = RSAPrivateKey::FromPemFile(locked, ec);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_FALSE(key);
  EXPECT_TRUE(ec);
}

TEST_F(TlsTest, WithoutContextListenersServePlaintextWithWarning) {
  LogCapture capture;
  TestServer server;
  EXPECT_TRUE(capture.Contains("listeners serve plaintext"));
  EchoResponse response;
  EXPECT_TRUE(Call(*rpc::testing::PlainStub(server.address()), &response).ok());
}

TEST_F(TlsTest, PeerCertificatesAreOptionalButMustBeTrusted) {
  TestServer server(TlsOptions({"alice"}));
  EchoResponse response;

  grpc::Status status = Call(*Stub(server, ""), &response);
  ASSERT_TRUE(status.ok()) << status.error_message();
  EXPECT_FALSE(response.has_digest());
  EXPECT_EQ("tls-client", response.client_id());

  status = Call(*Stub(server, "alice"), &response);
  ASSERT_TRUE(status.ok()) << status.error_message();
  std::string fingerprint = RunCommand("openssl x509 -noout -fingerprint -sha256 -in " +
                                       Path("alice-cert.pem"));
  std::string expected;
  for (char c : fingerprint.substr(fingerprint.find('=') + 1)) {
    if (isxdigit(static_cast<unsigned char>(c)))
      expected += static_cast<char>(tolower(c));
  }
  ASSERT_EQ(64u, expected.size());
  EXPECT_EQ(expected, hex_string(response.digest()));

  status = Call(*Stub(server, "bob"), &response);
  EXPECT_EQ(grpc::StatusCode::UNAVAILABLE, status.error_code());
  // The plaintext port is not open either: the listener speaks TLS only.
  EXPECT_FALSE(Call(*rpc::testing::PlainStub(server.address()), &response).ok());
}

TEST_F(TlsTest, TrustChangesApplyToTheNextConnection) {
  TestServer server(TlsOptions({"alice"}));
  EchoResponse response;
  EXPECT_FALSE(Call(*Stub(server, "carol"), &response).ok());

  auto alice = Stub(server, "alice");
  ASSERT_TRUE(Call(*alice, &response).ok());

  server.provider().net().security_manager().default_server_context(Context({"carol"}));
  EXPECT_TRUE(Call(*Stub(server, "carol"), &response).ok());
  EXPECT_EQ(grpc::StatusCode::UNAVAILABLE,
            Call(*Stub(server, "alice"), &response).error_code());
}

TEST_F(TlsTest, KeyThatIsNotTheCertificatesRefusesToStart) {
  LogCapture capture;
  EXPECT_THROW(TestServer server(TlsOptions({}, "alice-key.pem")), std::runtime_error);
  EXPECT_TRUE(capture.Contains("private key does not match"));
}

TEST_F(TlsTest, OnlyTheContextsTls12SuitesAreOfferedAndRefusalsAreLogged) {
  TestServer server(TlsOptions({}));
  EXPECT_EQ(kTls12Suite, NegotiatedTls12Suite(server, kTls12Suite));
  LogCapture capture;
  EXPECT_EQ("", NegotiatedTls12Suite(server, "ECDHE-ECDSA-AES128-GCM-SHA256"));
  // gRPC reports the refused handshake; its line reaches our log, marked.
  std::string refusal;
  for (int i = 0; i < 100 && refusal.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const std::string& line : capture.lines()) {
      if (line.find("no shared cipher") != std::string::npos) refusal = line;
    }
  }
  EXPECT_NE(std::string::npos, refusal.find("s2comp=\"grpc\"")) << refusal;
}

}  // namespace
}  // namespace net
}  // namespace orv

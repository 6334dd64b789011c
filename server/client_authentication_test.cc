#include "server/client_authentication.h"

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "platform/net/security_context.h"
#include "server/service_test_util.h"

namespace tarnix {
namespace {

TEST(ClientAuthenticationTest, OnlyTheRegisteredDigestOfThatClientPasses) {
  orv::LogCapture capture;
  ClientCertificateMap certificates = MakeClientCertificateMap();
  orv::net::Sha256Digest digest{};
  digest[31] = 7;
  certificates["alice"] = digest;
  orv::net::Sha256Digest other = digest;
  other[31] = 8;

  EXPECT_TRUE(ValidateClientCertificate(certificates, "alice", digest).ok());
  for (const auto& [client, presented] :
       std::vector<std::pair<std::string, std::optional<orv::net::Sha256Digest>>>{
           {"alice", other}, {"alice", std::nullopt}, {"bob", digest}}) {
    const orv::rpc::AppStatus status = ValidateClientCertificate(certificates, client, presented);
    EXPECT_EQ(status.code(), orv::rpc::kPermissionDenied) << client;
    EXPECT_EQ(status.message(), "Invalid certificate used for client " + client);
  }
  EXPECT_EQ(capture.Count("errorCode=\"DRX0702\"] Invalid certificate used for client "), 3u);
}

// "alice" is a registered client; "bob" holds a certificate registered for
// nobody; "server" is the server's own.
class ClaimedIdentityTest : public testing::WithIdentities<::testing::Test> {
 protected:
  void SetUp() override { certificates_["alice"] = testing::DigestOf(*ids_, "alice"); }

  static orv::net::X509Certificate::Ptr Certificate(const std::string& name) {
    return orv::net::X509Certificate::FromPemFile(ids_->Cert(name));
  }
  // The rule for `client_id` claimed by a peer presenting `certificate` ("":
  // none), over TLS when `tls`.
  orv::rpc::AppStatus Check(const std::string& certificate, const std::string& client_id,
                            bool tls = true) {
    const orv::net::PeerAuthentication peer =
        certificate.empty() ? orv::net::PeerAuthentication()
                            : orv::net::PeerAuthentication(Certificate(certificate));
    return CheckClaimedIdentity(certificates_, client_id, peer,
                                tls ? Certificate("server") : nullptr);
  }

  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  orv::LogCapture capture_;
};

TEST_F(ClaimedIdentityTest, OverTlsAnIdIsProvenOrRegisteredForNobody) {
  EXPECT_TRUE(Check("alice", "alice").ok());
  EXPECT_TRUE(Check("server", kAdminClient).ok());
  EXPECT_TRUE(Check("", "carol").ok());
  for (const auto& [certificate, client] : std::vector<std::pair<std::string, std::string>>{
           {"", "alice"},            // a registered id without its certificate
           {"", kAdminClient},       // the administrator's, registered or not
           {"bob", "alice"},         // another certificate than the registered one
           {"alice", kAdminClient},  // a client's certificate for the administrator
           {"server", "alice"},      // the server's proves the administrator alone
           {"bob", "carol"}}) {      // a certificate proves no unregistered id
    const orv::rpc::AppStatus status = Check(certificate, client);
    EXPECT_EQ(status.code(), orv::rpc::kPermissionDenied) << certificate << " as " << client;
    EXPECT_EQ(status.message(), "Invalid certificate used for client " + client);
  }
  EXPECT_EQ(capture_.Count("errorCode=\"DRX0702\"] Invalid certificate used for client "), 6u);

  // Once registered, the administrator may also use its own certificate.
  certificates_[kAdminClient] = testing::DigestOf(*ids_, "bob");
  EXPECT_TRUE(Check("bob", kAdminClient).ok());
  EXPECT_TRUE(Check("server", kAdminClient).ok());
}

TEST_F(ClaimedIdentityTest, OverPlaintextEveryClaimPasses) {
  for (const std::string client : {"alice", kAdminClient, "carol", ""}) {
    EXPECT_TRUE(Check("", client, false).ok()) << client;
  }
  EXPECT_EQ(capture_.lines().size(), 0u);
}

TEST_F(ClaimedIdentityTest, TlsIsOnOnceTheServersKeyAndCertificateAreInstalled) {
  EXPECT_FALSE(InstalledServerCertificate(nullptr));
  orv::net::NetSecurityManager security;
  EXPECT_FALSE(InstalledServerCertificate(&security));
  orv::net::NetSecurityContext::Builder builder;
  builder.UsePrivateKey(orv::net::RSAPrivateKey::FromPemFile(ids_->Key("server")));
  builder.UseCertificate(Certificate("server"));
  security.default_server_context(builder.release());
  const orv::net::X509Certificate::Ptr installed = InstalledServerCertificate(&security);
  ASSERT_TRUE(installed);
  EXPECT_TRUE(*installed == *Certificate("server"));
}

}  // namespace
}  // namespace tarnix

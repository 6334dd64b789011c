#include "server/client_authentication.h"

#include <gtest/gtest.h>

#include "logging/log_capture.h"

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

}  // namespace
}  // namespace tarnix

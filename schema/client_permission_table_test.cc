#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

// Domains of the fixture: net {AlphaMsg}, network {BetaMsg, NetworkMsg},
// policy {NoKeyMsg, PolicyMsg}; NoDomainMsg has none, nor has GammaMsg, whose
// ObjectType value is an alias.
const std::vector<std::string> kNet = {"tt.AlphaMsg"};
const std::vector<std::string> kNetwork = {"tt.BetaMsg", "tt.NetworkMsg"};
const std::vector<std::string> kPolicy = {"tt.NoKeyMsg", "tt.PolicyMsg"};
const std::vector<std::string> kNoDomain = {"tt.NoDomainMsg", "tt.GammaMsg"};

class ClientPermissionTableTest : public ::testing::Test {
 protected:
  ClientPermissionTableTest() : schema_(FixturePath("type_tables"), "tt") {}

  void ExpectRead(const std::string& client,
                  const std::vector<std::string>& types, bool allowed) {
    for (const std::string& type : types) {
      EXPECT_EQ(schema_.permissions().HasReadPermission(client, type), allowed)
          << client << " reading " << type;
    }
  }
  void ExpectWrite(const std::string& client,
                   const std::vector<std::string>& types, bool allowed) {
    for (const std::string& type : types) {
      EXPECT_EQ(schema_.permissions().HasWritePermission(client, type), allowed)
          << client << " writing " << type;
    }
  }
  void ExpectNothing(const std::string& client) {
    for (const auto* group : {&kNet, &kNetwork, &kPolicy, &kNoDomain}) {
      ExpectRead(client, *group, false);
      ExpectWrite(client, *group, false);
    }
    EXPECT_FALSE(schema_.permissions().CanManageVDbs(client)) << client;
  }

  Schema schema_;
};

TEST_F(ClientPermissionTableTest, DomainEntriesCoverDomainsStartingWithThem) {
  // "net" covers net and network but not policy.
  ExpectRead("net-reader", kNet, true);
  ExpectRead("net-reader", kNetwork, true);
  ExpectRead("net-reader", kPolicy, false);
  ExpectRead("net-reader", kNoDomain, false);
  ExpectWrite("net-reader", kPolicy, true);
  ExpectWrite("net-reader", kNet, false);
  ExpectWrite("net-reader", kNetwork, false);
  EXPECT_FALSE(schema_.permissions().CanManageVDbs("net-reader"));

  // "netw" covers network only.
  ExpectRead("netw-reader", kNetwork, true);
  ExpectRead("netw-reader", kNet, false);
  ExpectRead("netw-reader", kPolicy, false);

  // "" covers every domain but not types outside any domain.
  for (const auto* group : {&kNet, &kNetwork, &kPolicy}) {
    ExpectRead("every-domain", *group, true);
    ExpectWrite("every-domain", *group, true);
  }
  ExpectRead("every-domain", kNoDomain, false);
  ExpectWrite("every-domain", kNoDomain, false);
  EXPECT_FALSE(schema_.permissions().HasReadPermission("every-domain", "tt.GhostMsg"));

  // Entries that match no domain grant nothing.
  ExpectNothing("unmatched");
}

TEST_F(ClientPermissionTableTest, AllGrantsEveryNameForItsOwnDirection) {
  for (const auto* group : {&kNet, &kNetwork, &kPolicy, &kNoDomain}) {
    ExpectRead("read-all", *group, true);
    ExpectWrite("read-all", *group, false);
    ExpectRead("write-all", *group, false);
    ExpectWrite("write-all", *group, true);
  }
  EXPECT_TRUE(schema_.permissions().HasReadPermission("read-all", "no.such.Type"));
  EXPECT_TRUE(schema_.permissions().HasWritePermission("write-all", ""));
  EXPECT_FALSE(schema_.permissions().CanManageVDbs("read-all"));
}

TEST_F(ClientPermissionTableTest, ClientsWithoutGrants) {
  ExpectNothing("no-permission");
  ExpectNothing("unknown-client");

  // manage_vdbs alone grants no reads or writes.
  EXPECT_TRUE(schema_.permissions().CanManageVDbs("vdb-admin"));
  ExpectRead("vdb-admin", kNet, false);
  ExpectWrite("vdb-admin", kPolicy, false);
}

TEST_F(ClientPermissionTableTest, LaterValueOfDuplicateClientIdWins) {
  ExpectRead("dup", kPolicy, false);
  ExpectWrite("dup", kNet, true);
  ExpectWrite("dup", kNetwork, true);
  EXPECT_FALSE(schema_.permissions().CanManageVDbs("dup"));
}

TEST_F(ClientPermissionTableTest, ValueWithoutClientIdIsLoggedAndIgnored) {
  orv::LogCapture capture;
  ASSERT_TRUE(schema_.LoadSchema(FixturePath("type_tables")).ok());
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "ClientId enum MISSING_ID is missing client_id option"));
  EXPECT_EQ(capture.Count("ClientId enum MISSING_ID is missing"), 1u);
}

TEST_F(ClientPermissionTableTest, ReloadDropsRemovedClientsAndOldGrants) {
  ASSERT_TRUE(schema_.LoadSchema(FixturePath("reloaded")).ok());
  ExpectNothing("read-all");
  ExpectNothing("vdb-admin");
  // net-reader now reads policy (AlphaMsg moved there) and nothing else.
  EXPECT_TRUE(schema_.permissions().HasReadPermission("net-reader", "tt.AlphaMsg"));
  EXPECT_FALSE(schema_.permissions().HasReadPermission("net-reader", "tt.BetaMsg"));
  EXPECT_FALSE(schema_.permissions().HasWritePermission("net-reader", "tt.PolicyMsg"));
}

}  // namespace
}  // namespace tarnix

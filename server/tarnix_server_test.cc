#include "server/tarnix_server.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/record_key.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"
#include "write/tarnix_transaction_log.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";

class TarnixServerTest : public WriteTest {
 protected:
  ClientCertificateMap certificates_ = MakeClientCertificateMap();

  std::unique_ptr<TarnixServer> Start() {
    return std::make_unique<TarnixServer>(&schema_, db_.get(), 1 << 20, &registry_, &certificates_,
                                          nullptr, true, 65535, false);
  }

  std::string RecordKey(const std::string& type, const std::string& id) {
    std::string key;
    (void)MakeObjectRecordKey(schema_, type, id, &key);
    return key;
  }

  // Commits a put of one DeviceMsg record the way the write path does.
  void CommitPut(TarnixServer* server, const std::string& id) {
    uint64_t txn_id = 0;
    ASSERT_TRUE(server->txn_ids().GetNextTxnId(&txn_id));
    TarnixTransactionLog log(&schema_, "client", txn_id);
    log.RecordRequest(caldek::orv::tarnix::PutRequestMsg());
    log.update_records.emplace_back(TarnixTransactionLog::kUpdated, kDevice, id, VdbIdSet{1});
    uint64_t size = 0, txn_bytes = 0;
    std::vector<DbAccess::TxnPut> puts;
    std::vector<std::string> deletes;
    puts.emplace_back(RecordKey(kDevice, id), boost::make_shared<std::string>("body-" + id));
    ASSERT_TRUE(server->txn_log()
                    .ComputeTxnLogUpdates(false, &log, &size, &txn_bytes, &puts, &deletes)
                    .ok());
    server->txn_log().set_current_log_size(size);
    ASSERT_TRUE(db_->WriteTxn(puts, deletes, false, [] {}).ok());
  }

  DbAccess::Records Scan(const std::string& prefix) {
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, prefix, &records).ok());
    return records;
  }
};

TEST_F(TarnixServerTest, RestartRestoresTheDurableState) {
  auto server = Start();
  EXPECT_EQ(server->txn_ids().txn_id(), 0u);
  EXPECT_EQ(server->vdbs().vdb_id_to_name(), (std::map<uint16_t, std::string>{{1, "main_vdb"}}));
  CommitPut(server.get(), "d1");
  CommitPut(server.get(), "d2");
  ASSERT_TRUE(server->vdbs().AddVDbInfo(2, "second", nullptr));
  uint64_t refused = 0;  // a transaction refused after taking its id
  ASSERT_TRUE(server->txn_ids().GetNextTxnId(&refused));
  PutAll(db_.get(), {{RecordKey("caldek.orv.tarnix.LegacyDeviceMsg", "old"), "legacy"}});
  ASSERT_TRUE(server->txn_ids().Stop());  // a clean stop, as the daemon's
  server.reset();
  Reopen();

  server = Start();
  uint64_t txn_id = 0;
  ASSERT_TRUE(server->txn_ids().GetNextTxnId(&txn_id));
  EXPECT_EQ(txn_id, 4u);
  uint64_t log_bytes = 0;
  for (const auto& unit : Scan(kTxnLogPrefix)) log_bytes += unit.first.size() + unit.second.size();
  EXPECT_GT(log_bytes, 0u);
  EXPECT_EQ(server->txn_log().current_log_size(), log_bytes);
  EXPECT_EQ(server->vdbs().vdb_id_to_name(),
            (std::map<uint16_t, std::string>{{1, "main_vdb"}, {2, "second"}}));
  EXPECT_TRUE(Scan(MakeObjectTypeKeyPrefix(12)).empty());
  // Only what survived the wipe is counted.
  EXPECT_EQ(Scan(kObjectPrefix).size(), 2u);
  const auto& counters = server->obj_stats_maintainer().GetOrCreateTypeCounters(kDevice);
  EXPECT_EQ((*counters.num_of_objects)->window(true).last, 2u);
  EXPECT_EQ((*counters.total_size)->window(true).last, 14u);
  const auto& legacy = server->obj_stats_maintainer().GetOrCreateTypeCounters(
      "caldek.orv.tarnix.LegacyDeviceMsg");
  EXPECT_EQ((*legacy.num_of_objects)->window(true).last, 0u);
  EXPECT_FALSE(capture_.Contains("DRX0607"));
}

// A repair can lose vdb records and keep the objects of those vdbs. Start-up
// names the vdbs the registry lacks and does not register them again; on an
// empty registry it still creates "main_vdb".
TEST_F(TarnixServerTest, ObjectsInUnregisteredVdbsAreReported) {
  PutAll(db_.get(), {{RecordKey(kDevice, "d1") + EncodeVdbIdSet({1, 7}), "a"},
                     {RecordKey(kDevice, "d2") + EncodeVdbIdSet({3}), "b"},
                     {RecordKey(kDevice, "d3"), "main vdb only"}});
  auto server = Start();
  EXPECT_TRUE(HasLine("INFO", "", "Created new vdb: vdb_name = 'main_vdb', vdb_id = 1"));
  EXPECT_EQ(server->vdbs().vdb_id_to_name(), (std::map<uint16_t, std::string>{{1, "main_vdb"}}));
  EXPECT_TRUE(HasLine("ERROR", "DRX0607",
                      "Object records are held in vdbs that the vdb registry does not name: "
                      "vdb ids 3, 7. They are not registered again."));
  server.reset();

  // A registry that lost vdb 1 but kept another: records of vdb 1 are named
  // too, and vdb 1 is not created.
  ASSERT_TRUE(db_->DeleteByPrefixes({kVDbInfoPrefix}, false).ok());
  PutAll(db_.get(), {{std::string("\x03\x07", 2), "seven"}});
  capture_.Clear();
  server = Start();
  EXPECT_EQ(server->vdbs().vdb_id_to_name(), (std::map<uint16_t, std::string>{{7, "seven"}}));
  EXPECT_TRUE(HasLine("ERROR", "DRX0607",
                      "Object records are held in vdbs that the vdb registry does not name: "
                      "vdb ids 1, 3. They are not registered again."));
  EXPECT_EQ(Scan(kVDbInfoPrefix).size(), 1u);
}

// Without its vdbs the server could only refuse every call: start-up says
// so instead of serving.
TEST_F(TarnixServerTest, AnUnreadableVdbRegistryIsAFailedStartUp) {
  EXPECT_TRUE(Start()->startup_status().ok());
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // the vdb record moves into a table file
  env.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  auto server = Start();
  env.FailReadsAfter(-1, leveldb::Status::OK());
  EXPECT_EQ(server->startup_status().code(), Status::kDataLoss);
  EXPECT_TRUE(server->vdbs().vdb_id_to_name().empty());
  EXPECT_TRUE(HasLine("ERROR", "DRX0603",
                      "DbAccess error in TarnixServer::InitVDbInfo(): Corruption: injected. VDb id "
                      "to VDb name map is left uninitialized."));
  server.reset();
  db_.reset();
}

TEST_F(TarnixServerTest, LostIdRecordDoesNotReuseLoggedIds) {
  auto server = Start();
  CommitPut(server.get(), "d1");
  CommitPut(server.get(), "d2");
  server.reset();
  ASSERT_TRUE(db_->DeleteByPrefixes({kTxnIdKey}, false).ok());
  // Nor is there a bound: only the log tells which ids went out.
  ASSERT_TRUE(boost::filesystem::remove(db_dir_ + "/" + DbAccess::kTxnIdBoundFile));
  Reopen();

  server = Start();
  EXPECT_TRUE(HasLine("WARNING", "",
                      "Transaction log holds transaction id 2 above the stored id 0; "
                      "txn_id_ raised to 2."));
  CommitPut(server.get(), "d3");
  EXPECT_EQ(Scan(kTxnLogPrefix).size(), 6u);  // two units per transaction, none overwritten
}

}  // namespace
}  // namespace tarnix

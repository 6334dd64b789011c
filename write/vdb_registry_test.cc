#include "write/vdb_registry.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "schema/compact_uint.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_log_store.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

using VdbMap = std::map<uint16_t, std::string>;

// Fills the memtable so that the next write must start a new log file, and
// makes that file's creation fail: the write fails without an I/O error,
// which would end the process.
void FailNextWrite(DbAccess* db, FaultEnv* env) {
  std::vector<int32_t> codes;
  ASSERT_TRUE(db->Put({{"\x7F" "filler", std::string((4 << 20) + 1, 'f')}}, false, &codes).ok());
  env->FailFileCreations(".log", 1, leveldb::Status::Corruption("injected"));
}

class VDbRegistryTest : public WriteTest {
 protected:
  std::unique_ptr<VDbRegistry> Start(uint64_t max_log_size = 1 << 20) {
    txn_log_ = std::make_unique<TransactionLogStore>(db_.get(), max_log_size, &registry_);
    txn_log_->SetCurrentLogSize();
    auto vdbs = std::make_unique<VDbRegistry>(db_.get(), txn_log_.get());
    vdbs->InitVDbInfo();
    return vdbs;
  }

  // A CreateVDb transaction's log.
  std::unique_ptr<TarnixTransactionLog> CreateLog(uint16_t id) {
    auto log = std::make_unique<TarnixTransactionLog>(&schema_, "admin", 4);
    log->vdb_id = id;
    log->RecordRequest(caldek::orv::tarnix::CreateVDbRequestMsg());
    return log;
  }

  std::unique_ptr<TransactionLogStore> txn_log_;
};

TEST_F(VDbRegistryTest, FirstStartCreatesMainVdb) {
  auto vdbs = Start();
  EXPECT_EQ(All(db_.get()), DbAccess::Records({{std::string("\x03\x01", 2), "main_vdb"}}));
  EXPECT_EQ(vdbs->vdb_id_to_name(), VdbMap({{1, "main_vdb"}}));
  uint16_t id = 0;
  EXPECT_TRUE(vdbs->FindId("main_vdb", &id));
  EXPECT_EQ(id, 1u);
  EXPECT_TRUE(HasLine("INFO", "", "TarnixServer::InitVDbInfo(): Fetching vdb info from db_access_"));
  EXPECT_TRUE(
      HasLine("INFO", "", "TarnixServer::InitVDbInfo(): No vdb info records found in db_access_."));
  EXPECT_TRUE(HasLine("INFO", "", "Created new vdb: vdb_name = 'main_vdb', vdb_id = 1"));
}

TEST_F(VDbRegistryTest, RestartLoadsRecordsInIdOrderAndSkipsMalformedKeys) {
  PutAll(db_.get(), {{std::string("\x03\x41\x2C", 3), "three-hundred"},
                     {std::string("\x03\x02", 2), "two"},
                     {std::string("\x03\x01", 2), "main_vdb"},
                     {std::string("\x03\x80\x40", 3), "truncated"},
                     {std::string("\x03\x05\x05", 3), "trailing"},
                     {std::string("\x03", 1), "no-id"}});
  auto vdbs = Start();
  EXPECT_EQ(vdbs->vdb_id_to_name(), VdbMap({{1, "main_vdb"}, {2, "two"}, {300, "three-hundred"}}));
  EXPECT_EQ(vdbs->vdb_name_to_id().size(), 3u);
  EXPECT_EQ(capture_.Count("level=\"ERROR\"] Malformed vdb record key: "), 3u);
  EXPECT_TRUE(HasLine("ERROR", "", "Malformed vdb record key: 03"));
  const std::vector<std::string> lines = capture_.lines();
  auto at = [&](const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return i;
    }
    return lines.size();
  };
  EXPECT_LT(at("vdb name to id mapping: 'main_vdb' -> 1"), at("'two' -> 2"));
  EXPECT_LT(at("'two' -> 2"), at("vdb name to id mapping: 'three-hundred' -> 300"));
}

TEST_F(VDbRegistryTest, CreatedVdbIsStoredWithItsTransactionLog) {
  auto vdbs = Start();
  ASSERT_TRUE(vdbs->AddVDbInfo(64, "sixty-four", CreateLog(64).get()));
  std::string name;
  EXPECT_TRUE(vdbs->FindName(64, &name));
  EXPECT_EQ(name, "sixty-four");
  DbAccess::Records records = All(db_.get());
  ASSERT_EQ(records.size(), 3u);  // the unit, main_vdb, the new vdb
  EXPECT_EQ(records[0].first, std::string("\x01\x04\x01\x00", 4));
  EXPECT_EQ(records[2], DbAccess::Record(std::string("\x03\x40\x40", 3), "sixty-four"));
  EXPECT_EQ(txn_log_->current_log_size(), records[0].first.size() + records[0].second.size());

  // Reusing an id renames it; the old name keeps pointing at it.
  ASSERT_TRUE(vdbs->AddVDbInfo(64, "renamed", nullptr));
  EXPECT_EQ(vdbs->vdb_id_to_name().at(64), "renamed");
  EXPECT_EQ(vdbs->vdb_name_to_id().at("sixty-four"), 64u);
  vdbs->RemoveVDbInfo(64);
  EXPECT_FALSE(vdbs->FindName(64, &name));
  EXPECT_EQ(vdbs->vdb_name_to_id().count("renamed"), 0u);
}

TEST_F(VDbRegistryTest, CreatedVdbIsSyncedAndSurvivesARestart) {
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  {
    auto vdbs = Start();
    const int syncs = env.log_syncs();
    ASSERT_TRUE(vdbs->AddVDbInfo(2, "second", CreateLog(2).get()));
    EXPECT_EQ(env.log_syncs(), syncs + 1);
  }
  db_.reset();
  db_ = OpenDb(&env);
  auto vdbs = Start();
  EXPECT_EQ(vdbs->vdb_id_to_name(), VdbMap({{1, "main_vdb"}, {2, "second"}}));
  uint16_t id = 0;
  EXPECT_TRUE(vdbs->FindId("second", &id));
  EXPECT_EQ(id, 2u);
  db_.reset();
}

TEST_F(VDbRegistryTest, ARecordIsDeletedSyncedAndOnlyUnderItsOwnName) {
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  auto vdbs = Start();
  ASSERT_TRUE(vdbs->AddVDbInfo(2, "second", nullptr));
  const DbAccess::Record record(std::string("\x03\x02", 2), "second");
  const Status mismatch = vdbs->DeleteVDbInfo(2, "other");
  EXPECT_FALSE(mismatch.ok());
  EXPECT_EQ(All(db_.get()).back(), record);

  const int syncs = env.log_syncs();
  EXPECT_TRUE(vdbs->DeleteVDbInfo(2, "second").ok());
  EXPECT_EQ(env.log_syncs(), syncs + 1);
  EXPECT_EQ(All(db_.get()), DbAccess::Records({{std::string("\x03\x01", 2), "main_vdb"}}));
  EXPECT_TRUE(vdbs->DeleteVDbInfo(2, "second").ok());  // gone already
  EXPECT_EQ(vdbs->vdb_id_to_name().count(2), 1u);     // the maps are the caller's
  db_.reset();
}

TEST_F(VDbRegistryTest, AClosedVdbKeepsItsNameAndIdButIsNotInUse) {
  auto vdbs = Start();
  ASSERT_TRUE(vdbs->AddVDbInfo(2, "second", nullptr));
  EXPECT_TRUE(vdbs->InUse(2));
  EXPECT_FALSE(vdbs->InUse(3));
  EXPECT_FALSE(vdbs->InUse(65536 + 2));  // wider than an id
  vdbs->Close(2);
  EXPECT_FALSE(vdbs->InUse(2));
  uint16_t id = 0;
  EXPECT_TRUE(vdbs->FindId("second", &id));
  ASSERT_TRUE(vdbs->FindFreeId(0, &id).ok());
  EXPECT_EQ(id, 3u);
  vdbs->Reopen(2);
  EXPECT_TRUE(vdbs->InUse(2));
  vdbs->Close(2);
  vdbs->RemoveVDbInfo(2);
  EXPECT_FALSE(vdbs->IsClosed(2));
  ASSERT_TRUE(vdbs->AddVDbInfo(2, "again", nullptr));
  EXPECT_TRUE(vdbs->InUse(2));
}

TEST_F(VDbRegistryTest, NamesAreLettersDigitsUnderscoresAndDashes) {
  for (const char* name : {"a", "main_vdb", "Tenant-7_b", "0", "-", "_"}) {
    EXPECT_TRUE(VDbRegistry::IsValidName(name)) << name;
  }
  for (const std::string& name :
       {std::string(), std::string("a b"), std::string("a.b"), std::string("a\nb"),
        std::string("\xC3\xA9"), std::string("a\0b", 3), std::string("a/b")}) {
    EXPECT_FALSE(VDbRegistry::IsValidName(name)) << name;
  }
}

TEST_F(VDbRegistryTest, FreeIdsAreTakenSmallestFirstFromTwo) {
  auto vdbs = Start();
  uint16_t id = 0;
  ASSERT_TRUE(vdbs->FindFreeId(0, &id).ok());
  EXPECT_EQ(id, 2u);
  for (uint16_t used : {2, 3, 5}) {
    ASSERT_TRUE(vdbs->AddVDbInfo(used, "v" + std::to_string(used), nullptr));
  }
  for (uint16_t limit : {0, 1, 4, 100, 65535}) {
    id = 0;
    ASSERT_TRUE(vdbs->FindFreeId(limit, &id).ok()) << limit;
    EXPECT_EQ(id, 4u) << limit;
  }
  ASSERT_TRUE(vdbs->AddVDbInfo(4, "v4", nullptr));
  ASSERT_TRUE(vdbs->FindFreeId(0, &id).ok());
  EXPECT_EQ(id, 6u);
  // A freed id is given again before any larger one.
  vdbs->RemoveVDbInfo(3);
  ASSERT_TRUE(vdbs->FindFreeId(0, &id).ok());
  EXPECT_EQ(id, 3u);
}

TEST_F(VDbRegistryTest, NoFreeIdUpToTheLimitIsResourceExhausted) {
  auto vdbs = Start();
  ASSERT_TRUE(vdbs->AddVDbInfo(2, "two", nullptr));
  ASSERT_TRUE(vdbs->AddVDbInfo(3, "three", nullptr));
  ASSERT_TRUE(vdbs->AddVDbInfo(9, "nine", nullptr));
  uint16_t id = 77;
  // Free ids above the limit do not count.
  EXPECT_EQ(vdbs->FindFreeId(3, &id), Status::ResourceExhausted("No more vdb ids available"));
  EXPECT_EQ(id, 77u);
  EXPECT_EQ(vdbs->FindFreeId(2, &id), Status::ResourceExhausted("No more vdb ids available"));
  ASSERT_TRUE(vdbs->FindFreeId(4, &id).ok());
  EXPECT_EQ(id, 4u);
}

TEST_F(VDbRegistryTest, EveryIdInUseIsResourceExhaustedWhateverTheLimit) {
  // Every id but 65535, then that one too: the search must not wrap to 0 or 1.
  DbAccess::Records records;
  for (uint32_t id = 1; id < 65535; ++id) {
    std::string key = kVDbInfoPrefix;
    AppendCompactUint16(&key, static_cast<uint16_t>(id));
    records.emplace_back(key, "v" + std::to_string(id));
  }
  PutAll(db_.get(), records);
  auto vdbs = Start();
  ASSERT_EQ(vdbs->vdb_id_to_name().size(), 65534u);
  uint16_t id = 0;
  ASSERT_TRUE(vdbs->FindFreeId(0, &id).ok());
  EXPECT_EQ(id, 65535u);
  ASSERT_TRUE(vdbs->AddVDbInfo(65535, "last", nullptr));
  for (uint16_t limit : {0, 1, 65535}) {
    EXPECT_EQ(vdbs->FindFreeId(limit, &id), Status::ResourceExhausted("No more vdb ids available"))
        << limit;
  }
}

TEST_F(VDbRegistryTest, FailedLogLeavesEverythingUnchanged) {
  std::string key = kTxnLogPrefix + std::string("\x01\x02\x00", 3);  // 1 of 2 units
  PutAll(db_.get(), {{key, std::string(100, 'v')}, {std::string("\x03\x01", 2), "main_vdb"}});
  auto vdbs = Start(20);
  EXPECT_FALSE(vdbs->AddVDbInfo(9, "nine", CreateLog(9).get()));
  EXPECT_TRUE(HasLine("ERROR", "DRX0501", "Computing transaction log updates failed."));
  std::string name;
  EXPECT_FALSE(vdbs->FindName(9, &name));
  EXPECT_EQ(All(db_.get()).size(), 2u);
}

TEST_F(VDbRegistryTest, FailedWriteLeavesTheMapsAndTheLogSizeUnchanged) {
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);
  auto vdbs = Start();
  FailNextWrite(db_.get(), &env);
  const uint64_t log_size = txn_log_->current_log_size();
  EXPECT_FALSE(vdbs->AddVDbInfo(9, "nine", CreateLog(9).get()));
  EXPECT_EQ(txn_log_->current_log_size(), log_size);  // no unit was stored
  EXPECT_TRUE(HasLine("ERROR", "DRX0604",
                      "DbAccess error in TarnixServer::AddVDbInfo(): Corruption: injected. "
                      "Unable to persist vdb_id to disk."));
  EXPECT_EQ(vdbs->vdb_id_to_name(), VdbMap({{1, "main_vdb"}}));
  EXPECT_EQ(vdbs->vdb_name_to_id().size(), 1u);
  db_.reset();
}

}  // namespace
}  // namespace tarnix

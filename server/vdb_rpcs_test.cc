#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/compact_uint.h"
#include "server/service_test_util.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::Channel;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kDevice1[] = "\x0a\x02\x08\x01";  // id { left: 1 }

// The data service over plaintext loopback, on a database whose syncs are
// counted.
class VDbRpcsTest : public testing::DataServiceTest {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    db_.reset();
    db_ = OpenDb(&env_);
  }

  // Stops the service and the database and starts both again.
  void Restart() {
    StopServing();
    db_.reset();
    db_ = OpenDb(&env_);
    Serve();
  }

  grpc::Status Create(const std::string& name, tx::CreateVDbResponseMsg* response,
                      const std::string& client_id = "tarnix-cli") {
    tx::CreateVDbRequestMsg request;
    request.set_vdb_name(name);
    return Create(request, response, client_id);
  }
  grpc::Status Create(const tx::CreateVDbRequestMsg& request, tx::CreateVDbResponseMsg* response,
                      const std::string& client_id = "tarnix-cli") {
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/CreateVDb", client_id, request, response);
  }
  // The id CreateVDb hands out for `name`; 0 when it fails.
  uint32_t CreatedId(const std::string& name) {
    tx::CreateVDbResponseMsg response;
    const grpc::Status status = Create(name, &response);
    EXPECT_TRUE(status.ok()) << name << ": " << status.error_message();
    return status.ok() ? response.vdb_id() : 0;
  }
  grpc::Status Delete(const tx::DeleteVDbRequestMsg& request,
                      const std::string& client_id = "tarnix-cli") {
    tx::DeleteVDbResponseMsg response;
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/DeleteVDb", client_id, request, &response);
  }
  grpc::Status Delete(const std::string& name, const std::string& client_id = "tarnix-cli") {
    tx::DeleteVDbRequestMsg request;
    request.set_vdb_name(name);
    return Delete(request, client_id);
  }
  grpc::Status GetIds(const std::vector<std::string>& names, tx::GetVDbIdResponseMsg* response,
                      const std::string& client_id = "tarnix-cli") {
    tx::GetVDbIdRequestMsg request;
    for (const std::string& name : names) request.add_vdb_names(name);
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/GetVDbId", client_id, request, response);
  }
  // "name=id" of each entry, in order.
  std::vector<std::string> Listed(const std::vector<std::string>& names) {
    tx::GetVDbIdResponseMsg response;
    EXPECT_TRUE(GetIds(names, &response).ok());
    std::vector<std::string> listed;
    for (const tx::VDbMsg& vdb : response.vdbs()) {
      listed.push_back(vdb.vdb_name() + "=" + std::to_string(vdb.vdb_id()));
    }
    return listed;
  }
  // Stores vdb records as a former run left them.
  void StoreVdbs(const std::vector<std::pair<uint16_t, std::string>>& vdbs) {
    DbAccess::Records records;
    for (const auto& vdb : vdbs) {
      std::string key = kVDbInfoPrefix;
      AppendCompactUint16(&key, vdb.first);
      records.emplace_back(key, vdb.second);
    }
    PutAll(db_.get(), records);
  }
  grpc::Status PutDevice(uint32_t vdb) {
    tx::PutRequestMsg request;
    tx::PutMsg* put = request.add_puts();
    schema_.types().SetObjectType(kDevice, put->mutable_object());
    put->mutable_object()->set_object_body(kDevice1);
    put->add_vdb_ids(vdb);
    return testing::CallClientStream(Channel(server_->address(), nullptr),
                                     "/caldek.orv.tarnix.Tarnix/Put", "tarnix-cli",
                                     std::list<tx::PutRequestMsg>{request});
  }
  grpc::Status GetDevice(uint32_t vdb, std::vector<tx::GetResponseMsg>* responses) {
    tx::GetRequestMsg request;
    tx::TypedObjectMsg* selector = request.add_objects();
    schema_.types().SetObjectType(kDevice, selector);
    selector->set_object_body(kDevice1);
    request.set_vdb_id(vdb);
    return testing::CallServerStream(Channel(server_->address(), nullptr),
                                     "/caldek.orv.tarnix.Tarnix/Get", "tarnix-cli", request,
                                     responses);
  }
  // The body of device 1 in `vdb`, "" when it holds none.
  std::string GetDevice(uint32_t vdb) {
    std::vector<tx::GetResponseMsg> responses;
    const grpc::Status status = GetDevice(vdb, &responses);
    EXPECT_TRUE(status.ok()) << status.error_message();
    std::string body;
    for (const auto& response : responses) {
      for (const auto& object : response.objects()) body += object.object_body();
    }
    return body;
  }

  FaultEnv env_;
};

TEST_F(VDbRpcsTest, CreateVDbRefusesCallersAndNamesBeforeTakingATransactionId) {
  Serve();
  tx::CreateVDbResponseMsg response;
  grpc::Status status = Create("tenant", &response, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "Unable to authenticate client. Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "CreateVDb failed: Unable to authenticate client. Missing client id."));

  status = Create("tenant", &response, "inventory-agent");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "inventory-agent does not have permission to create VDb");

  status = Create(tx::CreateVDbRequestMsg(), &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Missing VDB name.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0601", "CreateVDb failed: Missing VDB name."));
  for (const char* name : {"", "a b", "tenant.1"}) {
    status = Create(name, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << name;
    EXPECT_EQ(status.error_message(), "Invalid VDB name") << name;
  }
  EXPECT_TRUE(HasLine("ERROR", "DRX0601", "CreateVDb failed: Invalid VDB name"));
  status = Create("main_vdb", &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "Attempt to create main VDB");

  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1"}));
}

TEST_F(VDbRpcsTest, CreateVDbTakesTheSmallestFreeIdAndRefusesANameInUse) {
  StoreVdbs({{1, "main_vdb"}, {2, "two"}, {3, "three"}, {5, "five"}});
  Serve();
  EXPECT_EQ(CreatedId("four"), 4u);
  EXPECT_TRUE(HasLine("INFO", "", "CreateVDb: Client ID=tarnix-cli four"));
  tx::CreateVDbResponseMsg response;
  const grpc::Status status = Create("four", &response, "vdb-manager");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::ALREADY_EXISTS);
  EXPECT_EQ(status.error_message(), "supplied vdb_name is already in use");
  EXPECT_TRUE(HasLine("ERROR", "DRX0602",
                      "CreateVDb failed: vdb_name = 'four' has a vdb_id already allocated."));
  EXPECT_EQ(data_->txn_ids().txn_id(), 1u);
  EXPECT_EQ(CreatedId("six"), 6u);
  EXPECT_EQ(Listed({}), std::vector<std::string>(
                            {"main_vdb=1", "two=2", "three=3", "four=4", "five=5", "six=6"}));
}

TEST_F(VDbRpcsTest, NoFreeIdUpToTheLimitIsResourceExhaustedAndUsesATransactionId) {
  StoreVdbs({{1, "main_vdb"}, {2, "two"}, {3, "three"}, {7, "seven"}});
  max_vdb_id_ = 3;
  Serve();
  tx::CreateVDbResponseMsg response;
  const grpc::Status status = Create("more", &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
  EXPECT_EQ(status.error_message(), "No more vdb ids available");
  EXPECT_TRUE(HasLine("INFO", "", "TarnixServer::CreateVDb(): Resource exhausted"));
  EXPECT_EQ(data_->txn_ids().txn_id(), 1u);
  EXPECT_EQ(Listed({"more"}), std::vector<std::string>());
}

TEST_F(VDbRpcsTest, ACreatedVdbIsSyncedLoggedTakesWritesAndSurvivesARestart) {
  Serve();
  const int syncs = env_.log_syncs();
  EXPECT_EQ(CreatedId("tenant"), 2u);
  EXPECT_GT(env_.log_syncs(), syncs);  // before the answer
  // Its transaction is in the log.
  DbAccess::Records units;
  ASSERT_TRUE(db_->PrefixFilter(nullptr, kTxnLogPrefix, &units).ok());
  ASSERT_EQ(units.size(), 1u);
  tx::TransactionLogUnitMsg unit;
  ASSERT_TRUE(unit.ParseFromString(units[0].second));
  EXPECT_NE(unit.ShortDebugString().find("tenant"), std::string::npos) << unit.ShortDebugString();

  ASSERT_TRUE(PutDevice(2).ok());
  EXPECT_EQ(GetDevice(2), kDevice1);
  EXPECT_EQ(GetDevice(1), "");

  Restart();
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1", "tenant=2"}));
  EXPECT_EQ(GetDevice(2), kDevice1);
  ASSERT_TRUE(PutDevice(2).ok());
  EXPECT_EQ(CreatedId("other"), 3u);
}

TEST_F(VDbRpcsTest, GetVDbIdAnswersTheNamesAskedForInRequestOrder) {
  StoreVdbs({{1, "main_vdb"}, {2, "two"}, {300, "many"}});
  Serve();
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1", "two=2", "many=300"}));
  EXPECT_TRUE(HasLine("INFO", "", "GetVDbId: All VDbs"));
  EXPECT_EQ(Listed({"many", "nope", "main_vdb", "many"}),
            std::vector<std::string>({"many=300", "main_vdb=1", "many=300"}));
  EXPECT_TRUE(HasLine("INFO", "", "GetVDbId: many, nope, main_vdb, many, "));
  EXPECT_EQ(Listed({"nope"}), std::vector<std::string>());
  EXPECT_TRUE(HasLine("INFO", "", "GetVDbId: Requested VDb names did not match any existing VDbs"));

  // Any client may ask; one without id may not.
  tx::GetVDbIdResponseMsg response;
  EXPECT_TRUE(GetIds({"two"}, &response, "guest").ok());
  EXPECT_EQ(response.vdbs_size(), 1);
  const grpc::Status status = GetIds({}, &response, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "GetVDbId failed: Unable to authenticate client. Missing client id."));
}

TEST_F(VDbRpcsTest, DeleteVDbRefusesCallersAndNamesBeforeTakingATransactionId) {
  StoreVdbs({{1, "main_vdb"}, {2, "tenant"}});
  Serve();
  grpc::Status status = Delete("tenant", "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "DeleteVDb failed: Unable to authenticate client. Missing client id."));
  status = Delete("tenant", "inventory-agent");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "inventory-agent does not have permission to delete VDb");

  const auto refused = [&](const tx::DeleteVDbRequestMsg& request, grpc::StatusCode code,
                           const std::string& text) {
    const grpc::Status status = Delete(request);
    EXPECT_EQ(status.error_code(), code) << text;
    EXPECT_EQ(status.error_message(), text);
  };
  refused(tx::DeleteVDbRequestMsg(), grpc::StatusCode::INVALID_ARGUMENT, "Missing vdb_name.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0601", "DeleteVDb failed: Missing vdb_name."));
  tx::DeleteVDbRequestMsg request;
  for (const char* name : {"", "a b"}) {
    request.set_vdb_name(name);
    refused(request, grpc::StatusCode::INVALID_ARGUMENT, "Invalid VDB name");
  }
  request.set_vdb_name("main_vdb");
  refused(request, grpc::StatusCode::INVALID_ARGUMENT, "Attempt to delete main VDb");
  request.set_vdb_name("nope");
  refused(request, grpc::StatusCode::FAILED_PRECONDITION, "supplied vdb_name is not yet in use");
  EXPECT_TRUE(HasLine("ERROR", "DRX0605",
                      "DeleteVDb failed: vdb_name = 'nope' has no vdb_id allocated."));

  EXPECT_EQ(data_->txn_ids().txn_id(), 0u);
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1", "tenant=2"}));
}

TEST_F(VDbRpcsTest, AVdbBeingDeletedIsClosedUntilItsFlushIsSyncedThenGoneForGood) {
  start_syncer_ = true;
  Serve();
  ASSERT_EQ(CreatedId("tenant"), 2u);
  ASSERT_TRUE(PutDevice(2).ok());
  ASSERT_EQ(GetDevice(2), kDevice1);

  SyncGate gate;
  env_.SetLogSyncHook(gate.Hook());
  grpc::Status deleted;
  std::thread deleting([&] { deleted = Delete("tenant"); });
  gate.WaitForSync();  // the flush is written and waits for its sync
  grpc::Status status = PutDevice(2);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "vdb_id=2 not found");
  std::vector<tx::GetResponseMsg> responses;
  status = GetDevice(2, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
  status = Delete("tenant");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "supplied vdb_name is being deleted");
  // Neither its name nor its id is free yet.
  EXPECT_EQ(Listed({"tenant"}), std::vector<std::string>({"tenant=2"}));
  gate.Open();
  deleting.join();
  env_.SetLogSyncHook(nullptr);
  ASSERT_TRUE(deleted.ok()) << deleted.error_message();
  EXPECT_TRUE(HasLine("INFO", "", "DeleteVDb: Client ID=tarnix-cli tenant"));
  EXPECT_TRUE(HasLine("INFO", "", "Deleting VDb: vdb_name = 'tenant', vdb_id = 2"));
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1"}));
  EXPECT_EQ(PutDevice(2).error_code(), grpc::StatusCode::FAILED_PRECONDITION);

  // One logged transaction: the request, the flush and the object it removed.
  DbAccess::Records units;
  ASSERT_TRUE(db_->PrefixFilter(nullptr, kTxnLogPrefix, &units).ok());
  bool logged = false;
  for (const auto& record : units) {
    tx::TransactionLogUnitMsg unit;
    ASSERT_TRUE(unit.ParseFromString(record.second));
    if (!unit.has_delete_vdb_request()) continue;
    logged = true;
    EXPECT_EQ(unit.delete_vdb_request().vdb_name(), "tenant");
    EXPECT_EQ(std::vector<uint32_t>(unit.vdb_ids().begin(), unit.vdb_ids().end()),
              std::vector<uint32_t>({2}));
  }
  EXPECT_TRUE(logged);
  tx::TransactionLogUnitMsg last;
  ASSERT_TRUE(last.ParseFromString(units.back().second));
  EXPECT_TRUE(last.has_flush_request()) << last.ShortDebugString();

  Restart();
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1"}));
  EXPECT_EQ(CreatedId("again"), 2u);
  EXPECT_EQ(GetDevice(2), "");  // the old objects went with the old vdb
}

TEST_F(VDbRpcsTest, AFailedRecordDeleteLeavesTheVdbInUseAndARetryFinishesIt) {
  start_syncer_ = true;
  Serve();
  ASSERT_EQ(CreatedId("tenant"), 2u);
  ASSERT_TRUE(PutDevice(2).ok());
  // The flush's own sync goes through; the record delete after it fails.
  std::atomic<bool> armed{false};
  env_.SetLogSyncHook([&] {
    if (!armed.exchange(true)) env_.FailLogAppends(true, leveldb::Status::Corruption("injected"));
  });
  grpc::Status status = Delete("tenant");
  env_.FailLogAppends(false);
  env_.SetLogSyncHook(nullptr);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(status.error_message(), "DbAccess Delete() failure");
  EXPECT_TRUE(HasLine("INFO", "",
                      "DbAccess error in TarnixServer::DeleteVDb(): Corruption: injected. Unable "
                      "to remove vdb_id from disk."));
  EXPECT_FALSE(HasLine("INFO", "", "Deleting VDb: vdb_name = 'tenant'"));
  // The flush stays; the vdb is there and open again.
  EXPECT_EQ(Listed({"tenant"}), std::vector<std::string>({"tenant=2"}));
  EXPECT_EQ(GetDevice(2), "");
  ASSERT_TRUE(PutDevice(2).ok());

  ASSERT_TRUE(Delete("tenant").ok());
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1"}));
}

TEST_F(VDbRpcsTest, AFailedSyncOfTheFlushFailsTheDeleteAndLaterVdbChanges) {
  start_syncer_ = true;
  Serve();
  ASSERT_EQ(CreatedId("tenant"), 2u);
  ASSERT_TRUE(PutDevice(2).ok());
  env_.FailLogSyncs(true);
  const grpc::Status status = Delete("tenant");
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.error_message().find("Syncing the database log failed"), std::string::npos)
      << status.error_message();
  bool logged = false;
  for (const std::string& line : capture_.lines()) {
    logged |= line.find("] Delete VDb: flush processing failed with ") != std::string::npos &&
              line.find(status.error_message()) != std::string::npos;
  }
  EXPECT_TRUE(logged);
  EXPECT_FALSE(HasLine("INFO", "", "Deleting VDb: "));
  env_.FailLogSyncs(false);
  // The record stays; no vdb change succeeds after a failed sync.
  EXPECT_EQ(Listed({"tenant"}), std::vector<std::string>({"tenant=2"}));
  EXPECT_EQ(Delete("tenant").error_code(), status.error_code());
  tx::CreateVDbResponseMsg response;
  EXPECT_EQ(Create("other", &response).error_code(), status.error_code());
  EXPECT_EQ(Listed({}), std::vector<std::string>({"main_vdb=1", "tenant=2"}));
}

}  // namespace
}  // namespace tarnix

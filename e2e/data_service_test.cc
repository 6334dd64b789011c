// The data service of a running daemon: the seven write streams, Get, the
// transaction log, a restart on the same database, refusals and health.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";
constexpr char kMissingClientId[] = "Unable to authenticate client. Missing client id.";

// One transaction of the log: its id, client and the kinds of request units
// it holds ("put", "patch", ...), in unit order.
struct LoggedTxn {
  uint64_t id;
  std::string client;
  std::vector<std::string> requests;
};

std::vector<LoggedTxn> Transactions(const std::vector<tx::TransactionLogUnitMsg>& units) {
  std::vector<LoggedTxn> txns;
  for (const tx::TransactionLogUnitMsg& unit : units) {
    if (unit.has_txn_id()) txns.push_back({unit.txn_id(), unit.client(), {}});
    if (txns.empty()) continue;
    std::vector<std::string>& requests = txns.back().requests;
    if (unit.has_put_request()) requests.push_back("put");
    if (unit.has_delete_request()) requests.push_back("delete");
    if (unit.has_flush_request()) requests.push_back("flush");
    if (unit.has_patch_request()) requests.push_back("patch");
    if (unit.has_copy_request()) requests.push_back("copy");
    if (unit.has_flush_by_block_id_request()) requests.push_back("flush_by_block_id");
    if (unit.has_modify_request()) requests.push_back("modify");
  }
  return txns;
}

using EntryLists = std::vector<std::vector<std::string>>;

std::vector<LoggedTxn> TransactionsOf(const std::string& client,
                                      const std::vector<LoggedTxn>& txns) {
  std::vector<LoggedTxn> of_client;
  for (const LoggedTxn& txn : txns) {
    if (txn.client == client) of_client.push_back(txn);
  }
  return of_client;
}

class DataServiceTest : public ::testing::Test {
 protected:
  std::string Database() const { return dir_.path() + "/db"; }

  std::string Interface(const std::string& name, int device) {
    return schema_.Body("InterfaceMsg", "name { string: '" + name + "' } device_id { left: " +
                                            std::to_string(device) + " }");
  }
  std::string Address(const std::string& extra) {
    return schema_.Body("AddressMsg", "ip: '10.0.0.1' " + extra);
  }

  // Each entry of `responses`, response by response: "<type id>" for a
  // type-only entry, else "<type id> <body>".
  static EntryLists Entries(const std::vector<tx::GetResponseMsg>& responses) {
    EntryLists entries;
    for (const tx::GetResponseMsg& response : responses) {
      entries.emplace_back();
      for (const tx::TypedObjectMsg& object : response.objects()) {
        std::string entry = std::to_string(TypeOf(object));
        if (object.has_object_body()) entry += " " + object.object_body();
        entries.back().push_back(entry);
      }
    }
    return entries;
  }
  static std::string Entry(int type, const std::string& body) {
    return std::to_string(type) + " " + body;
  }

  static grpc::Status LoadSchema(const ServingDaemon& daemon, const std::string& path,
                                 tx::LoadSchemaResponseMsg* loaded) {
    std::unique_ptr<tx::TarnixOps::Stub> ops = tx::TarnixOps::NewStub(daemon.channel());
    grpc::ClientContext context;
    PrepareCall("", &context);
    tx::LoadSchemaRequestMsg load;
    load.set_schema_path(path);
    return ops->LoadSchema(&context, load, loaded);
  }

  std::vector<LoggedTxn> Log(TarnixClient* client) {
    std::vector<tx::TransactionLogUnitMsg> units;
    EXPECT_TRUE(client->GetTransactionLog(kWriter, &units).ok());
    return Transactions(units);
  }

  TempDir dir_;
  ExampleSchema schema_;
};

TEST_F(DataServiceTest, SevenWriteStreamsThenGetAndLogSurviveRestart) {
  std::vector<LoggedTxn> logged;
  {
    ServingDaemon daemon(dir_.path(), Database());
    ASSERT_TRUE(daemon.serving());
    TarnixClient client(daemon.channel());

    tx::PutRequestMsg put;
    put.set_sync(true);
    *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(1, "alpha"));
    *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(2, "beta"));
    *put.add_puts()->mutable_object() = Typed(kInterfaceType, Interface("alpha/1", 1));
    *put.add_puts()->mutable_object() = Typed(kAddressType, Address(""));
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());

    tx::PatchRequestMsg patch;
    tx::PatchMsg* patch_entry = patch.add_patches();
    patch_entry->mutable_unknown_fields()->AddVarint(tx::PatchMsg::kObjectTypeFieldNumber,
                                                     kAddressType);
    patch_entry->set_object_value(Address("prefix_length: 24"));
    patch_entry->set_op_msg(schema_.Body("AddressOpMsg", "prefix_length { op: SET }"));
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Patch, kWriter, {patch}).ok());

    tx::CopyRequestMsg copy;
    *copy.add_copies()->mutable_object() = Typed(kDeviceType, schema_.Device(1, ""));
    copy.mutable_copies(0)->add_vdb_ids(1);
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Copy, kWriter, {copy}).ok());

    tx::FlushRequestMsg flush;
    flush.add_flushes()->mutable_unknown_fields()->AddVarint(tx::FlushMsg::kObjectTypeFieldNumber,
                                                             kInterfaceType);
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Flush, kWriter, {flush}).ok());

    // Blocks 1 to 3 are the low, medium and high update frequencies: block
    // 1 holds the devices, the writer's only low-frequency type.
    tx::FlushByBlockIdRequestMsg block_flush;
    AddBlockFlush(1, &block_flush);
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::FlushByBlockId, kWriter, {block_flush}).ok());

    tx::ModifyRequestMsg modify;
    *modify.add_modifies()->mutable_put_msg()->mutable_object() =
        Typed(kDeviceType, schema_.Device(3, "gamma"));
    *modify.add_modifies()->mutable_put_msg()->mutable_object() =
        Typed(kDeviceType, schema_.Device(4, "delta"));
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Modify, kWriter, {modify}).ok());

    tx::DeleteRequestMsg del;
    *del.add_deletes()->mutable_object() = Typed(kDeviceType, schema_.Device(4, ""));
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Delete, kWriter, {del}).ok());

    // By id: a live device, a flushed one, the patched address; by type:
    // the devices (device 3 already answered) and the flushed interfaces.
    tx::GetRequestMsg get;
    get.set_vdb_id(1);
    *get.add_objects() = Typed(kDeviceType, schema_.Device(3, ""));
    *get.add_objects() = Typed(kDeviceType, schema_.Device(1, ""));
    *get.add_objects() = Typed(kAddressType, Address(""));
    *get.add_objects() = Typed(kDeviceType, "", false);
    *get.add_objects() = Typed(kInterfaceType, "", false);
    std::vector<tx::GetResponseMsg> responses;
    ASSERT_TRUE(client.Get(kWriter, get, &responses).ok());
    EXPECT_EQ(Entries(responses),
              (EntryLists{{Entry(kDeviceType, schema_.Device(3, "gamma")),
                           std::to_string(kDeviceType),
                           Entry(kAddressType, Address("prefix_length: 24"))},
                          {std::to_string(kInterfaceType)}}));

    logged = TransactionsOf(kWriter, Log(&client));
    std::vector<std::string> kinds;
    for (size_t i = 0; i < logged.size(); ++i) {
      kinds.insert(kinds.end(), logged[i].requests.begin(), logged[i].requests.end());
      if (i > 0) {
        EXPECT_GT(logged[i].id, logged[i - 1].id);
      }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"put", "patch", "copy", "flush",
                                               "flush_by_block_id", "modify", "delete"}));
    EXPECT_EQ(daemon.Stop(), 0);
  }

  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());
  EXPECT_EQ(Entries(client.GetAll(kWriter, kDeviceType)),
            (EntryLists{{Entry(kDeviceType, schema_.Device(3, "gamma"))}}));

  const std::vector<LoggedTxn> kept = TransactionsOf(kWriter, Log(&client));
  ASSERT_EQ(kept.size(), logged.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].id, logged[i].id);
  }

  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(5, "epsilon"));
  ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
  const std::vector<LoggedTxn> after = TransactionsOf(kWriter, Log(&client));
  ASSERT_EQ(after.size(), logged.size() + 1);
  EXPECT_GT(after.back().id, logged.back().id);
  EXPECT_EQ(daemon.Stop(), 0);
}

TEST_F(DataServiceTest, RefusesCallersWithoutClientIdOrRights) {
  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());
  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(1, "alpha"));
  tx::GetRequestMsg get;
  *get.add_objects() = Typed(kDeviceType, "", false);
  std::vector<tx::GetResponseMsg> responses;

  grpc::Status status = client.Write(&tx::Tarnix::Stub::Put, "", {put});
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), kMissingClientId);
  status = client.Get("", get, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), kMissingClientId);

  status = client.Write(&tx::Tarnix::Stub::Put, "guest", {put});
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  status = client.Get("guest", get, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "guest does not have read permission for caldek.orv.tarnix.DeviceMsg");

  // 65537 is vdb 1 in its low 16 bits: it must not read vdb 1.
  get.set_vdb_id(65537);
  status = client.Get(kWriter, get, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
  EXPECT_TRUE(responses.empty());

  // The log asks for no client id; the refused writes left nothing in it.
  std::vector<tx::TransactionLogUnitMsg> units;
  ASSERT_TRUE(client.GetTransactionLog("", &units).ok());
  EXPECT_TRUE(TransactionsOf("guest", Transactions(units)).empty());
  EXPECT_TRUE(TransactionsOf("", Transactions(units)).empty());
  EXPECT_EQ(daemon.Stop(), 0);
}

// A daemon whose schema file does not load starts, but must not acknowledge
// writes it cannot store: they are refused and nothing reaches the log.
TEST_F(DataServiceTest, WithoutASchemaWritesAreRefusedUntilOneIsLoaded) {
  ServingDaemon daemon(dir_.path(), Database(), {"--schema=/nonexistent"});
  ASSERT_TRUE(daemon.serving());
  TarnixClient client(daemon.channel());
  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(1, "alpha"));
  grpc::Status status = client.Write(&tx::Tarnix::Stub::Put, kWriter, {put, put});
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "No schema loaded");
  tx::DeleteRequestMsg remove;
  *remove.add_deletes()->mutable_object() = Typed(kDeviceType, schema_.Device(1, ""));
  status = client.Write(&tx::Tarnix::Stub::Delete, kWriter, {remove});
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  std::vector<tx::TransactionLogUnitMsg> units;
  ASSERT_TRUE(client.GetTransactionLog("", &units).ok());
  EXPECT_TRUE(units.empty());

  // Once a schema with object types is loaded, writes are stored.
  tx::LoadSchemaResponseMsg loaded;
  ASSERT_TRUE(LoadSchema(daemon, TARNIX_EXAMPLE_SCHEMA, &loaded).ok());
  EXPECT_TRUE(loaded.loaded());
  ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
  EXPECT_EQ(TransactionsOf(kWriter, Log(&client)).size(), 1u);
  EXPECT_EQ(daemon.Stop(), 0);
}

// In plaintext any caller may reload the schema: a descriptor set without
// object types would make every later write vanish, so it is refused and
// the schema in force stays.
TEST_F(DataServiceTest, LoadSchemaRefusesADescriptorSetWithoutObjectTypes) {
  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  google::protobuf::FileDescriptorSet unrelated;
  google::protobuf::FileDescriptorProto* file = unrelated.add_file();
  file->set_name("unrelated.proto");
  file->set_package("caldek.orv.tarnix");
  file->add_message_type()->set_name("UnrelatedMsg");
  const std::string path = dir_.path() + "/unrelated.pb";
  {
    std::ofstream out(path, std::ios::binary);
    ASSERT_TRUE(unrelated.SerializeToOstream(&out));
  }
  tx::LoadSchemaResponseMsg loaded;
  const grpc::Status status = LoadSchema(daemon, path, &loaded);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(),
            "Schema file " + path + " defines no object type; the loaded schema stays in force");

  TarnixClient client(daemon.channel());
  tx::PutRequestMsg put;
  *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(1, "alpha"));
  ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
  EXPECT_EQ(Entries(client.GetAll(kWriter, kDeviceType)),
            (EntryLists{{Entry(kDeviceType, schema_.Device(1, "alpha"))}}));
  EXPECT_EQ(daemon.Stop(), 0);
}

TEST_F(DataServiceTest, HealthReportsServingForTheServerAndBothServices) {
  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  for (const char* service : {"", "caldek.orv.tarnix.Tarnix", "caldek.orv.tarnix.TarnixOps"}) {
    EXPECT_EQ(HealthStatus(daemon.channel(), service, kCallTimeout), 1) << service;
  }
  EXPECT_EQ(daemon.Stop(), 0);
}

// The Python example client, once, so that it cannot rot.
TEST_F(DataServiceTest, PythonExampleClientPutsGetsAndQueriesADevice) {
  // Debian's grpc modules are installed for the system interpreter.
  const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "";
  ASSERT_FALSE(python.empty()) << "python3 not found (scripts/install-deps installs it)";
  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  const std::string run_dir = dir_.path() + "/python";
  ASSERT_EQ(mkdir(run_dir.c_str(), 0700), 0);
  std::string error;
  std::unique_ptr<ChildProcess> python_client = ChildProcess::Spawn(
      run_dir,
      {std::string(TARNIX_SOURCE_DIR) + "/examples/python_client.py", "--address",
       daemon.address(), "--client-id", kWriter},
      &error, python);
  ASSERT_TRUE(python_client) << error;
  EXPECT_EQ(python_client->WaitForExit(std::chrono::seconds(30)), 0)
      << python_client->Stdout() << python_client->Stderr();
  EXPECT_NE(python_client->Stdout().find("hostname: \"example-device\""), std::string::npos)
      << python_client->Stdout();
  EXPECT_NE(python_client->Stdout().find("query model 'tx-1' found 1 DeviceMsg:\n"
                                         "id { left: 42 right: 7 } hostname: \"example-device\""),
            std::string::npos)
      << python_client->Stdout();

  TarnixClient client(daemon.channel());
  const std::vector<tx::GetResponseMsg> responses = client.GetAll(kWriter, kDeviceType);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].objects_size(), 1);
  EXPECT_TRUE(responses[0].objects(0).has_object_body());
  EXPECT_EQ(daemon.Stop(), 0);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

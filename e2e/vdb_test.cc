// Virtual databases and the workflow-tracer configuration of a running
// daemon, across a restart on the same database; deleting a vdb with its
// objects and monitors.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";
constexpr char kWriter[] = "inventory-agent";
constexpr int kAuditType = 13;  // AuditEntryMsg, in no domain

grpc::Status CreateVdb(tx::Tarnix::Stub* stub, const std::string& name, uint32_t* id) {
  grpc::ClientContext context;
  PrepareCall(kAdmin, &context);
  tx::CreateVDbRequestMsg request;
  request.set_vdb_name(name);
  tx::CreateVDbResponseMsg response;
  const grpc::Status status = stub->CreateVDb(&context, request, &response);
  *id = response.vdb_id();
  return status;
}

// "name=id" of every vdb, by ascending id.
std::vector<std::string> AllVdbs(tx::Tarnix::Stub* stub) {
  grpc::ClientContext context;
  PrepareCall(kWriter, &context);
  tx::GetVDbIdResponseMsg response;
  EXPECT_TRUE(stub->GetVDbId(&context, tx::GetVDbIdRequestMsg(), &response).ok());
  std::vector<std::string> vdbs;
  for (const tx::VDbMsg& vdb : response.vdbs()) {
    vdbs.push_back(vdb.vdb_name() + "=" + std::to_string(vdb.vdb_id()));
  }
  return vdbs;
}

class VDbTest : public ::testing::Test {
 protected:
  std::string Database() const { return dir_.path() + "/db"; }

  // The bodies of every device in `vdb`.
  std::vector<std::string> Devices(TarnixClient* client, uint32_t vdb) {
    std::vector<std::string> bodies;
    for (const tx::GetResponseMsg& response : client->GetAll(kWriter, kDeviceType, vdb)) {
      for (const tx::TypedObjectMsg& object : response.objects()) {
        if (object.has_object_body()) bodies.push_back(object.object_body());
      }
    }
    return bodies;
  }
  static tx::WorkFlowTraceConfigMsg TracerConfig(tx::Tarnix::Stub* stub) {
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::GetWorkflowTracerResponseMsg response;
    EXPECT_TRUE(
        stub->GetWorkflowTracer(&context, tx::GetWorkflowTracerRequestMsg(), &response).ok());
    return response.config();
  }

  TempDir dir_;
  ExampleSchema schema_;
};

TEST_F(VDbTest, CreatedVdbTakesWritesAndSurvivesARestart) {
  tx::WorkFlowTraceConfigMsg tracing;
  tracing.set_enable(true);
  tracing.set_trace_level(2);
  {
    ServingDaemon daemon(dir_.path(), Database());
    ASSERT_TRUE(daemon.serving());
    std::unique_ptr<tx::Tarnix::Stub> stub = tx::Tarnix::NewStub(daemon.channel());
    TarnixClient client(daemon.channel());
    EXPECT_EQ(AllVdbs(stub.get()), std::vector<std::string>({"main_vdb=1"}));

    uint32_t id = 0;
    ASSERT_TRUE(CreateVdb(stub.get(), "tenant", &id).ok());
    EXPECT_EQ(id, 2u);
    grpc::Status status = CreateVdb(stub.get(), "tenant", &id);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::ALREADY_EXISTS);
    EXPECT_EQ(status.error_message(), "supplied vdb_name is already in use");
    status = CreateVdb(stub.get(), "main_vdb", &id);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(AllVdbs(stub.get()), std::vector<std::string>({"main_vdb=1", "tenant=2"}));

    tx::PutRequestMsg put;
    tx::PutMsg* entry = put.add_puts();
    *entry->mutable_object() = Typed(kDeviceType, schema_.Device(1, "tenant-only"));
    entry->add_vdb_ids(2);
    ASSERT_TRUE(client.Write(&tx::Tarnix::Stub::Put, kWriter, {put}).ok());
    EXPECT_EQ(Devices(&client, 2), std::vector<std::string>({schema_.Device(1, "tenant-only")}));
    EXPECT_TRUE(Devices(&client, 1).empty());

    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::ConfigureWorkflowTracerRequestMsg configure;
    *configure.mutable_config() = tracing;
    tx::ConfigureWorkflowTracerResponseMsg configured;
    ASSERT_TRUE(stub->ConfigureWorkflowTracer(&context, configure, &configured).ok());
    EXPECT_EQ(TracerConfig(stub.get()).ShortDebugString(), tracing.ShortDebugString());
    EXPECT_EQ(daemon.Stop(), 0);
  }

  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  std::unique_ptr<tx::Tarnix::Stub> stub = tx::Tarnix::NewStub(daemon.channel());
  TarnixClient client(daemon.channel());
  EXPECT_EQ(AllVdbs(stub.get()), std::vector<std::string>({"main_vdb=1", "tenant=2"}));
  EXPECT_EQ(Devices(&client, 2), std::vector<std::string>({schema_.Device(1, "tenant-only")}));
  EXPECT_EQ(TracerConfig(stub.get()).ShortDebugString(), tracing.ShortDebugString());
  uint32_t id = 0;
  ASSERT_TRUE(CreateVdb(stub.get(), "second", &id).ok());
  EXPECT_EQ(id, 3u);

  // Both logged as CreateVDb transactions of the administrator.
  std::vector<tx::TransactionLogUnitMsg> units;
  ASSERT_TRUE(client.GetTransactionLog("", &units).ok());
  std::vector<uint32_t> created;
  for (const tx::TransactionLogUnitMsg& unit : units) {
    if (!unit.has_create_vdb_request()) continue;
    EXPECT_EQ(unit.create_vdb_request().vdb_name(), created.empty() ? "tenant" : "second");
    created.push_back(unit.vdb_ids_size() == 1 ? unit.vdb_ids(0) : 0);
  }
  EXPECT_EQ(created, std::vector<uint32_t>({2, 3}));
  EXPECT_EQ(daemon.Stop(), 0);
}

class DeleteVDbTest : public ServingDaemonTest {
 protected:
  grpc::Status Create(const std::string& name, uint32_t* id) {
    return CreateVdb(stub_.get(), name, id);
  }
  grpc::Status Delete(const std::string& name) {
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::DeleteVDbRequestMsg request;
    request.set_vdb_name(name);
    tx::DeleteVDbResponseMsg response;
    return stub_->DeleteVDb(&context, request, &response);
  }
  grpc::Status PutDevices(int first, int count, uint32_t vdb, size_t hostname_bytes = 0) {
    tx::PutRequestMsg put;
    for (int id = first; id < first + count; ++id) {
      tx::PutMsg* entry = put.add_puts();
      std::string hostname = "h" + std::to_string(id);
      hostname.resize(std::max(hostname.size(), hostname_bytes), 'x');
      *entry->mutable_object() = Typed(kDeviceType, schema_.Device(id, hostname));
      entry->add_vdb_ids(vdb);
    }
    return client_->Write(&tx::Tarnix::Stub::Put, kWriter, {put});
  }
  // Audit entries first..first+count-1, one record each for `vdbs`.
  grpc::Status PutAudits(int first, int count, const std::vector<uint32_t>& vdbs) {
    tx::PutRequestMsg put;
    for (int n = first; n < first + count; ++n) {
      tx::PutMsg* entry = put.add_puts();
      *entry->mutable_object() = Typed(
          kAuditType, schema_.Body("AuditEntryMsg", "sequence: " + std::to_string(n) +
                                                        " actor: 'a' action: 'login'"));
      for (uint32_t vdb : vdbs) entry->add_vdb_ids(vdb);
    }
    return client_->Write(&tx::Tarnix::Stub::Put, kAdmin, {put});
  }
  // Audit entries are in no domain: only the administrator reads them.
  size_t AuditCount(uint32_t vdb) {
    size_t count = 0;
    for (const tx::GetResponseMsg& response : client_->GetAll(kAdmin, kAuditType, vdb)) {
      for (const tx::TypedObjectMsg& object : response.objects()) count += object.has_object_body();
    }
    return count;
  }
  grpc::Status LoadSchema(const std::string& path, tx::LoadSchemaResponseMsg* loaded) {
    std::unique_ptr<tx::TarnixOps::Stub> ops = tx::TarnixOps::NewStub(daemon_->channel());
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::LoadSchemaRequestMsg load;
    load.set_schema_path(path);
    return ops->LoadSchema(&context, load, loaded);
  }
  size_t DeviceCount(uint32_t vdb) {
    size_t count = 0;
    for (const tx::GetResponseMsg& response : client_->GetAll(kWriter, kDeviceType, vdb)) {
      for (const tx::TypedObjectMsg& object : response.objects()) count += object.has_object_body();
    }
    return count;
  }
  static tx::MonitorRequestMsg WatchDevices(const std::string& id, uint32_t vdb,
                                            bool old_bodies = false) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    request.set_vdb_id(vdb);
    tx::MonitorStatementMsg* statement = request.add_statements();
    statement->mutable_statement()->mutable_unknown_fields()->AddVarint(
        tx::StatementMsg::kObjectTypeFieldNumber, kDeviceType);
    statement->set_send_old_object_body(old_bodies);
    return request;
  }
  // The devices a transaction's messages tell deleted, and those set.
  void CountChanges(const std::vector<tx::MonitorResponseMsg>& messages, int* deleted, int* set) {
    *deleted = *set = 0;
    for (const tx::MonitorResponseMsg& message : messages) {
      for (const tx::MonitorUpdateMsg& update : message.updates()) {
        std::unique_ptr<google::protobuf::Message> ops =
            schema_.Parse("DeviceOpMsg", update.update_ops());
        ASSERT_NE(ops, nullptr);
        const google::protobuf::FieldDescriptor* self =
            ops->GetDescriptor()->FindFieldByName("self");
        tx::OpMsg op;
        op.ParseFromString(ops->GetReflection()->GetMessage(*ops, self).SerializeAsString());
        (op.op() == tx::OpMsg::CLEAR ? *deleted : *set) += 1;
      }
    }
  }
};

TEST_F(DeleteVDbTest, ItsMonitorsGetTheDeletesThenAbortedAndItsIdIsHandedOutAgain) {
  uint32_t id = 0;
  ASSERT_TRUE(Create("tenant", &id).ok());
  ASSERT_EQ(id, 2u);
  // With their old bodies, the deletes are more than a call queues: most
  // of them wait in the monitor's backlog while its client reads nothing.
  constexpr int kDevices = 6000;
  ASSERT_TRUE(PutDevices(1, kDevices, 2, 1000).ok());
  ASSERT_TRUE(PutDevices(10000, 3, 1).ok());
  MonitorReader first(stub_.get(), kAdmin, WatchDevices("first", 2));
  MonitorReader second(stub_.get(), kAdmin, WatchDevices("second", 2, true));
  MonitorReader main(stub_.get(), kAdmin, WatchDevices("main", 1));
  int deleted = 0;
  int set = 0;
  CountChanges(first.ReadTransaction(), &deleted, &set);
  EXPECT_EQ(set, kDevices);
  CountChanges(second.ReadTransaction(), &deleted, &set);
  EXPECT_EQ(set, kDevices);
  CountChanges(main.ReadTransaction(), &deleted, &set);
  EXPECT_EQ(set, 3);

  ASSERT_TRUE(Delete("tenant").ok());
  for (MonitorReader* monitor : {&first, &second}) {
    CountChanges(monitor->ReadTransaction(), &deleted, &set);
    EXPECT_EQ(deleted, kDevices);
    EXPECT_EQ(set, 0);
  }
  grpc::Status status = first.Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::ABORTED);
  EXPECT_EQ(status.error_message(), "Monitor first aborted/closed due to VDb = 2 has been deleted");
  status = second.Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::ABORTED);
  EXPECT_EQ(status.error_message(),
            "Monitor second aborted/closed due to VDb = 2 has been deleted");

  // The main vdb and its monitor are untouched.
  EXPECT_EQ(DeviceCount(1), 3u);
  ASSERT_TRUE(PutDevices(20000, 1, 1).ok());
  CountChanges(main.ReadTransaction(), &deleted, &set);
  EXPECT_EQ(set, 1);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(AllVdbs(stub_.get()), std::vector<std::string>({"main_vdb=1"}));
  // An aborted monitor's id is free at once.
  MonitorReader again(stub_.get(), kAdmin, WatchDevices("first", 1));
  CountChanges(again.ReadTransaction(), &deleted, &set);
  EXPECT_EQ(set, 4);

  std::vector<tx::TransactionLogUnitMsg> units;
  ASSERT_TRUE(client_->GetTransactionLog("", &units).ok());
  int logged = 0;
  for (const tx::TransactionLogUnitMsg& unit : units) {
    logged += unit.has_delete_vdb_request() && unit.delete_vdb_request().vdb_name() == "tenant";
  }
  EXPECT_EQ(logged, 1);

  EXPECT_EQ(daemon_->Stop(), 0);
  daemon_ = std::make_unique<ServingDaemon>(dir_.path(), dir_.path() + "/db");
  ASSERT_TRUE(daemon_->serving());
  client_ = std::make_unique<TarnixClient>(daemon_->channel());
  stub_ = tx::Tarnix::NewStub(daemon_->channel());
  EXPECT_EQ(AllVdbs(stub_.get()), std::vector<std::string>({"main_vdb=1"}));
  ASSERT_TRUE(Create("renewed", &id).ok());
  EXPECT_EQ(id, 2u);
  EXPECT_EQ(DeviceCount(2), 0u);
  EXPECT_EQ(DeviceCount(1), 4u);
}

TEST_F(DeleteVDbTest, WritersDuringADeleteAreFlushedWithItOrRefused) {
  uint32_t id = 0;
  ASSERT_TRUE(Create("tenant", &id).ok());
  ASSERT_TRUE(PutDevices(1, 5000, 2).ok());
  constexpr int kWriters = 3;
  std::atomic<bool> deleted{false};
  std::atomic<int> writing{0};  // writers whose first write was answered
  std::vector<std::vector<grpc::Status>> results(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      // Each writer goes on a little after the delete was answered.
      int after = 0;
      for (int n = 0; after < 5; ++n) {
        if (deleted.load()) ++after;
        results[w].push_back(PutDevices(100000 * (w + 1) + n, 10, 2));
        if (n == 0) ++writing;
      }
    });
  }
  while (writing.load() < kWriters) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const grpc::Status status = Delete("tenant");
  deleted = true;
  for (std::thread& writer : writers) writer.join();
  ASSERT_TRUE(status.ok()) << status.error_message();
  for (int w = 0; w < kWriters; ++w) {
    bool refused = false;
    int succeeded = 0;
    for (const grpc::Status& result : results[w]) {
      if (result.ok()) {
        EXPECT_FALSE(refused) << "writer " << w << " succeeded after a refusal";
        ++succeeded;
        continue;
      }
      refused = true;
      EXPECT_EQ(result.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
      EXPECT_EQ(result.error_message(), "vdb_id=2 not found");
    }
    EXPECT_TRUE(refused) << "writer " << w;
    EXPECT_GT(succeeded, 0) << "writer " << w;
  }
  // Nothing written to the old vdb shows in the one that takes its id.
  ASSERT_TRUE(Create("renewed", &id).ok());
  ASSERT_EQ(id, 2u);
  EXPECT_EQ(DeviceCount(2), 0u);
}

// The example schema less its audit type: its records are still stored,
// but no longer those of a type the schema lists.
std::string WriteSchemaWithoutAudit(const std::string& dir) {
  google::protobuf::FileDescriptorSet files;
  std::ifstream in(TARNIX_EXAMPLE_SCHEMA, std::ios::binary);
  EXPECT_TRUE(files.ParseFromIstream(&in));
  int removed = 0;
  for (google::protobuf::FileDescriptorProto& file : *files.mutable_file()) {
    for (google::protobuf::EnumDescriptorProto& type : *file.mutable_enum_type()) {
      if (type.name() != "ObjectType") continue;
      auto* values = type.mutable_value();
      for (int i = values->size() - 1; i >= 0; --i) {
        if (values->Get(i).number() != kAuditType) continue;
        values->erase(values->begin() + i);
        ++removed;
      }
    }
  }
  EXPECT_EQ(removed, 1);
  const std::string path = dir + "/no_audit.pb";
  std::ofstream out(path, std::ios::binary);
  EXPECT_TRUE(files.SerializeToOstream(&out));
  return path;
}

// A vdb id handed out again after its vdb was deleted while the schema
// lacked a type must not show that type's old objects when the schema
// lists it again, nor after a restart.
TEST_F(DeleteVDbTest, ObjectsOfATypeTheSchemaLacksGoWithTheirVdb) {
  uint32_t id = 0;
  ASSERT_TRUE(Create("t", &id).ok());
  ASSERT_EQ(id, 2u);
  ASSERT_TRUE(PutAudits(1, 100, {2}).ok());
  ASSERT_TRUE(PutAudits(1000, 3, {1, 2}).ok());  // records shared with the main vdb
  ASSERT_TRUE(PutAudits(2000, 1, {1}).ok());
  ASSERT_EQ(AuditCount(2), 103u);

  tx::LoadSchemaResponseMsg loaded;
  ASSERT_TRUE(LoadSchema(WriteSchemaWithoutAudit(dir_.path()), &loaded).ok());
  ASSERT_TRUE(loaded.loaded());
  ASSERT_TRUE(Delete("t").ok());
  ASSERT_TRUE(Create("u", &id).ok());
  ASSERT_EQ(id, 2u);
  ASSERT_TRUE(LoadSchema(TARNIX_EXAMPLE_SCHEMA, &loaded).ok());
  ASSERT_TRUE(loaded.loaded());
  EXPECT_EQ(AuditCount(2), 0u);
  EXPECT_EQ(AuditCount(1), 4u);

  EXPECT_EQ(daemon_->Stop(), 0);
  daemon_ = std::make_unique<ServingDaemon>(dir_.path(), dir_.path() + "/db");
  ASSERT_TRUE(daemon_->serving());
  client_ = std::make_unique<TarnixClient>(daemon_->channel());
  EXPECT_EQ(AllVdbs(tx::Tarnix::NewStub(daemon_->channel()).get()),
            std::vector<std::string>({"main_vdb=1", "u=2"}));
  EXPECT_EQ(AuditCount(2), 0u);
  EXPECT_EQ(AuditCount(1), 4u);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

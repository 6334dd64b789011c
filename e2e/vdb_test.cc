// Virtual databases and the workflow-tracer configuration of a running
// daemon, across a restart on the same database.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";
constexpr char kWriter[] = "inventory-agent";

class VDbTest : public ::testing::Test {
 protected:
  std::string Database() const { return dir_.path() + "/db"; }

  static grpc::Status Create(tx::Tarnix::Stub* stub, const std::string& name, uint32_t* id) {
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
  static std::vector<std::string> AllVdbs(tx::Tarnix::Stub* stub) {
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
    ASSERT_TRUE(Create(stub.get(), "tenant", &id).ok());
    EXPECT_EQ(id, 2u);
    grpc::Status status = Create(stub.get(), "tenant", &id);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::ALREADY_EXISTS);
    EXPECT_EQ(status.error_message(), "supplied vdb_name is already in use");
    status = Create(stub.get(), "main_vdb", &id);
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
  ASSERT_TRUE(Create(stub.get(), "second", &id).ok());
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

}  // namespace
}  // namespace e2e
}  // namespace tarnix

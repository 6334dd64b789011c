// Monitors over a running daemon: the snapshot of a new monitor, generated
// ids, reconnecting, reconfiguring an open monitor, whose a monitor is, and
// an id in the log.

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/descriptor.pb.h>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";

class MonitorTest : public ServingDaemonTest {
 protected:
  void Put(int type, const std::vector<std::string>& bodies) {
    tx::PutRequestMsg put;
    for (const std::string& body : bodies) *put.add_puts()->mutable_object() = Typed(type, body);
    ASSERT_TRUE(client_->Write(&tx::Tarnix::Stub::Put, kAdmin, {put}).ok());
  }
  std::string Interface(const std::string& name, int device) {
    return schema_.Body("InterfaceMsg", "name { string: '" + name + "' } device_id { left: " +
                                            std::to_string(device) + " }");
  }
  tx::MonitorStatementMsg Statement(int type, const std::string& op = "",
                                    const std::string& value = "") {
    tx::MonitorStatementMsg statement;
    tx::StatementMsg* body = statement.mutable_statement();
    body->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber, type);
    if (!op.empty()) {
      tx::WhereMsg* where = body->add_where();
      where->set_op_msg(schema_.Body("DeviceOpMsg", op));
      where->set_value(schema_.Body("DeviceMsg", value));
    }
    return statement;
  }
  grpc::Status Configure(const tx::ConfigureMonitorRequestMsg& request,
                         tx::ConfigureMonitorResponseMsg* response) {
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    return stub_->ConfigureMonitor(&context, request, response);
  }
  // Configures until the monitor exists: its call may not have reached the
  // daemon yet.
  grpc::Status ConfigureOnceOpen(const tx::ConfigureMonitorRequestMsg& request,
                                 tx::ConfigureMonitorResponseMsg* response) {
    grpc::Status status;
    for (int attempt = 0; attempt < 500; ++attempt) {
      status = Configure(request, response);
      if (status.error_message().find("was not found") == std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
  }
  static std::vector<std::string> Bodies(const std::vector<tx::MonitorResponseMsg>& messages) {
    std::vector<std::string> bodies;
    for (const tx::MonitorResponseMsg& message : messages) {
      for (const tx::MonitorUpdateMsg& update : message.updates()) {
        bodies.push_back(update.object_body());
      }
    }
    return bodies;
  }
};

TEST_F(MonitorTest, ASnapshotComesParentsFirstInChunksWithOneEndMark) {
  Put(kInterfaceType, {Interface("eth0", 1), Interface("eth1", 2)});
  std::vector<std::string> devices;
  for (int id = 1; id <= 4; ++id) {
    devices.push_back(schema_.Device(id, std::string(400000, 'h') + std::to_string(id)));
  }
  Put(kDeviceType, devices);
  tx::MonitorRequestMsg request;
  request.set_monitor_request_id("inventory");
  *request.add_statements() = Statement(kInterfaceType);
  *request.add_statements() = Statement(kDeviceType);
  MonitorReader monitor(stub_.get(), kAdmin, request);
  const std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  // 1,600,000 bytes of devices: a chunk closes at the third.
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].updates_size(), 3);
  EXPECT_FALSE(snapshot[0].transaction_control().end_of_transaction());
  EXPECT_TRUE(snapshot[1].transaction_control().end_of_transaction());
  EXPECT_EQ(snapshot[0].transaction_control().txn_id(), snapshot[1].transaction_control().txn_id());
  const std::vector<std::string> bodies = Bodies(snapshot);
  ASSERT_EQ(bodies.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(bodies.begin(), bodies.begin() + 4), devices);
  EXPECT_EQ(bodies[4], Interface("eth0", 1));
}

TEST_F(MonitorTest, GeneratedIdsAreUuidsAndAnIdIsFreeAgainOnceItsClientLeft) {
  std::string id;
  {
    MonitorReader unnamed(stub_.get(), kAdmin, tx::MonitorRequestMsg());
    static const std::regex generated(
        "randomly generated monitor_request_id=([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
        "[0-9a-f]{12})");
    std::smatch match;
    for (int i = 0; i < 500 && id.empty(); ++i) {
      const std::string output = daemon_->process().Stdout();
      if (std::regex_search(output, match, generated)) id = match[1];
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(id.size(), 36u);
    tx::ConfigureMonitorRequestMsg change;
    change.set_monitor_request_id(id);
    tx::ConfigureMonitorResponseMsg response;
    EXPECT_TRUE(ConfigureOnceOpen(change, &response).ok());
  }
  // The unnamed monitor's client is gone: its id opens a new monitor.
  Put(kDeviceType, {schema_.Device(1, "a")});
  tx::MonitorRequestMsg request;
  request.set_monitor_request_id(id);
  *request.add_statements() = Statement(kDeviceType);
  std::vector<tx::MonitorResponseMsg> snapshot;
  for (int attempt = 0; attempt < 100 && snapshot.empty(); ++attempt) {
    MonitorReader again(stub_.get(), kAdmin, request);
    snapshot = again.ReadTransaction();
    if (snapshot.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{schema_.Device(1, "a")});
}

// An id holding a line feed and a forged line after it: the log keeps the
// whole id inside the line that names it.
TEST_F(MonitorTest, AnIdWithALineFeedCannotStartALogLine) {
  const std::string forged = "2026-01-01 [level=\"ERROR\"] forged";
  tx::MonitorRequestMsg request;
  request.set_monitor_request_id("x'\n" + forged);
  *request.add_statements() = Statement(kDeviceType);
  MonitorReader monitor(stub_.get(), kAdmin, request);
  const std::string escaped = "monitor_request_id='x'\\n" + forged + "' successfully created";
  std::string output;
  for (int i = 0; i < 500 && CountLogLines(output, "INFO", "", escaped) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    output = daemon_->process().Stdout();
  }
  EXPECT_EQ(CountLogLines(output, "INFO", "", escaped), 1) << output;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.rfind("2026-01-01 ", 0), 0u) << line;
    if (line.find("forged") != std::string::npos) {
      EXPECT_NE(line.find("x'\\n2026-01-01"), std::string::npos) << line;
    }
  }
}

TEST_F(MonitorTest, AChangeSendsWhatNewlyMatchesOnTheMonitorStream) {
  Put(kDeviceType, {schema_.Device(1, "a"), schema_.Device(2, "b")});
  tx::MonitorRequestMsg request;
  request.set_monitor_request_id("m");
  MonitorReader monitor(stub_.get(), kAdmin, request);  // no statement: nothing is sent

  tx::ConfigureMonitorRequestMsg add;
  add.set_monitor_request_id("m");
  *add.add_add_statements() = Statement(kDeviceType, "hostname { op: EQUALS }", "hostname: 'a'");
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(add, &response).ok());
  ASSERT_EQ(response.statements_size(), 1);
  std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{schema_.Device(1, "a")});
  const uint64_t added = snapshot.at(0).transaction_control().txn_id();

  // b in, a out: only b is new.
  tx::ConfigureMonitorRequestMsg update;
  update.set_monitor_request_id("m");
  tx::MonitorStatementUpdateMsg* clauses = update.add_update_statements();
  clauses->mutable_unknown_fields()->AddVarint(
      tx::MonitorStatementUpdateMsg::kObjectTypeFieldNumber, kDeviceType);
  tx::WhereMsg* in = clauses->add_add_where();
  in->set_op_msg(schema_.Body("DeviceOpMsg", "hostname { op: EQUALS }"));
  in->set_value(schema_.Body("DeviceMsg", "hostname: 'b'"));
  *clauses->add_remove_where() = add.add_statements(0).statement().where(0);
  ASSERT_TRUE(Configure(update, &response).ok());
  ASSERT_EQ(response.statements(0).statement().where_size(), 1);
  snapshot = monitor.ReadTransaction();
  EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{schema_.Device(2, "b")});
  EXPECT_GT(snapshot.at(0).transaction_control().txn_id(), added);

  tx::ConfigureMonitorRequestMsg elsewhere;
  elsewhere.set_monitor_request_id("m");
  elsewhere.set_vdb_id(2);
  const grpc::Status refused = Configure(elsewhere, &response);
  EXPECT_EQ(refused.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(refused.error_message(), "vdb_id (2) does not match stored vdb_id (1) for monitor m");
}

// A monitor is its owner's: others neither read nor change it, and it ends
// when a new schema takes its owner's read permission away.
TEST_F(MonitorTest, AMonitorIsItsOwnersAndEndsWithItsOwnersReadPermission) {
  constexpr char kInventory[] = "inventory-agent";
  tx::MonitorRequestMsg request;
  request.set_monitor_request_id("inv");
  *request.add_statements() =
      Statement(kDeviceType, "hostname { op: EQUALS }", "hostname: 'secret'");
  MonitorReader monitor(stub_.get(), kInventory, request);
  ASSERT_EQ(monitor.ReadTransaction().size(), 1u);  // open: its snapshot says nothing matched

  tx::ConfigureMonitorRequestMsg change;
  change.set_monitor_request_id("inv");
  *change.add_delete_statements() = Statement(kDeviceType);
  for (const std::string client : {"guest", "mallory", "network-controller"}) {
    grpc::ClientContext context;
    PrepareCall(client, &context);
    tx::ConfigureMonitorResponseMsg response;
    const grpc::Status status = stub_->ConfigureMonitor(&context, change, &response);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << client;
    EXPECT_EQ(status.error_message(), client + " may not configure monitor inv");
  }
  change.clear_delete_statements();
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(Configure(change, &response).ok());  // the administrator's
  EXPECT_EQ(response.statements_size(), 1);
  Put(kDeviceType, {schema_.Device(1, "secret")});
  EXPECT_EQ(Bodies(monitor.ReadTransaction()), std::vector<std::string>{schema_.Device(1, "secret")});

  // The example schema but that inventory-agent reads nothing.
  google::protobuf::FileDescriptorSet set;
  std::ifstream in(TARNIX_EXAMPLE_SCHEMA, std::ios::binary);
  ASSERT_TRUE(set.ParseFromIstream(&in));
  for (auto& file : *set.mutable_file()) {
    for (auto& enumeration : *file.mutable_enum_type()) {
      for (auto& value : *enumeration.mutable_value()) {
        if (value.options().GetExtension(tx::client_id) == kInventory) {
          value.mutable_options()->MutableExtension(tx::permission)->clear_read_domains();
        }
      }
    }
  }
  const std::string revoked = dir_.path() + "/revoked.pb";
  std::ofstream(revoked, std::ios::binary) << set.SerializeAsString();
  tx::LoadSchemaRequestMsg load;
  load.set_schema_path(revoked);
  tx::LoadSchemaResponseMsg loaded;
  grpc::ClientContext context;
  PrepareCall(kAdmin, &context);
  ASSERT_TRUE(tx::TarnixOps::NewStub(daemon_->channel())->LoadSchema(&context, load, &loaded).ok());
  ASSERT_TRUE(loaded.loaded());

  const std::string denied =
      std::string(kInventory) + " does not have read permission for caldek.orv.tarnix.DeviceMsg";
  std::vector<tx::GetResponseMsg> got;
  tx::GetRequestMsg get;
  *get.add_objects() = Typed(kDeviceType, "", false);
  EXPECT_EQ(client_->Get(kInventory, get, &got).error_message(), denied);
  Put(kDeviceType, {schema_.Device(2, "secret")});
  EXPECT_TRUE(monitor.ReadTransaction().empty());  // ended: nothing more reaches it
  const grpc::Status ended = monitor.Finish();
  EXPECT_EQ(ended.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(ended.error_message(), denied);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/text_format.h>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "schema/record_key.h"
#include "server/service_test_util.h"
#include "server/tarnix_server.h"
#include "storage/fault_env.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::Channel;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kInterface[] = "caldek.orv.tarnix.InterfaceMsg";
constexpr char kVlan[] = "caldek.orv.tarnix.VlanMsg";  // network: not for kInventory
constexpr char kAdmin[] = "tarnix-cli";
constexpr char kInventory[] = "inventory-agent";   // reads the inventory types only
constexpr char kNetwork[] = "network-controller";  // reads inventory and network

// One Monitor call: its request is sent at once; messages are read as they
// come, each within a wait.
class MonitorCall {
 public:
  MonitorCall(const std::string& address, const std::string& client_id,
              const tx::MonitorRequestMsg& request)
      : call_(Channel(address, nullptr), "/caldek.orv.tarnix.Tarnix/Monitor", client_id) {
    EXPECT_TRUE(call_.started);
    call_.stream->Write(testing::Serialize(request), nullptr);
    testing::Next(&call_.cq);
    call_.stream->WritesDone(nullptr);
    testing::Next(&call_.cq);
  }
  ~MonitorCall() { Finish(); }

  // The next message; false when the stream ended or none came in `wait`.
  bool Read(tx::MonitorResponseMsg* message,
            std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    if (ended_) return false;
    if (!reading_) {
      call_.stream->Read(&raw_, &raw_);
      reading_ = true;
    }
    void* tag = nullptr;
    bool ok = false;
    if (call_.cq.AsyncNext(&tag, &ok, std::chrono::system_clock::now() + wait) !=
        grpc::CompletionQueue::GOT_EVENT) {
      return false;
    }
    reading_ = false;
    if (!ok) {
      ended_ = true;
      return false;
    }
    message->Clear();
    EXPECT_TRUE(
        grpc::SerializationTraits<tx::MonitorResponseMsg>::Deserialize(&raw_, message).ok());
    return true;
  }
  // The messages of one transaction, up to its end mark.
  std::vector<tx::MonitorResponseMsg> ReadTransaction() {
    std::vector<tx::MonitorResponseMsg> messages;
    tx::MonitorResponseMsg message;
    while (Read(&message)) {
      messages.push_back(message);
      if (message.transaction_control().end_of_transaction()) break;
    }
    return messages;
  }
  // Cancels the call unless it ended; its final status.
  grpc::Status Finish() {
    if (finished_) return status_;
    finished_ = true;
    if (!ended_) call_.context.TryCancel();
    if (reading_) testing::Next(&call_.cq);
    status_ = call_.Finish();
    return status_;
  }

 private:
  testing::StreamCall call_;
  grpc::ByteBuffer raw_;
  bool reading_ = false;
  bool ended_ = false;
  bool finished_ = false;
  grpc::Status status_;
};

class MonitorRpcsTest : public testing::DataServiceTest {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    Serve();
  }

  // Runs `task` on the server's loop and waits for it.
  void OnLoop(std::function<void()> task) {
    std::promise<void> done;
    server_->provider().Post([&] {
      task();
      done.set_value();
    });
    done.get_future().wait();
  }
  uint64_t LastTxnId() {
    uint64_t id = 0;
    OnLoop([&] { id = data_->txn_ids().txn_id(); });
    return id;
  }
  bool HasSubscriptions() {
    bool any = false;
    OnLoop([&] { any = data_->monitor_engine().HasSubscriptions(); });
    return any;
  }
  bool Registered(const std::string& monitor_id) {
    bool registered = false;
    OnLoop([&] {
      VdbId vdb = 0;
      registered = data_->monitor_engine().GetVDbIdForMonitor(monitor_id, &vdb);
    });
    return registered;
  }
  // Reloads the example schema with kInventory's read permissions taken
  // away, as LoadSchema does, then ends the monitors that lost them.
  void RevokeInventoryReads() {
    google::protobuf::FileDescriptorSet set;
    std::ifstream in(TARNIX_EXAMPLE_SCHEMA, std::ios::binary);
    ASSERT_TRUE(set.ParseFromIstream(&in));
    int revoked = 0;
    for (auto& file : *set.mutable_file()) {
      for (auto& enumeration : *file.mutable_enum_type()) {
        for (auto& value : *enumeration.mutable_value()) {
          if (value.options().GetExtension(caldek::orv::tarnix::client_id) != kInventory) continue;
          value.mutable_options()
              ->MutableExtension(caldek::orv::tarnix::permission)
              ->clear_read_domains();
          ++revoked;
        }
      }
    }
    ASSERT_EQ(revoked, 1);
    const std::string path = schema_dir_.WriteSet("revoked.pb", set);
    OnLoop([&] {
      ASSERT_EQ(schema_.ReloadSchema(path), Status::OK());
      data_->EndRevokedMonitors();
    });
  }
  grpc::Status PutDevice(const std::string& body) {
    tx::PutRequestMsg request;
    tx::TypedObjectMsg* object = request.add_puts()->mutable_object();
    schema_.types().SetObjectType(kDevice, object);
    object->set_object_body(body);
    return testing::CallClientStream(Channel(server_->address(), nullptr),
                                     "/caldek.orv.tarnix.Tarnix/Put", kAdmin,
                                     std::list<tx::PutRequestMsg>{request});
  }
  TempDir schema_dir_;

  std::string Body(const std::string& type, const std::string& text) {
    std::unique_ptr<google::protobuf::Message> message(schema_.types().NewMessage(type));
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  }
  std::string Device(int n, const std::string& hostname) {
    return Body(kDevice, "id { left: " + std::to_string(n) + " } hostname: '" + hostname + "'");
  }
  std::string Interface(const std::string& name, int device) {
    return Body(kInterface, "name { string: '" + name +
                                "' } device_id { left: " + std::to_string(device) + " }");
  }
  // Stores `body` as the object of `type` in vdb 1, as a write would.
  void Store(const std::string& type, const std::string& body) {
    std::string key;
    ASSERT_TRUE(
        MakeObjectRecordKey(schema_, type, schema_.keys().GetKeyFromSerialized(type, body), &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet({1}), body}});
  }

  // A statement of `type`: where clauses as (op text, value text) pairs.
  tx::MonitorStatementMsg Statement(const std::string& type,
                                    const std::vector<std::pair<std::string, std::string>>& where,
                                    bool old_body = false) {
    tx::MonitorStatementMsg statement;
    schema_.types().SetObjectType(type, statement.mutable_statement());
    for (const auto& [op, value] : where)
      *statement.mutable_statement()->add_where() = Where(type, op, value);
    if (old_body) statement.set_send_old_object_body(true);
    return statement;
  }
  tx::WhereMsg Where(const std::string& type, const std::string& op, const std::string& value) {
    tx::WhereMsg where;
    where.set_op_msg(Body(schema_.op_messages().GetOpMsgTypeName(type), op));
    where.set_value(Body(type, value));
    return where;
  }
  tx::MonitorRequestMsg Open(const std::string& id,
                             std::vector<tx::MonitorStatementMsg> statements) {
    tx::MonitorRequestMsg request;
    if (!id.empty()) request.set_monitor_request_id(id);
    for (auto& statement : statements) *request.add_statements() = std::move(statement);
    return request;
  }
  grpc::Status Configure(const tx::ConfigureMonitorRequestMsg& request,
                         tx::ConfigureMonitorResponseMsg* response,
                         const std::string& client_id = kAdmin) {
    return testing::CallUnary(Channel(server_->address(), nullptr),
                              "/caldek.orv.tarnix.Tarnix/ConfigureMonitor", client_id, request,
                              response);
  }
  // Configures until the monitor `id` exists (its Monitor call may not have
  // reached the server yet); the last status.
  grpc::Status ConfigureOnceOpen(const tx::ConfigureMonitorRequestMsg& request,
                                 tx::ConfigureMonitorResponseMsg* response,
                                 const std::string& client_id = kAdmin) {
    grpc::Status status;
    for (int attempt = 0; attempt < 500; ++attempt) {
      status = Configure(request, response, client_id);
      if (status.error_message().find("was not found") == std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
  }
  tx::ConfigureMonitorRequestMsg Change(const std::string& id) {
    tx::ConfigureMonitorRequestMsg request;
    request.set_monitor_request_id(id);
    return request;
  }
  // The monitor's statements, as a change that changes nothing reports them.
  std::string Statements(const std::string& id) {
    tx::ConfigureMonitorResponseMsg response;
    const grpc::Status status = ConfigureOnceOpen(Change(id), &response);
    EXPECT_TRUE(status.ok()) << status.error_message();
    std::vector<std::string> texts;
    for (const tx::MonitorStatementMsg& statement : response.statements()) {
      std::string text = schema_.types().GetObjectType(&statement.statement()) +
                         " old:" + std::to_string(statement.send_old_object_body()) +
                         " where:" + std::to_string(statement.statement().where_size());
      // The clauses themselves, in a fixed order.
      std::vector<std::string> clauses;
      for (const tx::WhereMsg& where : statement.statement().where()) {
        clauses.push_back(where.SerializeAsString());
      }
      std::sort(clauses.begin(), clauses.end());
      for (const std::string& clause : clauses) details_ += clause;
      texts.push_back(text);
    }
    std::sort(texts.begin(), texts.end());
    std::string joined;
    for (const std::string& text : texts) joined += text + "; ";
    return joined;
  }
  // The clauses Statements() saw, each call's appended to the earlier ones'.
  std::string details_;

  // The object bodies of a transaction's messages, in order.
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

TEST_F(MonitorRpcsTest, SnapshotComesParentsFirstInChunksAndTheStreamStaysOpen) {
  // Three devices of 600,000 bytes: two chunks.
  const std::string padding(600000, 'h');
  Store(kInterface, Interface("eth0", 1));
  for (int n = 1; n <= 3; ++n) Store(kDevice, Device(n, padding + std::to_string(n)));
  MonitorCall monitor(server_->address(), kAdmin,
                      Open("m", {Statement(kInterface, {}), Statement(kDevice, {})}));
  const std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].updates_size(), 2);
  EXPECT_FALSE(snapshot[0].transaction_control().end_of_transaction());
  EXPECT_TRUE(snapshot[1].transaction_control().end_of_transaction());
  EXPECT_EQ(snapshot[0].transaction_control().txn_id(), snapshot[1].transaction_control().txn_id());
  const std::vector<std::string> bodies = Bodies(snapshot);
  ASSERT_EQ(bodies.size(), 4u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(schema_.types().GetObjectType(&snapshot[i / 2].updates(i % 2)), kDevice);
  EXPECT_EQ(bodies[3], Interface("eth0", 1));
  EXPECT_FALSE(snapshot[1].updates(1).update_ops().empty());

  tx::MonitorResponseMsg more;
  EXPECT_FALSE(monitor.Read(&more, std::chrono::milliseconds(200)));  // open, quiet
}

TEST_F(MonitorRpcsTest, AMonitorWithoutStatementsSendsNothingUntilItIsConfigured) {
  Store(kDevice, Device(1, "a"));
  MonitorCall monitor(server_->address(), kAdmin, Open("quiet", {}));
  tx::ConfigureMonitorRequestMsg add = Change("quiet");
  *add.add_add_statements() = Statement(kDevice, {{"hostname { op: EQUALS }", "hostname: 'a'"}});
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(add, &response).ok());
  ASSERT_EQ(response.statements_size(), 1);
  // The first transaction on the stream is the change's snapshot.
  const std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{Device(1, "a")});
  EXPECT_TRUE(HasLine("INFO", "",
                      "ConfigureMonitor: TransactionID='" +
                          std::to_string(snapshot[0].transaction_control().txn_id()) +
                          "': Monitor for monitor_request_id='quiet' successfully updated"));
}

TEST_F(MonitorRpcsTest, AGeneratedIdIsAUuidAndAnIdIsFreeAgainOnceItsClientLeft) {
  {
    MonitorCall monitor(server_->address(), kAdmin, Open("", {Statement(kDevice, {})}));
    std::smatch match;
    std::string id;
    for (int i = 0; i < 500 && id.empty(); ++i) {
      for (const std::string& line : capture_.lines()) {
        static const std::regex generated("randomly generated monitor_request_id=(.*)$");
        if (std::regex_search(line, match, generated)) id = match[1];
      }
      if (id.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(std::regex_match(
        id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << id;
    tx::ConfigureMonitorResponseMsg response;
    EXPECT_TRUE(ConfigureOnceOpen(Change(id), &response).ok());
  }
  Store(kDevice, Device(1, "a"));
  for (int round = 0; round < 2; ++round) {
    MonitorCall monitor(server_->address(), kAdmin, Open("again", {Statement(kDevice, {})}));
    std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
    // The second round may come before the first call's end reached the
    // server: then it is refused, and the next attempt is accepted.
    for (int i = 0; i < 100 && snapshot.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      MonitorCall retry(server_->address(), kAdmin, Open("again", {Statement(kDevice, {})}));
      snapshot = retry.ReadTransaction();
    }
    EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{Device(1, "a")}) << round;
  }
}

TEST_F(MonitorRpcsTest, ConfigureMonitorAddsRemovesDeletesAndAddsStatements) {
  Store(kDevice, Device(1, "a"));
  Store(kDevice, Device(2, "b"));
  Store(kInterface, Interface("eth0", 1));
  const auto hostname = [](const std::string& name) {
    return std::make_pair(std::string("hostname { op: EQUALS }"), "hostname: '" + name + "'");
  };
  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, {hostname("a")})}));
  ASSERT_EQ(Bodies(monitor.ReadTransaction()), std::vector<std::string>{Device(1, "a")});

  // Where clauses: b added, a removed; the snapshot holds what is new only.
  tx::ConfigureMonitorRequestMsg update = Change("m");
  tx::MonitorStatementUpdateMsg* clauses = update.add_update_statements();
  schema_.types().SetObjectType(kDevice, clauses);
  *clauses->add_add_where() = Where(kDevice, hostname("b").first, hostname("b").second);
  *clauses->add_remove_where() = Where(kDevice, hostname("a").first, hostname("a").second);
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(Configure(update, &response).ok());
  std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  EXPECT_EQ(Bodies(snapshot), std::vector<std::string>{Device(2, "b")});
  ASSERT_EQ(response.statements_size(), 1);
  ASSERT_EQ(response.statements(0).statement().where_size(), 1);
  EXPECT_EQ(response.statements(0).statement().where(0).value(), Body(kDevice, "hostname: 'b'"));
  EXPECT_TRUE(response.statements(0).has_send_old_object_body());
  const uint64_t first = snapshot[0].transaction_control().txn_id();

  // One request replaces the device statement and adds the interfaces.
  tx::ConfigureMonitorRequestMsg replace = Change("m");
  *replace.add_delete_statements() = Statement(kDevice, {});
  *replace.add_add_statements() = Statement(kDevice, {hostname("a")}, true);
  *replace.add_add_statements() = Statement(kInterface, {});
  ASSERT_TRUE(Configure(replace, &response).ok());
  snapshot = monitor.ReadTransaction();
  EXPECT_EQ(Bodies(snapshot), (std::vector<std::string>{Device(1, "a"), Interface("eth0", 1)}));
  EXPECT_GT(snapshot[0].transaction_control().txn_id(), first);
  EXPECT_EQ(Statements("m"),
            std::string(kDevice) + " old:1 where:1; " + kInterface + " old:0 where:1; ");
}

TEST_F(MonitorRpcsTest, RefusedMonitorsOpenNothing) {
  const auto refused = [&](const tx::MonitorRequestMsg& request, const std::string& client,
                           grpc::StatusCode code, const std::string& text) {
    MonitorCall monitor(server_->address(), client, request);
    tx::MonitorResponseMsg message;
    EXPECT_FALSE(monitor.Read(&message));
    const grpc::Status status = monitor.Finish();
    EXPECT_EQ(status.error_code(), code) << text;
    EXPECT_EQ(status.error_message(), text);
    EXPECT_FALSE(HasSubscriptions()) << text;
    tx::ConfigureMonitorResponseMsg response;
    EXPECT_EQ(Configure(Change(request.monitor_request_id()), &response).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);  // not open
  };
  const std::string device = kDevice;
  const uint64_t first = LastTxnId();
  refused(Open("r", {Statement(kDevice, {})}), "", grpc::StatusCode::UNAUTHENTICATED,
          "Unable to authenticate client. Missing client id.");
  EXPECT_EQ(LastTxnId(), first + 1);  // taken before the caller is known
  for (uint32_t vdb : {2u, 65537u}) {
    tx::MonitorRequestMsg request = Open("r", {Statement(kDevice, {})});
    request.set_vdb_id(vdb);
    refused(request, kAdmin, grpc::StatusCode::FAILED_PRECONDITION, "no mapping for vdb_id found");
    EXPECT_TRUE(
        HasLine("ERROR", "DRX0606",
                "Error: Specified vdb_id = " + std::to_string(vdb) + " is not yet in use."));
  }
  refused(Open("r", {Statement(kVlan, {})}), kInventory, grpc::StatusCode::PERMISSION_DENIED,
          std::string(kInventory) + " does not have read permission for " + kVlan);
  EXPECT_TRUE(HasLine("ERROR", "ERR_SUBSCRIPTION_FAILED",
                      "Monitor operation failed: PERMISSION_DENIED: inventory-agent does not have "
                      "read permission for caldek.orv.tarnix.VlanMsg"));
  refused(Open("r", {Statement(kDevice, {}), Statement(kDevice, {})}), kAdmin,
          grpc::StatusCode::INVALID_ARGUMENT,
          "Multiple monitor statement for object type " + device + " provided.");
  tx::MonitorStatementMsg unparsable = Statement(kDevice, {});
  unparsable.mutable_statement()->mutable_select()->set_op_msg("\xff");
  refused(Open("r", {unparsable}), kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Unable to parse SelectMsg in monitor statement for object type " + device);
  tx::MonitorStatementMsg invalid = Statement(kDevice, {});
  invalid.mutable_statement()->mutable_select()->set_op_msg(
      Body(schema_.op_messages().GetOpMsgTypeName(kDevice), "hostname { op: EQUALS }"));
  refused(Open("r", {invalid}), kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Invalid SelectMsg in monitor statement for object type " + device);
  refused(Open("r", {Statement(kDevice, {{"hostname { op: EQUALS } model { op: EQUALS }",
                                          "hostname: 'a' model: 'b'"}})}),
          kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Multiple attributes set in the where clause for object type " + device);
  tx::MonitorStatementMsg undecodable = Statement(kDevice, {});
  tx::WhereMsg* garbage = undecodable.mutable_statement()->add_where();
  garbage->set_op_msg("\xff");
  refused(Open("r", {undecodable}), kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Invalid op_msg while decoding WhereMsg");
  refused(Open("r", {Statement(kDevice, {{"hostname { op: EQUALS }", ""}})}), kAdmin,
          grpc::StatusCode::INVALID_ARGUMENT,
          "Where clause on hostname of " + device +
              ": EQUALS needs an operand, which the value message does not hold");
  refused(Open(std::string(1025, 'x'), {}), kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "monitor_request_id is longer than 1024 bytes");

  // An open id is refused before it takes a transaction id.
  MonitorCall open(server_->address(), kAdmin, Open("r", {Statement(kDevice, {})}));
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(Change("r"), &response).ok());
  const uint64_t before = LastTxnId();
  MonitorCall again(server_->address(), kAdmin, Open("r", {}));
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(again.Read(&message));
  EXPECT_EQ(again.Finish().error_message(),
            "The operation failed because the monitor with monitor_id 'r' already exists");
  EXPECT_EQ(LastTxnId(), before);
  EXPECT_TRUE(
      HasLine("ERROR", "DRX0302",
              "The operation failed because the monitor with monitor_id 'r' already exists"));
}

TEST_F(MonitorRpcsTest, RefusedChangesChangeNothing) {
  OnLoop([&] { ASSERT_TRUE(data_->vdbs().AddVDbInfo(2, "two", nullptr)); });
  MonitorCall monitor(server_->address(), kInventory, Open("m", {Statement(kDevice, {})}));
  // No device: the clause matched nothing, which the snapshot says.
  const std::vector<tx::MonitorResponseMsg> empty = monitor.ReadTransaction();
  ASSERT_EQ(empty.size(), 1u);
  ASSERT_EQ(empty[0].updates_size(), 1);
  EXPECT_FALSE(empty[0].updates(0).has_object_body());
  tx::MonitorRequestMsg on_two = Open("m2", {});
  on_two.set_vdb_id(2);
  MonitorCall other(server_->address(), kAdmin, on_two);
  details_.clear();
  const std::string before = Statements("m");
  const std::string before_clauses = details_;
  ASSERT_EQ(before, std::string(kDevice) + " old:0 where:1; ");
  const std::string device = kDevice;

  const auto refused = [&](const tx::ConfigureMonitorRequestMsg& request, const std::string& client,
                           grpc::StatusCode code, const std::string& text) {
    tx::ConfigureMonitorResponseMsg response;
    const grpc::Status status = ConfigureOnceOpen(request, &response, client);
    EXPECT_EQ(status.error_code(), code) << text;
    EXPECT_EQ(status.error_message(), text);
    details_.clear();
    EXPECT_EQ(Statements("m"), before) << text;
    EXPECT_EQ(details_, before_clauses) << text;
  };
  tx::ConfigureMonitorRequestMsg no_id = Change("m");
  no_id.clear_monitor_request_id();
  refused(no_id, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "ConfigureMonitor failed: monitor_request_id not provided");
  EXPECT_TRUE(HasLine("ERROR", "DRX0208", "Invalid argument; monitor_request_id is required"));
  tx::ConfigureMonitorResponseMsg response;
  const grpc::Status missing = Configure(Change("nope"), &response);
  EXPECT_EQ(missing.error_message(),
            "ConfigureMonitor operation failed: The operation failed because a monitor with "
            "request_id nope was not found");
  refused(Change("m"), "", grpc::StatusCode::UNAUTHENTICATED,
          "Unable to authenticate client. Missing client id.");
  refused(Change("m2"), kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "vdb_id (1) does not match stored vdb_id (2) for monitor m2");
  tx::ConfigureMonitorRequestMsg wide = Change("m2");
  wide.set_vdb_id(65538);
  refused(wide, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "vdb_id (65538) does not match stored vdb_id (2) for monitor m2");

  tx::ConfigureMonitorRequestMsg twice = Change("m");
  *twice.add_add_statements() = Statement(kDevice, {});
  refused(twice, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "An existing monitor statement for object type " + device +
              " already exist for monitor_id m");
  tx::ConfigureMonitorRequestMsg absent = Change("m");
  schema_.types().SetObjectType(kInterface, absent.add_update_statements());
  refused(absent, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Monitor statement for object type caldek.orv.tarnix.InterfaceMsg not found for "
          "monitor_id m.");
  tx::ConfigureMonitorRequestMsg deleted = Change("m");
  *deleted.add_delete_statements() = Statement(kDevice, {});
  schema_.types().SetObjectType(kDevice, deleted.add_update_statements());
  refused(deleted, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Monitor statement for object type " + device + " not found for monitor_id m.");
  tx::ConfigureMonitorRequestMsg unwatchable = Change("m");
  tx::MonitorStatementUpdateMsg* clauses = unwatchable.add_update_statements();
  schema_.types().SetObjectType(kDevice, clauses);
  *clauses->add_add_where() = Where(kDevice, "tags { op: CONTAINS_ALL }", "");
  refused(unwatchable, kAdmin, grpc::StatusCode::INVALID_ARGUMENT,
          "Where clause on tags of " + device +
              ": CONTAINS_ALL needs an operand, which the value message does not hold");
  EXPECT_TRUE(HasLine(
      "ERROR", "ERR_SUBSCRIPTION_FAILED",
      "ConfigureMonitor operation failed: INVALID_ARGUMENT: Where clause on tags "
      "of " +
          device + ": CONTAINS_ALL needs an operand, which the value message does not hold"));

  // Only the owner and the administrator may change the monitor; neither
  // may make it deliver what its owner may not read.
  for (const std::string client : {kNetwork, "guest", "mallory"}) {
    refused(Change("m"), client, grpc::StatusCode::PERMISSION_DENIED,
            client + " may not configure monitor m");
    refused(twice, client, grpc::StatusCode::PERMISSION_DENIED,
            client + " may not configure monitor m");
  }
  EXPECT_TRUE(HasLine("ERROR", "ERR_SUBSCRIPTION_FAILED",
                      "ConfigureMonitor operation failed: guest may not configure monitor m"));
  tx::ConfigureMonitorRequestMsg vlans = Change("m");
  *vlans.add_add_statements() = Statement(kVlan, {});
  refused(vlans, kAdmin, grpc::StatusCode::PERMISSION_DENIED,
          std::string(kInventory) + " does not have read permission for " + kVlan);
  refused(vlans, kInventory, grpc::StatusCode::PERMISSION_DENIED,
          std::string(kInventory) + " does not have read permission for " + kVlan);
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(monitor.Read(&message, std::chrono::milliseconds(100)));  // nothing was sent
  tx::ConfigureMonitorRequestMsg interfaces = Change("m");
  *interfaces.add_add_statements() = Statement(kInterface, {});
  ASSERT_TRUE(Configure(interfaces, &response, kInventory).ok());
  EXPECT_EQ(response.statements_size(), 2);
}

// Another client neither reads a monitor's where clauses nor takes its
// statements away: the owner's stream goes on.
TEST_F(MonitorRpcsTest, OnlyItsOwnerAndTheAdministratorConfigureAMonitor) {
  const auto secret = std::make_pair(std::string("hostname { op: EQUALS }"),
                                     std::string("hostname: 'secret'"));
  MonitorCall monitor(server_->address(), kInventory, Open("m", {Statement(kDevice, {secret})}));
  ASSERT_EQ(monitor.ReadTransaction().size(), 1u);
  tx::ConfigureMonitorRequestMsg remove = Change("m");
  *remove.add_delete_statements() = Statement(kDevice, {});
  for (const std::string client : {kNetwork, "guest", "mallory"}) {
    for (const tx::ConfigureMonitorRequestMsg& request : {Change("m"), remove}) {
      tx::ConfigureMonitorResponseMsg response;
      const grpc::Status status = Configure(request, &response, client);
      EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED) << client;
      EXPECT_EQ(status.error_message(), client + " may not configure monitor m");
    }
  }
  for (const std::string client : {kInventory, kAdmin}) {
    tx::ConfigureMonitorResponseMsg response;
    ASSERT_TRUE(Configure(Change("m"), &response, client).ok()) << client;
    ASSERT_EQ(response.statements_size(), 1);
    ASSERT_EQ(response.statements(0).statement().where_size(), 1);
    EXPECT_EQ(response.statements(0).statement().where(0).value(),
              Body(kDevice, secret.second));
  }
  ASSERT_TRUE(PutDevice(Device(1, "secret")).ok());
  EXPECT_EQ(Bodies(monitor.ReadTransaction()), std::vector<std::string>{Device(1, "secret")});
}

TEST_F(MonitorRpcsTest, AMonitorEndsOnceItsOwnerMayNoLongerReadWhatItWatches) {
  MonitorCall revoked(server_->address(), kInventory,
                      Open("revoked", {Statement(kInterface, {}), Statement(kDevice, {})}));
  ASSERT_EQ(revoked.ReadTransaction().size(), 1u);
  MonitorCall kept(server_->address(), kNetwork, Open("kept", {Statement(kDevice, {})}));
  ASSERT_EQ(kept.ReadTransaction().size(), 1u);
  // Watches nothing yet: nothing to revoke.
  MonitorCall empty(server_->address(), kInventory, Open("empty", {}));
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(Change("empty"), &response).ok());

  RevokeInventoryReads();
  EXPECT_FALSE(Registered("revoked"));  // out of the engine before its call completes
  ASSERT_TRUE(PutDevice(Device(1, "after")).ok());
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(revoked.Read(&message));
  const grpc::Status status = revoked.Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  // The types in name order: the device is named.
  EXPECT_EQ(status.error_message(),
            std::string(kInventory) + " does not have read permission for " + kDevice);
  EXPECT_EQ(Bodies(kept.ReadTransaction()), std::vector<std::string>{Device(1, "after")});
  EXPECT_TRUE(Registered("empty"));
  EXPECT_FALSE(empty.Read(&message, std::chrono::milliseconds(100)));
}

TEST_F(MonitorRpcsTest, WritesReachTheMonitorsTheyConcernInTransactionOrder) {
  MonitorCall all(server_->address(), kAdmin, Open("all", {Statement(kDevice, {})}));
  MonitorCall only_b(
      server_->address(), kAdmin,
      Open("b", {Statement(kDevice, {{"hostname { op: EQUALS }", "hostname: 'b'"}})}));
  // Both open: their snapshots say that nothing matched.
  ASSERT_EQ(all.ReadTransaction().size(), 1u);
  ASSERT_EQ(only_b.ReadTransaction().size(), 1u);
  const auto put = [&](const std::string& body, const std::string& client) {
    tx::PutRequestMsg request;
    tx::TypedObjectMsg* object = request.add_puts()->mutable_object();
    schema_.types().SetObjectType(kDevice, object);
    object->set_object_body(body);
    return testing::CallClientStream(Channel(server_->address(), nullptr),
                                     "/caldek.orv.tarnix.Tarnix/Put", client,
                                     std::list<tx::PutRequestMsg>{request});
  };
  ASSERT_TRUE(put(Device(1, "a"), kAdmin).ok());
  ASSERT_FALSE(put(Device(3, "c"), "guest").ok());  // refused: never told
  ASSERT_TRUE(put(Device(2, "b"), kAdmin).ok());
  tx::DeleteRequestMsg remove;
  tx::TypedObjectMsg* object = remove.add_deletes()->mutable_object();
  schema_.types().SetObjectType(kDevice, object);
  object->set_object_body(Body(kDevice, "id { left: 1 }"));
  ASSERT_TRUE(testing::CallClientStream(Channel(server_->address(), nullptr),
                                        "/caldek.orv.tarnix.Tarnix/Delete", kAdmin,
                                        std::list<tx::DeleteRequestMsg>{remove})
                  .ok());

  std::vector<uint64_t> ids;
  std::vector<std::string> seen;
  for (int transaction = 0; transaction < 3; ++transaction) {
    const std::vector<tx::MonitorResponseMsg> messages = all.ReadTransaction();
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_TRUE(messages[0].transaction_control().end_of_transaction());
    ids.push_back(messages[0].transaction_control().txn_id());
    for (const tx::MonitorUpdateMsg& update : messages[0].updates()) {
      seen.push_back(update.object_body());
    }
  }
  EXPECT_LT(ids[0], ids[1]);
  EXPECT_LT(ids[1], ids[2]);
  EXPECT_EQ(seen, (std::vector<std::string>{Device(1, "a"), Device(2, "b"),
                                            Body(kDevice, "id { left: 1 }")}));
  const std::vector<tx::MonitorResponseMsg> b = only_b.ReadTransaction();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].transaction_control().txn_id(), ids[1]);
  tx::MonitorResponseMsg more;
  EXPECT_FALSE(only_b.Read(&more, std::chrono::milliseconds(200)));
  EXPECT_FALSE(all.Read(&more, std::chrono::milliseconds(200)));  // nothing for the refused Put
}

// The schema reloaded again and again while writes fan out: notifications
// are built under the schema in force when they are built, and nothing
// keeps what a reload replaced.
TEST_F(MonitorRpcsTest, ASchemaReloadDuringAFanOutLosesNothing) {
  constexpr int kMonitors = 6;
  constexpr int kTransactions = 30;
  constexpr int kDevicesEach = 10;
  std::vector<std::unique_ptr<MonitorCall>> monitors;
  for (int i = 0; i < kMonitors; ++i) {
    tx::MonitorStatementMsg statement = Statement(kDevice, {}, i % 2 == 0);
    if (i % 3 == 0) {
      statement.mutable_statement()->mutable_select()->set_op_msg(
          Body(schema_.op_messages().GetOpMsgTypeName(kDevice), "hostname { op: SELECT }"));
    }
    monitors.push_back(std::make_unique<MonitorCall>(
        server_->address(), kAdmin, Open("m" + std::to_string(i), {statement})));
    ASSERT_EQ(monitors.back()->ReadTransaction().size(), 1u);
  }
  // Built here: the loop reloads the schema while the writer runs.
  std::vector<tx::PutRequestMsg> requests(kTransactions);
  for (int t = 0; t < kTransactions; ++t) {
    for (int d = 0; d < kDevicesEach; ++d) {
      tx::TypedObjectMsg* object = requests[t].add_puts()->mutable_object();
      schema_.types().SetObjectType(kDevice, object);
      object->set_object_body(Device(t * kDevicesEach + d, "h" + std::to_string(t)));
    }
  }
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (const tx::PutRequestMsg& request : requests) {
      EXPECT_TRUE(testing::CallClientStream(Channel(server_->address(), nullptr),
                                            "/caldek.orv.tarnix.Tarnix/Put", kAdmin,
                                            std::list<tx::PutRequestMsg>{request})
                      .ok());
    }
    writing = false;
  });
  int reloads = 0;
  while (writing.load()) {
    OnLoop([&] { EXPECT_EQ(schema_.ReloadSchema(TARNIX_EXAMPLE_SCHEMA), Status::OK()); });
    ++reloads;
  }
  writer.join();
  EXPECT_GT(reloads, 1);
  for (int i = 0; i < kMonitors; ++i) {
    int objects = 0;
    for (int t = 0; t < kTransactions; ++t) {
      const std::vector<tx::MonitorResponseMsg> messages = monitors[i]->ReadTransaction();
      ASSERT_FALSE(messages.empty()) << "monitor " << i << " transaction " << t;
      for (const tx::MonitorResponseMsg& message : messages) objects += message.updates_size();
    }
    EXPECT_EQ(objects, kTransactions * kDevicesEach) << "monitor " << i;
  }
}

TEST_F(MonitorRpcsTest, TheMonitorsOfADeletedVdbLeaveTheEngineAtOnce) {
  tx::CreateVDbRequestMsg create;
  create.set_vdb_name("tenant");
  tx::CreateVDbResponseMsg created;
  ASSERT_TRUE(testing::CallUnary(Channel(server_->address(), nullptr),
                                 "/caldek.orv.tarnix.Tarnix/CreateVDb", kAdmin, create, &created)
                  .ok());
  tx::MonitorRequestMsg request = Open("gone", {Statement(kDevice, {})});
  request.set_vdb_id(created.vdb_id());
  MonitorCall gone(server_->address(), kAdmin, request);
  ASSERT_EQ(gone.ReadTransaction().size(), 1u);
  MonitorCall kept(server_->address(), kAdmin, Open("kept", {Statement(kDevice, {})}));
  ASSERT_EQ(kept.ReadTransaction().size(), 1u);

  tx::DeleteVDbRequestMsg remove;
  remove.set_vdb_name("tenant");
  tx::DeleteVDbResponseMsg removed;
  ASSERT_TRUE(testing::CallUnary(Channel(server_->address(), nullptr),
                                 "/caldek.orv.tarnix.Tarnix/DeleteVDb", kAdmin, remove, &removed)
                  .ok());
  tx::MonitorResponseMsg message;
  while (gone.Read(&message)) {
  }
  EXPECT_EQ(gone.Finish().error_code(), grpc::StatusCode::ABORTED);
  EXPECT_TRUE(HasLine("INFO", "", "Monitor gone aborted/closed due to VDb = 2 has been deleted"));
  bool gone_registered = true;
  bool kept_registered = false;
  OnLoop([&] {
    VdbId vdb = 0;
    gone_registered = data_->monitor_engine().GetVDbIdForMonitor("gone", &vdb);
    kept_registered = data_->monitor_engine().GetVDbIdForMonitor("kept", &vdb);
  });
  EXPECT_FALSE(gone_registered);
  EXPECT_TRUE(kept_registered);
  EXPECT_FALSE(kept.Read(&message, std::chrono::milliseconds(100)));  // nothing for it
}

TEST_F(MonitorRpcsTest, TheEndOfAnotherCallLeavesAMonitorOpen) {
  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, {})}));
  const std::string statements = Statements("m");
  // As the late completion callback of an earlier monitor of the same id.
  OnLoop([&] { data_->OnClientDisconnect("m", nullptr, orv::rpc::Status(1, "cancelled")); });
  EXPECT_EQ(Statements("m"), statements);
  monitor.Finish();
  tx::ConfigureMonitorResponseMsg response;
  grpc::Status status = grpc::Status::OK;
  for (int i = 0; i < 500 && status.ok(); ++i) {
    status = Configure(Change("m"), &response);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);  // its own end closes it
  EXPECT_FALSE(HasSubscriptions());
}

// The data service as the daemon runs it: durable writes answered by the
// group commit's syncer thread, on a database whose syncs a test can hold.
class MonitorOrderTest : public MonitorRpcsTest {
 protected:
  void SetUp() override {
    testing::DataServiceTest::SetUp();
    db_.reset();
    db_ = OpenDb(&env_);
    start_syncer_ = true;
    Serve();
  }
  void TearDown() override {
    gate_.Open();
    StopServing();
    env_.SetLogSyncHook(nullptr);
    MonitorRpcsTest::TearDown();
  }

  grpc::Status Put(const std::string& body, bool sync) {
    tx::PutRequestMsg request;
    tx::TypedObjectMsg* object = request.add_puts()->mutable_object();
    schema_.types().SetObjectType(kDevice, object);
    object->set_object_body(body);
    request.set_sync(sync);
    return testing::CallClientStream(Channel(server_->address(), nullptr),
                                     "/caldek.orv.tarnix.Tarnix/Put", kAdmin,
                                     std::list<tx::PutRequestMsg>{request});
  }

  FaultEnv env_;
  SyncGate gate_;
};

TEST_F(MonitorOrderTest, AMonitorTakesEffectBetweenTheTransactionsAroundItsId) {
  Store(kDevice, Device(1, "stored"));
  env_.SetLogSyncHook(gate_.Hook());
  // Written, but neither answered nor released while its sync is held.
  auto durable = std::async(std::launch::async, [&] { return Put(Device(2, "durable"), true); });
  gate_.WaitForSync();
  const uint64_t durable_id = LastTxnId();

  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, {})}));
  for (int i = 0; i < 500 && LastTxnId() == durable_id; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(LastTxnId(), durable_id + 1);  // the monitor's
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(monitor.Read(&message, std::chrono::milliseconds(300)));  // waits its turn
  EXPECT_FALSE(HasSubscriptions());  // nor does it see a write yet
  // A later write is answered at once, and released after the monitor.
  ASSERT_TRUE(Put(Device(3, "later"), false).ok());
  EXPECT_EQ(LastTxnId(), durable_id + 2);
  EXPECT_NE(durable.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  gate_.Open();
  const std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  ASSERT_FALSE(snapshot.empty());
  EXPECT_EQ(snapshot[0].transaction_control().txn_id(), durable_id + 1);
  EXPECT_EQ(Bodies(snapshot),
            (std::vector<std::string>{Device(1, "stored"), Device(2, "durable")}));
  EXPECT_TRUE(durable.get().ok());
  // Exactly once: the later write comes as a notification, the durable one
  // (in the snapshot) does not.
  const std::vector<tx::MonitorResponseMsg> later = monitor.ReadTransaction();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].transaction_control().txn_id(), durable_id + 2);
  EXPECT_EQ(Bodies(later), std::vector<std::string>{Device(3, "later")});
  EXPECT_FALSE(monitor.Read(&message, std::chrono::milliseconds(200)));
}

TEST_F(MonitorOrderTest, AMonitorWaitingToOpenAsItsOwnerLosesReadsEndsBeforeLaterWrites) {
  env_.SetLogSyncHook(gate_.Hook());
  auto durable = std::async(std::launch::async, [&] { return Put(Device(1, "durable"), true); });
  gate_.WaitForSync();
  const uint64_t durable_id = LastTxnId();
  MonitorCall monitor(server_->address(), kInventory, Open("m", {Statement(kDevice, {})}));
  for (int i = 0; i < 500 && LastTxnId() == durable_id; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(LastTxnId(), durable_id + 1);  // accepted; waits behind the durable write
  RevokeInventoryReads();
  ASSERT_TRUE(Put(Device(2, "later"), false).ok());
  gate_.Open();
  // Its statements are checked in its turn, against what its owner may read
  // then: it never opens, and neither write reaches it.
  std::vector<tx::MonitorResponseMsg> messages;
  tx::MonitorResponseMsg message;
  while (monitor.Read(&message)) messages.push_back(message);
  EXPECT_TRUE(Bodies(messages).empty());
  const grpc::Status status = monitor.Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            std::string(kInventory) + " does not have read permission for " + kDevice);
  EXPECT_FALSE(Registered("m"));
  EXPECT_TRUE(durable.get().ok());
}

TEST_F(MonitorOrderTest, AnOpenMonitorEndsAtOnceWhenItsOwnerLosesReads) {
  MonitorCall monitor(server_->address(), kInventory, Open("m", {Statement(kDevice, {})}));
  ASSERT_EQ(monitor.ReadTransaction().size(), 1u);
  env_.SetLogSyncHook(gate_.Hook());
  auto durable = std::async(std::launch::async, [&] { return Put(Device(1, "durable"), true); });
  gate_.WaitForSync();
  RevokeInventoryReads();
  // Not even the write committed before the reload, still waiting for its
  // sync, reaches it.
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(monitor.Read(&message));
  EXPECT_EQ(monitor.Finish().error_code(), grpc::StatusCode::PERMISSION_DENIED);
  gate_.Open();
  EXPECT_TRUE(durable.get().ok());
}

TEST_F(MonitorOrderTest, AfterAFailedSyncMonitorsAreRefusedAsWritesAre) {
  MonitorCall open(server_->address(), kAdmin, Open("open", {}));
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(Change("open"), &response).ok());
  env_.FailLogSyncs(true);
  EXPECT_FALSE(Put(Device(1, "lost"), true).ok());
  env_.FailLogSyncs(false);
  // Notification has stopped: the open monitor ends.
  tx::MonitorResponseMsg ended;
  while (open.Read(&ended)) {
  }
  const grpc::Status stopped = open.Finish();
  EXPECT_EQ(stopped.error_code(), grpc::StatusCode::UNAVAILABLE);
  EXPECT_NE(stopped.error_message().find("database log could not be synced"), std::string::npos);
  const grpc::Status refused = Put(Device(2, "refused"), false);
  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, {})}));
  tx::MonitorResponseMsg message;
  EXPECT_FALSE(monitor.Read(&message));
  const grpc::Status status = monitor.Finish();
  EXPECT_EQ(status.error_code(), refused.error_code());
  EXPECT_EQ(status.error_message(), refused.error_message());
  EXPECT_NE(status.error_message().find("failed sync"), std::string::npos);
  // Every monitor ended with it, so a change finds none.
  EXPECT_EQ(Configure(Change("open"), &response).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
}

TEST_F(MonitorOrderTest, AChangeThatWaitedDoesNotApplyToAMonitorThatReusedTheId) {
  auto first = std::make_unique<MonitorCall>(server_->address(), kAdmin, Open("m", {}));
  tx::ConfigureMonitorResponseMsg response;
  ASSERT_TRUE(ConfigureOnceOpen(Change("m"), &response).ok());
  env_.SetLogSyncHook(gate_.Hook());
  auto durable = std::async(std::launch::async, [&] { return Put(Device(1, "d"), true); });
  gate_.WaitForSync();
  // A change of the first monitor waits behind the durable write...
  auto change = std::async(std::launch::async, [&] {
    tx::ConfigureMonitorResponseMsg changed;
    return Configure(Change("m"), &changed);
  });
  const uint64_t taken = LastTxnId() + 1;
  for (int i = 0; i < 500 && LastTxnId() < taken; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // ...while that monitor goes and another one takes its id.
  first.reset();
  std::unique_ptr<MonitorCall> second;
  for (int i = 0; i < 500 && LastTxnId() < taken + 1; ++i) {
    second = std::make_unique<MonitorCall>(server_->address(), kAdmin,
                                           Open("m", {Statement(kDevice, {})}));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  gate_.Open();
  const grpc::Status status = change.get();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(),
            "ConfigureMonitor operation failed: The operation failed because a monitor with "
            "request_id m was not found");
  EXPECT_EQ(Bodies(second->ReadTransaction()), std::vector<std::string>{Device(1, "d")});
  EXPECT_TRUE(durable.get().ok());
}

TEST_F(MonitorRpcsTest, AChangeOfAMonitorThatEndsBeforeItsSnapshotIsQueuedIsRefused) {
  const std::string padding(1 << 20, 'h');
  for (int i = 1; i <= 12; ++i) Store(kDevice, Device(i, padding));
  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, {})}));
  tx::MonitorResponseMsg first;
  ASSERT_TRUE(monitor.Read(&first));
  // The client reads no more: the change's snapshot waits behind the first
  // one until the stalled-reader rule ends the monitor.
  tx::ConfigureMonitorRequestMsg change = Change("m");
  *change.add_add_statements() = Statement(kInterface, {});
  tx::ConfigureMonitorResponseMsg response;
  const auto asked = std::chrono::steady_clock::now();
  const grpc::Status status = Configure(change, &response);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(),
            "ConfigureMonitor operation failed: The operation failed because a monitor with "
            "request_id m was not found");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(8));
  EXPECT_FALSE(HasSubscriptions());
}

// Where clauses are checked and subscribed a slice per turn: a write that
// comes after the monitor still waits for the last of them, and the one
// before it is in the snapshot.
TEST_F(MonitorOrderTest, ManyClausesTakeEffectOverSeveralTurnsAheadOfLaterWrites) {
  OnLoop([&] { data_->set_read_slice_records(2); });
  std::vector<std::pair<std::string, std::string>> where;
  std::vector<std::string> expected;
  for (int i = 1; i <= 9; ++i) {
    Store(kDevice, Device(i, "h" + std::to_string(i)));
    expected.push_back(Device(i, "h" + std::to_string(i)));
    where.emplace_back("hostname { op: EQUALS }", "hostname: 'h" + std::to_string(i) + "'");
  }
  where.emplace_back("hostname { op: EQUALS }", "hostname: 'none'");
  env_.SetLogSyncHook(gate_.Hook());
  auto durable = std::async(std::launch::async, [&] { return Put(Device(12, "h8"), true); });
  gate_.WaitForSync();
  const uint64_t durable_id = LastTxnId();
  MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, where)}));
  for (int i = 0; i < 500 && LastTxnId() == durable_id; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(LastTxnId(), durable_id + 1);
  ASSERT_TRUE(Put(Device(11, "h9"), false).ok());  // matches the last clause only
  gate_.Open();

  const std::vector<tx::MonitorResponseMsg> snapshot = monitor.ReadTransaction();
  ASSERT_FALSE(snapshot.empty());
  EXPECT_EQ(snapshot[0].transaction_control().txn_id(), durable_id + 1);
  std::vector<std::string> bodies = Bodies(snapshot);
  expected.push_back(Device(12, "h8"));
  expected.push_back("");  // the clause that matched nothing
  std::sort(bodies.begin(), bodies.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(bodies, expected);
  const std::vector<tx::MonitorResponseMsg> later = monitor.ReadTransaction();
  EXPECT_EQ(Bodies(later), std::vector<std::string>{Device(11, "h9")});
  EXPECT_TRUE(durable.get().ok());
}

// A monitor whose client left is passed over by matching at once, while
// its many subscriptions wait in the notification order behind a write
// held by its sync; once they are gone, so is the mark.
TEST_F(MonitorOrderTest, AMonitorWhoseClientLeftIsPassedOverUntilItsSubscriptionsGo) {
  OnLoop([&] { data_->set_read_slice_records(2); });
  std::vector<std::pair<std::string, std::string>> where;
  for (int i = 0; i < 9; ++i) {
    where.emplace_back("hostname { op: EQUALS }", "hostname: 'h" + std::to_string(i) + "'");
  }
  const auto withdrawn = [&] {
    MonitorIdSet ids;
    OnLoop([&] { ids = data_->monitor_engine().withdrawn_monitors(); });
    return ids;
  };
  {
    MonitorCall monitor(server_->address(), kAdmin, Open("m", {Statement(kDevice, where)}));
    EXPECT_EQ(Bodies(monitor.ReadTransaction()), std::vector<std::string>{""});
    EXPECT_TRUE(withdrawn().empty());
    env_.SetLogSyncHook(gate_.Hook());
    auto durable = std::async(std::launch::async, [&] { return Put(Device(1, "h1"), true); });
    gate_.WaitForSync();
    monitor.Finish();
    for (int i = 0; i < 500 && withdrawn().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(withdrawn(), MonitorIdSet{"m"});
    EXPECT_TRUE(Registered("m"));
    gate_.Open();
    EXPECT_TRUE(durable.get().ok());
  }
  for (int i = 0; i < 500 && Registered("m"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(Registered("m"));
  EXPECT_TRUE(withdrawn().empty());
  EXPECT_FALSE(HasSubscriptions());
}

}  // namespace
}  // namespace tarnix

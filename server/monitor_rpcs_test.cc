#include <google/protobuf/text_format.h>

#include <chrono>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
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
constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";
constexpr char kAdmin[] = "tarnix-cli";
constexpr char kInventory[] = "inventory-agent";  // reads the inventory types only

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
    call_.context.TryCancel();
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

  std::string Body(const std::string& type, const std::string& text) {
    std::unique_ptr<google::protobuf::Message> message(schema_.NewMessage(type));
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
    ASSERT_TRUE(MakeObjectRecordKey(schema_, type, schema_.GetKeyFromSerialized(type, body), &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet({1}), body}});
  }

  // A statement of `type`: where clauses as (op text, value text) pairs.
  tx::MonitorStatementMsg Statement(const std::string& type,
                                    const std::vector<std::pair<std::string, std::string>>& where,
                                    bool old_body = false) {
    tx::MonitorStatementMsg statement;
    schema_.SetObjectType(type, statement.mutable_statement());
    for (const auto& [op, value] : where)
      *statement.mutable_statement()->add_where() = Where(type, op, value);
    if (old_body) statement.set_send_old_object_body(true);
    return statement;
  }
  tx::WhereMsg Where(const std::string& type, const std::string& op, const std::string& value) {
    tx::WhereMsg where;
    where.set_op_msg(Body(schema_.GetOpMsgTypeName(type), op));
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
      std::string text = schema_.GetObjectType(&statement.statement()) +
                         " old:" + std::to_string(statement.send_old_object_body()) +
                         " where:" + std::to_string(statement.statement().where_size());
      texts.push_back(text);
    }
    std::sort(texts.begin(), texts.end());
    std::string joined;
    for (const std::string& text : texts) joined += text + "; ";
    return joined;
  }
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
    EXPECT_EQ(schema_.GetObjectType(&snapshot[i / 2].updates(i % 2)), kDevice);
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

}  // namespace
}  // namespace tarnix

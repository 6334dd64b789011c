#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <google/protobuf/text_format.h>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "platform/provider.h"
#include "platform/rpc/test_server.h"
#include "schema/record_key.h"
#include "server/service_test_util.h"
#include "server/tarnix_server.h"
#include "storage/fault_env.h"
#include "storage/key_space.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using testing::CallServerStream;
using testing::Channel;

constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";

// The data service over plaintext loopback.
class ReadRpcsTest : public testing::DataServiceTest {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    Serve();
  }

  template <class Resp>
  grpc::Status Call(const std::string& method, const std::string& client_id,
                    const google::protobuf::Message& request, std::vector<Resp>* responses) {
    return CallServerStream(Channel(server_->address(), nullptr),
                            "/caldek.orv.tarnix.Tarnix/" + method, client_id, request, responses);
  }
  grpc::Status Get(const tx::GetRequestMsg& request, std::vector<tx::GetResponseMsg>* responses,
                   const std::string& client_id = "tarnix-cli") {
    return Call("Get", client_id, request, responses);
  }
  // A record of the AddressMsg with key `ip` in `vdbs`, its value `body`.
  void StoreAddress(const std::string& ip, const VdbIdSet& vdbs, const std::string& body) {
    std::string key;
    ASSERT_TRUE(MakeObjectRecordKey(schema_, kAddress, ip, &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet(vdbs), body}});
  }
  tx::GetRequestMsg ByIp(const std::string& ip) {
    tx::GetRequestMsg request;
    tx::TypedObjectMsg* selector = request.add_objects();
    schema_.types().SetObjectType(kAddress, selector);
    selector->set_object_body("\x0a" + std::string(1, static_cast<char>(ip.size())) + ip);
    return request;
  }
};

TEST_F(ReadRpcsTest, GetRefusesCallersAndVdbsBeforeReading) {
  std::vector<tx::GetResponseMsg> responses;
  grpc::Status status = Get(ByIp("a"), &responses, "");
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "Unable to authenticate client. Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "Get operation failed: Unable to authenticate client. Missing client id."));

  // Only vdb 1 exists. An explicit 0 is not the default, and an id past
  // 16 bits is not the vdb its low bits name.
  for (uint32_t vdb : {0u, 2u, 65537u}) {
    tx::GetRequestMsg request = ByIp("a");
    request.set_vdb_id(vdb);
    status = Get(request, &responses);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << vdb;
    EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
    EXPECT_TRUE(HasLine("ERROR", "DRX0606",
                        "Error: Specified vdb_id = " + std::to_string(vdb) +
                            " is not yet in use."));
  }

  tx::GetRequestMsg request = ByIp("a");
  request.add_objects()->set_object_body("x");  // no type
  status = Get(request, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_TRUE(HasLine("DEBUG", "", "object_type='caldek.orv.tarnix.AddressMsg' object_id='a'"));
  EXPECT_TRUE(responses.empty());
}

TEST_F(ReadRpcsTest, GetStreamsEveryChunkOfTheMainVdbByDefault) {
  const std::string big(700000, 'b');
  StoreAddress("a", {1}, big);
  StoreAddress("b", {1}, big);
  StoreAddress("c", {2}, "only in vdb 2");
  tx::GetRequestMsg request = ByIp("a");
  *request.add_objects() = ByIp("b").objects(0);
  *request.add_objects() = ByIp("c").objects(0);
  std::vector<tx::GetResponseMsg> responses;
  ASSERT_TRUE(Get(request, &responses).ok());
  ASSERT_EQ(responses.size(), 2u);
  ASSERT_EQ(responses[0].objects_size(), 2);
  EXPECT_EQ(responses[0].objects(1).object_body(), big);
  ASSERT_EQ(responses[1].objects_size(), 1);
  EXPECT_FALSE(responses[1].objects(0).has_object_body());
}

// Damage inside a table file is found by its block checksum and answered
// as such, instead of being served as the object's body.
TEST_F(ReadRpcsTest, AFlippedByteInATableIsDataLossNotData) {
  server_.reset();
  data_.reset();
  std::mt19937 random(7);
  std::string body(20000, '\0');
  for (char& c : body) c = static_cast<char>(random());  // incompressible: stored as is
  StoreAddress("a", {1}, body);
  db_.reset();
  db_ = OpenDb();  // recovery moves the record into a table file
  db_.reset();
  int flipped = 0;
  for (const std::string& name : Files()) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".ldb") != 0) continue;
    std::string table = ReadFile(db_dir_ + "/" + name);
    if (table.size() < body.size()) continue;
    table[table.find(body.substr(10000, 16)) + 8] ^= 0x10;  // inside the body
    WriteFile(db_dir_ + "/" + name, table);
    ++flipped;
  }
  ASSERT_EQ(flipped, 1);
  db_ = OpenDb();
  Serve();
  std::vector<tx::GetResponseMsg> responses;
  const grpc::Status status = Get(ByIp("a"), &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::DATA_LOSS);
  EXPECT_EQ(status.error_message().rfind("LevelDB error: Corruption: ", 0), 0u)
      << status.error_message();
  for (const auto& response : responses) {
    for (const auto& object : response.objects()) EXPECT_NE(object.object_body(), body);
  }
}

// A query of addresses: where clause `op` / `value` (text), in `vdb` when
// not 0.
tx::QueryRequestMsg AddressQuery(const Schema& schema, const std::string& op,
                                 const std::string& value, uint32_t vdb = 0) {
  auto bytes = [&](const std::string& type, const std::string& text) {
    std::unique_ptr<google::protobuf::Message> message(schema.types().NewMessage(type));
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  };
  tx::QueryRequestMsg request;
  schema.types().SetObjectType(kAddress, request.mutable_statement());
  tx::WhereMsg* where = request.mutable_statement()->add_where();
  where->set_op_msg(bytes(schema.op_messages().GetOpMsgTypeName(kAddress), op));
  where->set_value(bytes(kAddress, value));
  if (vdb != 0) request.set_vdb_id(vdb);
  return request;
}

TEST_F(ReadRpcsTest, QueryRefusesCallersVdbsAndStatementsBeforeReading) {
  std::vector<tx::QueryResponseMsg> responses;
  grpc::Status status = Call("Query", "", AddressQuery(schema_, "", ""), &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_EQ(status.error_message(), "Unable to authenticate client. Missing client id.");
  EXPECT_TRUE(HasLine("ERROR", "DRX0007",
                      "Query operation failed: Unable to authenticate client. Missing client id."));

  for (uint32_t vdb : {2u, 65537u}) {
    status = Call("Query", "guest", AddressQuery(schema_, "", "", vdb), &responses);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << vdb;
    EXPECT_EQ(status.error_message(), "no mapping for vdb_id found");
    EXPECT_TRUE(HasLine("ERROR", "DRX0606",
                        "Error: Specified vdb_id = " + std::to_string(vdb) +
                            " is not yet in use."));
  }

  // The client sees the status alone; the log says it was a Query.
  tx::QueryRequestMsg request = AddressQuery(schema_, "", "");
  request.mutable_statement()->clear_where();
  status = Call("Query", "tarnix-cli", request, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(status.error_message(), "where clause not provided");
  EXPECT_TRUE(HasLine("INFO", "",
                      "Query operation failed: INVALID_ARGUMENT: where clause not provided"));
  status = Call("Query", "guest", request, &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_TRUE(responses.empty());
}

TEST_F(ReadRpcsTest, QueryStreamsItsChunksOrAnswersOneEmptyResponse) {
  server_.reset();
  data_.reset();
  PutAll(db_.get(), {{kVDbInfoPrefix + std::string("\x02"), "second"}});  // vdb 2
  Serve();
  const std::string big(700000, 'b');
  auto body = [&](const std::string& ip) {
    std::unique_ptr<google::protobuf::Message> message(schema_.types().NewMessage(kAddress));
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(
        "ip: '" + ip + "' dns_names: '" + big + "'", message.get()));
    return message->SerializeAsString();
  };
  StoreAddress("a", {1}, body("a"));
  StoreAddress("b", {1}, body("b"));
  StoreAddress("c", {1, 2}, body("c"));
  std::vector<tx::QueryResponseMsg> responses;
  ASSERT_TRUE(Call("Query", "tarnix-cli", AddressQuery(schema_, "", ""), &responses).ok());
  ASSERT_EQ(responses.size(), 2u);
  ASSERT_EQ(responses[0].objects_size(), 2);
  EXPECT_EQ(responses[0].objects(1).object_body(), body("b"));
  ASSERT_EQ(responses[1].objects_size(), 1);
  EXPECT_TRUE(HasLine("INFO", "", "Query: Client ID=tarnix-cli"));
  EXPECT_TRUE(HasLine("INFO", "", "query object_type='caldek.orv.tarnix.AddressMsg'"));

  responses.clear();
  ASSERT_TRUE(
      Call("Query", "tarnix-cli", AddressQuery(schema_, "ip { op: EQUALS }", "ip: 'c'", 2),
           &responses)
          .ok());
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].objects(0).object_body(), body("c"));

  // Nothing matched: one empty response.
  responses.clear();
  ASSERT_TRUE(Call("Query", "tarnix-cli", AddressQuery(schema_, "ip { op: EQUALS }", "ip: 'z'"),
                   &responses)
                  .ok());
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].objects_size(), 0);
}

// A server-stream call read message by message, with a deadline of its own.
class StreamReader {
 public:
  StreamReader(const std::shared_ptr<grpc::Channel>& channel, const std::string& method,
               const google::protobuf::Message& request, std::chrono::milliseconds deadline)
      : stub_(channel) {
    context_.set_deadline(std::chrono::system_clock::now() + deadline);
    context_.AddMetadata("client-id", "tarnix-cli");
    stream_ = stub_.PrepareCall(&context_, "/caldek.orv.tarnix.Tarnix/" + method, &cq_);
    stream_->StartCall(nullptr);
    if (!testing::Next(&cq_)) return;
    stream_->Write(testing::Serialize(request), nullptr);
    testing::Next(&cq_);
    stream_->WritesDone(nullptr);
    testing::Next(&cq_);
  }

  // The next message parsed into *response; false at the end of the stream.
  template <class Resp>
  bool Read(Resp* response) {
    grpc::ByteBuffer raw;
    stream_->Read(&raw, nullptr);
    if (!testing::Next(&cq_)) return false;
    return grpc::SerializationTraits<Resp>::Deserialize(&raw, response).ok();
  }
  // Reads what is left; its status.
  template <class Resp>
  grpc::Status ReadToEnd(size_t* entries) {
    Resp response;
    while (Read(&response)) *entries += response.objects_size();
    grpc::Status status;
    stream_->Finish(&status, nullptr);
    testing::Next(&cq_);
    return status;
  }

 private:
  grpc::GenericStub stub_;
  grpc::ClientContext context_;
  grpc::CompletionQueue cq_;
  std::unique_ptr<grpc::GenericClientAsyncReaderWriter> stream_;
};

// Many addresses in vdb 1, each of `body_bytes` padding.
class LongReadTest : public ReadRpcsTest {
 protected:
  void StoreAddresses(int count, size_t body_bytes) {
    DbAccess::Records records;
    for (int i = 0; i < count; ++i) {
      const std::string ip = std::to_string(i);
      std::string key;
      ASSERT_TRUE(MakeObjectRecordKey(schema_, kAddress, ip, &key));
      const std::string body = "\x0a" + std::string(1, static_cast<char>(ip.size())) + ip;
      records.emplace_back(key + EncodeVdbIdSet({1}), body + std::string(body_bytes, '\0'));
    }
    std::sort(records.begin(), records.end());
    PutAll(db_.get(), records);
  }
  tx::GetRequestMsg AllAddresses() {
    tx::GetRequestMsg request;
    schema_.types().SetObjectType(kAddress, request.add_objects());
    return request;
  }
};

TEST_F(LongReadTest, GetsAndQueriesLetOtherCallsInBetweenTheirSlices) {
  constexpr int kObjects = 20000;
  StoreAddresses(kObjects, 0);
  data_->set_read_slice_records(4);
  read_slice_delay_ = std::chrono::microseconds(100);
  for (const char* method : {"Get", "Query"}) {
    SCOPED_TRACE(method);
    std::atomic<bool> answered{false};
    size_t entries = 0;
    grpc::Status read_status;
    std::thread reader([&] {
      const tx::QueryRequestMsg query = AddressQuery(schema_, "", "");
      const tx::GetRequestMsg get = AllAddresses();
      const bool is_get = std::string(method) == "Get";
      StreamReader stream(Channel(server_->address(), nullptr), method,
                          is_get ? static_cast<const google::protobuf::Message&>(get) : query,
                          std::chrono::seconds(30));
      read_status = is_get ? stream.ReadToEnd<tx::GetResponseMsg>(&entries)
                           : stream.ReadToEnd<tx::QueryResponseMsg>(&entries);
      answered = true;
    });
    const size_t posted = read_slices_posted_;
    for (int i = 0; i < 5000 && read_slices_posted_ == posted; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    tx::PutRequestMsg put;
    tx::TypedObjectMsg* object = put.add_puts()->mutable_object();
    schema_.types().SetObjectType(kAddress, object);
    object->set_object_body(std::string("\x0a\x02z") + method[0]);
    const grpc::Status put_status = testing::CallClientStream(
        Channel(server_->address(), nullptr), "/caldek.orv.tarnix.Tarnix/Put", "inventory-agent",
        std::list<tx::PutRequestMsg>{put});
    const bool read_was_running = !answered.load();
    reader.join();
    EXPECT_TRUE(put_status.ok()) << put_status.error_message();
    EXPECT_TRUE(read_was_running);
    ASSERT_TRUE(read_status.ok()) << read_status.error_message();
    // The read's snapshot predates the Put.
    EXPECT_EQ(entries, kObjects + (std::string(method) == "Get" ? 0u : 1u));
  }
}

TEST_F(LongReadTest, AReadStopsWithItsCall) {
  StoreAddresses(20000, 0);
  data_->set_read_slice_records(1);
  read_slice_delay_ = std::chrono::microseconds(50);  // a second or more for the whole read
  StreamReader stream(Channel(server_->address(), nullptr), "Get", AllAddresses(),
                      std::chrono::milliseconds(200));
  size_t entries = 0;
  EXPECT_EQ(stream.ReadToEnd<tx::GetResponseMsg>(&entries).error_code(),
            grpc::StatusCode::DEADLINE_EXCEEDED);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const size_t posted = read_slices_posted_;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(read_slices_posted_ - posted, 1u);
  EXPECT_LT(posted, 20000u);
}

TEST_F(LongReadTest, AReaderThatStopsReadingPausesTheRead) {
  constexpr int kObjects = 60000;  // 60 MB
  StoreAddresses(kObjects, 1000);
  data_->set_read_slice_records(64);
  StreamReader stream(Channel(server_->address(), nullptr), "Get", AllAddresses(),
                      std::chrono::seconds(30));
  tx::GetResponseMsg first;
  ASSERT_TRUE(stream.Read(&first));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t posted = read_slices_posted_;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(read_slices_posted_, posted);
  // What the transport buffers is far less than the answer.
  EXPECT_LT(posted * 64, kObjects / 2u);
  size_t entries = first.objects_size();
  ASSERT_TRUE(stream.ReadToEnd<tx::GetResponseMsg>(&entries).ok());
  EXPECT_EQ(entries, static_cast<size_t>(kObjects));
}

TEST_F(ReadRpcsTest, TransactionLogStreamsStoredUnitsInKeyOrderAndChunks) {
  std::vector<tx::GetTransactionLogsResponseMsg> responses;
  tx::GetTransactionLogsRequestMsg request;
  ASSERT_TRUE(Call("GetTransactionLog", "", request, &responses).ok());
  EXPECT_TRUE(responses.empty());

  const std::string a(600000, 'a'), b(600000, 'b'), c(1000000, 'c');
  PutAll(db_.get(), {{kTxnLogPrefix + std::string("\x04"), "d"},
                     {kTxnLogPrefix + std::string("\x03"), c},
                     {kTxnLogPrefix + std::string("\x01"), a},
                     {kTxnLogPrefix + std::string("\x02"), b},
                     {kTxnIdKey, "4"}});
  ASSERT_TRUE(Call("GetTransactionLog", "", request, &responses).ok());
  ASSERT_EQ(responses.size(), 3u);
  auto units = [&](size_t i) {
    return std::vector<std::string>(responses[i].units().begin(), responses[i].units().end());
  };
  EXPECT_EQ(units(0), (std::vector<std::string>{a, b}));
  EXPECT_EQ(units(1), (std::vector<std::string>{c}));
  EXPECT_EQ(units(2), (std::vector<std::string>{"d"}));
  EXPECT_TRUE(HasLine("INFO", "", "GetTransactionLog: Client ID="));
}

TEST_F(ReadRpcsTest, TransactionLogReadFailureFailsTheStream) {
  server_.reset();
  data_.reset();
  PutAll(db_.get(), {{kTxnLogPrefix + std::string("\x01"), "unit"}});
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // recovery moves the unit into a table file
  Serve();
  env.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  std::vector<tx::GetTransactionLogsResponseMsg> responses;
  const grpc::Status status =
      Call("GetTransactionLog", "", tx::GetTransactionLogsRequestMsg(), &responses);
  env.FailReadsAfter(-1, leveldb::Status::OK());
  server_.reset();  // the service and the database before `env`
  data_.reset();
  db_.reset();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::DATA_LOSS);
  ASSERT_EQ(status.error_message().rfind("LevelDB error: ", 0), 0u) << status.error_message();
  EXPECT_TRUE(responses.empty());
  const std::string storage_text = status.error_message().substr(strlen("LevelDB error: "));
  EXPECT_TRUE(HasLine("INFO", "", "DbAccess error in GetTransactionLogs(): " + storage_text + ". "))
      << storage_text;
}

// The data service over TLS on loopback: "alice" and "bob" are registered
// clients, "server" is the server's own certificate; the administrator has
// no registered one.
class ReadRpcsTlsTest : public testing::WithIdentities<testing::DataServiceTest> {
 protected:
  void SetUp() override {
    DataServiceTest::SetUp();
    certificates_["alice"] = testing::DigestOf(*ids_, "alice");
    certificates_["bob"] = testing::DigestOf(*ids_, "bob");
    Serve([](orv::AsioOrvProvider& provider) {
      testing::InstallTls(provider, *ids_, {"alice", "bob", "server"});
    });
  }

  template <class Req, class Resp>
  grpc::Status Call(const std::string& method, const std::string& certificate,
                    const std::string& client_id, std::vector<Resp>* responses) {
    return CallServerStream(Channel(server_->address(), ids_, certificate),
                            "/caldek.orv.tarnix.Tarnix/" + method, client_id, Req(), responses);
  }
  grpc::Status Get(const std::string& certificate, const std::string& client_id) {
    std::vector<tx::GetResponseMsg> responses;
    return Call<tx::GetRequestMsg>("Get", certificate, client_id, &responses);
  }
  grpc::Status GetLog(const std::string& certificate, const std::string& client_id,
                      std::vector<tx::GetTransactionLogsResponseMsg>* responses) {
    return Call<tx::GetTransactionLogsRequestMsg>("GetTransactionLog", certificate, client_id,
                                                  responses);
  }
};

TEST_F(ReadRpcsTlsTest, GetServesOnlyIdsTheCallerCanProveOrThatNobodyCould) {
  for (const auto& [certificate, client] : std::vector<std::pair<std::string, std::string>>{
           {"", "tarnix-cli"}, {"", "alice"}, {"bob", "alice"}, {"alice", "tarnix-cli"}}) {
    const grpc::Status status = Get(certificate, client);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED)
        << certificate << " as " << client;
    EXPECT_EQ(status.error_message(), "Invalid certificate used for client " + client);
  }
  EXPECT_TRUE(HasLine("ERROR", "DRX0702", "Invalid certificate used for client tarnix-cli"));
  // Past authentication the Get body refuses the empty request.
  for (const auto& [certificate, client] : std::vector<std::pair<std::string, std::string>>{
           {"alice", "alice"}, {"server", "tarnix-cli"}, {"", "carol"}}) {
    const grpc::Status status = Get(certificate, client);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT)
        << certificate << " as " << client;
    EXPECT_EQ(status.error_message(), "Missing object request for GET request");
  }
}

TEST_F(ReadRpcsTlsTest, TransactionLogIsTheAdministratorsAlone) {
  PutAll(db_.get(), {{kTxnLogPrefix + std::string("\x01"), "unit"}});
  std::vector<tx::GetTransactionLogsResponseMsg> responses;
  for (const char* client : {"", "tarnix-cli"}) {
    const grpc::Status status = GetLog("", client, &responses);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << client;
    EXPECT_EQ(status.error_message(), "Client did not provide a mandatory certificate.");
  }
  grpc::Status status = GetLog("alice", "tarnix-cli", &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(),
            "Incorrect certificate provided. Server certificate must be used.");
  status = GetLog("server", "alice", &responses);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(status.error_message(), "alice does not have permission to read the transaction log.");
  EXPECT_TRUE(responses.empty());

  ASSERT_TRUE(GetLog("server", "tarnix-cli", &responses).ok());
  ASSERT_EQ(responses.size(), 1u);
  ASSERT_EQ(responses[0].units_size(), 1);
  EXPECT_EQ(responses[0].units(0), "unit");
}

}  // namespace
}  // namespace tarnix

#ifndef TARNIX_E2E_E2E_TEST_UTIL_H_
#define TARNIX_E2E_E2E_TEST_UTIL_H_

// Test-only: a daemon serving the example schema on a loopback port, objects
// of the example schema built from its descriptor set (as any client would),
// TLS identities and channels, and calls through the generated gRPC stubs.

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/text_format.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_service.grpc.pb.h"
#include "e2e/daemon_process.h"

namespace tarnix {
namespace e2e {

namespace tx = ::caldek::orv::tarnix;

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kStartTimeout(15);
constexpr std::chrono::seconds kStopTimeout(10);
constexpr std::chrono::seconds kCallTimeout(10);

// The daemon on a free loopback port with the example schema, logging to
// standard output, waited for until health reports SERVING. Its TLS key and
// certificate are looked for in `dir`/tls; `connect` makes the channels to
// its address (TLS ones when they are there).
class ServingDaemon {
 public:
  using Connect = std::function<std::shared_ptr<grpc::Channel>(const std::string& address)>;

  ServingDaemon(const std::string& dir, const std::string& database,
                const std::vector<std::string>& extra_args = {},
                const Connect& connect = PlainChannel) {
    // The port is free when picked but may be taken before the daemon binds
    // it: a daemon that does not come up is tried again on another port.
    for (int attempt = 0; attempt < 3 && !serving_; ++attempt) {
      address_ = "127.0.0.1:" + std::to_string(PickFreePort());
      std::vector<std::string> args = {"--schema", TARNIX_EXAMPLE_SCHEMA, "--database", database,
                                       "--listen", address_, "--stdout",
                                       // The test's TLS identity, if any; never the host's.
                                       "--x_tls_dir", dir + "/tls"};
      args.insert(args.end(), extra_args.begin(), extra_args.end());
      std::string error;
      process_ = ChildProcess::Spawn(dir, args, &error);
      if (!process_) {
        ADD_FAILURE() << error;
        return;
      }
      // A fresh channel per poll: one that failed to connect waits out
      // gRPC's reconnect backoff (seconds) before it tries again.
      const auto deadline = Clock::now() + kStartTimeout;
      while (process_->Running() && Clock::now() < deadline) {
        if (HealthStatus(connect(address_), "", std::chrono::milliseconds(250)) == 1) {
          serving_ = true;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    channel_ = connect(address_);
    if (!serving_) {
      ADD_FAILURE() << "tarnix-server did not come up; stdout:\n"
                    << process_->Stdout() << "\nstderr:\n" << process_->Stderr();
    }
  }

  bool serving() const { return serving_; }
  const std::string& address() const { return address_; }
  const std::shared_ptr<grpc::Channel>& channel() const { return channel_; }
  ChildProcess& process() { return *process_; }

  // An orderly stop: `signal` and the exit status (nothing when it hung and
  // was killed).
  std::optional<int> Stop(int signal = SIGTERM) {
    return process_->Terminate(kStopTimeout, signal);
  }

 private:
  std::string address_;
  bool serving_ = false;
  std::unique_ptr<ChildProcess> process_;
  std::shared_ptr<grpc::Channel> channel_;
};

// Object type ids of the example schema.
constexpr int kDeviceType = 1;
constexpr int kInterfaceType = 2;
constexpr int kAddressType = 3;

// Objects of the example schema, from its compiled descriptor set.
class ExampleSchema {
 public:
  ExampleSchema() {
    google::protobuf::FileDescriptorSet files;
    std::ifstream in(TARNIX_EXAMPLE_SCHEMA, std::ios::binary);
    EXPECT_TRUE(files.ParseFromIstream(&in)) << TARNIX_EXAMPLE_SCHEMA;
    for (const auto& file : files.file()) EXPECT_NE(pool_.BuildFile(file), nullptr);
  }

  // The serialised object of `type` ("DeviceMsg") given as text format.
  std::string Body(const std::string& type, const std::string& text) {
    const google::protobuf::Descriptor* descriptor =
        pool_.FindMessageTypeByName("caldek.orv.tarnix." + type);
    EXPECT_NE(descriptor, nullptr) << type;
    if (descriptor == nullptr) return "";
    std::unique_ptr<google::protobuf::Message> message(factory_.GetPrototype(descriptor)->New());
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
    return message->SerializeAsString();
  }
  // `bytes` parsed as the object of `type` ("DeviceMsg"); null when they
  // do not parse.
  std::unique_ptr<google::protobuf::Message> Parse(const std::string& type,
                                                   const std::string& bytes) {
    const google::protobuf::Descriptor* descriptor =
        pool_.FindMessageTypeByName("caldek.orv.tarnix." + type);
    EXPECT_NE(descriptor, nullptr) << type;
    if (descriptor == nullptr) return nullptr;
    std::unique_ptr<google::protobuf::Message> message(factory_.GetPrototype(descriptor)->New());
    if (!message->ParseFromString(bytes)) return nullptr;
    return message;
  }
  std::string Device(int id, const std::string& hostname) {
    return Body("DeviceMsg", "id { left: " + std::to_string(id) + " } hostname: '" + hostname + "'");
  }

 private:
  google::protobuf::DescriptorPool pool_;
  google::protobuf::DynamicMessageFactory factory_{&pool_};
};

// Object type ids are the schema's, unknown to the wire contract's enum:
// they travel as unknown values of field 1.
inline tx::TypedObjectMsg Typed(int type, const std::string& body, bool with_body = true) {
  tx::TypedObjectMsg typed;
  typed.mutable_unknown_fields()->AddVarint(tx::TypedObjectMsg::kObjectTypeFieldNumber, type);
  if (with_body) typed.set_object_body(body);
  return typed;
}

inline int TypeOf(const tx::TypedObjectMsg& typed) {
  if (typed.has_object_type()) return typed.object_type();
  const google::protobuf::UnknownFieldSet& unknown = typed.unknown_fields();
  for (int i = 0; i < unknown.field_count(); ++i) {
    if (unknown.field(i).number() == tx::TypedObjectMsg::kObjectTypeFieldNumber) {
      return static_cast<int>(unknown.field(i).varint());
    }
  }
  return 0;
}

// The whole content of the file at `path` ("" when it cannot be read).
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A self-signed EC identity for localhost, made with the openssl CLI.
inline bool MakeIdentity(const std::string& name, const std::string& key,
                         const std::string& cert) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=" + name + " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " + key +
      " -out " + cert + " 2>/dev/null";
  return system(command.c_str()) == 0;
}

// A TLS channel to `address` trusting `root_cert` (PEM) for "localhost",
// presenting `cert` with `key` (PEM) unless they are "". It shares no
// connection with channels of other credentials.
inline std::shared_ptr<grpc::Channel> TlsChannel(const std::string& address,
                                                 const std::string& root_cert,
                                                 const std::string& key = "",
                                                 const std::string& cert = "") {
  grpc::SslCredentialsOptions ssl;
  ssl.pem_root_certs = root_cert;
  ssl.pem_private_key = key;
  ssl.pem_cert_chain = cert;
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  args.SetSslTargetNameOverride("localhost");
  return grpc::CreateCustomChannel(address, grpc::SslCredentials(ssl), args);
}

// Adds to `request` the flush of block `block` of three blocks, one per
// update frequency (1 low, 2 medium, 3 high); the vdbs are left to the caller.
inline tx::FlushByBlockIdMsg* AddBlockFlush(uint32_t block,
                                         tx::FlushByBlockIdRequestMsg* request) {
  tx::FlushByBlockIdMsg* flush = request->add_flushes();
  flush->set_block_id(block);
  tx::MerkleTreeBlockRangesMsg* ranges = flush->mutable_block_ranges();
  ranges->set_num_blocks(3);
  ranges->mutable_low_frequency_range()->set_first_block(1);
  ranges->mutable_low_frequency_range()->set_last_block(1);
  ranges->mutable_medium_frequency_range()->set_first_block(2);
  ranges->mutable_medium_frequency_range()->set_last_block(2);
  ranges->mutable_high_frequency_range()->set_first_block(3);
  ranges->mutable_high_frequency_range()->set_last_block(3);
  return flush;
}

// A daemon run in `dir_` whose TLS identity is in `dir_`/tls (made by the
// test), with client identities beside it.
class TlsDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir((dir_.path() + "/tls").c_str(), 0700), 0); }

  // The key and certificate files of `name`; "server" is the daemon's own.
  std::string Key(const std::string& name) const {
    return name == "server" ? dir_.path() + "/tls/tarnix-privkey.pem"
                            : dir_.path() + "/" + name + "-key.pem";
  }
  std::string Cert(const std::string& name) const {
    return name == "server" ? dir_.path() + "/tls/tarnix-cert.pem"
                            : dir_.path() + "/" + name + "-cert.pem";
  }
  // A TLS channel trusting the server and presenting `identity`'s
  // certificate ("" for none).
  std::shared_ptr<grpc::Channel> Channel(const std::string& address,
                                         const std::string& identity) const {
    if (identity.empty()) return TlsChannel(address, ReadText(Cert("server")));
    return TlsChannel(address, ReadText(Cert("server")), ReadText(Key(identity)),
                      ReadText(Cert(identity)));
  }

  TempDir dir_;
};

// A call's deadline and, unless `client_id` is "", its client-id metadata.
inline void PrepareCall(const std::string& client_id, grpc::ClientContext* context) {
  context->set_deadline(std::chrono::system_clock::now() + kCallTimeout);
  if (!client_id.empty()) context->AddMetadata("client-id", client_id);
}

// Calls of the data service through its generated stub, as `client_id`
// ("" sends no client-id metadata).
class TarnixClient {
 public:
  explicit TarnixClient(const std::shared_ptr<grpc::Channel>& channel)
      : stub_(tx::Tarnix::NewStub(channel)) {}

  // One write stream carrying `requests`.
  template <class Req, class Resp>
  grpc::Status Write(std::unique_ptr<grpc::ClientWriter<Req>> (tx::Tarnix::Stub::*open)(
                         grpc::ClientContext*, Resp*),
                     const std::string& client_id, const std::vector<Req>& requests) {
    grpc::ClientContext context;
    PrepareCall(client_id, &context);
    Resp response;
    std::unique_ptr<grpc::ClientWriter<Req>> writer = ((*stub_).*open)(&context, &response);
    for (const Req& request : requests) {
      if (!writer->Write(request)) break;
    }
    writer->WritesDone();
    return writer->Finish();
  }

  grpc::Status Get(const std::string& client_id, const tx::GetRequestMsg& request,
                   std::vector<tx::GetResponseMsg>* responses) {
    grpc::ClientContext context;
    PrepareCall(client_id, &context);
    return ReadAll(stub_->Get(&context, request), responses);
  }

  // Every object of `type` in `vdb` (0: none named, so the main vdb),
  // response by response; a refused call fails the test.
  std::vector<tx::GetResponseMsg> GetAll(const std::string& client_id, int type,
                                         uint32_t vdb = 0) {
    tx::GetRequestMsg request;
    if (vdb != 0) request.set_vdb_id(vdb);
    *request.add_objects() = Typed(type, "", false);
    std::vector<tx::GetResponseMsg> responses;
    const grpc::Status status = Get(client_id, request, &responses);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return responses;
  }

  grpc::Status Query(const std::string& client_id, const tx::QueryRequestMsg& request,
                     std::vector<tx::QueryResponseMsg>* responses) {
    grpc::ClientContext context;
    PrepareCall(client_id, &context);
    return ReadAll(stub_->Query(&context, request), responses);
  }

  // Every stored log unit, decoded.
  grpc::Status GetTransactionLog(const std::string& client_id,
                                 std::vector<tx::TransactionLogUnitMsg>* units) {
    grpc::ClientContext context;
    PrepareCall(client_id, &context);
    std::vector<tx::GetTransactionLogsResponseMsg> responses;
    grpc::Status status =
        ReadAll(stub_->GetTransactionLog(&context, tx::GetTransactionLogsRequestMsg()), &responses);
    for (const auto& response : responses) {
      for (const std::string& value : response.units()) {
        units->emplace_back();
        EXPECT_TRUE(units->back().ParseFromString(value));
      }
    }
    return status;
  }

 private:
  template <class Resp>
  static grpc::Status ReadAll(std::unique_ptr<grpc::ClientReader<Resp>> reader,
                              std::vector<Resp>* responses) {
    Resp response;
    while (reader->Read(&response)) responses->push_back(response);
    return reader->Finish();
  }

  std::unique_ptr<tx::Tarnix::Stub> stub_;
};

// One Monitor call of the generated stub, read as the test goes.
// The highest transaction id in the transaction log, read as `client_id`.
inline uint64_t LastTxnId(TarnixClient* client, const std::string& client_id) {
  std::vector<tx::TransactionLogUnitMsg> units;
  const grpc::Status status = client->GetTransactionLog(client_id, &units);
  EXPECT_TRUE(status.ok()) << status.error_message();
  uint64_t last = 0;
  for (const tx::TransactionLogUnitMsg& unit : units) {
    if (unit.has_txn_id() && unit.txn_id() > last) last = unit.txn_id();
  }
  return last;
}

class MonitorReader {
 public:
  MonitorReader(tx::Tarnix::Stub* stub, const std::string& client_id,
                const tx::MonitorRequestMsg& request) {
    PrepareCall(client_id, &context_);
    reader_ = stub->Monitor(&context_, request);
  }
  ~MonitorReader() {
    if (finished_) return;
    context_.TryCancel();
    Finish();
  }
  // The messages of the next transaction, up to its end mark.
  std::vector<tx::MonitorResponseMsg> ReadTransaction() {
    std::vector<tx::MonitorResponseMsg> messages;
    tx::MonitorResponseMsg message;
    while (reader_->Read(&message)) {
      messages.push_back(message);
      if (message.transaction_control().end_of_transaction()) break;
    }
    return messages;
  }
  // Reads what is left and the call's status.
  grpc::Status Finish() {
    tx::MonitorResponseMsg rest;
    while (reader_->Read(&rest)) {
    }
    finished_ = true;
    return reader_->Finish();
  }

 private:
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader_;
  bool finished_ = false;
};

// The resident memory of process `pid`, in bytes.
inline size_t Rss(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

inline double Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d).count() / 1000.0;
}

// A channel of its own, without a receive limit.
inline std::unique_ptr<tx::Tarnix::Stub> OwnStub(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  args.SetInt(GRPC_ARG_MAX_RECEIVE_MESSAGE_LENGTH, -1);
  args.SetInt(GRPC_ARG_MAX_SEND_MESSAGE_LENGTH, -1);
  return tx::Tarnix::NewStub(
      grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args));
}

// SIGTERM to the daemon, given `wait` to end: it must end with status 0
// within five seconds. Prints how long it took.
inline void ExpectStopWithinFiveSeconds(ServingDaemon* daemon, std::chrono::seconds wait) {
  const auto signalled = Clock::now();
  const std::optional<int> status = daemon->process().Terminate(wait);
  const auto took = Clock::now() - signalled;
  ASSERT_TRUE(status.has_value()) << "still running " << wait.count() << " s after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_LT(took, std::chrono::seconds(5)) << Ms(took) << " ms";
  std::printf("figures: SIGTERM to exit %.0f ms\n", Ms(took));
}

// One Monitor call of `client_id` (the administrator unless told) on a
// connection of its own.
struct OpenMonitor {
  OpenMonitor(const std::string& address, const tx::MonitorRequestMsg& request,
              const std::string& client_id = "tarnix-cli")
      : stub(OwnStub(address)) {
    context.AddMetadata("client-id", client_id);
    reader = stub->Monitor(&context, request);
  }
  ~OpenMonitor() {
    if (!finished) context.TryCancel();
    Finish();
  }
  // Reads what is left; the call's status.
  grpc::Status Finish() {
    if (finished) return status;
    tx::MonitorResponseMsg rest;
    while (reader->Read(&rest)) {
    }
    finished = true;
    status = reader->Finish();
    return status;
  }
  // The bodies of the next transaction; none once the call has ended.
  std::vector<std::string> ReadTransaction() {
    std::vector<std::string> bodies;
    tx::MonitorResponseMsg message;
    while (reader->Read(&message)) {
      for (const tx::MonitorUpdateMsg& update : message.updates()) {
        bodies.push_back(update.object_body());
      }
      if (message.transaction_control().end_of_transaction()) break;
    }
    return bodies;
  }

  std::unique_ptr<tx::Tarnix::Stub> stub;
  grpc::ClientContext context;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader;
  bool finished = false;
  grpc::Status status;
};

// A test over a daemon of its own, started afresh for each test case, with
// a client and a stub on its channel.
class ServingDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon_ = std::make_unique<ServingDaemon>(dir_.path(), dir_.path() + "/db");
    ASSERT_TRUE(daemon_->serving());
    client_ = std::make_unique<TarnixClient>(daemon_->channel());
    stub_ = tx::Tarnix::NewStub(daemon_->channel());
  }
  void TearDown() override {
    if (daemon_ && daemon_->serving()) {
      EXPECT_EQ(daemon_->Stop(), 0);
    }
  }

  TempDir dir_;
  ExampleSchema schema_;
  std::unique_ptr<ServingDaemon> daemon_;
  std::unique_ptr<TarnixClient> client_;
  std::unique_ptr<tx::Tarnix::Stub> stub_;
};

}  // namespace e2e
}  // namespace tarnix

#endif  // TARNIX_E2E_E2E_TEST_UTIL_H_

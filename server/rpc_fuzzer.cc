// Requests of the data service from fuzz input, sent over loopback gRPC to
// the real TarnixServer on an in-memory database; one server per process.
// An input is a few calls, each a method byte, a client byte, a two-byte
// length and the serialised request (sent as it is, parsed or not); write
// streams carry it as their one message, and monitors stay open until the
// input's calls are done. Every call must end within its deadline with a
// status a client request may earn, no exception may reach the RPC layer's
// catch-all, the object statistics must equal a recount, and cancelled
// monitors must leave nothing behind. Between inputs the objects and the
// vdbs the input made are removed through the service itself.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <grpcpp/generic/generic_stub.h>
#include <google/protobuf/text_format.h>
#include <grpcpp/grpcpp.h>
#include <leveldb/env.h>
#include <leveldb/helpers/memenv.h>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_workflow.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "logging/log_sink.h"
#include "logging/logger.h"
#include "platform/metrics/metric_registry.h"
#include "platform/net/endpoint.h"
#include "platform/provider.h"
#include "platform/util/library_log.h"
#include "schema/fuzz_schema.h"
#include "schema/schema.h"
#include "server/client_authentication.h"
#include "server/tarnix_server.h"
#include "storage/db_access.h"
#include "util/fuzz_support.h"
#include "write/object_stats_maintainer.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint64_t kMaxLogSize = 64 << 10;
constexpr size_t kMaxCalls = 6;
// Inputs served by one server: every flush leaves deletion marks that later
// scans step over until LevelDB compacts them away, so a fresh database now
// and then keeps a run from slowing down.
constexpr size_t kInputsPerServer = 1000;
constexpr auto kCallDeadline = seconds(10);
constexpr char kAdmin[] = "tarnix-cli";

enum class Shape { kUnary, kWriteStream, kReadStream, kMonitor };

struct Method {
  const char* name;
  Shape shape;
  bool changes_state;  // the objects, vdbs or tracer configuration
};

const Method kMethods[] = {
    {"Put", Shape::kWriteStream, true},
    {"Delete", Shape::kWriteStream, true},
    {"Flush", Shape::kWriteStream, true},
    {"Patch", Shape::kWriteStream, true},
    {"Copy", Shape::kWriteStream, true},
    {"FlushByBlockId", Shape::kWriteStream, true},
    {"Modify", Shape::kWriteStream, true},
    {"Get", Shape::kReadStream, false},
    {"Query", Shape::kReadStream, false},
    {"CreateVDb", Shape::kUnary, true},
    {"DeleteVDb", Shape::kUnary, true},
    {"GetVDbId", Shape::kUnary, false},
    {"Monitor", Shape::kMonitor, false},
    {"ConfigureMonitor", Shape::kUnary, false},
    {"GetTransactionLog", Shape::kReadStream, false},
    {"GetMerkleTree", Shape::kUnary, false},
    {"ConfigureWorkflowTracer", Shape::kUnary, true},
    {"GetWorkflowTracer", Shape::kUnary, false},
};
constexpr size_t kMethodCount = sizeof kMethods / sizeof *kMethods;

// The example schema's clients, one without rights, and none at all.
const char* const kClients[] = {kAdmin,  "inventory-agent", "network-controller",
                                "guest", "vdb-manager",     ""};

// Statuses that no request may earn from a healthy server on a healthy
// database: a handler's exception, a failed sync, a call that never ended.
bool IsFault(grpc::StatusCode code) {
  switch (code) {
    case grpc::StatusCode::UNKNOWN:
    case grpc::StatusCode::INTERNAL:
    case grpc::StatusCode::UNAVAILABLE:
    case grpc::StatusCode::DATA_LOSS:
    case grpc::StatusCode::DEADLINE_EXCEEDED:
    case grpc::StatusCode::UNIMPLEMENTED:
      return true;
    default:
      return false;
  }
}

// The RPC layer logs an exception that reached its catch-all; that is a
// fault, whatever the client was answered.
class ExceptionWatch : public orv::LogSink {
 public:
  void Syslog(int, const std::string& message) override {
    if (message.find("Exception in ") != std::string::npos) {
      std::fprintf(stderr, "%s\n", message.c_str());
      std::abort();
    }
  }
  void Stdout(const std::string&) override {}
};

// One call of any shape: the request is written once, then the stream is
// half-closed and every response read until the call ends.
class Call : public grpc::ClientBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer> {
 public:
  Call(grpc::GenericStub* stub, const char* method, const std::string& client_id,
       const std::string& request) {
    context_.set_deadline(std::chrono::system_clock::now() + kCallDeadline);
    if (!client_id.empty()) context_.AddMetadata("client-id", client_id);
    grpc::Slice slice(request);
    request_ = grpc::ByteBuffer(&slice, 1);
    stub->PrepareBidiStreamingCall(&context_, std::string("/caldek.orv.tarnix.Tarnix/") + method,
                                   grpc::StubOptions(), this);
    StartWrite(&request_);
    StartRead(&response_);
    StartCall();
  }
  ~Call() override { TARNIX_FUZZ_CHECK(WaitDone(kCallDeadline + seconds(5))); }

  void OnWriteDone(bool ok) override {
    if (ok) StartWritesDone();
  }
  void OnReadDone(bool ok) override {
    if (ok) StartRead(&response_);
  }
  void OnDone(const grpc::Status& status) override {
    std::lock_guard<std::mutex> lock(mu_);
    status_ = status;
    done_ = true;
    cv_.notify_all();
  }

  bool WaitDone(std::chrono::steady_clock::duration wait) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, wait, [this] { return done_; });
  }
  bool done() {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
  }
  grpc::Status status() {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
  }
  void Cancel() { context_.TryCancel(); }

 private:
  grpc::ClientContext context_;
  grpc::ByteBuffer request_;
  grpc::ByteBuffer response_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  grpc::Status status_;
};

// The data service on a loopback port, its loop on a thread of its own.
class Service {
 public:
  Service()
      : schema_(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"),
        env_(leveldb::NewMemEnv(leveldb::Env::Default())),
        db_(registry_, env_.get()) {
    TARNIX_FUZZ_CHECK(schema_.types().HasObjectTypes());
    TARNIX_FUZZ_CHECK(db_.Open("/db").code == DbAccessCode::OK);
    boost::property_tree::ptree config;
    config.put("rpc.shutdown_grace_ms", 100);
    config.put("rpc.io_threads", 2);
    provider_ = std::make_unique<orv::AsioOrvProvider>(config, "");
    data_ = std::make_unique<TarnixServer>(&schema_, &db_, kMaxLogSize, &registry_,
                                           &certificates_, &provider_->net().security_manager(),
                                           false, 65535, false);
    provider_->rpc().RegisterService(data_.get());
    provider_->rpc().AddListeningEndpoint(orv::net::Endpoint("127.0.0.1:0"));
    server_ = provider_->rpc().BuildStarted();
    loop_ = std::thread([this] { provider_->Run(1); });
    stub_ = std::make_unique<grpc::GenericStub>(grpc::CreateChannel(
        "127.0.0.1:" + std::to_string(server_->bound_ports().at(0)),
        grpc::InsecureChannelCredentials()));
  }

  // The loop first, then the server, the provider and the service, as the
  // tests' server goes.
  ~Service() {
    stub_.reset();
    provider_->Stop();
    loop_.join();
    server_.reset();
    provider_.reset();
    data_.reset();
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Runs `task` on the loop, where the server's state lives, and waits.
  template <class Task>
  void OnLoop(Task task) {
    std::promise<void> done;
    provider_->Post([&] {
      task();
      done.set_value();
    });
    TARNIX_FUZZ_CHECK(done.get_future().wait_for(kCallDeadline) == std::future_status::ready);
  }

  std::unique_ptr<Call> Start(const Method& method, const std::string& client_id,
                              const std::string& request) {
    return std::make_unique<Call>(stub_.get(), method.name, client_id, request);
  }

  // Ends the call and checks its status.
  void Finish(Call* call) {
    TARNIX_FUZZ_CHECK(call->WaitDone(kCallDeadline + seconds(5)));
    const grpc::Status status = call->status();
    if (IsFault(status.error_code())) {
      std::fprintf(stderr, "status %d: %s\n", status.error_code(), status.error_message().c_str());
      std::abort();
    }
  }

  // Every monitor registered in the engine, in any vdb in use.
  std::set<std::string> Monitors() {
    std::set<std::string> monitors;
    OnLoop([&] {
      data_->monitor_engine().CollectMonitorsWatchingVDb(kMainVdbId, &monitors);
      for (const auto& vdb : data_->vdbs().vdb_name_to_id()) {
        data_->monitor_engine().CollectMonitorsWatchingVDb(vdb.second, &monitors);
      }
    });
    return monitors;
  }

  // Waits until a Monitor call started when `before` monitors were
  // registered has opened or ended.
  void AwaitMonitor(Call* call, size_t before) {
    const auto until = std::chrono::steady_clock::now() + kCallDeadline;
    while (!call->done() && Monitors().size() <= before) {
      TARNIX_FUZZ_CHECK(std::chrono::steady_clock::now() < until);
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  // Cancelled monitors leave the engine with every subscription.
  void AwaitMonitorsGone() {
    const auto until = std::chrono::steady_clock::now() + kCallDeadline;
    for (;;) {
      bool subscriptions = true;
      OnLoop([&] { subscriptions = data_->monitor_engine().HasSubscriptions(); });
      if (!subscriptions && Monitors().empty()) return;
      TARNIX_FUZZ_CHECK(std::chrono::steady_clock::now() < until);
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  // The statistics the writes kept against a count of what is stored.
  void CheckStatistics() {
    OnLoop([&] {
      orv::metrics::MetricRegistry recount_registry;
      ObjectStatsMaintainer recount(&recount_registry);
      ComputeStatistics(schema_, &db_, &recount);
      for (const auto& [id, type] : schema_.types().GetObjectTypeNames()) {
        TARNIX_FUZZ_CHECK(Counts(&data_->obj_stats_maintainer(), type) == Counts(&recount, type));
      }
    });
  }

  // Flushes every object, deletes every vdb but the main one and switches
  // tracing off, through the service.
  void Clear() {
    std::vector<uint32_t> vdbs;
    OnLoop([&] {
      for (const auto& vdb : data_->vdbs().vdb_name_to_id()) vdbs.push_back(vdb.second);
    });
    tx::FlushRequestMsg flush;
    for (const auto& [id, type] : schema_.types().GetObjectTypeNames()) {
      tx::FlushMsg* entry = flush.add_flushes();
      schema_.types().SetObjectType(type, entry);
      for (uint32_t vdb : vdbs) entry->add_vdb_ids(vdb);
    }
    Expect("Flush", flush);
    std::vector<std::string> names;
    OnLoop([&] {
      for (const auto& vdb : data_->vdbs().vdb_name_to_id()) {
        if (vdb.second != kMainVdbId) names.push_back(vdb.first);
      }
    });
    for (const std::string& name : names) {
      tx::DeleteVDbRequestMsg request;
      request.set_vdb_name(name);
      Expect("DeleteVDb", request);
    }
    Expect("ConfigureWorkflowTracer", tx::ConfigureWorkflowTracerRequestMsg());
    OnLoop([&] { TARNIX_FUZZ_CHECK(data_->vdbs().vdb_name_to_id().size() == 1); });
  }

 private:
  static std::pair<uint64_t, uint64_t> Counts(ObjectStatsMaintainer* stats,
                                              const std::string& type) {
    const ObjectStatsMaintainer::TypeCounters& c = stats->GetOrCreateTypeCounters(type);
    return {(*c.num_of_objects)->window(true).last, (*c.total_size)->window(true).last};
  }

  // One call of the administrator that must succeed.
  void Expect(const char* method, const google::protobuf::Message& request) {
    Call call(stub_.get(), method, kAdmin, request.SerializeAsString());
    TARNIX_FUZZ_CHECK(call.WaitDone(kCallDeadline + seconds(5)));
    TARNIX_FUZZ_CHECK(call.status().ok());
  }

  Schema schema_;
  std::unique_ptr<leveldb::Env> env_;
  orv::metrics::MetricRegistry registry_;
  DbAccess db_;
  ClientCertificateMap certificates_ = MakeClientCertificateMap();
  std::unique_ptr<orv::AsioOrvProvider> provider_;
  std::unique_ptr<TarnixServer> data_;
  std::unique_ptr<orv::rpc::Server> server_;
  std::thread loop_;
  std::unique_ptr<grpc::GenericStub> stub_;
};

// ---- Seeds: a few calls each that reach deep into the service ----

std::string Text(const std::string& type, const std::string& text) {
  std::unique_ptr<google::protobuf::Message> message(
      ExampleSchema().types().NewMessage("caldek.orv.tarnix." + type));
  TARNIX_FUZZ_CHECK(google::protobuf::TextFormat::ParseFromString(text, message.get()));
  return message->SerializeAsString();
}

void Typed(const std::string& type, const std::string& text, tx::TypedObjectMsg* object) {
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix." + type, object);
  object->set_object_body(Text(type, text));
}

void Statement(const std::string& type, const std::string& op, const std::string& value,
               tx::MonitorStatementMsg* statement) {
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix." + type,
                                        statement->mutable_statement());
  tx::WhereMsg* where = statement->mutable_statement()->add_where();
  where->set_op_msg(Text(type.substr(0, type.size() - 3) + "OpMsg", op));
  where->set_value(Text(type, value));
}

// Appends one call of `method` by kClients[client] to *input.
void AddCall(const char* method, size_t client, const google::protobuf::Message& request,
             std::string* input) {
  size_t index = 0;
  while (std::string(kMethods[index].name) != method) ++index;
  const std::string bytes = request.SerializeAsString();
  TARNIX_FUZZ_CHECK(bytes.size() < 0x10000);
  input->push_back(static_cast<char>(index));
  input->push_back(static_cast<char>(client));
  input->push_back(static_cast<char>(bytes.size() >> 8));
  input->push_back(static_cast<char>(bytes.size() & 0xff));
  input->append(bytes);
}

std::vector<std::string> Seeds() {
  const char* const device = "id { left: 1 right: 2 } hostname: 'a' tags: 'x'";
  std::vector<std::string> seeds(6);

  tx::PutRequestMsg put;
  Typed("DeviceMsg", device, put.add_puts()->mutable_object());
  Typed("InterfaceMsg", "name { string: 'a/1' } device_id { left: 1 right: 2 } mtu: 1500",
        put.add_puts()->mutable_object());
  AddCall("Put", 0, put, &seeds[0]);
  tx::GetRequestMsg get;
  Typed("DeviceMsg", "id { left: 1 right: 2 }", get.add_objects());
  AddCall("Get", 1, get, &seeds[0]);
  tx::QueryRequestMsg query;
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.DeviceMsg", query.mutable_statement());
  query.mutable_statement()->mutable_select()->set_op_msg(
      Text("DeviceOpMsg", "hostname { op: SELECT }"));
  tx::WhereMsg* where = query.mutable_statement()->add_where();
  where->set_op_msg(Text("DeviceOpMsg", "tags { op: CONTAINS_ANY }"));
  where->set_value(Text("DeviceMsg", "tags: 'x'"));
  AddCall("Query", 2, query, &seeds[0]);

  tx::CreateVDbRequestMsg create;
  create.set_vdb_name("v2");
  AddCall("CreateVDb", 4, create, &seeds[1]);
  tx::PutRequestMsg put2 = put;
  put2.mutable_puts(0)->add_vdb_ids(2);
  AddCall("Put", 0, put2, &seeds[1]);
  tx::CopyRequestMsg copy;
  Typed("DeviceMsg", "id { left: 1 right: 2 }", copy.add_copies()->mutable_object());
  copy.mutable_copies(0)->set_src_vdb_id(2);
  copy.mutable_copies(0)->add_vdb_ids(1);
  AddCall("Copy", 0, copy, &seeds[1]);
  tx::GetMerkleTreeRequestMsg merkle;
  merkle.set_vdb_id(2);
  AddCall("GetMerkleTree", 0, merkle, &seeds[1]);
  tx::DeleteVDbRequestMsg drop;
  drop.set_vdb_name("v2");
  AddCall("DeleteVDb", 4, drop, &seeds[1]);

  tx::MonitorRequestMsg monitor;
  monitor.set_monitor_request_id("m1");
  Statement("DeviceMsg", "hostname { op: EQUALS }", "hostname: 'a'", monitor.add_statements());
  AddCall("Monitor", 0, monitor, &seeds[2]);
  AddCall("Put", 0, put, &seeds[2]);
  tx::ConfigureMonitorRequestMsg configure;
  configure.set_monitor_request_id("m1");
  Statement("InterfaceMsg", "mtu { op: EXISTS }", "mtu: 1", configure.add_add_statements());
  AddCall("ConfigureMonitor", 0, configure, &seeds[2]);
  tx::DeleteRequestMsg del;
  Typed("DeviceMsg", "id { left: 1 right: 2 }", del.add_deletes()->mutable_object());
  del.mutable_deletes(0)->set_recursive(true);
  AddCall("Delete", 0, del, &seeds[2]);

  tx::ConfigureWorkflowTracerRequestMsg tracer;
  tracer.mutable_config()->set_enable(true);
  tracer.mutable_config()->set_trace_level(2);
  tracer.mutable_config()->set_sampling_ratio(1);
  AddCall("ConfigureWorkflowTracer", 0, tracer, &seeds[3]);
  AddCall("GetWorkflowTracer", 3, tx::GetWorkflowTracerRequestMsg(), &seeds[3]);
  tx::ModifyRequestMsg modify;
  Typed("DeviceMsg", device, modify.add_modifies()->mutable_put_msg()->mutable_object());
  tx::PatchMsg* patch = modify.add_modifies()->mutable_patch_msg();
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.DeviceMsg", patch);
  patch->set_op_msg(Text("DeviceOpMsg", "hostname { op: SET } tags { op: APPEND }"));
  patch->set_object_value(Text("DeviceMsg", "id { left: 1 right: 2 } hostname: 'b' tags: 'y'"));
  AddCall("Modify", 0, modify, &seeds[3]);
  AddCall("GetTransactionLog", 0, tx::GetTransactionLogsRequestMsg(), &seeds[3]);

  AddCall("Put", 0, put, &seeds[4]);
  tx::PatchRequestMsg patches;
  *patches.add_patches() = *patch;
  AddCall("Patch", 1, patches, &seeds[4]);
  tx::FlushByBlockIdRequestMsg by_block;
  by_block.add_flushes()->set_block_id(1);
  AddCall("FlushByBlockId", 0, by_block, &seeds[4]);
  tx::FlushRequestMsg flush;
  ExampleSchema().types().SetObjectType("caldek.orv.tarnix.InterfaceMsg", flush.add_flushes());
  AddCall("Flush", 0, flush, &seeds[4]);

  tx::GetVDbIdRequestMsg names;
  names.add_vdb_names("main_vdb");
  AddCall("GetVDbId", 5, names, &seeds[5]);
  tx::PutRequestMsg vlan;
  Typed("VlanMsg", "vlan_id: 7 name: 'v'", vlan.add_puts()->mutable_object());
  AddCall("Put", 1, vlan, &seeds[5]);
  tx::MonitorRequestMsg anonymous;
  Statement("VlanMsg", "name { op: EQUALS }", "name: 'v'", anonymous.add_statements());
  AddCall("Monitor", 2, anonymous, &seeds[5]);
  AddCall("Put", 2, vlan, &seeds[5]);
  return seeds;
}

Service* service = nullptr;

void Run(const uint8_t* data, size_t size) {
  static size_t inputs = 0;
  if (++inputs % kInputsPerServer == 0) {
    delete service;
    service = new Service;
  }
  std::vector<std::unique_ptr<Call>> monitors;
  bool changes_state = false;
  size_t at = 0;
  for (size_t n = 0; n < kMaxCalls && at + 4 <= size; ++n) {
    const Method& method = kMethods[data[at] % kMethodCount];
    const char* client = kClients[data[at + 1] % (sizeof kClients / sizeof *kClients)];
    const size_t length = std::min<size_t>(data[at + 2] << 8 | data[at + 3], size - at - 4);
    const std::string request(reinterpret_cast<const char*>(data) + at + 4, length);
    at += 4 + length;
    changes_state |= method.changes_state;
    if (method.shape == Shape::kMonitor) {
      const size_t before = service->Monitors().size();
      monitors.push_back(service->Start(method, client, request));
      service->AwaitMonitor(monitors.back().get(), before);
      continue;
    }
    std::unique_ptr<Call> call = service->Start(method, client, request);
    service->Finish(call.get());
  }
  service->CheckStatistics();
  for (const auto& monitor : monitors) monitor->Cancel();
  for (const auto& monitor : monitors) {
    TARNIX_FUZZ_CHECK(monitor->WaitDone(kCallDeadline));
    const grpc::StatusCode code = monitor->status().error_code();
    TARNIX_FUZZ_CHECK(code == grpc::StatusCode::CANCELLED || !IsFault(code));
  }
  monitors.clear();
  service->AwaitMonitorsGone();
  if (changes_state) service->Clear();
}

}  // namespace
}  // namespace tarnix

// OpenSSL's per-thread random state, made on the loop thread by the
// generated monitor ids: the daemon's loop never ends, this one is joined
// at exit. Without frame pointers in libcrypto only its frames show.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnix::SeedEmptyCorpus(*argc, *argv, tarnix::Seeds());
  // ERROR lines reach the sink, and the sink only: the RPC layer's catch-all
  // logs at ERROR.
  orv::Logger::logLevel = orv::ERROR;
  orv::rpc::library_log_level = orv::ERROR;
  orv::SetLogSink(new tarnix::ExceptionWatch);
  google::protobuf::SetLogHandler(nullptr);
  tarnix::service = new tarnix::Service;
  std::atexit([] { delete tarnix::service; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::Run(data, size);
  return 0;
}

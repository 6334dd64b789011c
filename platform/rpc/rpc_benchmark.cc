// Throughput of the RPC layer over loopback with small messages: long
// client and server streams on one connection, and per-call cost (unary
// calls, one-message client streams) at 1, 16 and 64 concurrent clients, each
// on its own connection, beside a plain gRPC callback server doing the same.
// TARNIX_BENCH_IO_THREADS sets the provider's I/O threads (default: its own).
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <thread>

#include "platform/rpc/service.h"
#include "platform/rpc/test_server.h"

namespace orv {
namespace rpc {
namespace testing {
namespace {

using tarnix_test::EchoRequest;
using tarnix_test::EchoResponse;

struct Fixture {
  TestServer server;
  std::unique_ptr<tarnix_test::Echo::Stub> stub = PlainStub(server.address());
};

Fixture& Shared() {
  static Fixture* fixture = new Fixture;
  return *fixture;
}

void BM_ServerStream(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  EchoRequest request;
  request.set_count(count);
  request.set_payload(std::string(32, 'x'));
  int64_t messages = 0;
  for (auto _ : state) {
    grpc::ClientContext context;
    auto reader = Shared().stub->ServerStream(&context, request);
    EchoResponse response;
    while (reader->Read(&response)) ++messages;
    if (!reader->Finish().ok()) state.SkipWithError("stream failed");
  }
  state.SetItemsProcessed(messages);
}
BENCHMARK(BM_ServerStream)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ClientStream(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  EchoRequest request;
  request.set_text("m");
  request.set_payload(std::string(32, 'x'));
  int64_t messages = 0;
  for (auto _ : state) {
    grpc::ClientContext context;
    context.AddMetadata("client-id", "bench");
    EchoResponse response;
    auto writer = Shared().stub->ClientStream(&context, &response);
    for (int i = 0; i < count; ++i) {
      writer->Write(request, grpc::WriteOptions().set_buffer_hint());
    }
    writer->WritesDone();
    if (!writer->Finish().ok() || response.index() != count) {
      state.SkipWithError("stream failed");
    }
    messages += count;
  }
  state.SetItemsProcessed(messages);
}
BENCHMARK(BM_ClientStream)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

using Handle = Call<EchoResponse>::Ptr;

// The least a handler can do: answer a unary call with its text, a client
// stream with its message count.
class LeanService : public Service {
 public:
  LeanService() : Service("tarnix_test.Echo") {
    AddUnaryMethod("Unary", &LeanService::Unary);
    AddClientStreamMethod("ClientStream", &LeanService::ClientStream);
  }

 private:
  class Counter : public CallObserver<EchoRequest> {
   public:
    explicit Counter(Handle call) : call_(std::move(call)) {}
    void OnMessage(const EchoRequest&) override { ++count_; }
    void OnComplete(const Status& status) override {
      if (status.code() != 0) return;
      EchoResponse response;
      response.set_index(count_);
      call_->Respond(response);
    }

   private:
    Handle call_;
    int count_ = 0;
  };

  void Unary(CallContext&, const EchoRequest& request, const Handle& call) {
    EchoResponse response;
    response.set_text(request.text());
    call->Respond(response);
  }
  CallObserver<EchoRequest>* ClientStream(CallContext&, const Handle& call) {
    return new Counter(call);
  }
};

// The same with gRPC's callback API on gRPC's own threads.
class RawService : public tarnix_test::Echo::CallbackService {
  grpc::ServerUnaryReactor* Unary(grpc::CallbackServerContext* context,
                                  const EchoRequest* request,
                                  EchoResponse* response) override {
    response->set_text(request->text());
    grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
    reactor->Finish(grpc::Status::OK);
    return reactor;
  }

  grpc::ServerReadReactor<EchoRequest>* ClientStream(grpc::CallbackServerContext*,
                                                     EchoResponse* response) override {
    class Reader : public grpc::ServerReadReactor<EchoRequest> {
     public:
      explicit Reader(EchoResponse* response) : response_(response) { StartRead(&request_); }
      void OnReadDone(bool ok) override {
        if (!ok) {
          response_->set_index(count_);
          Finish(grpc::Status::OK);
          return;
        }
        ++count_;
        StartRead(&request_);
      }
      void OnDone() override { delete this; }

     private:
      EchoResponse* response_;
      EchoRequest request_;
      int count_ = 0;
    };
    return new Reader(response);
  }
};

constexpr int kMaxClients = 64;

// One stub per client, each on a connection of its own.
std::vector<std::unique_ptr<tarnix_test::Echo::Stub>> Stubs(const std::string& address) {
  std::vector<std::unique_ptr<tarnix_test::Echo::Stub>> stubs;
  for (int i = 0; i < kMaxClients; ++i) {
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    stubs.push_back(tarnix_test::Echo::NewStub(
        grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args)));
  }
  return stubs;
}

struct Lean {
  Lean() {
    boost::property_tree::ptree config;
    config.put("metrics.report_interval_sec", 300u);
    if (const char* threads = std::getenv("TARNIX_BENCH_IO_THREADS")) {
      config.put("rpc.io_threads", std::atoi(threads));
    }
    provider.reset(new AsioOrvProvider(config, ""));
    provider->rpc().RegisterService(&service);
    net::Endpoint endpoint("127.0.0.1:0");
    provider->rpc().AddListeningEndpoint(endpoint);
    server = provider->rpc().BuildStarted();
    loop = std::thread([this] { provider->Run(1); });
    stubs = Stubs("127.0.0.1:" + std::to_string(server->bound_ports().at(0)));
  }
  LeanService service;
  std::unique_ptr<AsioOrvProvider> provider;
  std::unique_ptr<Server> server;
  std::thread loop;
  std::vector<std::unique_ptr<tarnix_test::Echo::Stub>> stubs;
};

struct Raw {
  Raw() {
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&service);
    server = builder.BuildAndStart();
    stubs = Stubs("127.0.0.1:" + std::to_string(port));
  }
  RawService service;
  std::unique_ptr<grpc::Server> server;
  std::vector<std::unique_ptr<tarnix_test::Echo::Stub>> stubs;
};

// Servers live until the process ends.
tarnix_test::Echo::Stub& StubOf(bool raw, int client) {
  static Lean* lean = new Lean;
  static Raw* plain = new Raw;
  return raw ? *plain->stubs[client] : *lean->stubs[client];
}

// What one Put-sized call carries.
EchoRequest SmallRequest() {
  EchoRequest request;
  request.set_text("m");
  request.set_payload(std::string(200, 'x'));
  return request;
}

void BM_UnaryCalls(benchmark::State& state, bool raw) {
  tarnix_test::Echo::Stub& stub = StubOf(raw, state.thread_index());
  const EchoRequest request = SmallRequest();
  for (auto _ : state) {
    grpc::ClientContext context;
    EchoResponse response;
    if (!stub.Unary(&context, request, &response).ok()) state.SkipWithError("call failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_UnaryCalls, rpc_layer, false)
    ->Threads(1)->Threads(16)->Threads(64)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_UnaryCalls, raw_grpc, true)
    ->Threads(1)->Threads(16)->Threads(64)->UseRealTime()->MinTime(2.0);

void BM_OneMessageStreams(benchmark::State& state, bool raw) {
  tarnix_test::Echo::Stub& stub = StubOf(raw, state.thread_index());
  const EchoRequest request = SmallRequest();
  for (auto _ : state) {
    grpc::ClientContext context;
    EchoResponse response;
    auto writer = stub.ClientStream(&context, &response);
    writer->Write(request, grpc::WriteOptions().set_last_message());
    if (!writer->Finish().ok() || response.index() != 1) state.SkipWithError("call failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_OneMessageStreams, rpc_layer, false)
    ->Threads(1)->Threads(16)->Threads(64)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_OneMessageStreams, raw_grpc, true)
    ->Threads(1)->Threads(16)->Threads(64)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace testing
}  // namespace rpc
}  // namespace orv

BENCHMARK_MAIN();

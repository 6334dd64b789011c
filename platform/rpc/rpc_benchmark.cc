// Throughput of the RPC layer over one loopback connection with small
// messages: client-stream messages in, server-stream messages out.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>

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

}  // namespace
}  // namespace testing
}  // namespace rpc
}  // namespace orv

BENCHMARK_MAIN();

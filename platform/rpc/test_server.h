#ifndef TARNIX_PLATFORM_RPC_TEST_SERVER_H_
#define TARNIX_PLATFORM_RPC_TEST_SERVER_H_

#include <grpcpp/grpcpp.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/provider.h"
#include "platform/rpc/test_echo_service.h"
#include "platform/testdata/echo.grpc.pb.h"

namespace orv {
namespace rpc {
namespace testing {

// A provider serving EchoTestService on a loopback port chosen at run time,
// its loop running on a background thread.
class TestServer {
 public:
  struct Options {
    int grace_ms = 1000;
    // "rpc.stalled_reader_timeout_ms" and "rpc.max_queued_bytes" (0: the
    // provider's default).
    unsigned stalled_reader_timeout_ms = 1000;
    size_t max_queued_bytes = 0;
    // Runs before the server starts (e.g. to install a TLS context).
    std::function<void(AsioOrvProvider&)> setup;
    std::vector<Service*> extra_services;
    // Listening endpoint; port 0 picks a free port.
    std::string endpoint = "127.0.0.1:0";
  };

  TestServer() : TestServer(Options()) {}
  explicit TestServer(Options options);
  ~TestServer();

  // Where clients connect.
  const std::string& address() const { return address_; }
  AsioOrvProvider& provider() { return *provider_; }
  EchoTestService& service() { return service_; }

  // Asks the provider to stop and waits for Run to return.
  void StopAndJoin();
  bool running() const { return loop_.joinable(); }

 private:
  EchoTestService service_;
  std::unique_ptr<AsioOrvProvider> provider_;
  std::unique_ptr<Server> server_;
  std::string address_;
  std::thread loop_;
};

// A stub on a plaintext channel to `address`.
std::unique_ptr<tarnix_test::Echo::Stub> PlainStub(const std::string& address);

}  // namespace testing
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_TEST_SERVER_H_

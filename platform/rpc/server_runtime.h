#ifndef TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_
#define TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/server_context.h>
#include <grpcpp/support/byte_buffer.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/rpc/service.h"

namespace grpc {
class ServerCompletionQueue;
}  // namespace grpc

namespace orv {
namespace rpc {
namespace internal {

// Anything that waits in the completion queue. OnEvent runs on the loop thread.
class CompletionTag {
 public:
  virtual void OnEvent(bool ok) = 0;

 protected:
  ~CompletionTag() = default;
};

struct CallTag final : CompletionTag {
  enum Which { kRead, kWrite, kDone };
  ServerCall* call = nullptr;
  Which which = kRead;
  void OnEvent(bool ok) override { call->OnEvent(which, ok); }
};

struct AcceptTag final : CompletionTag {
  ServerRuntime* runtime = nullptr;
  CallParts* parts = nullptr;
  void OnEvent(bool ok) override;
};

// The gRPC objects of one call; freed once every operation has completed.
struct CallParts {
  grpc::GenericServerContext ctx;
  grpc::GenericServerAsyncReaderWriter stream{&ctx};
  grpc::ByteBuffer read_buffer;
  AcceptTag accept;
  CallTag read, write, done;
};

// Accepts calls from the generic service and dispatches them by method name.
class ServerRuntime {
 public:
  explicit ServerRuntime(grpc::ServerCompletionQueue* cq) : cq_(cq) {}

  // Throws std::invalid_argument when a method is registered twice.
  void AddService(Service* service);
  grpc::AsyncGenericService* generic_service() { return &generic_service_; }

  void StartAccepting();
  // New calls are no longer requested.
  void StopAccepting() { accepting_ = false; }
  bool accepting() const { return accepting_; }
  // No new gRPC operation may start (the queue is about to shut down).
  void CloseOperations() { operations_open_ = false; }
  bool operations_open() const { return operations_open_; }

  // Number of the completion-queue event being dispatched; the provider
  // advances it before each one.
  void BeginLoopTurn() { ++loop_turn_; }
  uint64_t loop_turn() const { return loop_turn_; }

  void OnAccepted(CallParts* parts, bool ok);

 private:
  void RequestOne();

  grpc::ServerCompletionQueue* cq_;
  grpc::AsyncGenericService generic_service_;
  std::unordered_map<std::string, const MethodEntry*> methods_;
  bool accepting_ = false;
  bool operations_open_ = true;
  uint64_t loop_turn_ = 0;
};

}  // namespace internal
}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERVER_RUNTIME_H_

#ifndef TARNIX_PLATFORM_PROVIDER_H_
#define TARNIX_PLATFORM_PROVIDER_H_

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/metrics/metric_registry.h"
#include "platform/net/net_security_manager.h"
#include "platform/rpc/server_builder.h"

namespace grpc {
class Server;
class ServerBuilder;
class ServerCompletionQueue;
}  // namespace grpc

namespace orv {
namespace rpc {
namespace internal {
class CompletionTag;
class IoQueue;
class OpSpreader;
class ServerRuntime;
}  // namespace internal
}  // namespace rpc

namespace net {
// The provider's network side.
class NetProvider {
 public:
  NetSecurityManager& security_manager() { return security_manager_; }

 private:
  NetSecurityManager security_manager_;
};
}  // namespace net

// Runs the RPC server and the metrics timer. Every handler, observer callback,
// completion callback, posted task and metrics collection runs on the thread
// that calls Run (the loop), one at a time. I/O threads of the provider's own
// poll gRPC's completion queues, receive and parse requests, and send; they
// hand each call, message and completion to the loop through one queue, in
// the order gRPC reported it for its call.
// SIGTERM and SIGINT stop the provider; SIGPIPE is ignored.
//
// Settings read from `config`: "metrics.report_interval_sec" (default 300),
// "rpc.shutdown_grace_ms" (1000), "rpc.max_queued_bytes" (1 GiB: response
// bytes queued for all calls together, past which calls over their own cap
// are cancelled), "rpc.stalled_reader_timeout_ms"
// (30000: see rpc::ServerCall::kMaxQueuedBytes) and "rpc.io_threads" (0: one
// completion queue and its polling thread, with helpers for large batches of
// sends chosen from the number of cores; N: N queues, each with its own
// thread, no helpers); "metrics.root_namespace" is accepted and unused.
class AsioOrvProvider {
 public:
  AsioOrvProvider(const boost::property_tree::ptree& config, const std::string& name);
  ~AsioOrvProvider();
  AsioOrvProvider(const AsioOrvProvider&) = delete;
  AsioOrvProvider& operator=(const AsioOrvProvider&) = delete;

  rpc::ServerBuilder& rpc() { return builder_; }
  net::NetProvider& net() { return net_; }
  metrics::MetricRegistry& metrics() { return metrics_; }

  // Runs the loop on this thread until the provider stops: new calls are
  // refused, answers of work already done are waited for (up to 3 s; see
  // rpc::Service::AnswersPending), the server shuts down with the grace
  // period, the queues drain, then Run returns. Only one
  // loop thread is supported; `threads` is accepted for compatibility.
  void Run(int threads);
  // Asks Run to stop; safe from any thread.
  void Stop();
  // How many completions the I/O threads have handed to the loop; any
  // thread.
  uint64_t loop_events() const { return loop_events_.load(std::memory_order_relaxed); }
  // Runs `task` on the loop thread, soon and in posting order; safe from any
  // thread. Once the queues are shutting down tasks are dropped unrun.
  void Post(std::function<void()> task);

 private:
  friend class rpc::ServerBuilder;
  // What the loop runs: a completion, or a posted task when `tag` is null.
  struct LoopItem {
    rpc::internal::CompletionTag* tag;
    bool ok;
    std::function<void()> task;
  };

  void StartServer(const std::vector<rpc::Service*>& services,
                   const std::vector<net::Endpoint>& endpoints, std::vector<int>* ports);
  void AddQueues();
  void CollectMetrics();
  // Runs a posted task; an exception it throws is logged, not raised.
  static void RunTask(const std::function<void()>& task);
  // Stops accepting calls; the server shuts down once no service has
  // answers pending, or after a limit (StartShutdown).
  void BeginStop();
  void StartShutdown();
  bool StopRequested() const;
  void PushToLoop(LoopItem item);
  void WakeLoop();

  const std::chrono::seconds report_interval_;
  const std::chrono::milliseconds shutdown_grace_;
  const size_t max_queued_bytes_;
  const std::chrono::milliseconds stalled_reader_timeout_;
  const int io_threads_;
  metrics::MetricRegistry metrics_;
  net::NetProvider net_;
  rpc::ServerBuilder builder_;

  std::atomic<uint64_t> loop_events_{0};
  std::unique_ptr<grpc::ServerBuilder> grpc_builder_;
  std::vector<std::unique_ptr<grpc::ServerCompletionQueue>> cqs_;
  std::unique_ptr<rpc::internal::OpSpreader> spreader_;  // outlives the queues
  std::vector<std::unique_ptr<rpc::internal::IoQueue>> io_queues_;
  std::vector<std::thread> io_pollers_;
  std::unique_ptr<rpc::internal::ServerRuntime> runtime_;
  std::unique_ptr<grpc::Server> server_;
  std::chrono::steady_clock::time_point next_metrics_;
  // What the I/O threads and Post hand to the loop.
  std::mutex loop_mu_;
  std::condition_variable loop_cv_;
  std::deque<LoopItem> loop_items_;
  bool loop_waiting_ = false;
  bool posts_closed_ = false;
  int pollers_running_ = 0;
  std::thread shutdown_thread_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> server_down_{false};
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_began_;
  bool shutdown_started_ = false;
  bool queue_shut_down_ = false;
  bool drained_ = false;
};

}  // namespace orv

#endif  // TARNIX_PLATFORM_PROVIDER_H_

#ifndef TARNIX_PLATFORM_PROVIDER_H_
#define TARNIX_PLATFORM_PROVIDER_H_

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdint>
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
class Alarm;
class Server;
class ServerBuilder;
class ServerCompletionQueue;
}  // namespace grpc

namespace orv {
namespace rpc {
namespace internal {
class ServerRuntime;
class TimerTag;
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

// Runs the RPC server and the metrics timer on one completion queue, polled
// by the thread that calls Run. SIGTERM and SIGINT stop it; SIGPIPE is ignored.
//
// Settings read from `config`: "metrics.report_interval_sec" (default 300),
// "rpc.shutdown_grace_ms" (1000), "rpc.max_queued_bytes" (1 GiB: response
// bytes queued for all calls together) and "rpc.stalled_reader_timeout_ms"
// (30000: see rpc::ServerCall::kMaxQueuedBytes); "metrics.root_namespace" is
// accepted and unused.
class AsioOrvProvider {
 public:
  AsioOrvProvider(const boost::property_tree::ptree& config, const std::string& name);
  ~AsioOrvProvider();
  AsioOrvProvider(const AsioOrvProvider&) = delete;
  AsioOrvProvider& operator=(const AsioOrvProvider&) = delete;

  rpc::ServerBuilder& rpc() { return builder_; }
  net::NetProvider& net() { return net_; }
  metrics::MetricRegistry& metrics() { return metrics_; }

  // Polls the queue on this thread until the provider stops: the server shuts
  // down with the grace period, the queue drains, then Run returns. Only one
  // polling thread is supported; `threads` is accepted for compatibility.
  void Run(int threads);
  // Asks Run to stop; safe from any thread.
  void Stop();
  // Runs `task` on the thread polling the queue, soon and in posting order;
  // safe from any thread. Once the queue is shutting down tasks are dropped
  // unrun.
  void Post(std::function<void()> task);

 private:
  friend class rpc::ServerBuilder;
  void StartServer(const std::vector<rpc::Service*>& services,
                   const std::vector<net::Endpoint>& endpoints, std::vector<int>* ports);
  void ArmMetricsTimer();
  void OnMetricsTimer(bool ok);
  void BeginStop();
  bool StopRequested() const;
  void RunPosted(bool ok);

  const std::chrono::seconds report_interval_;
  const std::chrono::milliseconds shutdown_grace_;
  const size_t max_queued_bytes_;
  const std::chrono::milliseconds stalled_reader_timeout_;
  metrics::MetricRegistry metrics_;
  net::NetProvider net_;
  rpc::ServerBuilder builder_;

  std::unique_ptr<grpc::ServerBuilder> grpc_builder_;
  std::unique_ptr<grpc::ServerCompletionQueue> cq_;
  std::unique_ptr<rpc::internal::ServerRuntime> runtime_;
  std::unique_ptr<grpc::Server> server_;
  std::unique_ptr<grpc::Alarm> metrics_alarm_;
  std::unique_ptr<grpc::Alarm> wake_alarm_;
  std::unique_ptr<rpc::internal::TimerTag> metrics_tag_;
  std::unique_ptr<rpc::internal::TimerTag> wake_tag_;
  // Posted tasks, and the alarm that wakes the loop to run them.
  std::mutex post_mu_;
  std::vector<std::function<void()>> posted_;
  bool post_alarm_set_ = false;
  bool posts_closed_ = false;
  std::unique_ptr<grpc::Alarm> post_alarm_;
  std::unique_ptr<rpc::internal::TimerTag> post_tag_;
  std::thread shutdown_thread_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> server_down_{false};
  bool stopping_ = false;
  bool queue_shut_down_ = false;
  bool drained_ = false;
};

}  // namespace orv

#endif  // TARNIX_PLATFORM_PROVIDER_H_

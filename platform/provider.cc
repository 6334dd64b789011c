#include "platform/provider.h"

#include <grpcpp/alarm.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <signal.h>

#include <stdexcept>

#include "platform/rpc/grpc_log.h"
#include "platform/rpc/server_runtime.h"
#include "platform/util/library_log.h"

namespace orv {
namespace rpc {
namespace internal {

// An alarm's tag; one without a function only wakes the loop.
class TimerTag final : public CompletionTag {
 public:
  TimerTag(AsioOrvProvider* provider, void (AsioOrvProvider::*fn)(bool))
      : provider_(provider), fn_(fn) {}
  void OnEvent(bool ok) override {
    if (fn_ != nullptr) (provider_->*fn_)(ok);
  }

 private:
  AsioOrvProvider* provider_;
  void (AsioOrvProvider::*fn_)(bool);
};

}  // namespace internal
}  // namespace rpc

namespace {

// Largest request message accepted; write streams carry large objects.
constexpr int kMaxReceiveMessageBytes = 128 << 20;
// How long the loop sleeps at most before it looks at stop requests again.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

std::atomic<bool> g_stop_signal{false};
struct sigaction g_old_term, g_old_int, g_old_pipe;
int g_handlers_installed = 0;

extern "C" void OnStopSignal(int) { g_stop_signal.store(true); }

void InstallSignalHandlers() {
  g_stop_signal.store(false);
  if (g_handlers_installed++ > 0) return;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, &g_old_term);
  sigaction(SIGINT, &action, &g_old_int);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &g_old_pipe);
}

void RestoreSignalHandlers() {
  if (--g_handlers_installed > 0) return;
  sigaction(SIGTERM, &g_old_term, nullptr);
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGPIPE, &g_old_pipe, nullptr);
}

gpr_timespec After(std::chrono::milliseconds delay) {
  return gpr_time_add(gpr_now(GPR_CLOCK_MONOTONIC),
                      gpr_time_from_millis(delay.count(), GPR_TIMESPAN));
}

}  // namespace

AsioOrvProvider::AsioOrvProvider(const boost::property_tree::ptree& config,
                                 const std::string& /*name*/)
    : report_interval_(config.get<unsigned>("metrics.report_interval_sec", 300)),
      shutdown_grace_(config.get<unsigned>("rpc.shutdown_grace_ms", 1000)),
      max_queued_bytes_(config.get<size_t>("rpc.max_queued_bytes", size_t{1} << 30)),
      stalled_reader_timeout_(config.get<unsigned>("rpc.stalled_reader_timeout_ms", 30000)),
      builder_(this),
      grpc_builder_(new grpc::ServerBuilder),
      metrics_alarm_(new grpc::Alarm),
      wake_alarm_(new grpc::Alarm),
      metrics_tag_(new rpc::internal::TimerTag(this, &AsioOrvProvider::OnMetricsTimer)),
      wake_tag_(new rpc::internal::TimerTag(this, nullptr)),
      post_alarm_(new grpc::Alarm),
      post_tag_(new rpc::internal::TimerTag(this, &AsioOrvProvider::RunPosted)) {
  rpc::RouteGrpcLogToLogger();
  cq_ = grpc_builder_->AddCompletionQueue();
  InstallSignalHandlers();
}

AsioOrvProvider::~AsioOrvProvider() {
  if (!drained_) {
    stop_requested_ = true;
    Run(1);
  }
  server_.reset();
  RestoreSignalHandlers();
}

void AsioOrvProvider::Stop() { stop_requested_.store(true); }

void AsioOrvProvider::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(post_mu_);
  if (posts_closed_) return;
  posted_.push_back(std::move(task));
  // One alarm at a time: the tasks posted meanwhile ride on it.
  if (post_alarm_set_) return;
  post_alarm_set_ = true;
  // A deadline already past fires at once; "now" would be rounded up to the
  // timer's next millisecond tick.
  post_alarm_->Set(cq_.get(), gpr_inf_past(GPR_CLOCK_MONOTONIC), post_tag_.get());
}

void AsioOrvProvider::RunPosted(bool /*ok*/) {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(post_mu_);
    tasks.swap(posted_);
    post_alarm_set_ = false;
  }
  for (std::function<void()>& task : tasks) task();
}

bool AsioOrvProvider::StopRequested() const {
  return stop_requested_.load() || g_stop_signal.load();
}

void AsioOrvProvider::StartServer(const std::vector<rpc::Service*>& services,
                                  const std::vector<net::Endpoint>& endpoints,
                                  std::vector<int>* ports) {
  if (server_ || runtime_) throw std::runtime_error("The RPC server was already started");
  rpc::internal::QueueLimits limits;
  limits.max_total_bytes = max_queued_bytes_;
  limits.stall_timeout = stalled_reader_timeout_;
  runtime_.reset(new rpc::internal::ServerRuntime(cq_.get(), limits));
  for (rpc::Service* service : services) runtime_->AddService(service);

  net::NetSecurityManager& security = net_.security_manager();
  net::SecurityContext::Ptr context = security.default_server_context();
  if (!context || !context->private_key() || !context->certificate()) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::WARNING, nullptr,
                 "No server key and certificate configured: listeners serve plaintext");
  }
  std::shared_ptr<grpc::ServerCredentials> credentials = security.ServerCredentials();
  if (!credentials) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "The server private key does not match the server certificate");
    throw std::runtime_error("The server private key does not match the server certificate");
  }
  ports->assign(endpoints.size(), 0);
  for (size_t i = 0; i < endpoints.size(); ++i) {
    grpc_builder_->AddListeningPort(endpoints[i].address(), credentials, &(*ports)[i]);
  }
  grpc_builder_->RegisterAsyncGenericService(runtime_->generic_service());
  grpc_builder_->SetMaxReceiveMessageSize(kMaxReceiveMessageBytes);
  grpc_builder_->AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT,
                                    0);  // a taken port is an error
  grpc_builder_->AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, 60 * 1000);
  grpc_builder_->AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 20 * 1000);
  grpc_builder_->AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  grpc_builder_->AddChannelArgument(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
  grpc_builder_->AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS,
                                    10 * 1000);
  server_ = grpc_builder_->BuildAndStart();
  std::string failed;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    if (!server_ || ((*ports)[i] == 0 && !endpoints[i].is_unix())) {
      failed += " " + endpoints[i].address();
    }
  }
  if (!server_ || !failed.empty()) {
    if (server_) {
      server_->Shutdown(gpr_now(GPR_CLOCK_MONOTONIC));
      server_.reset();
    } else {
      // gRPC tied the queue to the server it built before binding, and a
      // failed bind drops that server without untying it: shutting the queue
      // down would then report it shut down before its server. Nothing was
      // ever queued on it, so it is destroyed unshut (its destructor shuts
      // the core queue down) and a fresh builder and queue replace it.
      runtime_.reset();
      cq_.reset();
      grpc_builder_.reset(new grpc::ServerBuilder);
      cq_ = grpc_builder_->AddCompletionQueue();
    }
    throw std::runtime_error("Cannot listen on:" + failed);
  }
  runtime_->NotifyStarted();
  runtime_->StartAccepting();
}

void AsioOrvProvider::ArmMetricsTimer() {
  if (report_interval_.count() <= 0) return;
  metrics_alarm_->Set(cq_.get(), After(report_interval_), metrics_tag_.get());
}

void AsioOrvProvider::OnMetricsTimer(bool ok) {
  if (!ok || stopping_) return;
  try {
    metrics_.collect();
  } catch (const std::exception& e) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in metrics collection: %s", e.what());
  } catch (...) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in metrics collection: unknown exception");
  }
  ArmMetricsTimer();
}

void AsioOrvProvider::Run(int /*threads*/) {
  if (drained_) return;
  if (!StopRequested()) ArmMetricsTimer();
  for (;;) {
    if (!stopping_ && StopRequested()) BeginStop();
    if (stopping_ && !queue_shut_down_ && server_down_.load()) {
      // Every call has ended or been cancelled: no new operation may start,
      // and what is still queued drains before Next reports SHUTDOWN.
      if (runtime_) runtime_->CloseOperations();
      {
        std::lock_guard<std::mutex> lock(post_mu_);
        posts_closed_ = true;
      }
      cq_->Shutdown();
      queue_shut_down_ = true;
    }
    void* tag = nullptr;
    bool ok = false;
    auto status = cq_->AsyncNext(&tag, &ok, After(kPollInterval));
    if (status == grpc::CompletionQueue::SHUTDOWN) break;
    if (status == grpc::CompletionQueue::GOT_EVENT) {
      static_cast<rpc::internal::CompletionTag*>(tag)->OnEvent(ok);
    }
    if (runtime_) runtime_->CancelStalledCalls();
  }
  if (shutdown_thread_.joinable()) shutdown_thread_.join();
  drained_ = true;
}

void AsioOrvProvider::BeginStop() {
  stopping_ = true;
  metrics_alarm_->Cancel();
  if (runtime_) runtime_->StopAccepting();
  if (!server_) {
    server_down_ = true;
    return;
  }
  gpr_timespec deadline = After(shutdown_grace_);
  shutdown_thread_ = std::thread([this, deadline] {
    server_->Shutdown(deadline);
    wake_alarm_->Set(cq_.get(), gpr_now(GPR_CLOCK_MONOTONIC), wake_tag_.get());
    server_down_ = true;
  });
}

void rpc::ServerBuilder::RegisterService(Service* service, const RpcServiceOptions&) {
  services_.push_back(service);
}

void rpc::ServerBuilder::AddListeningEndpoint(const net::Endpoint& endpoint,
                                              std::shared_ptr<net::ConnectionOptions>,
                                              const RpcConnectionOptions&) {
  endpoints_.push_back(endpoint);
}

std::unique_ptr<rpc::Server> rpc::ServerBuilder::BuildStarted() {
  std::unique_ptr<Server> server(new Server);
  provider_->StartServer(services_, endpoints_, &server->ports_);
  return server;
}

}  // namespace orv

#include "platform/provider.h"

#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <signal.h>

#include <algorithm>
#include <stdexcept>

#include "platform/rpc/grpc_log.h"
#include "platform/rpc/io_queue.h"
#include "platform/rpc/server_runtime.h"
#include "platform/util/library_log.h"

namespace orv {

namespace {

// Largest request message accepted; write streams carry large objects.
constexpr int kMaxReceiveMessageBytes = 128 << 20;
// How long the loop sleeps at most before it looks at stop requests again.
constexpr auto kPollInterval = std::chrono::milliseconds(100);
// How long a stop waits for answers of work already done (a committed
// write's sync) before the grace period starts.
constexpr auto kMaxAnswerWait = std::chrono::seconds(3);

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

// One polling thread: with several, gRPC's poller hands each event to the
// thread of the call's queue, and Put and Get at 16 and 64 clients ran 10
// to 40% slower with four. Sends to many calls at once (a transaction told
// to a hundred monitors) need more threads: one helper per two cores beyond
// the first, up to three.
int DefaultSendHelpers() {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(1, std::min(3, cores / 2 - 1));
}

}  // namespace

AsioOrvProvider::AsioOrvProvider(const boost::property_tree::ptree& config,
                                 const std::string& /*name*/)
    : report_interval_(config.get<unsigned>("metrics.report_interval_sec", 300)),
      shutdown_grace_(config.get<unsigned>("rpc.shutdown_grace_ms", 1000)),
      max_queued_bytes_(config.get<size_t>("rpc.max_queued_bytes", size_t{1} << 30)),
      stalled_reader_timeout_(config.get<unsigned>("rpc.stalled_reader_timeout_ms", 30000)),
      io_threads_(std::max(0, config.get<int>("rpc.io_threads", 0))),
      builder_(this),
      grpc_builder_(new grpc::ServerBuilder) {
  rpc::RouteGrpcLogToLogger();
  AddQueues();
  InstallSignalHandlers();
}

void AsioOrvProvider::AddQueues() {
  io_queues_.clear();
  cqs_.clear();
  if (io_threads_ == 0 && !spreader_) {
    spreader_.reset(new rpc::internal::OpSpreader(DefaultSendHelpers()));
  }
  for (int i = 0; i < std::max(1, io_threads_); ++i) {
    cqs_.push_back(grpc_builder_->AddCompletionQueue());
    io_queues_.emplace_back(new rpc::internal::IoQueue(cqs_.back().get(), spreader_.get()));
  }
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
  PushToLoop(LoopItem{nullptr, false, std::move(task)});
}

void AsioOrvProvider::PushToLoop(LoopItem item) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(loop_mu_);
    if (item.tag == nullptr && posts_closed_) return;
    loop_items_.push_back(std::move(item));
    wake = loop_waiting_;
    loop_waiting_ = false;
  }
  if (wake) loop_cv_.notify_one();
}

void AsioOrvProvider::WakeLoop() {
  {
    std::lock_guard<std::mutex> lock(loop_mu_);
    loop_waiting_ = false;
  }
  loop_cv_.notify_one();
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
  std::vector<rpc::internal::IoQueue*> queues;
  for (auto& io : io_queues_) queues.push_back(io.get());
  runtime_.reset(new rpc::internal::ServerRuntime(queues, limits));
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
      // ever queued on them, so they are destroyed unshut (its destructor shuts
      // the core queue down) and a fresh builder and queue replace it.
      runtime_.reset();
      io_queues_.clear();
      cqs_.clear();
      grpc_builder_.reset(new grpc::ServerBuilder);
      AddQueues();
    }
    throw std::runtime_error("Cannot listen on:" + failed);
  }
  runtime_->NotifyStarted();
  runtime_->StartAccepting();
}

void AsioOrvProvider::RunTask(const std::function<void()>& task) {
  try {
    task();
  } catch (const std::exception& e) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in a task run on the loop: %s", e.what());
  } catch (...) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in a task run on the loop: unknown exception");
  }
}

void AsioOrvProvider::CollectMetrics() {
  try {
    metrics_.collect();
  } catch (const std::exception& e) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in metrics collection: %s", e.what());
  } catch (...) {
    PLATFORM_LOG(::orv::rpc::library_log_level, orv::ERROR, nullptr,
                 "Exception in metrics collection: unknown exception");
  }
}

void AsioOrvProvider::Run(int /*threads*/) {
  if (drained_) return;
  {
    std::lock_guard<std::mutex> lock(loop_mu_);
    pollers_running_ = static_cast<int>(io_queues_.size());
  }
  for (auto& io : io_queues_) {
    rpc::internal::IoQueue* queue = io.get();
    io_pollers_.emplace_back([this, queue] {
      queue->Poll([this](rpc::internal::CompletionTag* tag, bool ok) {
        loop_events_.fetch_add(1, std::memory_order_relaxed);
        PushToLoop(LoopItem{tag, ok, nullptr});
      });
      {
        std::lock_guard<std::mutex> lock(loop_mu_);
        --pollers_running_;
        loop_waiting_ = false;
      }
      loop_cv_.notify_one();
    });
  }
  const bool metrics_on = report_interval_.count() > 0;
  next_metrics_ = std::chrono::steady_clock::now() + report_interval_;
  std::deque<LoopItem> items;
  bool idle = false;
  for (;;) {
    // Writes the last turn queued start now, so that a message and the end
    // of its call leave as one operation.
    if (runtime_) runtime_->PumpDeferredWrites();
    if (!stopping_ && StopRequested()) BeginStop();
    if (stopping_ && !shutdown_started_ &&
        (!runtime_ || !runtime_->AnswersPending() ||
         std::chrono::steady_clock::now() - stop_began_ >= kMaxAnswerWait)) {
      StartShutdown();
    }
    if (stopping_ && !queue_shut_down_ && server_down_.load()) {
      // Every call has ended or been cancelled: no new operation may start,
      // and what is still queued drains before the pollers end.
      if (runtime_) runtime_->CloseOperations();
      {
        std::lock_guard<std::mutex> lock(loop_mu_);
        posts_closed_ = true;
      }
      for (auto& io : io_queues_) io->Close();
      queue_shut_down_ = true;
    }
    // What the last turn submitted starts now, one wake-up per I/O thread;
    // teardowns wait for the next one, or for a turn with nothing to do.
    for (auto& io : io_queues_) io->Flush(idle);
    idle = false;
    {
      std::unique_lock<std::mutex> lock(loop_mu_);
      if (loop_items_.empty()) {
        if (queue_shut_down_ && pollers_running_ == 0) break;
        auto wake_at = std::chrono::steady_clock::now() + kPollInterval;
        if (metrics_on && !stopping_) wake_at = std::min(wake_at, next_metrics_);
        loop_waiting_ = true;
        loop_cv_.wait_until(lock, wake_at,
                            [this] { return !loop_waiting_ || !loop_items_.empty(); });
        loop_waiting_ = false;
        idle = loop_items_.empty();
      }
      items.swap(loop_items_);
    }
    if (runtime_) runtime_->CountTurn();
    for (LoopItem& item : items) {
      if (item.tag != nullptr) {
        item.tag->OnEvent(item.ok);
      } else {
        RunTask(item.task);
      }
    }
    items.clear();
    if (metrics_on && !stopping_ && std::chrono::steady_clock::now() >= next_metrics_) {
      CollectMetrics();
      next_metrics_ = std::chrono::steady_clock::now() + report_interval_;
    }
    if (runtime_) runtime_->CancelStalledCalls();
  }
  for (std::thread& poller : io_pollers_) poller.join();
  io_pollers_.clear();
  if (shutdown_thread_.joinable()) shutdown_thread_.join();
  drained_ = true;
}

void AsioOrvProvider::BeginStop() {
  stopping_ = true;
  stop_began_ = std::chrono::steady_clock::now();
  if (runtime_) runtime_->StopAccepting();
}

void AsioOrvProvider::StartShutdown() {
  shutdown_started_ = true;
  if (!server_) {
    server_down_ = true;
    return;
  }
  gpr_timespec deadline = After(shutdown_grace_);
  shutdown_thread_ = std::thread([this, deadline] {
    server_->Shutdown(deadline);
    server_down_ = true;
    WakeLoop();
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

// tarnix-server: builds the services on the command line's schema and
// database, serves them on every endpoint until the provider stops (SIGTERM
// or SIGINT), then tears down in reverse.

#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <grpc/grpc.h>

#include "caldek/orv/product_version.pb.h"
#include "logging/log_sink.h"
#include "logging/logger.h"
#include "metrics/metric.h"
#include "platform/crypto/fips.h"
#include "platform/health/daemon_health_service.h"
#include "platform/provider.h"
#include "schema/schema.h"
#include "server/client_authentication.h"
#include "server/command_line.h"
#include "server/tarnix_ops_server.h"
#include "server/tarnix_server.h"
#include "storage/db_access.h"

namespace {

constexpr size_t kEmergencyReserveBytes = 10485760;
// The largest vdb id CreateVDb may hand out: the whole 16-bit range.
constexpr uint16_t kMaxVdbId = 65535;

char* g_emergency_reserve = nullptr;
std::shared_ptr<orv::AsioOrvProvider> g_provider;
// Created once and never destroyed: the process ends with it alive.
tarnix::TarnixServer* g_data_service = nullptr;
std::atomic<bool> g_out_of_memory{false};

// The allocator's last resort: frees the reserve to make room for one report
// of the write path's memory, then ends the process. The provider is left
// alone, since tearing the server down inside a failed allocation can hang.
// An allocation failing inside the report enters again and ends at once.
void OutOfMemoryHandler() {
  if (g_out_of_memory.exchange(true)) std::terminate();
  delete[] g_emergency_reserve;
  g_emergency_reserve = nullptr;
  if (g_data_service != nullptr && orv::Logger::logLevel >= orv::INFO) {
    const std::string telemetry = g_data_service->telemetry().Format();
    TARNIX_LOG(orv::INFO, nullptr, "Last Telemetry: %s", telemetry.c_str());
  }
  orv::FlushLog();
  std::terminate();
}

void StopProvider() noexcept {
  if (!g_provider) return;
  TARNIX_LOG(orv::INFO, nullptr, "%s", "Stopping ORV Provider...");
  // The observer holds a counter of the provider's registry.
  orv::SetLogQueueFullObserver(nullptr);
  g_provider.reset();
  TARNIX_LOG(orv::INFO, nullptr, "%s", "... done.");
}

// Stops the provider when an exception leaves the scope it is declared in:
// declared after the objects the provider's server refers to, it runs before
// they are destroyed, as the orderly stop does.
class StopProviderOnException {
 public:
  StopProviderOnException() = default;
  ~StopProviderOnException() {
    if (std::uncaught_exceptions() > exceptions_) StopProvider();
  }
  StopProviderOnException(const StopProviderOnException&) = delete;
  StopProviderOnException& operator=(const StopProviderOnException&) = delete;

 private:
  const int exceptions_ = std::uncaught_exceptions();
};

int RunServer(int argc, char** argv) {
  tarnix::ServerOptions options;
  const bool parsed = tarnix::ParseCommandLine(argc, argv, &options);
  if (!parsed) {
    orv::FlushLog();
    tarnix::PrintUsage(stdout);
    return 1;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Size of transaction-log set to %zu bytes",
             static_cast<size_t>(options.txn_log_size));
  if (!tarnix::HasRequiredOptions(options)) {
    orv::FlushLog();  // the usage text follows the lines logged so far
    tarnix::PrintUsage(stdout);
    return 1;
  }
  TARNIX_LOG(orv::INFO, nullptr, "Build Number: %s", tarnix::GetBuildNumber());
  try {
    orv::crypto::set_fips_mode(true);
  } catch (const std::exception& e) {
    TARNIX_LOG(orv::ERROR, "errorCode:ORV_CRYPTO_ERR_FIPS_MODE", "Failed to set fips mode: %s",
               e.what());
  }

  // Declared in reverse order of teardown.
  tarnix::Schema schema(options.schema_path, options.schema_package_prefix);
  boost::property_tree::ptree config;
  config.put("metrics.root_namespace", "/orv/tarnix");
  config.put("metrics.report_interval_sec", options.metrics_report_interval_sec);
  g_provider = std::make_shared<orv::AsioOrvProvider>(config, std::string());
  // Until the services are registered the provider refers to nothing below.
  const StopProviderOnException stop_on_start_up_failure;
  orv::SetLogQueueFullObserver(
      [waits = tarnix::metrics::UnitMetric(g_provider->metrics(), "logging/queue_full_waits")] {
        ++*waits;
      });

  std::unique_ptr<tarnix::DbAccess> db(new tarnix::DbAccess(g_provider->metrics()));
  const tarnix::DbAccessStatus opened = db->Open(options.database_dir);
  if (!opened.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0101",
               "DbAccess::Open() failed on directory '%s' with error: %s",
               options.database_dir.c_str(), opened.message.c_str());
    db.reset();
    StopProvider();
    return 2;
  }
  {
    tarnix::ClientCertificateMap certificates = tarnix::MakeClientCertificateMap();
    g_data_service = new tarnix::TarnixServer(
        &schema, db.get(), options.txn_log_size, &g_provider->metrics(), &certificates,
        &g_provider->net().security_manager(), options.disable_flush_ephemeral, kMaxVdbId,
        options.merkle_sort_protobufs);
    // A daemon that cannot read its vdbs would be up and serve nothing.
    if (!g_data_service->startup_status().ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0101",
                 "Database '%s' cannot be served: %s. Start-up stops; restore the database or "
                 "move the damaged one away.",
                 options.database_dir.c_str(),
                 g_data_service->startup_status().ToString().c_str());
      g_data_service->txn_ids().Stop();
      delete g_data_service;
      g_data_service = nullptr;
      db.reset();
      StopProvider();
      return 2;
    }
    tarnix::TarnixOpsServer ops(&schema, db.get(), &g_provider->metrics(),
                                &g_provider->net().security_manager(), &certificates,
                                options.key_path(), options.certificate_path());
    // Monitors must not outlive their owner's read permission.
    ops.set_on_schema_reloaded([] { g_data_service->EndRevokedMonitors(); });
    caldek::orv::ProductVersionMsg version;
    orv::DaemonHealthService health(version);
    const StopProviderOnException stop_on_serving_failure;

    orv::rpc::ServerBuilder& builder = g_provider->rpc();
    orv::rpc::RpcServiceOptions service_options;
    service_options.priority = 1;
    builder.RegisterService(g_data_service, service_options);
    builder.RegisterService(&ops, service_options);
    builder.RegisterService(&health, service_options);
    auto connection_options = std::make_shared<orv::net::ConnectionOptions>();
    for (const std::string& endpoint : options.listen) {
      builder.AddListeningEndpoint(orv::net::Endpoint(endpoint), connection_options,
                                   orv::rpc::RpcConnectionOptions());
    }
    std::unique_ptr<orv::rpc::Server> server = builder.BuildStarted();
    // Durable writes are synced on a thread of their own and answered on
    // the loop; long reads yield the loop between their slices.
    orv::AsioOrvProvider* const loop = g_provider.get();
    auto post = [loop](std::function<void()> task) { loop->Post(std::move(task)); };
    g_data_service->group_commit().StartSyncer(post);
    g_data_service->set_loop_poster(post);

    g_provider->Run(1);
    g_data_service->group_commit().StopSyncer();
    // Waits for the piece of a compaction in flight only; the rest of its
    // range is left to LevelDB.
    g_data_service->compactor().Stop();

    server.reset();
    connection_options.reset();
    // No transaction runs any more: the next start goes on right after the
    // last id.
    g_data_service->txn_ids().Stop();
  }  // health, operations service, certificate map
  db.reset();
  StopProvider();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Held until the process exits: gRPC's final shutdown, which the server's
  // teardown would otherwise run, can block for ever joining its executor
  // while clients keep their connections open.
  grpc_init();
  g_emergency_reserve = new char[kEmergencyReserveBytes];
  std::set_new_handler(OutOfMemoryHandler);
  int status = 1;
  try {
    status = RunServer(argc, argv);
  } catch (const std::exception& e) {
    TARNIX_LOG(orv::PANIC, "errorCode:DRX0000", "ORV Tarnix failed to run: %s", e.what());
  } catch (...) {
    TARNIX_LOG(orv::PANIC, "errorCode:DRX0000", "%s",
               "ORV Tarnix failed to with an unknown exception.");
  }
  // Log lines are written by a thread of their own: all of them before exit.
  orv::FlushLog();
  return status;
}

#include "server/tarnix_server.h"

#include <optional>

#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "server/write_stream_processor.h"
#include "write/prepared_request.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

TarnixServer::TarnixServer(Schema* schema, DbAccess* db_access, uint64_t max_log_size,
                           orv::metrics::MetricRegistry* metric_registry,
                           const ClientCertificateMap* client_certificates,
                           const orv::net::NetSecurityManager* security,
                           bool disable_flush_ephemeral, uint16_t max_vdb_id,
                           bool merkle_sort_protobufs)
    : schema_(schema),
      db_access_(db_access),
      client_certificates_(client_certificates),
      security_(security),
      max_vdb_id_(max_vdb_id),
      txn_ids_(db_access),
      txn_log_(db_access, max_log_size, metric_registry),
      monitor_engine_(schema, metric_registry),
      vdbs_(db_access, &txn_log_),
      obj_stats_maintainer_(metric_registry),
      merkle_sort_protobufs_(merkle_sort_protobufs),
      write_metrics_(*metric_registry),
      compute_delta_latency_(*metric_registry, "server/latency/compute/delta"),
      compute_repeated_delta_latency_(*metric_registry, "server/latency/compute/repeated_delta"),
      monitor_update_latency_(*metric_registry, "server/latency/monitor/update/process"),
      group_commit_(db_access),
      compactor_(db_access),
      writes_(schema, db_access, &txn_ids_, &txn_log_, &vdbs_, &obj_stats_maintainer_,
              &write_metrics_, &telemetry_, this, &group_commit_, &compactor_),
      get_processor_(schema, db_access),
      query_processor_(schema, db_access),
      monitor_statements_(schema, &query_processor_, &monitor_engine_),
      notifications_(schema, &monitor_engine_, &type_order_, metric_registry) {
  AddWriteStreams();
  // A Put's keys and log unit are made on the I/O thread that parsed it.
  SetRequestPreparer<tx::PutRequestMsg>(
      WriteOpDescription<tx::PutRequestMsg>::kName,
      [schema](const tx::PutRequestMsg& request) -> std::unique_ptr<orv::rpc::RequestExtra> {
        auto read = std::make_unique<PreparedRead>();
        read->request = PrepareRequest(*schema, request);
        return read;
      });
  group_commit_.set_on_notifications_stopped([this] { EndMonitorsAfterFailedSync(); });
  txn_ids_.InitTxnId();
  wft_config_.Load(db_access_);
  WipeDeprecatedObjects(*schema_, db_access_, &compactor_);
  // The count reads every object record; it also collects the vdbs they
  // name, which the loaded registry must know.
  VdbIdSet held_vdbs;
  ComputeStatistics(*schema_, db_access_, &obj_stats_maintainer_, &held_vdbs,
                    writes_.object_keys());
  // Ids go on past every id the log holds.
  txn_log_.SetCurrentLogSize();
  txn_ids_.AdvancePastLoggedTxnId(txn_log_.highest_logged_txn_id());
  if (db_access_->lost_data_at_open()) txn_ids_.AdvancePastLostIds();
  startup_status_ = vdbs_.InitVDbInfo();
  vdbs_.ReportUnregisteredVdbs(held_vdbs);
  if (!disable_flush_ephemeral) writes_.WipeEphemeralObjects();
}

TarnixServer::~TarnixServer() = default;

}  // namespace tarnix

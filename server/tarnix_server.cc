#include "server/tarnix_server.h"

namespace tarnix {

TarnixServer::TarnixServer(Schema* schema, DbAccess* db_access, uint64_t max_log_size,
                           orv::metrics::MetricRegistry* metric_registry)
    : schema_(schema),
      db_access_(db_access),
      metric_registry_(metric_registry),
      txn_ids_(db_access),
      txn_log_(db_access, max_log_size, metric_registry),
      vdbs_(db_access, &txn_log_),
      obj_stats_maintainer_(metric_registry) {
  InitTxnId();
  WipeDeprecatedObjects();
  ComputeStatistics();
  SetCurrentLogSize();
  InitVDbInfo();
}

TarnixServer::~TarnixServer() = default;

void TarnixServer::SetCurrentLogSize() {
  txn_log_.SetCurrentLogSize();
  txn_ids_.AdvancePastLoggedTxnId(txn_log_.highest_logged_txn_id());
}

}  // namespace tarnix

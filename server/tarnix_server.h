#ifndef TARNIX_SERVER_TARNIX_SERVER_H_
#define TARNIX_SERVER_TARNIX_SERVER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc/status.h"
#include "platform/tarnix/tarnix_service.h"
#include "storage/db_access.h"
#include "write/object_stats_maintainer.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"

namespace tarnix {

class Schema;
class TarnixTransactionLog;

// The data service: holds the state every write transaction shares (ids,
// the stored log, the vdb registry, object statistics) and restores it from
// the database when built. Lives on the RPC event-loop thread; no locks.
class TarnixServer : public caldek::orv::tarnix::Tarnix::Service {
 public:
  // Restores the persisted state: the last transaction id, removal of
  // deprecated types, object statistics, the log size and the vdb registry
  // (creating "main_vdb" on a new database). Storage failures are logged and
  // leave that state empty. `schema`, `db_access` (open) and
  // `metric_registry` are not owned and must outlive the server. Throws
  // std::runtime_error when a metric name is taken by another counter kind.
  TarnixServer(Schema* schema, DbAccess* db_access, uint64_t max_log_size,
               orv::metrics::MetricRegistry* metric_registry);
  ~TarnixServer() override;

  void InitTxnId() { txn_ids_.InitTxnId(); }
  bool GetNextTxnId(uint64_t* txn_id) { return txn_ids_.GetNextTxnId(txn_id); }
  void WipeDeprecatedObjects() { tarnix::WipeDeprecatedObjects(*schema_, db_access_); }
  void ComputeStatistics() {
    tarnix::ComputeStatistics(*schema_, db_access_, &obj_stats_maintainer_);
  }
  // Also raises the transaction id past every id the log holds.
  void SetCurrentLogSize();
  orv::rpc::AppStatus ComputeTxnLogUpdates(bool tracing, TarnixTransactionLog* log,
                                           uint64_t* size, uint64_t* txn_bytes,
                                           std::vector<DbAccess::TxnPut>* puts,
                                           std::vector<std::string>* deletes) {
    return txn_log_.ComputeTxnLogUpdates(tracing, log, size, txn_bytes, puts, deletes);
  }
  void InitVDbInfo() { vdbs_.InitVDbInfo(); }
  bool AddVDbInfo(uint16_t id, const std::string& name, TarnixTransactionLog* log) {
    return vdbs_.AddVDbInfo(id, name, log);
  }

  uint64_t txn_id() const { return txn_ids_.txn_id(); }
  TransactionLogStore& txn_log() { return txn_log_; }
  VDbRegistry& vdbs() { return vdbs_; }
  ObjectStatsMaintainer& obj_stats_maintainer() { return obj_stats_maintainer_; }

 private:
  Schema* const schema_;
  DbAccess* const db_access_;
  orv::metrics::MetricRegistry* const metric_registry_;
  TransactionIds txn_ids_;
  TransactionLogStore txn_log_;
  VDbRegistry vdbs_;
  ObjectStatsMaintainer obj_stats_maintainer_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_TARNIX_SERVER_H_

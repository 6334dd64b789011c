#ifndef TARNIX_SERVER_TARNIX_SERVER_H_
#define TARNIX_SERVER_TARNIX_SERVER_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "metrics/metric.h"
#include "monitor/monitor_engine.h"
#include "monitor/monitor_statements.h"
#include "monitor/notification_builder.h"
#include "monitor/type_order.h"
#include "platform/net/net_security_manager.h"
#include "platform/rpc/status.h"
#include "platform/tarnix/tarnix_service.h"
#include "query/get_processor.h"
#include "query/query_processor.h"
#include "server/call_reply.h"
#include "server/client_authentication.h"
#include "server/monitor_stream.h"
#include "server/workflow_tracer_config.h"
#include "server/write_stream_budget.h"
#include "storage/db_access.h"
#include "storage/range_compactor.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_op.h"
#include "write/write_telemetry.h"
#include "write/write_transactions.h"

namespace tarnix {

class Schema;
class TarnixTransactionLog;

// The data service: holds the state every write transaction shares (ids,
// the stored log, the vdb registry, object statistics, the monitor registry,
// the workflow-tracer configuration) and restores it from the database when
// built; authenticates every caller, turns each write stream into one
// transaction and serves Get, Query and the transaction log. Lives on the RPC
// event-loop thread; no locks.
class TarnixServer : public caldek::orv::tarnix::Tarnix::Service, public UpdateNotifier {
 public:
  template <class Resp>
  using CallPtr = boost::intrusive_ptr<orv::rpc::CallHandle<Resp>>;

  // Registers the write-path, delta and notification metrics and restores
  // the persisted state: the last transaction id, the workflow-tracer
  // configuration (applied when enabled), removal of deprecated types, object
  // statistics, the log size and the vdb registry (creating "main_vdb" on a
  // new database), then, unless `disable_flush_ephemeral`, removes the
  // objects of ephemeral types in one logged transaction. Storage failures
  // are logged and leave that state empty. `max_vdb_id` is the largest vdb id
  // handed out; `merkle_sort_protobufs` makes Merkle leaves hash the
  // field-sorted bodies of types that ask for it. `security` tells whether
  // listeners speak TLS and with which server certificate (null: plaintext,
  // see AuthenticateClient). `schema`, `db_access` (open), `metric_registry`,
  // `client_certificates` and `security` are not owned and must outlive the
  // server. Throws std::runtime_error when a metric name is taken by another
  // counter kind.
  TarnixServer(Schema* schema, DbAccess* db_access, uint64_t max_log_size,
               orv::metrics::MetricRegistry* metric_registry,
               const ClientCertificateMap* client_certificates,
               const orv::net::NetSecurityManager* security, bool disable_flush_ephemeral,
               uint16_t max_vdb_id, bool merkle_sort_protobufs);
  ~TarnixServer() override;

  // Whether the state restored from the database lets the server serve:
  // the failure to read the vdb registry (a damaged database), else OK.
  const Status& startup_status() const { return startup_status_; }

  // A committed durable write still waits for its answer: a stopping
  // server waits for it before it cancels calls.
  bool AnswersPending() const override { return group_commit_.answers_pending(); }

  // --- Reads ---
  // Authenticates the caller and checks the request's vdb (1 when the field
  // is absent; an id not in use, one above 65535 included, fails with
  // FAILED_PRECONDITION "no mapping for vdb_id found") and the selectors,
  // then writes the chunks of GetProcessor::GetObjects as a ReadStream (in
  // slices of read_slice_records() records) and finishes the stream, or
  // fails the call with the processor's status.
  void Get(orv::rpc::CallContext& context, const caldek::orv::tarnix::GetRequestMsg& request,
           const CallPtr<caldek::orv::tarnix::GetResponseMsg>& call) override;
  // Authenticates the caller and checks the vdb as Get does, then writes the
  // chunks of QueryProcessor as a ReadStream and finishes the stream; a
  // query that matched nothing is answered by one empty response. A refused
  // or failed query fails the call with the processor's status, logged with
  // "Query operation failed: ".
  void Query(orv::rpc::CallContext& context, const caldek::orv::tarnix::QueryRequestMsg& request,
             const CallPtr<caldek::orv::tarnix::QueryResponseMsg>& call) override;
  // Streams every stored transaction-log unit, as stored and in key order,
  // in responses of a little over 999,999 bytes of units each (one unit
  // larger than that goes alone), then finishes. The units hold every
  // client's request bodies: over TLS only the administrator may read them
  // (see CheckAdministrator); plaintext listeners serve every caller. The
  // request's fields are not read. A storage failure fails the call.
  void GetTransactionLog(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::GetTransactionLogsRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::GetTransactionLogsResponseMsg>& call) override;

  // --- Virtual databases ---
  // Authenticates the caller, requires the schema's right to manage vdbs,
  // checks the name (present, VDbRegistry::IsValidName, not "main_vdb", not
  // in use), takes a transaction id, then the smallest free id from 2 to
  // max_vdb_id() (RESOURCE_EXHAUSTED "No more vdb ids available" when none,
  // the transaction id staying used) and stores the vdb with its transaction's
  // log units. Answers only once the vdb record is synced to disk. Refused
  // after a failed sync, as writes are.
  void CreateVDb(orv::rpc::CallContext& context,
                 const caldek::orv::tarnix::CreateVDbRequestMsg& request,
                 const CallPtr<caldek::orv::tarnix::CreateVDbResponseMsg>& call) override;
  // Authenticates the caller, requires the right to manage vdbs, checks the
  // name (present, valid, not "main_vdb", in use and not being deleted),
  // then closes the vdb (see VDbRegistry::Close) and flushes every object of
  // it in one logged transaction (WriteTransactions::DeleteVDb). Once that
  // is synced and notified, deletes the vdb's record, answers, ends the
  // monitors watching the vdb with ABORTED after what was queued for them,
  // and forgets the vdb. A failure before the record is gone opens the vdb
  // again; after a failed sync the call is refused as writes are.
  void DeleteVDb(orv::rpc::CallContext& context,
                 const caldek::orv::tarnix::DeleteVDbRequestMsg& request,
                 const CallPtr<caldek::orv::tarnix::DeleteVDbResponseMsg>& call) override;
  // Authenticates the caller and answers the vdbs of the names asked for, in
  // request order (unknown ones left out), or every vdb by ascending id when
  // none is asked for.
  void GetVDbId(orv::rpc::CallContext& context,
                const caldek::orv::tarnix::GetVDbIdRequestMsg& request,
                const CallPtr<caldek::orv::tarnix::GetVDbIdResponseMsg>& call) override;

  // --- Workflow tracer ---
  // Both refuse a call without client id with INVALID_ARGUMENT "Missing
  // client id.". Configure stores the request's configuration (see
  // WorkflowTracerConfig::Store: an invalid one is refused with
  // INVALID_ARGUMENT, a failed write with INTERNAL, and the previous one
  // stays in force), then applies it. Get answers the configuration in force.
  void ConfigureWorkflowTracer(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::ConfigureWorkflowTracerRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::ConfigureWorkflowTracerResponseMsg>& call) override;
  void GetWorkflowTracer(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::GetWorkflowTracerRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::GetWorkflowTracerResponseMsg>& call) override;

  // --- Merkle tree ---
  // Answers the Merkle tree (server/merkle_tree.h) of the request's vdb over
  // the types the client may write (see MerkleWalk). A missing client id is
  // INVALID_ARGUMENT "Missing client id."; a vdb not in use, one above 65535
  // included, FAILED_PRECONDITION "no mapping for vdb_id found"; block ranges
  // that MerkleWalk::CheckBlockRanges refuses, INVALID_ARGUMENT. The walk
  // runs on one snapshot in slices of read_slice_records() records, one
  // per loop turn when a loop poster is set (else all in this call); a
  // client that goes away ends it. A read failure fails the call.
  void GetMerkleTree(
      orv::rpc::CallContext& context, const caldek::orv::tarnix::GetMerkleTreeRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::GetMerkleTreeResponseMsg>& call) override;

  // Runs a task on the event-loop thread at a later turn (the provider's
  // Post); long reads (Get, Query, GetMerkleTree) use it to let other calls
  // in between their slices. Without it each read runs whole in its call.
  using LoopPoster = std::function<void(std::function<void()>)>;
  void set_loop_poster(LoopPoster post) { loop_poster_ = std::move(post); }
  static constexpr size_t kReadSliceRecords = 1024;
  void set_read_slice_records(size_t records) {
    read_slice_records_ = std::max<size_t>(records, 1);
  }
  size_t read_slice_records() const { return read_slice_records_; }

  // --- Monitors (monitor_rpcs.cc) ---
  // Opens a monitor: the request's id, or a generated one (INFO line); an
  // id that is open, or waits to open, is refused (INVALID_ARGUMENT, DRX0302;
  // longer than 1024 bytes also). Then, as every data-service call: the
  // refusal of writes after a failed sync, a transaction id (INTERNAL
  // "Unable to generate transaction id"), the caller's identity, the vdb
  // (FAILED_PRECONDITION "no mapping for vdb_id found"). In the
  // notification order under its id, read_slice_records() where clauses a
  // loop turn, the statements are checked
  // (MonitorStatements::ValidateMonitorStatements), the monitor registered
  // and subscribed; the snapshot of what its statements match is then
  // scanned and written as the client reads it, and the call stays open for
  // notifications. A refusal or a failed scan fails it.
  void Monitor(orv::rpc::CallContext& context,
               const caldek::orv::tarnix::MonitorRequestMsg& request,
               const CallPtr<caldek::orv::tarnix::MonitorResponseMsg>& call) override;
  // Changes an open monitor's statements (delete, update, add) and writes
  // the snapshot of what newly matches on the monitor's stream, then answers
  // with the monitor's statements. Only the monitor's owner and kAdminClient
  // may (else PERMISSION_DENIED "<client> may not configure monitor <id>",
  // right after the caller's identity). Checked as Monitor is, against the
  // vdb the monitor watches and against the read permission of the monitor's
  // owner for the types it adds; the statements' checks run in the
  // notification order under its id, in slices as Monitor's do. Answers once
  // the snapshot is queued on the monitor's stream; a monitor that ended
  // first refuses the change with its own status, or with the not-found
  // refusal (DRX0009) when its client went.
  void ConfigureMonitor(
      orv::rpc::CallContext& context,
      const caldek::orv::tarnix::ConfigureMonitorRequestMsg& request,
      const CallPtr<caldek::orv::tarnix::ConfigureMonitorResponseMsg>& call) override;
  // The end of the Monitor call `call` of `monitor_id`: with a status other
  // than OK the monitor and all its subscriptions go, unless the id belongs
  // to another call by now; many subscriptions go a slice per turn, in the
  // notification order.
  void OnClientDisconnect(const std::string& monitor_id, const orv::rpc::ServerCall* call,
                          const orv::rpc::Status& status);
  // Ends each monitor whose owner may no longer read a type it watches with
  // PERMISSION_DENIED "<owner> does not have read permission for <type>";
  // it leaves the monitor engine at once. Open monitors end now, those that
  // open or change in the notification order once they took effect, before
  // any transaction committed after this call. Run after the schema's
  // permissions changed.
  void EndRevokedMonitors();

  // Tells every open monitor that the changes concern of them, in the
  // transaction's place in the notification order (monitor_notifications.cc):
  // updates parents first, then deletes children first, cut to each
  // monitor's selection, the last message of the transaction marked. Logs
  // INFO "Notifying updates took %li ms to %zu clients: %s" (at most 16
  // monitors named) and records "server/latency/monitor/update/process".
  // Throws nothing and empties both lists. A monitor whose messages cannot
  // be built ends with INTERNAL; one that fell behind, or whose backlog is
  // the largest once all backlogs pass the total budget, with
  // RESOURCE_EXHAUSTED.
  void NotifyForUpdate(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* updates,
                       std::list<UpdateRecord>* deletes, TransactionRequestTable* requests,
                       std::chrono::system_clock::time_point started) override;

  // The components; tests and the daemon use them directly.
  // The bytes that open write streams buffer, and their caps.
  WriteStreamBudget& write_budget() { return write_budget_; }
  TransactionIds& txn_ids() { return txn_ids_; }
  // The write-phase samples, for the out-of-memory report.
  const WriteTelemetry& telemetry() const { return telemetry_; }
  // The seven write streams' transactions.
  WriteTransactions& writes() { return writes_; }
  uint16_t max_vdb_id() const { return max_vdb_id_; }
  bool merkle_sort_protobufs() const { return merkle_sort_protobufs_; }
  WorkflowTracerConfig& wft_config() { return wft_config_; }
  TransactionLogStore& txn_log() { return txn_log_; }
  VDbRegistry& vdbs() { return vdbs_; }
  ObjectStatsMaintainer& obj_stats_maintainer() { return obj_stats_maintainer_; }
  // Answers durable write transactions; the daemon starts its syncer.
  GroupCommit& group_commit() { return group_commit_; }
  // Compacts the range of large deletes; the daemon stops it on its way out.
  RangeCompactor& compactor() { return compactor_; }
  MonitorEngine& monitor_engine() { return monitor_engine_; }

 private:
  // The vdb a read request names (`has_vdb_id`, `vdb_id`): 1 when absent.
  // False, after the ERROR line, for an id not in use (see VDbRegistry::InUse);
  // ids above 65535 are never in use.
  bool ResolveReadVdb(bool has_vdb_id, uint32_t vdb_id, VdbId* resolved) const;
  // AuthenticateClient against the registered certificates and the server's
  // installed one.
  orv::rpc::AppStatus Authenticate(
      const orv::rpc::CallContext& context, const char* operation,
      MissingClientId missing = MissingClientId::kUnauthenticated) const {
    return AuthenticateClient(*client_certificates_, InstalledServerCertificate(security_), context,
                              operation, missing);
  }
  // A Monitor or ConfigureMonitor call checked on arrival, and how it takes
  // effect in its turn; defined in monitor_rpcs.cc.
  struct MonitorOpening;
  struct MonitorChange;
  // Each returns false when it needs another turn (see GroupCommit::RunInOrder).
  bool OpenMonitor(MonitorOpening& opening);
  bool ChangeMonitor(MonitorChange& change);
  // NotifyForUpdate but for its failure: builds the transaction's
  // notifications and hands them to the monitors' streams.
  void DeliverNotifications(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* updates,
                            std::list<UpdateRecord>* deletes, TransactionRequestTable* requests,
                            std::chrono::system_clock::time_point started);
  // Ends monitors that fell behind: those whose backlog took all monitors
  // past the total budget, largest first.
  void EnforceMonitorBacklogBudget();
  // Ends every monitor with UNAVAILABLE: a failed sync stopped notification.
  void EndMonitorsAfterFailedSync();
  // Ends the monitors that watch the deleted vdb `vdb_id` with ABORTED once
  // their clients took what was queued; they leave the monitor engine now.
  void AbortMonitorsOfDeletedVDb(VdbId vdb_id);
  // Runs a step of the notification order; whatever it throws stops here
  // (the step then counts as done).
  bool RunMonitorStep(const std::function<bool()>& step);
  // The refusal of writes, a new transaction id and the caller's identity.
  orv::rpc::AppStatus StartMonitorTransaction(const orv::rpc::CallContext& context,
                                              const char* operation, uint64_t* txn_id);
  // Walks the next slice of a GetMerkleTree call and answers it at the end;
  // defined in merkle_rpc.cc.
  struct MerkleCall;
  void StepMerkleWalk(const std::shared_ptr<MerkleCall>& merkle);
  // Adds the client-stream RPC of each operation of WriteOps, opened by
  // OpenWriteStream; defined in write_streams.cc.
  void AddWriteStreams();
  // Opens a write stream of the operation WriteOpDescription<Req>
  // describes: authenticates the caller (see AuthenticateClient), then
  // refuses the stream with FAILED_PRECONDITION "No schema loaded" while the
  // schema defines no object type, and returns the stream's processor, which
  // the framework owns. A refused call is failed at once; its processor
  // keeps nothing and never runs the write, whatever it receives. The
  // messages a stream buffers count against write_budget().
  template <class Req>
  orv::rpc::CallObserver<Req>* OpenWriteStream(
      orv::rpc::CallContext& context,
      const CallPtr<typename WriteOpDescription<Req>::Response>& call);

  Schema* const schema_;
  DbAccess* const db_access_;
  const ClientCertificateMap* const client_certificates_;
  const orv::net::NetSecurityManager* const security_;
  const uint16_t max_vdb_id_;
  TransactionIds txn_ids_;
  TransactionLogStore txn_log_;
  MonitorEngine monitor_engine_;
  VDbRegistry vdbs_;
  ObjectStatsMaintainer obj_stats_maintainer_;
  const bool merkle_sort_protobufs_;
  WriteMetrics write_metrics_;
  metrics::LatencyMetric compute_delta_latency_;
  metrics::LatencyMetric compute_repeated_delta_latency_;
  metrics::LatencyMetric monitor_update_latency_;
  WorkflowTracerConfig wft_config_;
  WriteTelemetry telemetry_;
  GroupCommit group_commit_;
  RangeCompactor compactor_;
  WriteTransactions writes_;
  GetProcessor get_processor_;
  QueryProcessor query_processor_;
  WriteStreamBudget write_budget_;
  MonitorStatements monitor_statements_;
  TypeOrder type_order_;
  NotificationBuilder notifications_;
  // Bytes of the notifications that some monitor has still to write: each
  // transaction's responses once, however many monitors share them. Before
  // the streams, which release their responses as they go.
  size_t monitor_backlog_ = 0;
  // Open monitors, and those waiting to open, by id.
  std::unordered_map<std::string, std::unique_ptr<MonitorStream>> monitor_streams_;
  // Monitor id -> the client that opened it.
  std::unordered_map<std::string, std::string> monitor_clients_;
  // Streams of monitors ended with their vdb, until their calls complete.
  std::unordered_map<const orv::rpc::ServerCall*, std::unique_ptr<MonitorStream>>
      ending_monitor_streams_;
  LoopPoster loop_poster_;
  size_t read_slice_records_ = kReadSliceRecords;
  Status startup_status_;
};

}  // namespace tarnix

#endif  // TARNIX_SERVER_TARNIX_SERVER_H_

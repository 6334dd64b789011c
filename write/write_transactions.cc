#include "write/write_transactions.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "platform/wft/workflow_util.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "storage/range_compactor.h"
#include "util/heap_release.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/request_processor.h"
#include "write/tarnix_transaction_log.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_telemetry.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

using Clock = std::chrono::system_clock;

long MillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The body's span, open only while the tracer is on; *tracing tells whether
// any request carries a context, which nested spans need.
std::unique_ptr<orv::wft::WorkflowUtil> OpenBodySpan(const RequestStream& stream, bool* tracing) {
  *tracing = false;
  if (!WriteTransactions::TracingEnabled()) return nullptr;
  std::list<orv::wft::TraceInfo> traces;
  stream.CollectWorkflowContexts(&traces);
  *tracing = !traces.empty();
  return std::make_unique<orv::wft::WorkflowUtil>(stream.op.span, 1, traces);
}

// Appends one change record per change to the log; a change whose objects
// both lack a type is left out.
void ProcessUpdatesSet(uint32_t kind, const std::list<UpdateRecord>& changes,
                       TarnixTransactionLog* log) {
  for (const UpdateRecord& change : changes) {
    if (!change.type || !change.id) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Object in updates set is empty.. ignoring it");
      continue;
    }
    log->AddChange(kind, *change.type, *change.id, change.vdb_ids);
  }
}

// Answers through a reply that outlives it.
class ForwardingReply : public WriteReply {
 public:
  explicit ForwardingReply(WriteReply* reply) : reply_(reply) {}
  void Respond() override { reply_->Respond(); }
  void Fail(const Status& status) override { reply_->Fail(status); }

 private:
  WriteReply* const reply_;
};

}  // namespace

std::unique_ptr<WriteReply> WriteReply::Keep() { return std::make_unique<ForwardingReply>(this); }

// A transaction whose batch is written, with what its answer and its
// notification need.
class WriteTransactions::Committed : public CommittedTransaction {
 public:
  Committed(const char* name, WriteTransactions* owner, uint64_t txn_id, bool tracing,
            std::unique_ptr<WriteReply> reply, std::unique_ptr<TransactionRequestTable> requests,
            bool sample_reply, std::function<void()> done)
      : name_(name),
        owner_(owner),
        txn_id_(txn_id),
        tracing_(tracing),
        reply_(std::move(reply)),
        requests_(std::move(requests)),
        sample_reply_(sample_reply),
        done_(std::move(done)) {}
  ~Committed() override {
    if (!release_heap) return;
    // A sync transaction may end turns after its body: what it holds goes
    // first, then the freed heap goes back to the system.
    updates.clear();
    deletes.clear();
    requests_.reset();
    ReleaseFreeHeapMemory();
  }

  void Answer(const Status& status) override {
    if (!status.ok()) {
      TARNIX_LOG(orv::INFO, nullptr, "%s processing failed with %s", name_,
                 status.ToString().c_str());
      reply_->Fail(status);
      return;
    }
    reply_->Respond();
    if (sample_reply_) owner_->telemetry_->Record(7);
  }
  bool Notify() override {
    // The client has its answer: nothing the monitors do can change it.
    owner_->notifier_->NotifyForUpdate(txn_id_, tracing_, &updates, &deletes, requests_.get(),
                                       Clock::now());
    if (done_) done_();
    return true;
  }

  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> deletes;
  // Whether the transaction was large enough to give its heap back.
  bool release_heap = false;

 private:
  const char* const name_;
  WriteTransactions* const owner_;
  const uint64_t txn_id_;
  const bool tracing_;
  const std::unique_ptr<WriteReply> reply_;
  std::unique_ptr<TransactionRequestTable> requests_;
  const bool sample_reply_;
  const std::function<void()> done_;
};

WriteTransactions::WriteTransactions(const Schema* schema, DbAccess* db, TransactionIds* ids,
                                     TransactionLogStore* log_store, const VDbRegistry* vdbs,
                                     ObjectStatsMaintainer* stats, WriteMetrics* metrics,
                                     WriteTelemetry* telemetry, UpdateNotifier* notifier,
                                     GroupCommit* commits, RangeCompactor* compactor)
    : schema_(schema),
      db_(db),
      ids_(ids),
      log_store_(log_store),
      vdbs_(vdbs),
      stats_(stats),
      metrics_(metrics),
      telemetry_(telemetry),
      notifier_(notifier),
      commits_(commits),
      compactor_(compactor) {}

bool WriteTransactions::TracingEnabled() { return orv::wft::WorkflowUtil::Enabled(); }

bool WriteTransactions::CommitAndReply(Commit commit) {
  TransactionRequestTable* const table = commit.requests.get();
  auto committed = std::make_unique<Committed>(
      commit.name, this, commit.txn_id, commit.tracing, commit.reply->Keep(),
      std::move(commit.requests), commit.sample_reply, std::move(commit.done));
  uint64_t log_bytes = 0;
  // Written without sync: the group commit syncs, for this transaction and
  // for those around it.
  const Status status = ProcessRequests(false, commit.tracing, commit.processor, commit.log,
                                        &log_bytes, &committed->updates, &committed->deletes,
                                        metrics_->process(commit.slot), table);
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s processing failed with %s", commit.name,
               status.ToString().c_str());
    ids_->PersistPending();
    commit.reply->Fail(status);
    return false;
  }
  metrics_->request_size(commit.slot)->update(log_bytes);
  stats_->UpdateObjectStatistics(commit.processor->record_count_changes());
  committed->release_heap = log_bytes >= kReleaseHeapAfterBytes;
  commits_->Commit(commit.sync, std::move(committed));
  return true;
}

void WriteTransactions::RunTransaction(const std::string& client_id, WriteReply* reply,
                                       RequestStream* stream, const OwnTransaction* own) {
  const WriteOpInfo& op = stream->op;
  const char* const name = own != nullptr ? own->name : op.name;
  if (!commits_->Writable().ok()) {
    reply->Fail(commits_->Writable());
    return;
  }
  if (op.sampled) telemetry_->CacheThreadStackBounds();
  const Clock::time_point start = Clock::now();
  if (op.sampled) telemetry_->Record(0);
  bool tracing = false;
  std::unique_ptr<orv::wft::WorkflowUtil> body_span;
  if (own == nullptr) body_span = OpenBodySpan(*stream, &tracing);
  // Written with the transaction's batch, or alone if it ends without one.
  uint64_t txn_id = 0;
  if (!ids_->TakeTxnId(&txn_id)) {
    reply->Fail(Status::Internal("Unable to generate transaction id"));
    return;
  }
  int64_t stream_size = 0;
  double megabytes = 0;
  if (op.sampled) {
    stream_size = stream->ByteSize();
    megabytes = static_cast<double>(stream_size) / 1024 / 1024;
    TARNIX_LOG(orv::INFO, nullptr, "%s: TransactionID='%lu' Client ID=%s Size=%.02fMB LogTx?=%d",
               op.name, txn_id, client_id.c_str(), megabytes,
               stream_size < kMaxLoggedModifyBytes ? 1 : 0);
  } else {
    TARNIX_LOG(orv::INFO, nullptr, "%s: TransactionID='%lu' Client ID=%s", op.name, txn_id,
               client_id.c_str());
  }
  TarnixTransactionLog log(schema_, client_id, txn_id);
  log.set_request_bound(request_log_bound());
  if (own != nullptr) {
    log.vdb_id = own->vdb_id;
    log.RecordRequest(*own->request);
  }
  RequestProcessor processor(schema_, db_, &object_keys_);
  if (op.sampled) telemetry_->Record(1);
  ChildRecordCache cache;
  KeyReader keys(&schema_->types(), &schema_->keys());
  const EntryScope scope{schema_,
                         db_,
                         vdbs_,
                         client_id,
                         &processor,
                         &cache,
                         &keys,
                         /*skip_permission=*/own != nullptr,
                         /*deleting_vdb=*/own != nullptr ? own->vdb_id : VdbId{0}};
  bool sync = false;
  Status status =
      Preprocess(scope, tracing, stream_size < kMaxLoggedModifyBytes, stream, &log, &sync);
  // The flush reaches the schema's types only; the deleted vdb leaves the
  // records of every other type too, or an id handed out again would find
  // them once a schema lists their type again.
  if (status.ok() && own != nullptr) {
    status = processor.RemoveVdbsFromUnknownTypes(VdbIdSet{own->vdb_id});
  }
  if (!status.ok()) {
    TARNIX_LOG(orv::INFO, nullptr, "%s preprocessing failed with %s", name,
               status.ToString().c_str());
    ids_->PersistPending();
    reply->Fail(status);
    return;
  }
  Commit commit{op.slot, name, txn_id, sync || own != nullptr, tracing, &processor, &log, reply};
  if (!op.sampled) {
    if (own != nullptr) commit.done = own->done;
    CommitAndReply(std::move(commit));
    return;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "%s Process + Preprocess took %li ms.", op.name,
             MillisSince(start));
  auto processed = std::make_unique<TransactionRequestTable>(16);
  processed->max_load_factor(1.0f);
  WriteTelemetry* const telemetry = telemetry_;
  // After the notification; on a failure the phases taken so far stay for
  // the out-of-memory report.
  const char* const op_name = op.name;
  auto complete = [telemetry, op_name, txn_id, client_id, megabytes, start] {
    telemetry->Record(8);
    TARNIX_LOG(orv::INFO, nullptr,
               "%s Complete: TransactionID=%lu Client ID=%s Size=%.02fMB Duration=%lu "
               "Telemetry=%s",
               op_name, txn_id, client_id.c_str(), megabytes,
               static_cast<unsigned long>(MillisSince(start)), telemetry->Format().c_str());
    telemetry->Reset();
  };
  commit.requests = std::move(processed);
  commit.sample_reply = true;
  commit.done = complete;
  CommitAndReply(std::move(commit));
}

Status WriteTransactions::Preprocess(const EntryScope& scope, bool tracing, bool record_requests,
                                     RequestStream* stream, TarnixTransactionLog* log, bool* sync) {
  metrics::ScopedLatencyTimer timer(metrics_->preprocess(stream->op.slot));
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace(stream->op.preprocess_span, 2);
  if (stream->empty()) {
    return Status::InvalidArgument("Received empty request from " + scope.client_id);
  }
  uint64_t entries = 0;
  Status status = stream->Preprocess(scope, record_requests ? log : nullptr, sync, &entries);
  if (status.ok()) metrics_->request_count(stream->op.slot)->update(entries);
  return status;
}

Status WriteTransactions::ProcessRequests(bool sync, bool tracing, RequestProcessor* processor,
                                          TarnixTransactionLog* log, uint64_t* txn_log_bytes,
                                          std::list<UpdateRecord>* updates,
                                          std::list<UpdateRecord>* deletes,
                                          metrics::LatencyMetric& latency,
                                          TransactionRequestTable* requests) {
  std::optional<orv::wft::WorkflowUtil> span;
  if (tracing) span.emplace("ProcessRequests", 2);
  object_key_rebuild_.Poll();
  std::vector<DbAccess::TxnPut> puts;
  std::vector<std::string> removed;
  std::list<UpdateRecord> logged_only;
  Status status =
      processor->Build(tracing, &puts, &removed, updates, &logged_only, deletes, latency, requests);
  if (!status.ok()) return status;
  telemetry_->Record(2);

  ProcessUpdatesSet(TarnixTransactionLog::kUpdated, *updates, log);
  ProcessUpdatesSet(TarnixTransactionLog::kUnchanged, logged_only, log);
  logged_only.clear();  // only the log needs them, and it has them now
  ProcessUpdatesSet(TarnixTransactionLog::kDeleted, *deletes, log);
  telemetry_->Record(3);

  // The log's trims come after: they delete at the far end of the key space
  // and would stretch the compacted range across every object.
  const size_t object_deletes = removed.size();
  uint64_t log_size = log_store_->current_log_size();
  status =
      log_store_->ComputeTxnLogUpdates(tracing, log, &log_size, txn_log_bytes, &puts, &removed);
  telemetry_->Record(4);
  if (!status.ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0501", "Computing transaction log updates failed.");
    return status;
  }
  // Accounted before the write and kept if it fails; start-up recounts.
  log_store_->set_current_log_size(log_size);

  // The transaction's id goes in its batch: no write of its own.
  puts.push_back(ids_->Record());
  WriteTelemetry* telemetry = telemetry_;
  const DbAccessStatus written =
      db_->WriteTxn(std::move(puts), removed, sync, [telemetry] { telemetry->Record(5); });
  telemetry_->Record(6);
  if (!written.ok()) return written.ToStatus();
  ids_->MarkPersisted();
  // Only a written delete may make an object absent: a put of it would
  // otherwise not read the records still stored.
  for (const std::string& key : processor->emptied_objects()) object_keys_.Remove(key);
  object_key_rebuild_.StartIfWanted(db_);
  // A compaction keeps what a snapshot still reads.
  processor->ReleaseSnapshot();
  log_store_->BatchWritten();
  if (compactor_ != nullptr && object_deletes > 0) {
    const auto range = std::minmax_element(removed.begin(), removed.begin() + object_deletes);
    compactor_->NoteDeletes(object_deletes, *range.first, *range.second);
  }
  return Status::OK();
}

void WriteTransactions::WipeEphemeralObjects() {
  const std::string kClientId = "tarnix-server";
  uint64_t txn_id = 0;
  if (!ids_->GetNextTxnId(&txn_id)) {
    TARNIX_LOG(orv::INFO, nullptr, "Unable to generate transaction id to wipe ephemeral objects");
    return;
  }
  const std::vector<int32_t>& types = schema_->types().GetEphemeralObjectTypes();
  if (types.empty()) return;

  std::list<tx::FlushRequestMsg> requests(1);
  for (int32_t type_id : types) {
    tx::FlushMsg* flush = requests.front().add_flushes();
    auto name = schema_->types().GetObjectTypeNames().find(type_id);
    if (name != schema_->types().GetObjectTypeNames().end()) {
      schema_->types().SetObjectType(name->second, flush);
    }
    for (const auto& vdb : vdbs_->vdb_name_to_id()) flush->add_vdb_ids(vdb.second);
  }
  TarnixTransactionLog log(schema_, kClientId, txn_id);
  RequestProcessor processor(schema_, db_);
  ChildRecordCache cache;
  KeyReader keys(&schema_->types(), &schema_->keys());
  const EntryScope scope{schema_,
                         db_,
                         vdbs_,
                         kClientId,
                         &processor,
                         &cache,
                         &keys,
                         /*skip_permission=*/true,
                         /*deleting_vdb=*/0};
  RequestStreamOf<tx::FlushRequestMsg> stream(&requests, nullptr);
  bool sync = false;
  if (!Preprocess(scope, false, true, &stream, &log, &sync).ok()) return;
  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> deletes;
  uint64_t log_bytes = 0;
  if (ProcessRequests(sync, false, &processor, &log, &log_bytes, &updates, &deletes,
                      metrics_->process(stream.op.slot), nullptr)
          .ok()) {
    stats_->UpdateObjectStatistics(processor.record_count_changes());
  } else {
    TARNIX_LOG(orv::INFO, nullptr, "Unable to wipe ephemeral objects");
  }
}

uint64_t WriteTransactions::request_log_bound() const { return log_store_->max_log_size(); }

void WriteTransactions::DeleteVDb(const std::string& client_id,
                                  const tx::DeleteVDbRequestMsg& request, VdbId vdb_id,
                                  WriteReply* reply, std::function<void()> done) {
  std::list<tx::FlushRequestMsg> flushes(1);
  for (const auto& type : schema_->types().GetObjectTypeNames()) {
    tx::FlushMsg* flush = flushes.front().add_flushes();
    schema_->types().SetObjectType(type.second, flush);
    flush->add_vdb_ids(vdb_id);
  }
  const OwnTransaction own{"Delete VDb: flush", &request, vdb_id, std::move(done)};
  RequestStreamOf<tx::FlushRequestMsg> stream(&flushes, nullptr);
  RunTransaction(client_id, reply, &stream, &own);
}

}  // namespace tarnix

#ifndef TARNIX_WRITE_WRITE_TRANSACTIONS_H_
#define TARNIX_WRITE_WRITE_TRANSACTIONS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "metrics/metric.h"
#include "util/status.h"
#include "write/object_key_filter.h"
#include "write/object_key_filter_rebuild.h"
#include "write/prepared_request.h"
#include "write/recursive_delete.h"
#include "write/request_stream.h"
#include "write/update_record.h"
#include "write/update_request.h"

namespace tarnix {

class DbAccess;
class GroupCommit;
class ObjectStatsMaintainer;
class RangeCompactor;
class Schema;
class TransactionIds;
class TransactionLogStore;
class VDbRegistry;
class WriteMetrics;
class WriteTelemetry;

// The one answer of a write call: the operation's empty response, or a
// failure status.
class WriteReply {
 public:
  virtual ~WriteReply() = default;
  virtual void Respond() = 0;
  virtual void Fail(const Status& status) = 0;
  // A reply to the same call that may be kept after the body returned (a
  // durable transaction is answered once its sync returned). The default
  // answers through this object, which must then outlive the answer.
  virtual std::unique_ptr<WriteReply> Keep();
};

// Told of every committed write transaction, after its client was answered.
class UpdateNotifier {
 public:
  virtual ~UpdateNotifier() = default;
  // Consumes both lists (they are empty on return). `requests` is the
  // transaction's table of processed requests (Modify only, else null);
  // `started` the wall-clock time just before the call.
  virtual void NotifyForUpdate(uint64_t txn_id, bool tracing, std::list<UpdateRecord>* updates,
                               std::list<UpdateRecord>* deletes,
                               TransactionRequestTable* requests,
                               std::chrono::system_clock::time_point started) = 0;
};

// The transaction runner of the write operations that write/write_op.h
// describes: each stream is one numbered transaction that is
// validated, permission-checked, coalesced per object, built, recorded in the
// transaction log and committed in one storage batch, then answered exactly
// once and notified. A stream that asks for sync is answered once a sync of
// the log covers its batch (see GroupCommit), possibly after the body
// returned. Also the start-up wipe of ephemeral objects.
//
// Every part is borrowed and must outlive this object. Runs on the RPC
// event-loop thread (or during start-up); not thread-safe. The objects'
// deletes of each committed transaction are noted in `compactor` (see
// RangeCompactor::NoteDeletes); without one nothing is compacted.
class WriteTransactions {
 public:
  // Modify streams of at least this many bytes are not recorded request by
  // request in the transaction log.
  static constexpr int64_t kMaxLoggedModifyBytes = 52428800;

  WriteTransactions(const Schema* schema, DbAccess* db, TransactionIds* ids,
                    TransactionLogStore* log_store, const VDbRegistry* vdbs,
                    ObjectStatsMaintainer* stats, WriteMetrics* metrics,
                    WriteTelemetry* telemetry, UpdateNotifier* notifier, GroupCommit* commits,
                    RangeCompactor* compactor = nullptr);
  WriteTransactions(const WriteTransactions&) = delete;
  WriteTransactions& operator=(const WriteTransactions&) = delete;

  // --- The runner ---
  // Runs the whole stream `requests` (consumed) of `client_id` as one
  // transaction of the operation WriteOpDescription<Req> describes, and
  // calls `reply` (or what its Keep() gave) exactly once: Fail with the
  // refusal of GroupCommit::Writable() after a failed sync (no id is taken),
  // with INTERNAL "Unable to generate transaction id" when no id can be
  // persisted, with the preprocessing or processing status when one fails
  // (nothing is then written, the id stays used), with the sync's failure
  // when the log could not be synced, else Respond, followed by
  // notification. Preprocessing fails with INVALID_ARGUMENT "Received empty
  // request from <client>" for an empty stream, else as the entry steps do;
  // then the entry counter metric is left alone. `prepared`, when given,
  // holds per message what PrepareRequest made of it.
  template <class Req>
  void Run(const std::string& client_id, WriteReply* reply, std::list<Req>* requests,
           std::vector<PreparedRequest>* prepared = nullptr) {
    RequestStreamOf<Req> stream(requests, prepared);
    RunTransaction(client_id, reply, &stream, nullptr);
  }

  // DeleteVDb's flush of vdb `vdb_id`, closed by the caller: every object
  // type of the schema flushed from it as one transaction of `client_id` on
  // the same runner as the streams, with `request` as its first log unit and
  // the vdb as its log's vdb, without permission checks. In the same batch
  // the vdb leaves the stored records of types the schema does not list
  // (see RequestProcessor::RemoveVdbsFromUnknownTypes); the log and the
  // notification have nothing of those beyond the request unit. It always
  // waits for its sync; "Delete VDb: flush" names it in log lines. `reply`
  // is answered as a stream's is; on success `done` runs after the
  // notification.
  void DeleteVDb(const std::string& client_id,
                 const caldek::orv::tarnix::DeleteVDbRequestMsg& request, VdbId vdb_id,
                 WriteReply* reply, std::function<void()> done);

  // --- Processing ---
  // Builds the records of `processor`, records the changes in `log`,
  // computes the log units and trims the oldest, and writes all of it in one
  // storage batch (synced when `sync`). Fills *updates and *deletes with the
  // committed changes and *txn_log_bytes with the bytes of the new units.
  // Fails with Build's status, the log computation's, or the mapped storage
  // status ("LevelDB error: ..."); nothing is then written, though a failed
  // storage write keeps the new accounted log size.
  Status ProcessRequests(bool sync, bool tracing, RequestProcessor* processor,
                         TarnixTransactionLog* log, uint64_t* txn_log_bytes,
                         std::list<UpdateRecord>* updates, std::list<UpdateRecord>* deletes,
                         metrics::LatencyMetric& latency, TransactionRequestTable* requests);

  // Start-up: flushes every ephemeral type from every registered vdb in one
  // logged transaction of client "tarnix-server". Failures are logged.
  void WipeEphemeralObjects();

  // The objects that may be stored; start-up fills it and enables it
  // (ComputeStatistics), each transaction's Build adds what it writes, and
  // each written batch removes the objects it emptied. Past the filter's
  // bound of deleted keys it is rebuilt on a thread of its own, which the
  // destructor stops and joins.
  ObjectKeyFilter* object_keys() { return &object_keys_; }

  // A stream whose request units together pass this many bytes keeps none
  // of them in the log.
  uint64_t request_log_bound() const;

  // Whether write spans are recorded.
  static bool TracingEnabled();

 private:
  class Committed;

  // What sets a transaction the server runs for one of its own operations
  // apart from a client's stream: its name in log lines, the request logged
  // first and its vdb (the one deleted), and what runs after its
  // notification. It skips the permission checks, takes the vdb from the
  // records of unknown types too, always waits for its sync and opens no
  // span.
  struct OwnTransaction {
    const char* name;
    const google::protobuf::Message* request;
    VdbId vdb_id;
    std::function<void()> done;
  };

  // The one transaction runner: takes the id, preprocesses, then
  // CommitAndReply. `own` is null for a client's stream.
  void RunTransaction(const std::string& client_id, WriteReply* reply, RequestStream* stream,
                      const OwnTransaction* own);
  // Preprocesses `stream` under its operation's metric and span; the log
  // records its messages when `record_requests`.
  Status Preprocess(const EntryScope& scope, bool tracing, bool record_requests,
                    RequestStream* stream, TarnixTransactionLog* log, bool* sync);

  // What the commit of one preprocessed transaction needs.
  struct Commit {
    size_t slot;       // the operation's metric slot
    const char* name;  // in log lines
    uint64_t txn_id;
    bool sync;
    bool tracing;
    RequestProcessor* processor;
    TarnixTransactionLog* log;
    WriteReply* reply;
    // Sampled operations: the processed requests, for the notification.
    std::unique_ptr<TransactionRequestTable> requests = nullptr;
    // Telemetry phase 7 is taken between the answer and the notification.
    bool sample_reply = false;
    std::function<void()> done = nullptr;  // runs after the notification
  };

  // The commit, in one place: processes, then on success counts the log
  // bytes, updates the statistics and hands the transaction to the group
  // commit, which answers and notifies; on failure logs and fails the call.
  // False when processing failed.
  bool CommitAndReply(Commit commit);

  const Schema* const schema_;
  DbAccess* const db_;
  TransactionIds* const ids_;
  TransactionLogStore* const log_store_;
  const VDbRegistry* const vdbs_;
  ObjectStatsMaintainer* const stats_;
  WriteMetrics* const metrics_;
  WriteTelemetry* const telemetry_;
  UpdateNotifier* const notifier_;
  GroupCommit* const commits_;
  RangeCompactor* const compactor_;
  ObjectKeyFilter object_keys_;
  // Polled before each Build, started after deletions past the bound.
  ObjectKeyFilterRebuild object_key_rebuild_{&object_keys_};
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_TRANSACTIONS_H_

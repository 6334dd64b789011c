#ifndef TARNIX_WRITE_WRITE_TRANSACTIONS_H_
#define TARNIX_WRITE_WRITE_TRANSACTIONS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "metrics/metric.h"
#include "schema/key_reader.h"
#include "schema/vdb_id_set.h"
#include "util/status.h"
#include "write/object_key_filter.h"
#include "write/prepared_request.h"
#include "write/recursive_delete.h"
#include "write/update_record.h"
#include "write/update_request.h"
#include "write/write_metrics.h"

namespace tarnix {

class DbAccess;
class GroupCommit;
class ObjectStatsMaintainer;
class RequestProcessor;
class Schema;
class TarnixTransactionLog;
class TransactionIds;
class TransactionLogStore;
class VDbRegistry;
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

// Runs the seven write streams (Put, Delete, Flush, Patch, Copy,
// FlushByBlockId, Modify): each stream is one numbered transaction that is
// validated, permission-checked, coalesced per object, built, recorded in the
// transaction log and committed in one storage batch, then answered exactly
// once and notified. A stream that asks for sync is answered once a sync of
// the log covers its batch (see GroupCommit), possibly after the body
// returned. Also the start-up wipe of ephemeral objects.
//
// Every part is borrowed and must outlive this object. Runs on the RPC
// event-loop thread (or during start-up); not thread-safe.
class WriteTransactions {
 public:
  using SpanContext = caldek::orv::tarnix::SpanContextMsg;
  using VdbIdList = google::protobuf::RepeatedField<uint32_t>;

  // Modify streams of at least this many bytes are not recorded request by
  // request in the transaction log.
  static constexpr int64_t kMaxLoggedModifyBytes = 52428800;
  // The longest object key a write may name. Longer keys cost every read
  // that passes near them, so one client could hold up the loop for all.
  static constexpr size_t kMaxKeyBytes = 65536;
  // The refusal of an entry whose object type is missing or not in the
  // schema.
  static constexpr const char* kNoObjectType = "object type missing or not in the schema";

  WriteTransactions(const Schema* schema, DbAccess* db, TransactionIds* ids,
                    TransactionLogStore* log_store, const VDbRegistry* vdbs,
                    ObjectStatsMaintainer* stats, WriteMetrics* metrics,
                    WriteTelemetry* telemetry, UpdateNotifier* notifier, GroupCommit* commits);
  WriteTransactions(const WriteTransactions&) = delete;
  WriteTransactions& operator=(const WriteTransactions&) = delete;

  // --- The stream bodies ---
  // Each runs its operation, as write/write_op.h describes it, on the one
  // transaction runner: the whole stream `requests` (consumed) of `client_id` as one
  // transaction and calls `reply` (or what its Keep() gave) exactly once:
  // Fail with the refusal of GroupCommit::Writable() after a failed sync
  // (no id is taken), with INTERNAL "Unable to generate transaction id" when
  // no id can be persisted, with the preprocessing or processing status when
  // one fails (nothing is then written, the id stays used), with the sync's
  // failure when the log could not be synced, else Respond, followed by
  // notification. `prepared`, when given, holds per message what
  // PrepareRequest made of it, which is then not done again.
  void Put(const std::string& client_id, WriteReply* reply,
           std::list<caldek::orv::tarnix::PutRequestMsg>* requests,
           std::vector<PreparedRequest>* prepared = nullptr);
  void Delete(const std::string& client_id, WriteReply* reply,
              std::list<caldek::orv::tarnix::DeleteRequestMsg>* requests,
              std::vector<PreparedRequest>* prepared = nullptr);
  void Flush(const std::string& client_id, WriteReply* reply,
             std::list<caldek::orv::tarnix::FlushRequestMsg>* requests,
             std::vector<PreparedRequest>* prepared = nullptr);
  void Patch(const std::string& client_id, WriteReply* reply,
             std::list<caldek::orv::tarnix::PatchRequestMsg>* requests,
             std::vector<PreparedRequest>* prepared = nullptr);
  void Copy(const std::string& client_id, WriteReply* reply,
            std::list<caldek::orv::tarnix::CopyRequestMsg>* requests,
            std::vector<PreparedRequest>* prepared = nullptr);
  void FlushByBlockId(const std::string& client_id, WriteReply* reply,
                      std::list<caldek::orv::tarnix::FlushByBlockIdRequestMsg>* requests,
                      std::vector<PreparedRequest>* prepared = nullptr);
  // Also samples the write telemetry and logs it with the completion line.
  void Modify(const std::string& client_id, WriteReply* reply,
              std::list<caldek::orv::tarnix::ModifyRequestMsg>* requests,
              std::vector<PreparedRequest>* prepared = nullptr);

  // DeleteVDb's flush of vdb `vdb_id`, closed by the caller: every object
  // type of the schema flushed from it as one transaction of `client_id` on
  // the same runner as the streams, with `request` as its first log unit and
  // the vdb as its log's vdb, without permission checks. It always waits
  // for its sync; "Delete VDb: flush" names it in log lines. `reply` is
  // answered as a stream's is; on success `done` runs after the
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
  // (ComputeStatistics), each transaction's Build adds what it writes.
  ObjectKeyFilter* object_keys() { return &object_keys_; }

  // A stream whose request units together pass this many bytes keeps none
  // of them in the log.
  uint64_t request_log_bound() const;

  // Whether write spans are recorded.
  static bool TracingEnabled();

 private:
  class Committed;

  // What every entry step of one stream shares.
  struct EntryScope {
    const std::string& client_id;
    RequestProcessor* processor;
    ChildRecordCache* cache;  // the stream's objects, for recursive deletes
    bool skip_permission;     // the server's own flushes flush any type
    bool in_modify;           // the entry is part of a Modify entry
    KeyReader* keys;          // reads the ids of the entries' objects
    VdbId deleting_vdb;       // a closed vdb the entries may name: the one deleted (0: none)
  };

  // What sets a transaction the server runs for one of its own operations
  // apart from a client's stream: its name in log lines, the request logged
  // first and its vdb, and what runs after its notification. It skips the
  // permission checks, always waits for its sync and opens no span.
  struct OwnTransaction {
    const char* name;
    const google::protobuf::Message* request;
    VdbId vdb_id;
    std::function<void()> done;
  };

  // The one transaction runner, for the operation WriteOpDescription<Req>
  // describes: takes the id, preprocesses, then CommitAndReply. `own` is
  // null for a client's stream.
  template <class Req>
  void Run(const std::string& client_id, WriteReply* reply, std::list<Req>* requests,
           std::vector<PreparedRequest>* keys, const OwnTransaction* own = nullptr);

  // Records each request message in `log` (unless `record_requests` is
  // false) and turns every entry into pending operations of
  // scope.processor through AddEntry, releasing each message once done with
  // it; *sync gets the `sync` field of the first message. Entries without
  // vdb ids apply to the vdbs of the nearest earlier entry that named some
  // ({1} at first). Fails at the first bad entry: INVALID_ARGUMENT for an
  // empty stream ("Received empty request from <client>"), a missing part,
  // an object type that is missing or not in the schema (kNoObjectType: a
  // skipped entry would be a write acknowledged and lost), a missing id or
  // a bad vdb id; PERMISSION_DENIED "<client> does not have write permission for
  // <type>."; FAILED_PRECONDITION for an unregistered vdb. Then the entry
  // counter metric is left alone.
  template <class Req>
  Status PreprocessRequests(const EntryScope& scope, bool tracing, bool record_requests,
                            std::list<Req>* requests, std::vector<PreparedRequest>* keys,
                            TarnixTransactionLog* log, bool* sync);

  // What the commit of one preprocessed transaction needs.
  struct Commit {
    WriteOp op;
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

  // The entry steps: each validates one entry and adds its operations. Each
  // may narrow or replace *vdb_ids.
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::PutMsg* entry, VdbIdSet* vdb_ids);
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::DeleteMsg* entry,
                  VdbIdSet* vdb_ids);
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::FlushMsg* entry, VdbIdSet* vdb_ids);
  // Notes the patched object in scope.cache within Modify streams.
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::PatchMsg* entry, VdbIdSet* vdb_ids);
  // Within Modify the text for an unregistered source vdb differs.
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::CopyMsg* entry, VdbIdSet* vdb_ids);
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::FlushByBlockIdMsg* entry,
                  VdbIdSet* vdb_ids);
  // Exactly one sub-message, added by its own step.
  Status AddEntry(const EntryScope& scope, caldek::orv::tarnix::ModifyMsg* entry,
                  VdbIdSet* vdb_ids);

  // Replaces *vdb_ids with `ids` unless that is empty: INVALID_ARGUMENT
  // "invalid vdb id" for an id above 65535, FAILED_PRECONDITION "vdb_id=<id>
  // not found" for one not in use but scope.deleting_vdb (*vdb_ids then
  // holds the ids before it).
  Status ValidateVdbIds(const EntryScope& scope, const VdbIdList& ids, VdbIdSet* vdb_ids) const;
  // The type of an entry's message, or "" when it names none the schema
  // knows, and the write-permission test on it.
  std::string TypeOf(const google::protobuf::Message& message) const;
  Status CheckWritePermission(const std::string& client_id, const std::string& type) const;
  // The object an entry names: the type of `object` (INVALID_ARGUMENT
  // kNoObjectType when it has none the schema knows), the client's write
  // permission for it, and the id read from the serialized `body`. An id
  // over kMaxKeyBytes is INVALID_ARGUMENT. No id is INVALID_ARGUMENT with
  // `missing_id`, or when that is null "Unable to extract id for object
  // type " and `object` as text.
  Status EntryObject(const EntryScope& scope, const google::protobuf::Message& object,
                     const std::string& body, const char* missing_id, std::string* type,
                     std::string* id) const;

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
  ObjectKeyFilter object_keys_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_TRANSACTIONS_H_

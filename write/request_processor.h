#ifndef TARNIX_WRITE_REQUEST_PROCESSOR_H_
#define TARNIX_WRITE_REQUEST_PROCESSOR_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "metrics/metric.h"
#include "util/status.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "write/object_key_filter.h"
#include "write/record_vdb_sets.h"
#include "write/stored_block_objects.h"
#include "write/update_record.h"
#include "write/update_request.h"

namespace tarnix {

class Schema;

// Collects the operations of one write transaction per object and turns
// them into record puts and deletes and the transaction's change lists.
//
// An object's operations apply in the order they were added. The add
// operations coalesce as they go: a PUT or DELETE takes the vdbs it names
// away from the earlier operations on the same object that stand after its
// last COPY or PATCH (an operation left without a vdb is dropped). A COPY
// reads its source vdb and a PATCH its own vdbs as the operations before it
// leave them, so neither takes anything away, nothing before them is
// narrowed, and a PATCH of an object that is missing fails even when a later
// operation writes the object.
//
// Use: construct, call the add operations in request order, call Build once,
// destroy. Not thread-safe; one transaction uses it on one thread. The vdb
// sets and span contexts passed in are copied unless said otherwise; a null
// span means the request carried none.
class RequestProcessor {
 public:
  using SpanContext = caldek::orv::tarnix::SpanContextMsg;
  using BlockRanges = StoredBlockObjects::BlockRanges;
  // Chooses objects (type, id) of the pending table, for RemovePendingIf.
  using PendingEntryMatcher = std::function<bool(const std::string&, const std::string&)>;

  // `schema`, `db` and `object_keys` are not owned and must outlive the
  // processor. Build reads no stored records of an object that
  // `object_keys` says cannot exist, and adds the objects it writes.
  RequestProcessor(const Schema* schema, DbAccess* db, ObjectKeyFilter* object_keys = nullptr);
  ~RequestProcessor();
  RequestProcessor(const RequestProcessor&) = delete;
  RequestProcessor& operator=(const RequestProcessor&) = delete;

  // The snapshot that every read of the transaction uses, taken at the first
  // call; empty (and tried again next time) without an open database.
  const DbAccess::SnapshotHolder& GetSnapshot();
  // Lets go of the snapshot once the transaction is written: while it is
  // held, LevelDB keeps every record the transaction deleted.
  void ReleaseSnapshot() { snapshot_.reset(); }

  // Makes room for `objects` objects in the pending table, so that it does
  // not grow in steps while a large transaction is added.
  void Reserve(size_t objects);

  // --- Adding operations (type names are full names, ids raw key bytes) ---

  // `body` (REQUIRES: not null) is shared, not copied.
  void AddPut(const std::string& type, const std::string& id, ObjectBody body,
              const VdbIdSet& vdb_ids, const SpanContext* span);
  void AddDelete(const std::string& type, const std::string& id, const VdbIdSet& vdb_ids,
                 const SpanContext* span);
  // Copies the object from vdb `src_vdb_id`, as the earlier operations leave
  // it there, into `dst_vdb_ids` less the source; nothing for an empty
  // destination. Where the source does not hold the object the copy changes
  // nothing.
  void AddCopy(const std::string& type, const std::string& id, VdbId src_vdb_id,
               VdbIdSet dst_vdb_ids, const SpanContext* span);
  // Patches the object in `vdb_ids`: where the latest earlier operation of
  // the transaction on a vdb puts, patches or copies it, that result;
  // elsewhere the stored object. NOT_FOUND, with nothing added, when the
  // latest earlier operation on one of the vdbs deletes the object.
  Status AddPatch(const std::string& type, const std::string& id, const std::string& object_value,
                  const std::string& op_msg, VdbIdSet vdb_ids, const SpanContext* span);
  // Removes every object of `type` from `vdb_ids`: pending operations on the
  // type are taken away as RemovePendingIf says, and every stored object of
  // the type (read on the transaction's snapshot) gets a DELETE. A type the schema does not know
  // adds nothing (the schema logs it). A failed read is returned; the
  // pending operations have then already lost the vdbs.
  Status AddFlush(const std::string& type, const VdbIdSet& vdb_ids, const SpanContext* span);
  // Removes from `vdb_ids` every object whose Merkle block under `ranges` is
  // `block_id`, among the stored types given by their encoded ids (in that
  // order; "" covers every type): pending operations as RemovePendingIf
  // says, and every stored object gets a DELETE. Stored objects are read on
  // a fresh snapshot, not the transaction's; the calls of one transaction
  // with the same types and ranges share one read of them for the blocks
  // foreseen (see ForeseeFlushByBlockId), and each object's block is
  // computed once. Stored records of a type the schema does not know are
  // skipped: they have no block, and Build could not handle their DELETE.
  // A failed read is returned.
  Status AddFlushByBlockId(uint32_t block_id, const std::vector<std::string>& encoded_type_ids,
                           const BlockRanges& ranges, const VdbIdSet& vdb_ids,
                           const SpanContext* span);
  // Tells that a later AddFlushByBlockId will ask for `block_id` with these
  // types and ranges, so that its read covers the block too. Adds nothing:
  // the operations come out as without it, only read with fewer scans.
  void ForeseeFlushByBlockId(uint32_t block_id, const std::vector<std::string>& encoded_type_ids,
                             const BlockRanges& ranges);
  // Takes `vdb_ids` from every stored record of a type the schema does not
  // list (one a reload dropped), read on the transaction's snapshot: a vdb
  // that goes must leave every record, or an id handed out again would find
  // them. Their bodies cannot be decoded, so they bypass the pending table:
  // Build re-keys each such record to the vdbs left, or deletes it when none
  // is, folding two records of one body as it does for known types. They
  // give no change record (no monitor can watch such a type) and count
  // under "" in record_count_changes(), as the start-up count has them.
  // Records of the schema's types are left to AddFlush. Fails, adding
  // nothing, with a storage read error or DATA_LOSS for a record whose vdb
  // suffix cannot be read (ERROR line DRX0203).
  // REQUIRES: called at most once per transaction.
  Status RemoveVdbsFromUnknownTypes(const VdbIdSet& vdb_ids);
  // The DELETE of one flushed object. Repeated calls for the object with the
  // same vdbs fold into one DELETE carrying the latest span.
  void AddDeleteForFlush(const std::string& type, const std::string& id,
                         const VdbIdSet& vdb_ids, const SpanContext* span);
  // Removes the objects `matches` chooses from `vdb_ids`: their operations
  // lose those vdbs, and an object left without operations leaves the
  // pending table. An object with a pending COPY or PATCH instead gets a
  // DELETE of `vdb_ids` (with `span`) after it, as the operations before it
  // keep their vdbs.
  void RemovePendingIf(const VdbIdSet& vdb_ids, const PendingEntryMatcher& matches,
                       const SpanContext* span);
  static bool TypeEquals(const std::string& type, const std::string& entry_type);
  static bool InBlock(uint32_t block_id, const std::string& type, const std::string& id,
                      const BlockRanges& ranges, const Schema* schema);

  // The ids of `type` given a PUT or COPY since the last call for the type,
  // each once, in no particular order. The recursive delete takes them while
  // requests are added, to see the objects that earlier entries write.
  std::vector<std::string> TakePendingPutIds(const std::string& type);
  // The object's pending operations, or null when it has no entry in the
  // pending table. Valid until the next add operation or Build.
  const PendingRequestList* FindPending(const std::string& type, const std::string& id) const;
  PendingRequestList* FindPending(const std::string& type, const std::string& id);
  // The number of objects in the pending table.
  size_t pending_size() const { return live_objects_; }
  // After a successful Build: per object type, how its puts and deletes
  // change the stored records (one per key, counted with its stored value
  // length), for the object statistics.
  const RecordCountChanges& record_count_changes() const { return record_count_changes_; }
  // After a successful Build: the keys (as ObjectKeyFilter takes them) of
  // the objects whose every stored record it deletes. They are absent only
  // once the batch is written.
  const std::vector<std::string>& emptied_objects() const { return emptied_objects_; }

  // --- Building ---

  // Applies every object's operations, in order, to its stored records
  // (read on the transaction's snapshot). On success appends the record
  // writes, with those of RemoveVdbsFromUnknownTypes, to `puts` and
  // `deletes` and the changes to the three lists:
  //   updates:     vdbs that newly hold the object or hold a new body of it;
  //   logged_only: vdbs given the very body they already held;
  //   removals:    vdbs the object leaves.
  // and, when `requests` is given, each object's operation list
  // (objects already there are left alone). Objects come in record key
  // order; per object the logged-only and update records come before the
  // removals.
  // Two stored records of one object with the same body (which writers
  // never leave) are folded into one record holding both sets of vdbs, with
  // an ERROR line (DRX0203).
  // Fails, and then appends nothing to any output, with:
  //   a storage read error ("LevelDB error: ...");
  //   DATA_LOSS when a stored record key's vdb suffix cannot be read (ERROR
  //     line DRX0203);
  //   INVALID_ARGUMENT "Unknown object type X" when a pending object's type
  //     is not in the schema (ERROR line DRX0204), before anything is read;
  //   a patch failure.
  // The objects processed before a failure have left the pending table. `latency` gets the call's time
  // in microseconds on every path; with `trace` set the call is one span.
  Status Build(bool trace, std::vector<DbAccess::TxnPut>* puts, std::vector<std::string>* deletes,
               std::list<UpdateRecord>* updates, std::list<UpdateRecord>* logged_only,
               std::list<UpdateRecord>* removals, metrics::LatencyMetric& latency,
               TransactionRequestTable* requests);

 private:
  struct BuildState;

  // One object of the pending table. The table is flat: objects are found
  // through an index on their record key, and Build sorts them once by it.
  struct PendingObject {
    // The object's record key without a vdb suffix; for a type the schema
    // does not know, 0xFF, the type name, 0x00 and the id.
    std::string key;
    uint32_t slot = 0;       // its own index in objects_
    uint32_t type = 0;       // index into types_
    uint32_t id_offset = 0;  // where the id starts in `key`
    bool live = true;        // false once it has left the table
    PendingRequestList ops;

    std::string id() const { return key.substr(id_offset); }
  };
  // One object type met by the transaction.
  struct PendingType {
    std::string name;
    bool known = false;
    std::string prefix;           // the record key prefix of the type
    std::vector<uint32_t> puts;   // objects given a PUT or COPY since TakePendingPutIds
    RecordCountChange count;      // Build's count of record writes
    bool counted = false;         // whether Build wrote records of the type
  };
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  // Stored record keys of one object and their value lengths, as stored.
  using StoredLengths = std::vector<std::pair<std::string, uint64_t>>;

  // Logs and returns the DATA_LOSS of a stored record whose vdb suffix
  // cannot be read.
  static Status UnreadableSuffix(const std::string& type, const std::string& id);
  // A COPY or PATCH: an operation that reads what the earlier ones leave.
  static bool ReadsEarlierOperations(const PendingOperation& operation);
  // The FlushByBlockId calls of one transaction with the same types and
  // ranges: their stored objects, and the pending objects by block, for
  // slots below `indexed`.
  struct BlockFlushes {
    BlockFlushes(const Schema* schema, const std::vector<std::string>& encoded_type_ids,
                 const BlockRanges& ranges)
        : stored(schema, encoded_type_ids, ranges) {}
    StoredBlockObjects stored;
    uint32_t indexed = 0;
    std::unordered_map<uint32_t, std::vector<uint32_t>> pending;
  };

  // Takes `vdb_ids` from the operations of `list` after its last COPY or
  // PATCH (all when it has none), dropping those left without a vdb. True
  // when the list has a COPY or PATCH.
  static bool TakeVdbs(const VdbIdSet& vdb_ids, PendingRequestList* list);
  PendingOperation NewPending(const VdbIdSet& vdb_ids, UpdateRequest::Type kind,
                              const SpanContext* span);
  // The shared copy of `span`: the one made last when it is equal, as the
  // entries of one request mostly carry the same context or none.
  SharedSpan ShareSpan(const SpanContext* span);
  uint32_t TypeSlot(const std::string& type);
  // Sets key_ to the object's key; false when the type was never met.
  bool MakeKey(const std::string& type, const std::string& id, bool add_type, uint32_t* type_slot,
               uint32_t* id_offset);
  // The object's slot, or kNone.
  uint32_t FindSlot(const std::string& type, const std::string& id) const;
  // Finds or creates the object's entry.
  PendingObject& ObjectOf(const std::string& type, const std::string& id);
  // Takes the object out of the table.
  void Drop(uint32_t slot);
  // RemovePendingIf's step for one live object.
  void RemovePending(uint32_t slot, const VdbIdSet& vdb_ids, const SpanContext* span);
  BlockFlushes& BlockFlushesFor(const std::vector<std::string>& encoded_type_ids,
                                const BlockRanges& ranges);
  // RemovePendingIf of the objects of `block`.
  void RemovePendingInBlock(BlockFlushes* flushes, uint32_t block, const VdbIdSet& vdb_ids,
                            const SpanContext* span);
  // Takes `vdb_ids` from the object's operations (nothing for a COPY) and
  // appends a new one, which it returns.
  PendingOperation& Coalesce(PendingObject* object, const VdbIdSet& vdb_ids,
                             UpdateRequest::Type kind, const SpanContext* span);
  void NotePut(const PendingObject& object);

  // Build's steps for one object (request_processor_build.cc).
  Status BuildObject(PendingObject* object, BuildState* state);
  Status ReadRecsFromDbAccess(const std::string& type, const PendingObject& object,
                              BuildState* state, RecordBodyTable* table);
  Status ApplyPatch(const std::string& type, const std::string& id, const PendingOperation& patch,
                    RecordBodyTable* table);
  void EmitChanges(const PendingObject& object, const RecordBodyTable& table, BuildState* state);
  // Adds the stored record `record` of object (type, id), whose vdb suffix
  // is `suffix`, to `table` and its length to `lengths`; a second record of
  // one body is folded into the first. DATA_LOSS for an unreadable suffix.
  static Status AddStoredRecord(const std::string& type, const std::string& id,
                                const std::string& suffix, DbAccess::Record* record,
                                StoredLengths* lengths, RecordBodyTable* table);
  // Adds what one object's record writes do to `change`.
  static void CountRecordWrites(const ObjectRecordWrites& writes, const StoredLengths& lengths,
                                RecordCountChange* change);

  const Schema* schema_;
  DbAccess* db_;
  ObjectKeyFilter* const object_keys_;
  DbAccess::SnapshotHolder snapshot_;
  // The pending table: objects by slot (a deque, so the index's keys stay
  // put), the index from record key to the live object's slot, and the
  // object types.
  std::deque<PendingObject> objects_;
  std::unordered_map<std::string_view, uint32_t> index_;
  size_t live_objects_ = 0;
  std::vector<PendingType> types_;
  std::unordered_map<std::string, uint32_t> type_slots_;
  uint32_t last_type_ = kNone;
  std::string key_;  // scratch for lookups
  SharedSpan last_span_;
  RecordCountChanges record_count_changes_;
  std::vector<std::string> emptied_objects_;
  std::vector<std::unique_ptr<BlockFlushes>> block_flushes_;
  // RemoveVdbsFromUnknownTypes' record writes, for Build to hand out.
  std::vector<ObjectRecordWrites::Put> unknown_puts_;
  std::vector<std::string> unknown_deletes_;
  RecordCountChange unknown_count_;
  bool unknown_counted_ = false;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_REQUEST_PROCESSOR_H_

#ifndef TARNIX_WRITE_RECORD_VDB_SETS_H_
#define TARNIX_WRITE_RECORD_VDB_SETS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/vdb_id_set.h"
#include "write/update_request.h"

namespace tarnix {

// The working copy of one record of an object while a transaction changes
// the object: which vdbs hold its body. A record is either new (EXPLICIT:
// its set is `include`), stored and unchanged (STORED: its set is the one in
// its key's suffix) or stored and changed (CHANGED: the stored set minus
// `exclude` plus `include`). A stored suffix that is empty stands for the
// main vdb alone.
class DbRecord {
 public:
  enum Kind : uint32_t { EXPLICIT = 1, STORED = 2, CHANGED = 3 };

  DbRecord() = default;  // EXPLICIT with no vdb

  // Makes this the stored record under `key`, whose vdb suffix is `suffix`.
  void SetStored(std::string key, std::string suffix);
  // Folds another stored record of the same body, under `key` with vdb
  // suffix `suffix`, into this STORED one: the record then holds the union
  // of both sets, and its writes leave one record under one key. False,
  // with nothing changed, when the suffix cannot be read.
  bool MergeStored(std::string key, const std::string& suffix);

  Kind kind() const { return kind_; }
  const std::string& key() const { return key_; }
  // The stored set (for a merged record, the union of the stored sets).
  const std::string& suffix() const { return suffix_; }
  // The keys of the stored records folded into this one.
  const std::vector<std::string>& merged_keys() const { return merged_keys_; }
  const VdbIdSet& include() const { return include_; }
  const VdbIdSet& exclude() const { return exclude_; }

  // Whether the record's body is in vdb `id` now.
  bool HasVdb(VdbId id) const;
  void AddVdbs(const VdbIdSet& ids);
  void RemoveVdbs(const VdbIdSet& ids);

  // Each inserts into *out the ids of `ids` that the record holds now / that
  // it lost in this transaction / that it gained in this transaction.
  void CollectHeldVdbs(const VdbIdSet& ids, VdbIdSet* out) const;
  void ExcludedAmong(const VdbIdSet& ids, VdbIdSet* out) const;
  void IncludedAmong(const VdbIdSet& ids, VdbIdSet* out) const;
  // For a CHANGED record, the added ids that the stored set already held.
  void CollectStoredIncludes(VdbIdSet* out) const;

  // The tracing context of the request that last changed the record.
  const SharedSpan& span_context() const { return span_; }
  void set_span_context(const SharedSpan& span) { span_ = span; }

 private:
  bool StoredHas(VdbId id) const { return VdbSuffixContains(suffix_, id); }
  // CHANGED with nothing added or removed is STORED again.
  void SettleKind();

  Kind kind_ = EXPLICIT;
  std::string key_;
  std::string suffix_;
  std::vector<std::string> merged_keys_;
  VdbIdSet include_;
  VdbIdSet exclude_;
  SharedSpan span_;
};

// One distinct body of an object and the record that holds it.
struct WorkingRecord {
  ObjectBody body;
  DbRecord record;
};

// The working records of one object, one per distinct body, in the order
// they were added. Adding a record invalidates references into the table.
class RecordBodyTable {
 public:
  using const_iterator = std::vector<WorkingRecord>::const_iterator;

  // Index of the record whose body has the same bytes, or -1.
  int Find(const std::string& body) const;
  // Index of the record of that body, adding an EXPLICIT one holding no vdb
  // when there is none.
  size_t FindOrAdd(const ObjectBody& body);

  size_t size() const { return records_.size(); }
  WorkingRecord& operator[](size_t i) { return records_[i]; }
  const WorkingRecord& operator[](size_t i) const { return records_[i]; }
  const_iterator begin() const { return records_.begin(); }
  const_iterator end() const { return records_.end(); }
  void clear() { records_.clear(); }

 private:
  std::vector<WorkingRecord> records_;
};

// The record puts and deletes that one object's working records need.
class ObjectRecordWrites {
 public:
  using Put = std::pair<std::string, ObjectBody>;

  // Adds the writes of every record of `table`, in table order.
  // `object_key` is the object's record key without a vdb suffix. False when
  // a stored suffix cannot be read; the writes are then incomplete.
  bool AddObject(const std::string& object_key, const RecordBodyTable& table);

  const std::vector<Put>& puts() const { return puts_; }
  const std::vector<std::string>& deletes() const { return deletes_; }
  void Clear();

 private:
  // A new or changed record moves to the key of its new set; a record left
  // without vdbs is deleted; an unchanged one is not touched.
  bool AddRecord(const std::string& object_key, const WorkingRecord& record);
  void AddPut(std::string key, const ObjectBody& body);
  void AddDelete(const std::string& key);

  std::vector<Put> puts_;
  std::vector<std::string> deletes_;
  // Scratch for set encodings, reused from record to record.
  std::string removed_;
  std::string added_;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_RECORD_VDB_SETS_H_

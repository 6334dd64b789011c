#include "write/record_vdb_sets.h"

#include <algorithm>

namespace tarnix {
namespace {

// The set a stored key's suffix stands for: a key without a suffix holds the
// main vdb alone.
const EncodedVdbIdSet& StoredSet(const std::string& suffix) {
  static const EncodedVdbIdSet* const kMainVdbOnly =
      new EncodedVdbIdSet(EncodeVdbIdSet(VdbIdSet{kMainVdbId}));
  return suffix.empty() ? *kMainVdbOnly : suffix;
}

}  // namespace

// --- DbRecord ---

void DbRecord::SetStored(std::string key, std::string suffix) {
  kind_ = STORED;
  key_ = std::move(key);
  suffix_ = std::move(suffix);
  merged_keys_.clear();
}

bool DbRecord::MergeStored(std::string key, const std::string& suffix) {
  VdbIdSet ids;
  if (!DecodeVdbSuffix(suffix, &ids)) return false;
  // An empty suffix holds the main vdb alone, on either side.
  std::string merged;
  if (!AddToVdbIdSet(ids, StoredSet(suffix_), &merged)) return false;
  suffix_ = std::move(merged);
  merged_keys_.push_back(std::move(key));
  return true;
}

bool DbRecord::HasVdb(VdbId id) const {
  switch (kind_) {
    case EXPLICIT:
      return include_.count(id) != 0;
    case CHANGED:
      if (exclude_.count(id) != 0) return false;
      if (include_.count(id) != 0) return true;
      return StoredHas(id);
    case STORED:
      return StoredHas(id);
  }
  return false;
}

void DbRecord::AddVdbs(const VdbIdSet& ids) {
  if (kind_ == EXPLICIT) {
    include_.insert(ids.begin(), ids.end());
    return;
  }
  for (VdbId id : ids) {
    exclude_.erase(id);
    include_.insert(id);
  }
  kind_ = CHANGED;
  SettleKind();
}

void DbRecord::RemoveVdbs(const VdbIdSet& ids) {
  if (kind_ == EXPLICIT) {
    EraseVdbIds(ids, &include_);
    return;
  }
  for (VdbId id : ids) {
    if (exclude_.count(id) != 0) continue;
    include_.erase(id);
    if (StoredHas(id)) exclude_.insert(id);
  }
  kind_ = CHANGED;
  SettleKind();
}

void DbRecord::SettleKind() {
  if (kind_ == CHANGED && include_.empty() && exclude_.empty()) kind_ = STORED;
}

void DbRecord::CollectHeldVdbs(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : ids) {
    if (HasVdb(id)) out->insert(id);
  }
}

void DbRecord::ExcludedAmong(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : exclude_) {
    if (ids.count(id) != 0) out->insert(id);
  }
}

void DbRecord::IncludedAmong(const VdbIdSet& ids, VdbIdSet* out) const {
  for (VdbId id : include_) {
    if (ids.count(id) != 0) out->insert(id);
  }
}

void DbRecord::CollectStoredIncludes(VdbIdSet* out) const {
  if (kind_ != CHANGED) return;
  for (VdbId id : include_) {
    if (StoredHas(id)) out->insert(id);
  }
}

// --- RecordBodyTable ---

int RecordBodyTable::Find(const std::string& body) const {
  for (size_t i = 0; i < records_.size(); ++i) {
    if (*records_[i].body == body) return static_cast<int>(i);
  }
  return -1;
}

size_t RecordBodyTable::FindOrAdd(const ObjectBody& body) {
  const int found = Find(*body);
  if (found >= 0) return static_cast<size_t>(found);
  records_.push_back(WorkingRecord{body, DbRecord()});
  return records_.size() - 1;
}

// --- ObjectRecordWrites ---

void ObjectRecordWrites::Clear() {
  puts_.clear();
  deletes_.clear();
}

bool ObjectRecordWrites::AddObject(const std::string& object_key,
                                   const RecordBodyTable& table) {
  for (const WorkingRecord& record : table) {
    if (!AddRecord(object_key, record)) return false;
  }
  return true;
}

bool ObjectRecordWrites::AddRecord(const std::string& object_key,
                                   const WorkingRecord& working) {
  const DbRecord& record = working.record;
  if (record.kind() == DbRecord::EXPLICIT) {
    if (record.include().empty()) return true;
    AddToVdbIdSet(record.include(), std::string(), &added_);
    AddPut(object_key + added_, working.body);
    return true;
  }
  const std::vector<std::string>& merged = record.merged_keys();
  if (record.kind() == DbRecord::STORED && merged.empty()) return true;
  // The new set starts from the stored one, so for a key without a suffix
  // the main vdb keeps the body.
  if (!RemoveFromVdbIdSet(record.exclude(), StoredSet(record.suffix()), &removed_) ||
      !AddToVdbIdSet(record.include(), removed_, &added_)) {
    return false;
  }
  // The record ends under the key of its new set (none when it has no vdb
  // left); every other key it was stored under goes.
  const std::string key = added_.empty() ? std::string() : object_key + added_;
  const bool stored_there = key == record.key() ||
                            std::find(merged.begin(), merged.end(), key) != merged.end();
  if (!key.empty() && !stored_there) AddPut(key, working.body);
  if (record.key() != key) AddDelete(record.key());
  for (const std::string& other : merged) {
    if (other != key) AddDelete(other);
  }
  return true;
}

void ObjectRecordWrites::AddPut(std::string key, const ObjectBody& body) {
  // A key that another record of the object gives up is taken over, not
  // deleted.
  deletes_.erase(std::remove(deletes_.begin(), deletes_.end(), key), deletes_.end());
  for (Put& put : puts_) {
    if (put.first == key) {
      put.second = body;
      return;
    }
  }
  puts_.emplace_back(std::move(key), body);
}

void ObjectRecordWrites::AddDelete(const std::string& key) {
  for (const Put& put : puts_) {
    if (put.first == key) return;
  }
  if (std::find(deletes_.begin(), deletes_.end(), key) == deletes_.end()) {
    deletes_.push_back(key);
  }
}

}  // namespace tarnix

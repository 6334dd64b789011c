#include "write/stored_block_objects.h"

#include <utility>

#include <google/protobuf/util/message_differencer.h>

#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/db_access.h"
#include "storage/key_space.h"

namespace tarnix {

StoredBlockObjects::StoredBlockObjects(const Schema* schema,
                                       std::vector<std::string> encoded_type_ids,
                                       BlockRanges ranges)
    : schema_(schema), encoded_type_ids_(std::move(encoded_type_ids)), ranges_(std::move(ranges)) {}

bool StoredBlockObjects::Reads(const std::vector<std::string>& encoded_type_ids,
                               const BlockRanges& ranges) const {
  if (encoded_type_ids != encoded_type_ids_) return false;
  if (ranges == ranges_) return true;
  return ranges && ranges_ &&
         google::protobuf::util::MessageDifferencer::Equals(*ranges, *ranges_);
}

void StoredBlockObjects::Foresee(uint32_t block) {
  if (read_.count(block) == 0) foreseen_.insert(block);
}

Status StoredBlockObjects::Get(DbAccess* db, uint32_t block, const std::vector<Object>** objects) {
  *objects = &none_;
  if (read_.count(block) == 0) {
    foreseen_.insert(block);
    const Status status = Read(db);
    if (!status.ok()) return status;
  }
  const auto found = objects_.find(block);
  if (found != objects_.end()) *objects = &found->second;
  return Status::OK();
}

Status StoredBlockObjects::Read(DbAccess* db) {
  boost::shared_ptr<DbAccess::IteratorImpl> it = db->NewIterator();
  if (!it) return DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "").ToStatus();
  std::unordered_map<std::string, uint32_t> type_slots;
  for (uint32_t i = 0; i < type_names_.size(); ++i) type_slots.emplace(type_names_[i], i);
  std::string type_name;
  std::string id;
  for (const std::string& encoded_type_id : encoded_type_ids_) {
    const std::string prefix = kObjectPrefix + encoded_type_id;
    for (it->Seek(prefix); it->Valid(); it->Next()) {
      const std::string key = it->key();
      if (key.compare(0, prefix.size(), prefix) != 0) break;
      if (!TryDecodeObjectRecordKey(*schema_, key, &type_name, &id)) continue;
      const uint32_t block = schema_->types().ComputeBlockId(type_name, id, ranges_);
      if (foreseen_.count(block) == 0) continue;
      auto slot = type_slots.find(type_name);
      if (slot == type_slots.end()) {
        slot = type_slots.emplace(type_name, type_names_.size()).first;
        type_names_.push_back(type_name);
      }
      std::vector<Object>& objects = objects_[block];
      // An object stored as several records is met once per record, in a row.
      if (!objects.empty() && objects.back().type == slot->second && objects.back().id == id) {
        continue;
      }
      objects.push_back(Object{slot->second, id});
    }
    if (!it->status().ok()) {
      for (uint32_t block : foreseen_) objects_.erase(block);
      return it->status().ToStatus();
    }
  }
  read_.insert(foreseen_.begin(), foreseen_.end());
  foreseen_.clear();
  return Status::OK();
}

}  // namespace tarnix

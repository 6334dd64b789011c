// Collecting a transaction's operations: coalescing per object and vdb.
#include "write/request_processor.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include <google/protobuf/util/message_differencer.h>

#include "logging/logger.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {

using google::protobuf::util::MessageDifferencer;

RequestProcessor::RequestProcessor(const Schema* schema, DbAccess* db,
                                   ObjectKeyFilter* object_keys)
    : schema_(schema), db_(db), object_keys_(object_keys) {}

RequestProcessor::~RequestProcessor() = default;

const DbAccess::SnapshotHolder& RequestProcessor::GetSnapshot() {
  if (!snapshot_) snapshot_ = db_->GetSnapshot();
  return snapshot_;
}

bool RequestProcessor::ReadsEarlierOperations(const PendingOperation& operation) {
  return operation.request.type == UpdateRequest::COPY ||
         operation.request.type == UpdateRequest::PATCH;
}

bool RequestProcessor::TakeVdbs(const VdbIdSet& vdb_ids, PendingRequestList* list) {
  // A COPY reads its source, and a PATCH its own vdbs, as the operations
  // before it leave them: those keep their vdbs, and only the operations
  // after the last COPY or PATCH are narrowed. A PATCH is never dropped, so
  // that one of an object that is missing still fails.
  auto it = list->end();
  while (it != list->begin() && !ReadsEarlierOperations(*std::prev(it))) --it;
  const bool after_reader = it != list->begin();
  while (it != list->end()) {
    VdbIdSet& held = it->vdb_ids;
    for (VdbId vdb : vdb_ids) held.erase(vdb);
    it = held.empty() ? list->erase(it) : std::next(it);
  }
  return after_reader;
}

SharedSpan RequestProcessor::ShareSpan(const SpanContext* span) {
  if (span == nullptr) return nullptr;
  if (last_span_ == nullptr || !MessageDifferencer::Equals(*last_span_, *span)) {
    last_span_ = std::make_shared<const SpanContext>(*span);
  }
  return last_span_;
}

PendingOperation RequestProcessor::NewPending(const VdbIdSet& vdb_ids, UpdateRequest::Type kind,
                                              const SpanContext* span) {
  PendingOperation pending;
  pending.vdb_ids = vdb_ids;
  pending.request.type = kind;
  pending.request.span_context = ShareSpan(span);
  return pending;
}

uint32_t RequestProcessor::TypeSlot(const std::string& type) {
  // Streams mostly write one type after another: try the last one first.
  if (last_type_ != kNone && types_[last_type_].name == type) return last_type_;
  auto found = type_slots_.find(type);
  if (found != type_slots_.end()) return last_type_ = found->second;
  PendingType added;
  added.name = type;
  // A type the schema does not know (it logs that) gets keys of its own,
  // and Build refuses it.
  added.known = MakeObjectTypeKeyPrefix(*schema_, type, &added.prefix);
  if (!added.known) added.prefix = std::string(1, '\xFF') + type + std::string(1, '\0');
  types_.push_back(std::move(added));
  last_type_ = static_cast<uint32_t>(types_.size() - 1);
  type_slots_.emplace(type, last_type_);
  return last_type_;
}

bool RequestProcessor::MakeKey(const std::string& type, const std::string& id, bool add_type,
                               uint32_t* type_slot, uint32_t* id_offset) {
  if (add_type) {
    *type_slot = TypeSlot(type);
  } else {
    auto found = type_slots_.find(type);
    if (found == type_slots_.end()) return false;
    *type_slot = found->second;
  }
  const PendingType& slot = types_[*type_slot];
  key_.assign(slot.prefix);
  if (slot.known) AppendVarint64(&key_, id.size());
  *id_offset = static_cast<uint32_t>(key_.size());
  key_.append(id);
  return true;
}

uint32_t RequestProcessor::FindSlot(const std::string& type, const std::string& id) const {
  auto found = type_slots_.find(type);
  if (found == type_slots_.end()) return kNone;
  const PendingType& slot = types_[found->second];
  std::string key = slot.prefix;
  if (slot.known) AppendVarint64(&key, id.size());
  key.append(id);
  auto object = index_.find(key);
  return object == index_.end() ? kNone : object->second;
}

const PendingRequestList* RequestProcessor::FindPending(const std::string& type,
                                                        const std::string& id) const {
  const uint32_t slot = FindSlot(type, id);
  return slot == kNone ? nullptr : &objects_[slot].ops;
}

PendingRequestList* RequestProcessor::FindPending(const std::string& type,
                                                  const std::string& id) {
  const uint32_t slot = FindSlot(type, id);
  return slot == kNone ? nullptr : &objects_[slot].ops;
}

RequestProcessor::PendingObject& RequestProcessor::ObjectOf(const std::string& type,
                                                            const std::string& id) {
  uint32_t type_slot = 0;
  uint32_t id_offset = 0;
  MakeKey(type, id, true, &type_slot, &id_offset);
  // The key is hashed once: the new entry is offered to the index, and
  // taken back when the object has one already.
  objects_.emplace_back();
  PendingObject& object = objects_.back();
  object.key = std::move(key_);
  object.slot = static_cast<uint32_t>(objects_.size() - 1);
  const auto [found, added] = index_.emplace(object.key, object.slot);
  if (!added) {
    key_ = std::move(object.key);
    objects_.pop_back();
    return objects_[found->second];
  }
  object.type = type_slot;
  object.id_offset = id_offset;
  ++live_objects_;
  return object;
}

void RequestProcessor::Reserve(size_t objects) { index_.reserve(objects); }

void RequestProcessor::Drop(uint32_t slot) {
  PendingObject& object = objects_[slot];
  if (!object.live) return;
  index_.erase(object.key);
  object.live = false;
  object.ops.clear();
  --live_objects_;
}

PendingOperation& RequestProcessor::Coalesce(PendingObject* object, const VdbIdSet& vdb_ids,
                                             UpdateRequest::Type kind,
                                             const SpanContext* span) {
  // A COPY takes nothing away: where its source does not hold the object,
  // its destinations keep what the earlier operations left there.
  if (kind != UpdateRequest::COPY) TakeVdbs(vdb_ids, &object->ops);
  object->ops.push_back(NewPending(vdb_ids, kind, span));
  return object->ops.back();
}

void RequestProcessor::NotePut(const PendingObject& object) {
  types_[object.type].puts.push_back(object.slot);
}

std::vector<std::string> RequestProcessor::TakePendingPutIds(const std::string& type) {
  std::vector<std::string> ids;
  auto found = type_slots_.find(type);
  if (found == type_slots_.end()) return ids;
  std::vector<uint32_t>& puts = types_[found->second].puts;
  std::sort(puts.begin(), puts.end());
  puts.erase(std::unique(puts.begin(), puts.end()), puts.end());
  for (uint32_t slot : puts) ids.push_back(objects_[slot].id());
  puts.clear();
  return ids;
}

void RequestProcessor::AddPut(const std::string& type, const std::string& id, ObjectBody body,
                              const VdbIdSet& vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "PUT: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  PendingObject& object = ObjectOf(type, id);
  PendingOperation& put = Coalesce(&object, vdb_ids, UpdateRequest::PUT, span);
  put.request.body = std::move(body);
  NotePut(object);
}

void RequestProcessor::AddDelete(const std::string& type, const std::string& id,
                                 const VdbIdSet& vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "DEL: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  Coalesce(&ObjectOf(type, id), vdb_ids, UpdateRequest::DELETE, span);
}

void RequestProcessor::AddCopy(const std::string& type, const std::string& id, VdbId src_vdb_id,
                               VdbIdSet dst_vdb_ids, const SpanContext* span) {
  // Copying a vdb onto itself changes nothing.
  dst_vdb_ids.erase(src_vdb_id);
  if (dst_vdb_ids.empty()) return;
  TARNIX_LOG(orv::VERBOSE, nullptr, "COPY: src_vdb_id=%d dst_vdb_ids={%s} %s/%s",
             static_cast<int>(src_vdb_id), VdbIdSetToString(dst_vdb_ids).c_str(), type.c_str(),
             id.c_str());
  PendingObject& object = ObjectOf(type, id);
  Coalesce(&object, dst_vdb_ids, UpdateRequest::COPY, span).request.src_vdb_id = src_vdb_id;
  NotePut(object);
}

Status RequestProcessor::AddPatch(const std::string& type, const std::string& id,
                                  const std::string& object_value, const std::string& op_msg,
                                  VdbIdSet vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "PATCH: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  PendingRequestList& list = ObjectOf(type, id).ops;
  // A patch applies on top of the latest earlier operation of each of its
  // vdbs (operations before a COPY may share its vdbs); vdbs without one
  // take the stored object.
  VdbIdSet targets;
  for (auto it = list.rbegin(); it != list.rend() && !vdb_ids.empty(); ++it) {
    VdbIdSet met;
    for (VdbId vdb : it->vdb_ids) {
      if (vdb_ids.erase(vdb) != 0) met.insert(vdb);
    }
    if (met.empty()) continue;
    switch (it->request.type) {
      case UpdateRequest::PUT:
      case UpdateRequest::PATCH:
      case UpdateRequest::COPY:
        targets.insert(met.begin(), met.end());
        break;
      case UpdateRequest::DELETE: {
        const std::string vdbs = VdbIdSetToString(met);
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                   "Patch operation failed: object with  type = %s and id = %s not found in "
                   "vdbs %s",
                   type.c_str(), id.c_str(), vdbs.c_str());
        return Status::NotFound("Patch operation failed: object with type = " + type +
                                " and id = " + id + " not found in vdbs " + vdbs);
      }
      default:
        break;  // an operation of no kind holds nothing to patch
    }
  }
  targets.insert(vdb_ids.begin(), vdb_ids.end());
  if (targets.empty()) return Status::OK();
  PendingOperation patch = NewPending(targets, UpdateRequest::PATCH, span);
  patch.request.patch_ops.emplace_back(object_value, op_msg);
  list.push_back(std::move(patch));
  return Status::OK();
}

Status RequestProcessor::AddFlush(const std::string& type, const VdbIdSet& vdb_ids,
                                  const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "FLUSH: vdb_ids={%s} %s", VdbIdSetToString(vdb_ids).c_str(),
             type.c_str());
  // An unknown type has no records to flush (the schema logs it).
  std::string prefix;
  if (!MakeObjectTypeKeyPrefix(*schema_, type, &prefix)) return Status::OK();
  // Only objects of the type can match: without any, the walk is skipped
  // (a vdb's deletion flushes every type behind a large one).
  if (type_slots_.count(type) != 0) {
    RemovePendingIf(
        vdb_ids,
        [&type](const std::string& entry_type, const std::string&) {
          return TypeEquals(type, entry_type);
        },
        span);
  }
  DbAccess::Records records;
  const DbAccessStatus status = db_->PrefixFilter(GetSnapshot(), prefix, &records);
  if (!status.ok()) return status.ToStatus();
  std::string type_name;
  std::string id;
  for (const DbAccess::Record& record : records) {
    if (TryDecodeObjectRecordKey(*schema_, record.first, &type_name, &id)) {
      AddDeleteForFlush(type_name, id, vdb_ids, span);
    }
  }
  return Status::OK();
}

Status RequestProcessor::AddFlushByBlockId(uint32_t block_id,
                                           const std::vector<std::string>& encoded_type_ids,
                                           const BlockRanges& ranges, const VdbIdSet& vdb_ids,
                                           const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "FLUSH By Block ID: vdb_ids={%s} %u",
             VdbIdSetToString(vdb_ids).c_str(), block_id);
  BlockFlushes& flushes = BlockFlushesFor(encoded_type_ids, ranges);
  RemovePendingInBlock(&flushes, block_id, vdb_ids, span);
  const std::vector<StoredBlockObjects::Object>* stored = nullptr;
  const Status status = flushes.stored.Get(db_, block_id, &stored);
  if (!status.ok()) return status;
  for (const StoredBlockObjects::Object& object : *stored) {
    AddDeleteForFlush(flushes.stored.type_name(object.type), object.id, vdb_ids, span);
  }
  return Status::OK();
}

void RequestProcessor::ForeseeFlushByBlockId(uint32_t block_id,
                                             const std::vector<std::string>& encoded_type_ids,
                                             const BlockRanges& ranges) {
  BlockFlushesFor(encoded_type_ids, ranges).stored.Foresee(block_id);
}

RequestProcessor::BlockFlushes& RequestProcessor::BlockFlushesFor(
    const std::vector<std::string>& encoded_type_ids, const BlockRanges& ranges) {
  for (const std::unique_ptr<BlockFlushes>& flushes : block_flushes_) {
    if (flushes->stored.Reads(encoded_type_ids, ranges)) return *flushes;
  }
  block_flushes_.push_back(std::make_unique<BlockFlushes>(schema_, encoded_type_ids, ranges));
  return *block_flushes_.back();
}

void RequestProcessor::RemovePendingInBlock(BlockFlushes* flushes, uint32_t block,
                                            const VdbIdSet& vdb_ids, const SpanContext* span) {
  // An object's slot keeps its type and id, so its block is computed once;
  // a slot left dead stays so.
  for (; flushes->indexed < objects_.size(); ++flushes->indexed) {
    const PendingObject& object = objects_[flushes->indexed];
    if (!object.live) continue;
    const uint32_t object_block =
        schema_->types().ComputeBlockId(types_[object.type].name, object.id(),
                                        flushes->stored.ranges());
    flushes->pending[object_block].push_back(flushes->indexed);
  }
  const auto found = flushes->pending.find(block);
  if (found == flushes->pending.end()) return;
  std::vector<uint32_t>& slots = found->second;
  for (uint32_t slot : slots) {
    if (objects_[slot].live) RemovePending(slot, vdb_ids, span);
  }
  slots.erase(std::remove_if(slots.begin(), slots.end(),
                             [this](uint32_t slot) { return !objects_[slot].live; }),
              slots.end());
}

Status RequestProcessor::RemoveVdbsFromUnknownTypes(const VdbIdSet& vdb_ids) {
  boost::shared_ptr<DbAccess::IteratorImpl> it = db_->NewIterator(GetSnapshot());
  if (!it) return DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "").ToStatus();
  std::unordered_set<std::string> known;
  for (const auto& type : schema_->types().GetObjectTypeNames()) {
    known.insert(MakeObjectTypeKeyPrefix(type.first));
  }
  // Gathered here and handed to Build only when every record was read.
  std::vector<ObjectRecordWrites::Put> puts;
  std::vector<std::string> deletes;
  RecordCountChange count;
  // The records of one object sort together: each object's are gathered,
  // then rewritten at once, so that records of one body fold.
  std::string object_key;
  std::string type;  // the type id, in log lines
  std::string id;
  StoredLengths lengths;
  RecordBodyTable table;
  ObjectRecordWrites writes;
  const auto rewrite_object = [&]() -> Status {
    if (table.size() == 0) return Status::OK();
    for (size_t i = 0; i < table.size(); ++i) table[i].record.RemoveVdbs(vdb_ids);
    writes.Clear();
    if (!writes.AddObject(object_key, table)) return UnreadableSuffix(type, id);
    puts.insert(puts.end(), writes.puts().begin(), writes.puts().end());
    deletes.insert(deletes.end(), writes.deletes().begin(), writes.deletes().end());
    CountRecordWrites(writes, lengths, &count);
    table.clear();
    lengths.clear();
    return Status::OK();
  };
  for (it->Seek(kObjectPrefix); it->Valid();) {
    std::string key = it->key();
    if (key.compare(0, kObjectPrefix.size(), kObjectPrefix) != 0) break;
    const size_t object_length = ObjectKeyFilter::ObjectKeyLength(key);
    if (object_length == 0) {  // no object's record: left alone
      it->Next();
      continue;
    }
    uint64_t type_id = 0;
    uint64_t id_length = 0;
    const size_t type_length = DecodeVarint64(key.data() + 1, key.size() - 1, &type_id);
    std::string type_prefix = key.substr(0, 1 + type_length);
    if (known.count(type_prefix) != 0) {
      // On to the next type. The prefix ends in a varint's last byte, which
      // is below 0x80.
      ++type_prefix.back();
      it->Seek(type_prefix);
      continue;
    }
    if (object_key.size() != object_length || key.compare(0, object_length, object_key) != 0) {
      const Status status = rewrite_object();
      if (!status.ok()) return status;
      object_key = key.substr(0, object_length);
      type = std::to_string(static_cast<int64_t>(type_id));
      DecodeVarint64(key.data() + 1 + type_length, key.size() - 1 - type_length, &id_length);
      id = object_key.substr(object_length - static_cast<size_t>(id_length));
    }
    const std::string suffix = key.substr(object_length);
    DbAccess::Record record(std::move(key), it->value());
    const Status status = AddStoredRecord(type, id, suffix, &record, &lengths, &table);
    if (!status.ok()) return status;
    it->Next();
  }
  if (!it->status().ok()) return it->status().ToStatus();
  const Status status = rewrite_object();
  if (!status.ok()) return status;
  if (puts.empty() && deletes.empty()) return Status::OK();
  TARNIX_LOG(orv::INFO, nullptr,
             "Removing vdbs {%s} from records of types the schema lacks: %zu put, %zu deleted",
             VdbIdSetToString(vdb_ids).c_str(), puts.size(), deletes.size());
  if (object_keys_ != nullptr) {
    for (const ObjectRecordWrites::Put& put : puts) {
      object_keys_->AddRecordKey(put.first);
    }
  }
  unknown_puts_ = std::move(puts);
  unknown_deletes_ = std::move(deletes);
  unknown_count_ = count;
  unknown_counted_ = true;
  return Status::OK();
}

void RequestProcessor::AddDeleteForFlush(const std::string& type, const std::string& id,
                                         const VdbIdSet& vdb_ids, const SpanContext* span) {
  // An object stored as several records is met once per record.
  PendingRequestList* ops = FindPending(type, id);
  if (ops != nullptr && !ops->empty()) {
    PendingOperation& last = ops->back();
    if (last.request.type == UpdateRequest::DELETE && last.vdb_ids == vdb_ids) {
      last.request.span_context = ShareSpan(span);
      return;
    }
  }
  Coalesce(&ObjectOf(type, id), vdb_ids, UpdateRequest::DELETE, span);
}

void RequestProcessor::RemovePendingIf(const VdbIdSet& vdb_ids,
                                       const PendingEntryMatcher& matches,
                                       const SpanContext* span) {
  for (uint32_t slot = 0; slot < objects_.size(); ++slot) {
    const PendingObject& object = objects_[slot];
    if (object.live && matches(types_[object.type].name, object.id())) {
      RemovePending(slot, vdb_ids, span);
    }
  }
}

void RequestProcessor::RemovePending(uint32_t slot, const VdbIdSet& vdb_ids,
                                     const SpanContext* span) {
  PendingObject& object = objects_[slot];
  // Behind a COPY or PATCH the operations before it keep their vdbs, so
  // the object must still leave them after it.
  if (TakeVdbs(vdb_ids, &object.ops) && !vdb_ids.empty()) {
    object.ops.push_back(NewPending(vdb_ids, UpdateRequest::DELETE, span));
  }
  if (object.ops.empty()) Drop(slot);
}

bool RequestProcessor::TypeEquals(const std::string& type, const std::string& entry_type) {
  return entry_type == type;
}

bool RequestProcessor::InBlock(uint32_t block_id, const std::string& type, const std::string& id,
                               const BlockRanges& ranges, const Schema* schema) {
  return schema->types().ComputeBlockId(type, id, ranges) == block_id;
}

}  // namespace tarnix

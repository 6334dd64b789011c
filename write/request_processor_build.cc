// Building a transaction's record writes and change lists from its pending
// operations and the stored records.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "platform/wft/workflow_util.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "util/base64.h"
#include "write/patch_application.h"
#include "write/request_processor.h"

namespace tarnix {

namespace {

// The bodies that one Build hands to the batch, kept alive together.
using BatchBodies = std::vector<ObjectBody>;

// The batch takes values as boost pointers. This one points at the body and
// shares the ownership of `bodies`, which holds it, so that a put costs no
// allocation of its own. The batch only reads it.
boost::shared_ptr<std::string> BatchValue(const ObjectBody& body,
                                          const boost::shared_ptr<BatchBodies>& bodies) {
  bodies->push_back(body);
  return boost::shared_ptr<std::string>(bodies, const_cast<std::string*>(body.get()));
}

// The first eight bytes of `key` as a big-endian number, zeros past its
// end: keys whose numbers differ compare as their numbers do.
uint64_t KeyHead(std::string_view key) {
  uint64_t head = 0;
  for (size_t i = 0; i < 8; ++i) {
    head <<= 8;
    if (i < key.size()) head |= static_cast<uint8_t>(key[i]);
  }
  return head;
}

// An object of the pending table as Build orders them.
struct SortEntry {
  uint64_t head;  // KeyHead(key)
  std::string_view key;
  uint32_t slot;

  static bool Less(const SortEntry& a, const SortEntry& b) {
    if (a.head != b.head) return a.head < b.head;
    return a.key < b.key;
  }
};

}  // namespace

// What one Build call gathers before it hands anything out.
struct RequestProcessor::BuildState {
  // Bound to the transaction's snapshot; objects are read in key order, so
  // it only ever moves forward. Once positioned, no live key lies between
  // the last object read and where it stands.
  boost::shared_ptr<DbAccess::IteratorImpl> iterator;
  bool positioned = false;
  // The keys of the objects whose every stored record goes.
  std::vector<std::string> emptied;
  // Scratch reused from object to object.
  DbAccess::Records records;
  // The object's stored record keys and their value lengths, as stored.
  StoredLengths stored_lengths;
  RecordBodyTable table;
  ObjectRecordWrites object_writes;
  std::vector<DbAccess::TxnPut> puts;
  boost::shared_ptr<BatchBodies> put_bodies = boost::make_shared<BatchBodies>();
  std::vector<std::string> deletes;
  std::list<UpdateRecord> updates;
  std::list<UpdateRecord> logged_only;
  std::list<UpdateRecord> removals;
  // The type names the change records share, by type slot.
  std::vector<SharedString> type_names;
  bool keep_requests = false;
  std::vector<TransactionRequestTable::value_type> requests;
};

Status RequestProcessor::Build(bool trace, std::vector<DbAccess::TxnPut>* puts,
                               std::vector<std::string>* deletes, std::list<UpdateRecord>* updates,
                               std::list<UpdateRecord>* logged_only,
                               std::list<UpdateRecord>* removals, metrics::LatencyMetric& latency,
                               TransactionRequestTable* requests) {
  const auto start = std::chrono::steady_clock::now();
  std::optional<orv::wft::WorkflowUtil> span;
  if (trace) span.emplace("RequestProcessor::Build", 2);
  for (PendingType& type : types_) {
    type.puts.clear();
    type.count = RecordCountChange();
    type.counted = false;
  }
  TARNIX_LOG(orv::VERBOSE, nullptr, "Build: reqs_.size()=%lu",
             static_cast<unsigned long>(live_objects_));

  emptied_objects_.clear();
  Status status = Status::OK();
  // Objects in record key order, sorted once: all records of one object
  // sort together, and before those of any object with a greater key.
  // Sorted as (key, slot) entries side by side, which streams written in key
  // order skip. Each entry carries the key's first bytes as a number, so
  // that most comparisons do not reach the keys themselves.
  std::vector<SortEntry> keyed;
  keyed.reserve(live_objects_);
  for (uint32_t slot = 0; slot < objects_.size(); ++slot) {
    const PendingObject& object = objects_[slot];
    if (!object.live) continue;
    const PendingType& type = types_[object.type];
    if (!type.known) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Build: unknown object type %s",
                 type.name.c_str());
      status = Status::InvalidArgument("Unknown object type " + type.name);
      break;
    }
    keyed.push_back(SortEntry{KeyHead(object.key), object.key, slot});
  }
  if (!std::is_sorted(keyed.begin(), keyed.end(), SortEntry::Less)) {
    std::sort(keyed.begin(), keyed.end(), SortEntry::Less);
  }
  std::vector<uint32_t> order;
  order.reserve(keyed.size());
  for (const SortEntry& entry : keyed) order.push_back(entry.slot);
  std::vector<SortEntry>().swap(keyed);

  BuildState state;
  state.keep_requests = requests != nullptr;
  state.puts.reserve(order.size());
  state.put_bodies->reserve(order.size());
  state.type_names.resize(types_.size());
  size_t built = 0;
  if (status.ok()) {
    for (; built < order.size(); ++built) {
      status = BuildObject(&objects_[order[built]], &state);
      if (!status.ok()) break;
      // The working records point into the operations dropped next.
      state.table.clear();
    }
  }
  if (status.ok()) {
    // Their keys are of other types than the pending objects': no put or
    // delete of one key comes from both.
    for (const ObjectRecordWrites::Put& put : unknown_puts_) {
      state.puts.emplace_back(put.first, BatchValue(put.second, state.put_bodies));
    }
    state.deletes.insert(state.deletes.end(), unknown_deletes_.begin(), unknown_deletes_.end());
    unknown_puts_.clear();
    unknown_deletes_.clear();
    if (puts->empty()) {
      puts->swap(state.puts);
    } else {
      puts->insert(puts->end(), std::make_move_iterator(state.puts.begin()),
                   std::make_move_iterator(state.puts.end()));
    }
    deletes->insert(deletes->end(), std::make_move_iterator(state.deletes.begin()),
                    std::make_move_iterator(state.deletes.end()));
    updates->splice(updates->end(), state.updates);
    logged_only->splice(logged_only->end(), state.logged_only);
    removals->splice(removals->end(), state.removals);
    if (requests != nullptr) {
      for (auto& entry : state.requests) requests->emplace(std::move(entry));
    }
    emptied_objects_.swap(state.emptied);
    record_count_changes_.clear();
    for (const PendingType& type : types_) {
      if (type.counted) record_count_changes_[type.name] = type.count;
    }
    // The records of types the schema lacks, as start-up counts them.
    if (unknown_counted_) record_count_changes_[""] = unknown_count_;
    // Every object has left the table.
    objects_.clear();
    index_.clear();
    live_objects_ = 0;
  } else {
    // The objects processed before the failure have left the table.
    for (size_t i = 0; i < built; ++i) Drop(order[i]);
  }
  span.reset();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  latency->update(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000));
  return status;
}

Status RequestProcessor::BuildObject(PendingObject* object, BuildState* state) {
  PendingType& object_type = types_[object->type];
  const std::string& type = object_type.name;
  RecordBodyTable& table = state->table;
  Status status = ReadRecsFromDbAccess(type, *object, state, &table);
  if (!status.ok()) return status;

  for (const PendingOperation& pending : object->ops) {
    const UpdateRequest& request = pending.request;
    const VdbIdSet& vdbs = pending.vdb_ids;
    const SharedSpan& span = request.span_context;
    switch (request.type) {
      case UpdateRequest::DELETE:
        for (size_t i = 0; i < table.size(); ++i) {
          table[i].record.RemoveVdbs(vdbs);
          table[i].record.set_span_context(span);
        }
        break;
      case UpdateRequest::PUT: {
        const ObjectBody& body = request.body;
        for (size_t i = 0; i < table.size(); ++i) {
          if (table[i].body != body && *table[i].body != *body) table[i].record.RemoveVdbs(vdbs);
        }
        DbRecord& record = table[table.FindOrAdd(body)].record;
        record.AddVdbs(vdbs);
        record.set_span_context(span);
        break;
      }
      case UpdateRequest::PATCH:
        status = ApplyPatch(type, object->id(), pending, &table);
        if (!status.ok()) return status;
        break;
      case UpdateRequest::COPY: {
        int source = -1;
        for (size_t i = 0; i < table.size(); ++i) {
          if (!table[i].record.HasVdb(request.src_vdb_id)) continue;
          table[i].record.AddVdbs(vdbs);
          table[i].record.set_span_context(span);
          source = static_cast<int>(i);
        }
        if (source < 0) {
          TARNIX_LOG(orv::VERBOSE, nullptr,
                     "Build: specified object is not found in src vdb, skip processing the copy "
                     "operation");
          break;
        }
        // Bodies are distinct per record: every other record loses the vdbs.
        for (size_t i = 0; i < table.size(); ++i) {
          if (static_cast<int>(i) != source) table[i].record.RemoveVdbs(vdbs);
        }
        break;
      }
      case UpdateRequest::NONE:
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Invalid request type NONE");
        break;
      default:
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Request type not found");
        break;
    }
  }

  ObjectRecordWrites& writes = state->object_writes;
  writes.Clear();
  if (!writes.AddObject(object->key, table)) return UnreadableSuffix(type, object->id());
  for (const ObjectRecordWrites::Put& put : writes.puts()) {
    state->puts.emplace_back(put.first, BatchValue(put.second, state->put_bodies));
  }
  state->deletes.insert(state->deletes.end(), writes.deletes().begin(), writes.deletes().end());
  if (object_keys_ != nullptr && !writes.puts().empty()) object_keys_->Add(object->key);
  // Records under the object's key that are no records of it are left.
  if (writes.puts().empty() && !state->records.empty() &&
      writes.deletes().size() == state->records.size()) {
    state->emptied.push_back(object->key);
  }
  if (!writes.puts().empty() || !writes.deletes().empty()) {
    object_type.counted = true;
    CountRecordWrites(writes, state->stored_lengths, &object_type.count);
  }
  EmitChanges(*object, table, state);
  if (state->keep_requests) {
    state->requests.emplace_back(ObjectKey(type, object->id()), std::move(object->ops));
  }
  return Status::OK();
}

Status RequestProcessor::ReadRecsFromDbAccess(const std::string& type, const PendingObject& object,
                                              BuildState* state, RecordBodyTable* table) {
  const std::string& object_key = object.key;
  DbAccess::Records& records = state->records;
  records.clear();
  state->stored_lengths.clear();
  // A new object needs no Seek: most writes put objects never stored.
  DbAccessStatus status;
  if (object_keys_ == nullptr || object_keys_->MayContain(object_key)) {
    if (!state->iterator) {
      state->iterator = db_->NewIterator(GetSnapshot());
      if (!state->iterator) {
        return DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "").ToStatus();
      }
    }
    DbAccess::IteratorImpl& it = *state->iterator;
    // Where the iterator stands at or past the key, nothing lies between:
    // a Seek would only step again over the deleted records on the way.
    // Exhausted, it has nothing past the key either.
    bool read = true;
    if (!state->positioned) {
      it.Seek(object_key);
      state->positioned = true;
    } else if (it.Valid()) {
      const leveldb::Slice at = it.key_view();
      if (std::string_view(at.data(), at.size()) < object_key) it.Seek(object_key);
    } else {
      read = false;
    }
    for (; read && it.Valid(); it.Next()) {
      const leveldb::Slice key = it.key_view();
      if (!key.starts_with(object_key)) break;
      records.emplace_back(key.ToString(), it.value());
    }
    status = it.status();
  }
  TARNIX_LOG(orv::VERBOSE, nullptr,
             "ReadRecsFromDbAccess: type=%s, obj_id=%s, db_records.size()=%lu", type.c_str(),
             object.id().c_str(), static_cast<unsigned long>(records.size()));
  if (!status.ok()) return status.ToStatus();
  if (records.empty()) return Status::OK();

  const std::string id = object.id();
  std::string type_name;
  std::string record_id;
  std::string suffix;
  for (DbAccess::Record& record : records) {
    if (!TryDecodeObjectRecordKey(*schema_, record.first, &type_name, &record_id, &suffix)) {
      continue;
    }
    const Status added = AddStoredRecord(type, id, suffix, &record, &state->stored_lengths, table);
    if (!added.ok()) return added;
  }
  return Status::OK();
}

Status RequestProcessor::AddStoredRecord(const std::string& type, const std::string& id,
                                         const std::string& suffix, DbAccess::Record* record,
                                         StoredLengths* lengths, RecordBodyTable* table) {
  std::string& value = record->second;
  lengths->emplace_back(record->first, value.size());
  // A leading 0x00 byte is not part of the body.
  if (!value.empty() && value[0] == '\0') value.erase(0, 1);
  TARNIX_LOG(orv::TRIVIA, nullptr,
             "ReadRecsFromDbAccess: db_record base64 encoded [Key::value]: %s -- %s",
             Base64Encode(record->first).c_str(), Base64Encode(value).c_str());
  // A record whose vdbs cannot be read would be invisible to every vdb.
  if (!IsValidVdbSuffix(suffix)) return UnreadableSuffix(type, id);
  const size_t before = table->size();
  const size_t i = table->FindOrAdd(std::make_shared<const std::string>(std::move(value)));
  DbRecord& stored = (*table)[i].record;
  if (table->size() > before) {
    stored.SetStored(std::move(record->first), suffix);
    return Status::OK();
  }
  // Two records of one body: writers never leave that, so it is repaired
  // by folding the second into the first.
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203",
             "ReadRecsFromDbAccess: type=%s, obj_id=%s has two records of one body; "
             "folding them into one",
             type.c_str(), id.c_str());
  if (!stored.MergeStored(std::move(record->first), suffix)) return UnreadableSuffix(type, id);
  return Status::OK();
}

void RequestProcessor::CountRecordWrites(const ObjectRecordWrites& writes,
                                         const StoredLengths& lengths,
                                         RecordCountChange* count) {
  // The puts and deletes of one object never share a key.
  const auto stored_length = [&lengths](const std::string& key) -> std::optional<uint64_t> {
    for (const auto& stored : lengths) {
      if (stored.first == key) return stored.second;
    }
    return std::nullopt;
  };
  RecordCountChange& change = *count;
  for (const ObjectRecordWrites::Put& put : writes.puts()) {
    const std::optional<uint64_t> old_length = stored_length(put.first);
    if (old_length) {
      change.bytes -= static_cast<int64_t>(*old_length);
    } else {
      ++change.records;
    }
    change.bytes += static_cast<int64_t>(put.second->size());
  }
  for (const std::string& key : writes.deletes()) {
    const std::optional<uint64_t> old_length = stored_length(key);
    if (!old_length) continue;
    --change.records;
    change.bytes -= static_cast<int64_t>(*old_length);
  }
}

Status RequestProcessor::UnreadableSuffix(const std::string& type, const std::string& id) {
  const std::string text = orv::string_format(
      "Unreadable vdb set in a record key of type=%s id=%s", type.c_str(), id.c_str());
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "%s", text.c_str());
  return Status::DataLoss(text);
}

Status RequestProcessor::ApplyPatch(const std::string& type, const std::string& id,
                                    const PendingOperation& patch, RecordBodyTable* table) {
  if (patch.request.patch_ops.empty()) return Status::OK();
  const UpdateRequest::Patch& ops = patch.request.patch_ops.front();
  const SharedSpan& span = patch.request.span_context;
  const ObjectPatcher patcher(*schema_);
  // Each group of vdbs sharing a body is patched once, on that body.
  VdbIdSet remaining = patch.vdb_ids;
  while (!remaining.empty()) {
    size_t r = 0;
    VdbIdSet held;
    for (; r < table->size() && held.empty(); ++r) {
      (*table)[r].record.CollectHeldVdbs(remaining, &held);
    }
    if (held.empty()) {
      const std::string vdbs = VdbIdSetToString(remaining);
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                 "Patch operation failed: object with  type = %s and id = %s not found in vdbs %s",
                 type.c_str(), id.c_str(), vdbs.c_str());
      return Status::NotFound("Patch operation failed: object with type = " + type +
                              " and id = " + id + " not found in vdbs " + vdbs);
    }
    --r;
    const ObjectBody body = (*table)[r].body;
    if (body->empty()) {
      const std::string text =
          orv::string_format("PATCH type=%s id=%s has no object body", type.c_str(), id.c_str());
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "%s", text.c_str());
      return Status::InvalidArgument(text);
    }
    std::string patched;
    const Status status = patcher.Apply(type, id, *body, ops.first, ops.second, &patched);
    if (!status.ok()) return status;
    if (patched != *body) {
      // A patched body equal to another body of the object joins its record.
      const size_t to = table->FindOrAdd(std::make_shared<const std::string>(std::move(patched)));
      (*table)[to].record.AddVdbs(held);
      (*table)[to].record.set_span_context(span);
      (*table)[r].record.RemoveVdbs(held);
    }
    EraseVdbIds(held, &remaining);
  }
  return Status::OK();
}

void RequestProcessor::EmitChanges(const PendingObject& object, const RecordBodyTable& table,
                                   BuildState* state) {
  SharedString id;
  SharedString& type = state->type_names[object.type];
  // Made once per type and once per object that changes, then shared.
  const auto change = [&](const ObjectBody& new_body, const ObjectBody& old_body,
                          VdbIdSet vdb_ids, const DbRecord* span_of) {
    if (!type) type = std::make_shared<const std::string>(types_[object.type].name);
    if (!id) id = std::make_shared<const std::string>(object.id());
    return UpdateRecord{type, id, new_body, old_body, std::move(vdb_ids),
                        span_of != nullptr ? span_of->span_context() : nullptr};
  };
  // Vdbs that gained a body: the same one they held (logged only), one that
  // replaces another body, or the object's first.
  for (size_t i = 0; i < table.size(); ++i) {
    const WorkingRecord& r = table[i];
    VdbIdSet gained = r.record.include();
    if (gained.empty()) continue;
    VdbIdSet same;
    r.record.CollectStoredIncludes(&same);
    if (!same.empty()) {
      state->logged_only.push_back(change(r.body, nullptr, same, nullptr));
      EraseVdbIds(same, &gained);
      if (gained.empty()) continue;
    }
    for (size_t j = 0; j < table.size() && !gained.empty(); ++j) {
      const WorkingRecord& r2 = table[j];
      if (j == i || r2.record.kind() == DbRecord::EXPLICIT) continue;
      VdbIdSet replaced;
      r2.record.ExcludedAmong(gained, &replaced);
      if (replaced.empty()) continue;
      state->updates.push_back(change(r.body, r2.body, replaced, &r.record));
      EraseVdbIds(replaced, &gained);
    }
    if (!gained.empty()) {
      state->updates.push_back(change(r.body, nullptr, std::move(gained), &r.record));
    }
  }
  // Vdbs that lost a body and received no other.
  for (size_t i = 0; i < table.size(); ++i) {
    const WorkingRecord& r = table[i];
    VdbIdSet lost = r.record.exclude();
    if (lost.empty()) continue;
    for (size_t j = 0; j < table.size(); ++j) {
      if (j == i || table[j].record.kind() == DbRecord::STORED) continue;
      VdbIdSet replaced;
      table[j].record.IncludedAmong(lost, &replaced);
      EraseVdbIds(replaced, &lost);
    }
    if (!lost.empty()) {
      state->removals.push_back(change(nullptr, r.body, std::move(lost), &r.record));
    }
  }
}

}  // namespace tarnix

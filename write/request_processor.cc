// Collecting a transaction's operations: coalescing per object and vdb.
#include "write/request_processor.h"

#include <utility>

#include "logging/logger.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "write/status_helpers.h"

namespace tarnix {

using orv::rpc::AppStatus;

RequestProcessor::RequestProcessor(const Schema* schema, DbAccess* db)
    : schema_(schema), db_(db) {}

// Members go in reverse order: the by-type table, the pending table, then
// the snapshot.
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
  while (it != list->begin() && !ReadsEarlierOperations(**std::prev(it))) --it;
  const bool after_reader = it != list->begin();
  while (it != list->end()) {
    VdbIdSet& held = (*it)->vdb_ids;
    for (VdbId vdb : vdb_ids) held.erase(vdb);
    it = held.empty() ? list->erase(it) : std::next(it);
  }
  return after_reader;
}

PendingRequest RequestProcessor::NewPending(const VdbIdSet& vdb_ids, UpdateRequest::Type kind,
                                            const SpanContext* span) {
  auto pending = std::make_shared<PendingOperation>();
  pending->vdb_ids = vdb_ids;
  pending->request.type = kind;
  if (span != nullptr) pending->request.span_context = *span;
  return pending;
}

PendingRequestList& RequestProcessor::ListOf(const std::string& type, const std::string& id) {
  return reqs_[ObjectKey(type, id)];
}

const PendingRequest& RequestProcessor::Coalesce(const std::string& type, const std::string& id,
                                                 const VdbIdSet& vdb_ids,
                                                 UpdateRequest::Type kind,
                                                 const SpanContext* span) {
  PendingRequestList& list = ListOf(type, id);
  // A COPY takes nothing away: where its source does not hold the object,
  // its destinations keep what the earlier operations left there.
  if (kind != UpdateRequest::COPY) TakeVdbs(vdb_ids, &list);
  list.push_back(NewPending(vdb_ids, kind, span));
  return list.back();
}

void RequestProcessor::AddPendingByType(const std::string& type, const std::string& id,
                                        const PendingRequest& pending) {
  reqs_by_type_[type][id].push_back(pending);
}

void RequestProcessor::AddPut(const std::string& type, const std::string& id, ObjectBody body,
                              const VdbIdSet& vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "PUT: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  const PendingRequest& put = Coalesce(type, id, vdb_ids, UpdateRequest::PUT, span);
  put->body = body;
  put->request.body = std::move(body);
  AddPendingByType(type, id, put);
}

void RequestProcessor::AddDelete(const std::string& type, const std::string& id,
                                 const VdbIdSet& vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "DEL: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  Coalesce(type, id, vdb_ids, UpdateRequest::DELETE, span);
}

void RequestProcessor::AddCopy(const std::string& type, const std::string& id, VdbId src_vdb_id,
                               VdbIdSet dst_vdb_ids, const SpanContext* span) {
  // Copying a vdb onto itself changes nothing.
  dst_vdb_ids.erase(src_vdb_id);
  if (dst_vdb_ids.empty()) return;
  TARNIX_LOG(orv::VERBOSE, nullptr, "COPY: src_vdb_id=%d dst_vdb_ids={%s} %s/%s",
             static_cast<int>(src_vdb_id), VdbIdSetToString(dst_vdb_ids).c_str(), type.c_str(),
             id.c_str());
  const PendingRequest& copy = Coalesce(type, id, dst_vdb_ids, UpdateRequest::COPY, span);
  copy->request.src_vdb_id = src_vdb_id;
  AddPendingByType(type, id, copy);
}

AppStatus RequestProcessor::AddPatch(const std::string& type, const std::string& id,
                                     const std::string& object_value, const std::string& op_msg,
                                     VdbIdSet vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "PATCH: vdb_ids={%s} %s/%s",
             VdbIdSetToString(vdb_ids).c_str(), type.c_str(), id.c_str());
  PendingRequestList& list = ListOf(type, id);
  // A patch applies on top of the latest earlier operation of each of its
  // vdbs (operations before a COPY may share its vdbs); vdbs without one
  // take the stored object.
  VdbIdSet targets;
  for (auto it = list.rbegin(); it != list.rend() && !vdb_ids.empty(); ++it) {
    VdbIdSet met;
    for (VdbId vdb : (*it)->vdb_ids) {
      if (vdb_ids.erase(vdb) != 0) met.insert(vdb);
    }
    if (met.empty()) continue;
    switch ((*it)->request.type) {
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
        return orv::rpc::NOT_FOUND("Patch operation failed: object with type = " + type +
                                   " and id = " + id + " not found in vdbs " + vdbs);
      }
      default:
        break;  // an operation of no kind holds nothing to patch
    }
  }
  targets.insert(vdb_ids.begin(), vdb_ids.end());
  if (targets.empty()) return orv::rpc::SUCCESS;
  PendingRequest patch = NewPending(targets, UpdateRequest::PATCH, span);
  patch->request.patch_ops.emplace_back(object_value, op_msg);
  list.push_back(std::move(patch));
  return orv::rpc::SUCCESS;
}

AppStatus RequestProcessor::AddFlush(const std::string& type, const VdbIdSet& vdb_ids,
                                     const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "FLUSH: vdb_ids={%s} %s", VdbIdSetToString(vdb_ids).c_str(),
             type.c_str());
  // An unknown type has no records to flush (the schema logs it).
  std::string prefix;
  if (!MakeObjectTypeKeyPrefix(*schema_, type, &prefix)) return orv::rpc::SUCCESS;
  RemovePendingIf(
      vdb_ids,
      [&type](const TransactionRequestTable::value_type& entry) { return TypeEquals(type, entry); },
      span);
  DbAccess::Records records;
  const DbAccessStatus status = db_->PrefixFilter(GetSnapshot(), prefix, &records);
  if (!status.ok()) return StatusFromDbAccessStatus(status);
  std::string type_name;
  std::string id;
  for (const DbAccess::Record& record : records) {
    if (TryDecodeObjectRecordKey(*schema_, record.first, &type_name, &id)) {
      AddDeleteForFlush(type_name, id, vdb_ids, span);
    }
  }
  return orv::rpc::SUCCESS;
}

AppStatus RequestProcessor::AddFlushByBlockId(uint32_t block_id,
                                              const std::vector<std::string>& encoded_type_ids,
                                              const BlockRanges& ranges,
                                              const VdbIdSet& vdb_ids, const SpanContext* span) {
  TARNIX_LOG(orv::VERBOSE, nullptr, "FLUSH By Block ID: vdb_ids={%s} %u",
             VdbIdSetToString(vdb_ids).c_str(), block_id);
  const Schema* schema = schema_;
  RemovePendingIf(
      vdb_ids,
      [&](const TransactionRequestTable::value_type& entry) {
        return InBlock(block_id, entry, ranges, schema);
      },
      span);
  boost::shared_ptr<DbAccess::IteratorImpl> it = db_->NewIterator();
  if (!it) return StatusFromDbAccessStatus(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, ""));
  std::string type_name;
  std::string id;
  for (const std::string& encoded_type_id : encoded_type_ids) {
    const std::string prefix = kObjectPrefix + encoded_type_id;
    for (it->Seek(prefix); it->Valid(); it->Next()) {
      const std::string key = it->key();
      if (key.compare(0, prefix.size(), prefix) != 0) break;
      if (TryDecodeObjectRecordKey(*schema_, key, &type_name, &id) &&
          schema_->ComputeBlockId(type_name, id, ranges) == block_id) {
        AddDeleteForFlush(type_name, id, vdb_ids, span);
      }
    }
    const DbAccessStatus status = it->status();
    if (!status.ok()) return StatusFromDbAccessStatus(status);
  }
  return orv::rpc::SUCCESS;
}

void RequestProcessor::AddDeleteForFlush(const std::string& type, const std::string& id,
                                         const VdbIdSet& vdb_ids, const SpanContext* span) {
  // An object stored as several records is met once per record.
  auto found = reqs_.find(ObjectKey(type, id));
  if (found != reqs_.end() && !found->second.empty()) {
    PendingOperation& last = *found->second.back();
    if (last.request.type == UpdateRequest::DELETE && last.vdb_ids == vdb_ids) {
      if (span != nullptr) {
        last.request.span_context = *span;
      } else {
        last.request.span_context.reset();
      }
      return;
    }
  }
  Coalesce(type, id, vdb_ids, UpdateRequest::DELETE, span);
}

void RequestProcessor::RemovePendingIf(const VdbIdSet& vdb_ids,
                                       const PendingEntryMatcher& matches,
                                       const SpanContext* span) {
  for (auto entry = reqs_.begin(); entry != reqs_.end();) {
    if (!matches(*entry)) {
      ++entry;
      continue;
    }
    // Behind a COPY or PATCH the operations before it keep their vdbs, so
    // the object must still leave them after it.
    if (TakeVdbs(vdb_ids, &entry->second) && !vdb_ids.empty()) {
      entry->second.push_back(NewPending(vdb_ids, UpdateRequest::DELETE, span));
    }
    entry = entry->second.empty() ? reqs_.erase(entry) : std::next(entry);
  }
}

bool RequestProcessor::TypeEquals(const std::string& type,
                                  const TransactionRequestTable::value_type& entry) {
  return entry.first.first == type;
}

bool RequestProcessor::InBlock(uint32_t block_id,
                               const TransactionRequestTable::value_type& entry,
                               const BlockRanges& ranges, const Schema* schema) {
  return schema->ComputeBlockId(entry.first.first, entry.first.second, ranges) == block_id;
}

}  // namespace tarnix

#include "query/get_processor.h"

#include "platform/util/strings.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "write/status_helpers.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// Type names hold no NUL byte, so this names one (type, id) pair.
std::string ObjectName(const std::string& type, const std::string& id) {
  std::string name = type;
  name.push_back('\0');
  name += id;
  return name;
}

// Whether the record belongs to `vdb_id`; false, after the decoder's ERROR
// line, for a key that does not decode.
bool InVdb(const Schema& schema, const std::string& key, VdbId vdb_id) {
  std::string type, id, suffix;
  if (!TryDecodeObjectRecordKey(schema, key, &type, &id, &suffix)) return false;
  return VdbSuffixContains(suffix, vdb_id);
}

// Moves the chunk being filled to `out` and starts the next one empty.
void CloseChunk(tx::GetResponseMsg* response, size_t* bytes,
                std::vector<tx::GetResponseMsg>* out) {
  out->push_back(std::move(*response));
  response->Clear();
  *bytes = 0;
}

}  // namespace

orv::rpc::AppStatus GetProcessor::ProcessGetObjectRequest(const std::string& client_id,
                                                          const Selectors& selectors,
                                                          GetReadLists* lists) const {
  for (const tx::TypedObjectMsg& selector : selectors) {
    const std::string type = schema_->GetObjectType(&selector);
    std::string prefix;
    if (type.empty() || !MakeObjectTypeKeyPrefix(*schema_, type, &prefix)) {
      return orv::rpc::INVALID_ARGUMENT("Unrecognized object type " +
                                        orv::proto::ToString(selector));
    }
    if (!schema_->HasReadPermission(client_id, type)) {
      return orv::rpc::PERMISSION_DENIED(client_id + " does not have read permission for " +
                                         type);
    }
    if (!selector.has_object_body()) {
      lists->type_names.push_back(type);
      lists->type_prefixes.push_back(std::move(prefix));
      continue;
    }
    std::string id = schema_->GetKeyFromSerialized(type, selector.object_body());
    std::string key;
    if (id.empty() || !MakeObjectRecordKey(*schema_, type, id, &key)) {
      return orv::rpc::INVALID_ARGUMENT("Unable to extract id for object type " +
                                        orv::proto::ToString(selector));
    }
    lists->id_keys.push_back(std::move(key));
    lists->id_pairs.emplace_back(type, std::move(id));
  }
  return MakeOkStatus();
}

orv::rpc::AppStatus GetProcessor::ProcessGetRequest(const std::string& client_id,
                                                    const Selectors& selectors, VdbId vdb_id,
                                                    GetReadLists* lists) const {
  orv::rpc::AppStatus status = ProcessGetObjectRequest(client_id, selectors, lists);
  if (!status.ok()) return status;
  if (lists->type_names.empty() && lists->id_pairs.empty()) {
    return orv::rpc::INVALID_ARGUMENT("Missing object request for GET request");
  }
  const DbAccess::SnapshotHolder snapshot = db_access_->GetSnapshot();

  for (const std::string& key : lists->id_keys) {
    DbAccess::Records records;
    const DbAccessStatus read = db_access_->PrefixFilter(snapshot, key, &records);
    if (!read.ok()) return StatusFromDbAccessStatus(read);
    std::string value;
    for (DbAccess::Record& record : records) {
      if (InVdb(*schema_, record.first, vdb_id)) {
        value = std::move(record.second);
        break;
      }
    }
    lists->id_values.push_back(std::move(value));
  }

  lists->type_records.resize(lists->type_prefixes.size());
  for (size_t i = 0; i < lists->type_prefixes.size(); ++i) {
    DbAccess::Records records;
    const DbAccessStatus read =
        db_access_->PrefixFilter(snapshot, lists->type_prefixes[i], &records);
    if (!read.ok()) return StatusFromDbAccessStatus(read);
    DbAccess::Records& kept = lists->type_records[i];
    for (DbAccess::Record& record : records) {
      if (InVdb(*schema_, record.first, vdb_id)) kept.push_back(std::move(record));
    }
  }
  return MakeOkStatus();
}

std::vector<tx::GetResponseMsg> GetProcessor::GetObjects(GetReadLists&& lists) const {
  GetReadLists owned(std::move(lists));  // freed here, before the chunks are written
  ObjectSet returned;
  Chunks out;
  GetObjectsById(&owned, &returned, &out);
  GetObjectsByType(&owned, &returned, &out);
  return out;
}

size_t GetProcessor::AppendEntry(const std::string& type, std::string&& value,
                                 tx::GetResponseMsg* response) const {
  tx::TypedObjectMsg* entry = response->add_objects();
  schema_->SetObjectType(type, entry);
  const size_t stored = value.size();
  if (stored == 0) return 0;
  // Values written with a marker byte carry it first; the body starts after.
  if (value[0] == '\0') value.erase(0, 1);
  entry->set_object_body(std::move(value));
  return stored;
}

void GetProcessor::GetObjectsById(GetReadLists* lists, ObjectSet* returned, Chunks* out) const {
  tx::GetResponseMsg response;
  size_t bytes = 0;
  for (size_t i = 0; i < lists->id_pairs.size(); ++i) {
    const std::string& type = lists->id_pairs[i].first;
    if (!returned->insert(ObjectName(type, lists->id_pairs[i].second)).second) continue;
    bytes += AppendEntry(type, std::move(lists->id_values[i]), &response);
    if (bytes > kMaxChunkBytes) CloseChunk(&response, &bytes, out);
  }
  if (response.objects_size() > 0) out->push_back(std::move(response));
}

void GetProcessor::GetObjectsByType(GetReadLists* lists, ObjectSet* returned,
                                    Chunks* out) const {
  tx::GetResponseMsg response;
  size_t bytes = 0;
  for (size_t i = 0; i < lists->type_prefixes.size(); ++i) {
    DbAccess::Records& records = lists->type_records[i];
    for (DbAccess::Record& record : records) {
      std::string type, id;
      // Only keys that decoded are kept by ProcessGetRequest.
      if (!TryDecodeObjectRecordKey(*schema_, record.first, &type, &id)) continue;
      if (!returned->insert(ObjectName(type, id)).second) continue;
      bytes += AppendEntry(type, std::move(record.second), &response);
      if (bytes > kMaxChunkBytes) CloseChunk(&response, &bytes, out);
    }
    if (records.empty() &&
        returned->insert(ObjectName(lists->type_names[i], std::string())).second) {
      AppendEntry(lists->type_names[i], std::string(), &response);
    }
    DbAccess::Records().swap(records);  // the keys too
    if (response.ByteSizeLong() > kMaxChunkBytes) CloseChunk(&response, &bytes, out);
  }
  if (response.objects_size() > 0) out->push_back(std::move(response));
}

}  // namespace tarnix

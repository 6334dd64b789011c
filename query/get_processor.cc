#include "query/get_processor.h"

#include "platform/util/strings.h"
#include "schema/record_key.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// Whether the record belongs to `vdb_id`; false, after the decoder's ERROR
// line, for a key that does not decode. A kept key loses its vdb suffix, so
// that it names the object as an id key does and is never decoded again.
bool KeepInVdb(const Schema& schema, VdbId vdb_id, std::string* key) {
  std::string type, id, suffix;
  if (!TryDecodeObjectRecordKey(schema, *key, &type, &id, &suffix)) return false;
  if (!VdbSuffixContains(suffix, vdb_id)) return false;
  key->resize(key->size() - suffix.size());
  return true;
}

// Moves the chunk being filled to `out` and starts the next one empty.
void CloseChunk(tx::GetResponseMsg* response, size_t* bytes,
                std::vector<tx::GetResponseMsg>* out) {
  out->push_back(std::move(*response));
  response->Clear();
  *bytes = 0;
}

}  // namespace

Status GetProcessor::ProcessGetObjectRequest(const std::string& client_id,
                                             const Selectors& selectors,
                                             GetReadLists* lists) const {
  for (const tx::TypedObjectMsg& selector : selectors) {
    const std::string type = schema_->GetObjectType(&selector);
    std::string prefix;
    if (type.empty() || !MakeObjectTypeKeyPrefix(*schema_, type, &prefix)) {
      return Status::InvalidArgument("Unrecognized object type " + orv::proto::ToString(selector));
    }
    if (!schema_->HasReadPermission(client_id, type)) {
      return Status::PermissionDenied(client_id + " does not have read permission for " + type);
    }
    if (!selector.has_object_body()) {
      lists->type_names.push_back(type);
      lists->type_prefixes.push_back(std::move(prefix));
      continue;
    }
    std::string id = schema_->GetKeyFromSerialized(type, selector.object_body());
    std::string key;
    if (id.empty() || !MakeObjectRecordKey(*schema_, type, id, &key)) {
      return Status::InvalidArgument("Unable to extract id for object type " +
                                     orv::proto::ToString(selector));
    }
    lists->id_keys.push_back(std::move(key));
    lists->id_pairs.emplace_back(type, std::move(id));
  }
  return Status::OK();
}

Status GetProcessor::ProcessGetRequest(const std::string& client_id, const Selectors& selectors,
                                       VdbId vdb_id, GetReadLists* lists) const {
  Status status = ProcessGetObjectRequest(client_id, selectors, lists);
  if (!status.ok()) return status;
  if (lists->type_names.empty() && lists->id_pairs.empty()) {
    return Status::InvalidArgument("Missing object request for GET request");
  }
  const DbAccess::SnapshotHolder snapshot = db_access_->GetSnapshot();
  // A repeated selector reads nothing: GetObjects returns each object and
  // type once, so one copy is all it needs.
  std::unordered_set<std::string> read;

  for (const std::string& key : lists->id_keys) {
    std::string value;
    if (!read.insert(key).second) {
      lists->id_values.push_back(std::move(value));
      continue;
    }
    DbAccess::Records records;
    const DbAccessStatus status = db_access_->PrefixFilter(snapshot, key, &records);
    if (!status.ok()) return status.ToStatus();
    for (DbAccess::Record& record : records) {
      if (KeepInVdb(*schema_, vdb_id, &record.first)) {
        value = std::move(record.second);
        break;
      }
    }
    lists->id_values.push_back(std::move(value));
  }

  lists->type_records.resize(lists->type_prefixes.size());
  for (size_t i = 0; i < lists->type_prefixes.size(); ++i) {
    if (!read.insert(lists->type_prefixes[i]).second) continue;
    DbAccess::Records records;
    const DbAccessStatus status =
        db_access_->PrefixFilter(snapshot, lists->type_prefixes[i], &records);
    if (!status.ok()) return status.ToStatus();
    DbAccess::Records& kept = lists->type_records[i];
    for (DbAccess::Record& record : records) {
      if (KeepInVdb(*schema_, vdb_id, &record.first)) kept.push_back(std::move(record));
    }
  }
  return Status::OK();
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
    if (!returned->insert(lists->id_keys[i]).second) continue;
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
    // A type prefix is shorter than every key of its type, so it names the
    // type alone; a repeated type is skipped whole.
    if (!returned->insert(lists->type_prefixes[i]).second) continue;
    const std::string& type = lists->type_names[i];
    DbAccess::Records& records = lists->type_records[i];
    for (DbAccess::Record& record : records) {
      if (!returned->insert(record.first).second) continue;
      bytes += AppendEntry(type, std::move(record.second), &response);
      if (bytes > kMaxChunkBytes) CloseChunk(&response, &bytes, out);
    }
    if (records.empty()) AppendEntry(type, std::string(), &response);
    DbAccess::Records().swap(records);  // the keys too
    if (response.ByteSizeLong() > kMaxChunkBytes) CloseChunk(&response, &bytes, out);
  }
  if (response.objects_size() > 0) out->push_back(std::move(response));
}

}  // namespace tarnix

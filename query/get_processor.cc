#include "query/get_processor.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <string_view>
#include <unordered_set>

#include "logging/logger.h"
#include "platform/util/strings.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/printable.h"

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

// The read behind GetProcessor::GetObjects: the ids in slices, each read in
// key order and answered in selector order, then the types, over one
// iterator on one snapshot.
class GetObjectsRead : public GetProcessor::Read {
 public:
  GetObjectsRead(const Schema& schema, DbAccess* db, GetReadLists&& lists, VdbId vdb_id)
      : schema_(schema), vdb_id_(vdb_id), lists_(std::move(lists)) {
    iterator_ = db->NewIterator();  // on a snapshot of its own
    if (!iterator_) {
      End(DbAccessStatus(DbAccessCode::NO_OPEN_DATABASE, "no open database").ToStatus());
    }
  }

  bool Step(size_t max_records, std::vector<tx::GetResponseMsg>* ready) override {
    size_t budget = max_records;
    const size_t ready_before = ready->size();
    // Reading stops at the budget or at a complete chunk; closing does not.
    auto paused = [&] { return budget == 0 || ready->size() != ready_before; };
    while (!done_) {
      if (next_id_ < lists_.id_keys.size()) {
        if (paused()) break;
        if (next_id_ == slice_end_) ReadSlice(&budget);
        if (!done_) AnswerSlice(ready);
      } else if (!ids_closed_) {
        // By-id and by-type entries never share a chunk.
        if (response_.objects_size() > 0) CloseChunk(ready);
        ids_closed_ = true;
      } else if (next_type_ < lists_.type_prefixes.size()) {
        if (paused()) break;
        ReadTypeRecords(&budget, ready);
      } else {
        if (response_.objects_size() > 0) CloseChunk(ready);
        End(Status::OK());
      }
    }
    return done_;
  }

 private:
  // Reads the ids from next_id_ on whose keys were not asked for before, at
  // most *budget of them, in key order in one forward pass, so that the
  // deleted records between them are stepped over once. The bodies read wait
  // in read_ until answered in selector order. Once they and the chunk being
  // filled pass a chunk's size, the slice ends before its last body read in
  // selector order, which is dropped and read again by the next slice.
  void ReadSlice(size_t* budget) {
    std::vector<size_t> to_read;  // selector positions
    std::unordered_set<std::string_view> seen;
    slice_end_ = next_id_;
    for (; slice_end_ < lists_.id_keys.size(); ++slice_end_) {
      const std::string& key = lists_.id_keys[slice_end_];
      if (returned_.count(key) > 0 || seen.count(key) > 0) continue;
      if (to_read.size() == *budget) break;
      seen.insert(key);
      to_read.push_back(slice_end_);
    }
    std::sort(to_read.begin(), to_read.end(),
              [this](size_t a, size_t b) { return lists_.id_keys[a] < lists_.id_keys[b]; });
    bool positioned = false;
    for (const size_t position : to_read) {
      if (position >= slice_end_) continue;
      const std::string& key = lists_.id_keys[position];
      --*budget;
      // Unless it must move forward, the iterator stands on the first live
      // record at or past `key`: every key read before is smaller, and each
      // read ends within or just past its object's records. Once it has run
      // off the end, nothing further is stored.
      if (!positioned || (iterator_->Valid() && iterator_->key_view().compare(key) < 0)) {
        iterator_->Seek(key);
        positioned = true;
      }
      std::string value;
      for (; iterator_->Valid(); iterator_->Next()) {
        // Compared in place: the next key may be long.
        if (!iterator_->key_view().starts_with(key)) break;
        std::string record_key = iterator_->key();
        if (KeepInVdb(schema_, vdb_id_, &record_key)) {
          value = iterator_->value();
          break;
        }
      }
      if (!CheckRead(key)) return;
      if (value.empty()) continue;
      read_bytes_ += value.size();
      read_.emplace(position, std::move(value));
      while (bytes_ + read_bytes_ > GetProcessor::kMaxChunkBytes &&
             read_.rbegin()->first > next_id_) {
        auto last = std::prev(read_.end());
        slice_end_ = last->first;
        read_bytes_ -= last->second.size();
        read_.erase(last);
      }
    }
  }

  // Answers the slice's ids in selector order until it is answered or a
  // chunk is complete; a key asked for before is answered once.
  void AnswerSlice(std::vector<tx::GetResponseMsg>* ready) {
    const size_t ready_before = ready->size();
    while (next_id_ < slice_end_ && ready->size() == ready_before) {
      const size_t position = next_id_++;
      if (!returned_.insert(lists_.id_keys[position]).second) continue;
      std::string value;
      auto read = read_.find(position);
      if (read != read_.end()) {
        value = std::move(read->second);
        read_bytes_ -= value.size();
        read_.erase(read);
      }
      AppendEntry(lists_.id_pairs[position].first, std::move(value), ready);
    }
  }

  // Reads records of the current type until the budget or a chunk runs
  // out; a type asked for before is skipped whole.
  void ReadTypeRecords(size_t* budget, std::vector<tx::GetResponseMsg>* ready) {
    const std::string& prefix = lists_.type_prefixes[next_type_];
    const std::string& type = lists_.type_names[next_type_];
    if (!in_type_) {
      // A type prefix is shorter than every key of its type, so it names
      // the type alone.
      if (!returned_.insert(prefix).second) {
        ++next_type_;
        return;
      }
      iterator_->Seek(prefix);
      in_type_ = true;
      type_had_records_ = false;
      last_key_.clear();
    }
    const size_t ready_before = ready->size();
    for (; iterator_->Valid(); iterator_->Next()) {
      if (*budget == 0 || ready->size() != ready_before) return;
      if (!iterator_->key_view().starts_with(prefix)) break;
      std::string key = iterator_->key();
      --*budget;
      if (!KeepInVdb(schema_, vdb_id_, &key)) continue;
      type_had_records_ = true;
      // Records of one object are adjacent, their keys differing in the
      // vdb suffix alone.
      if (key == last_key_ || returned_.count(key) > 0) continue;
      last_key_ = std::move(key);
      AppendEntry(type, iterator_->value(), ready);
    }
    if (!CheckRead(prefix)) return;
    in_type_ = false;
    ++next_type_;
    if (!type_had_records_) AppendEntry(type, std::string(), ready);
    if (response_.ByteSizeLong() > GetProcessor::kMaxChunkBytes) CloseChunk(ready);
  }

  // Appends the entry of `type` with `value` moved in as its body (none
  // when empty), closing the chunk once its stored bytes pass the limit.
  void AppendEntry(const std::string& type, std::string value,
                   std::vector<tx::GetResponseMsg>* ready) {
    tx::TypedObjectMsg* entry = response_.add_objects();
    schema_.types().SetObjectType(type, entry);
    if (value.empty()) return;
    bytes_ += value.size();
    // Values written with a marker byte carry it first; the body starts after.
    if (value[0] == '\0') value.erase(0, 1);
    entry->set_object_body(std::move(value));
    if (bytes_ > GetProcessor::kMaxChunkBytes) CloseChunk(ready);
  }

  void CloseChunk(std::vector<tx::GetResponseMsg>* ready) {
    ready->push_back(std::move(response_));
    response_.Clear();
    bytes_ = 0;
  }

  // False, ending the read, when the iterator stopped on a failure while
  // reading the records under `prefix`.
  bool CheckRead(const std::string& prefix) {
    const DbAccessStatus read = iterator_->status();
    if (read.ok()) return true;
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0104", "PrefixFilter() failed on prefix '%s': %s",
               Printable(prefix).c_str(), read.message.c_str());
    End(read.ToStatus());
    return false;
  }

  void End(Status status) {
    done_ = true;
    status_ = std::move(status);
    iterator_.reset();
    response_.Clear();
    lists_ = GetReadLists();
    returned_ = std::unordered_set<std::string>();
    read_ = std::map<size_t, std::string>();
    read_bytes_ = 0;
  }

  const Schema& schema_;
  const VdbId vdb_id_;
  GetReadLists lists_;
  boost::shared_ptr<DbAccess::IteratorImpl> iterator_;
  size_t next_id_ = 0;    // the next id to answer
  size_t slice_end_ = 0;  // the ids before it are read
  // The bodies read of ids not yet answered, by selector position, and
  // their bytes.
  std::map<size_t, std::string> read_;
  size_t read_bytes_ = 0;
  bool ids_closed_ = false;
  size_t next_type_ = 0;
  bool in_type_ = false;  // the iterator is within type next_type_
  bool type_had_records_ = false;
  std::string last_key_;  // the type's last object returned, without suffix
  // Id keys and type prefixes read so far.
  std::unordered_set<std::string> returned_;
  tx::GetResponseMsg response_;  // the chunk being filled
  size_t bytes_ = 0;             // its stored bytes
  bool done_ = false;
};

}  // namespace

Status GetProcessor::ProcessGetObjectRequest(const std::string& client_id,
                                             const Selectors& selectors,
                                             GetReadLists* lists) const {
  for (const tx::TypedObjectMsg& selector : selectors) {
    const std::string type = schema_->types().GetObjectType(&selector);
    std::string prefix;
    if (type.empty() || !MakeObjectTypeKeyPrefix(*schema_, type, &prefix)) {
      return Status::InvalidArgument("Unrecognized object type " + orv::proto::ToString(selector));
    }
    if (!schema_->permissions().HasReadPermission(client_id, type)) {
      return Status::PermissionDenied(client_id + " does not have read permission for " + type);
    }
    if (!selector.has_object_body()) {
      lists->type_names.push_back(type);
      lists->type_prefixes.push_back(std::move(prefix));
      continue;
    }
    std::string id = schema_->keys().GetKeyFromSerialized(type, selector.object_body());
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
                                       GetReadLists* lists) const {
  Status status = ProcessGetObjectRequest(client_id, selectors, lists);
  if (!status.ok()) return status;
  if (lists->type_names.empty() && lists->id_pairs.empty()) {
    return Status::InvalidArgument("Missing object request for GET request");
  }
  return Status::OK();
}

std::unique_ptr<GetProcessor::Read> GetProcessor::GetObjects(GetReadLists&& lists,
                                                             VdbId vdb_id) const {
  return std::make_unique<GetObjectsRead>(*schema_, db_access_, std::move(lists), vdb_id);
}

}  // namespace tarnix

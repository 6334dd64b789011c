#ifndef TARNIX_QUERY_GET_PROCESSOR_H_
#define TARNIX_QUERY_GET_PROCESSOR_H_

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "util/status.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"

namespace tarnix {

class Schema;

// What one Get reads, in selector order. The lists of a pair have the same
// length and are read position by position.
struct GetReadLists {
  // Selectors without body: the full type name and the type's key prefix.
  std::vector<std::string> type_names;
  std::vector<std::string> type_prefixes;
  // Selectors with body: (type name, object id) and the record key without
  // vdb suffix.
  std::vector<std::pair<std::string, std::string>> id_pairs;
  std::vector<std::string> id_keys;
  // Per id key: the stored value of the object's record in the vdb, "" when
  // the vdb holds none or the key came earlier in the list.
  std::vector<std::string> id_values;
  // Per type prefix: the type's records in the vdb, in key order, each key
  // without its vdb suffix; none when the prefix came earlier in the list.
  std::vector<DbAccess::Records> type_records;
};

// Get: objects of one vdb by id and by type, read from one storage snapshot
// and cut into response chunks. Holds no state between calls; runs on the
// RPC event-loop thread.
class GetProcessor {
 public:
  using Selectors = google::protobuf::RepeatedPtrField<caldek::orv::tarnix::TypedObjectMsg>;

  // A chunk is closed once the bodies put into it exceed this many bytes.
  static constexpr size_t kMaxChunkBytes = 999999;

  // Neither is owned; both must outlive the processor.
  GetProcessor(const Schema* schema, DbAccess* db_access)
      : schema_(schema), db_access_(db_access) {}

  // Checks each selector in order and appends its type or id entries; the
  // first failure ends the walk and is returned, the lists keeping what the
  // selectors before it appended: INVALID_ARGUMENT "Unrecognized object type
  // <selector>", PERMISSION_DENIED "<client> does not have read permission
  // for <type>", INVALID_ARGUMENT "Unable to extract id for object type
  // <selector>" for a body without a usable key.
  Status ProcessGetObjectRequest(const std::string& client_id, const Selectors& selectors,
                                 GetReadLists* lists) const;

  // ProcessGetObjectRequest, then reads on one snapshot what `vdb_id` holds
  // of each selected object and type (see GetReadLists), each distinct key
  // and type once, decoding each record key once. INVALID_ARGUMENT
  // "Missing object request for GET request" without selectors; a storage
  // failure as DbAccessStatus::ToStatus makes it. A record whose key does not
  // decode is skipped after an ERROR line. REQUIRES: `vdb_id` is in use.
  Status ProcessGetRequest(const std::string& client_id, const Selectors& selectors, VdbId vdb_id,
                           GetReadLists* lists) const;

  // The response chunks of a successful read: first the by-id entries, then
  // the by-type ones (never in one chunk), each object at most once. An
  // entry with a type and no body means the vdb holds nothing of that id or
  // type. A stored body loses a leading 0x00 byte but counts it in the
  // chunk size. The stored values move into the entries and the lists are
  // released on return, so a large read is held once, not twice.
  std::vector<caldek::orv::tarnix::GetResponseMsg> GetObjects(GetReadLists&& lists) const;

 private:
  using ObjectSet = std::unordered_set<std::string>;
  using Chunks = std::vector<caldek::orv::tarnix::GetResponseMsg>;

  void GetObjectsById(GetReadLists* lists, ObjectSet* returned, Chunks* out) const;
  void GetObjectsByType(GetReadLists* lists, ObjectSet* returned, Chunks* out) const;
  // Appends the entry of `type` with `value` moved in as its body (none when
  // empty); returns the stored length, which the chunk limit counts.
  size_t AppendEntry(const std::string& type, std::string&& value,
                     caldek::orv::tarnix::GetResponseMsg* response) const;

  const Schema* const schema_;
  DbAccess* const db_access_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_GET_PROCESSOR_H_

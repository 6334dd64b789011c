#ifndef TARNIX_QUERY_GET_PROCESSOR_H_
#define TARNIX_QUERY_GET_PROCESSOR_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "query/chunked_read.h"
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
};

// Get: objects of one vdb by id and by type, read from one storage snapshot
// and cut into response chunks as they are asked for. Holds no state
// between calls; runs on the RPC event-loop thread.
class GetProcessor {
 public:
  using Selectors = google::protobuf::RepeatedPtrField<caldek::orv::tarnix::TypedObjectMsg>;
  using Read = ChunkedRead<caldek::orv::tarnix::GetResponseMsg>;

  // A chunk is closed once the bodies put into it exceed this many bytes.
  static constexpr size_t kMaxChunkBytes = 999999;

  // Neither is owned; both must outlive the processor and its reads.
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

  // ProcessGetObjectRequest, then INVALID_ARGUMENT "Missing object request
  // for GET request" when there was no selector.
  Status ProcessGetRequest(const std::string& client_id, const Selectors& selectors,
                           GetReadLists* lists) const;

  // The read of what `vdb_id` holds of each object and type of `lists`, on
  // a snapshot taken now. Its chunks: first the by-id entries, then the
  // by-type ones (never in one chunk), each object at most once, each
  // distinct key and type read once. An entry with a type and no body
  // means the vdb holds nothing of that id or type. A stored body loses a
  // leading 0x00 byte but counts it in the chunk size. A record whose key
  // does not decode is skipped after an ERROR line; a storage failure ends
  // the read with the status DbAccessStatus::ToStatus makes. Every id
  // looked up and every record of a type counts as one record of a step.
  // The ids of a step are looked up in key order, seeking only forward, so
  // that the deleted records between them are stepped over once; the bodies
  // read and the chunk being filled stay within about a chunk's size.
  // REQUIRES: `lists` passed ProcessGetRequest; `vdb_id` is in use.
  std::unique_ptr<Read> GetObjects(GetReadLists&& lists, VdbId vdb_id) const;

 private:
  const Schema* const schema_;
  DbAccess* const db_access_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_GET_PROCESSOR_H_

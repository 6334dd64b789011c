#ifndef TARNIX_WRITE_ENTRY_SCOPE_H_
#define TARNIX_WRITE_ENTRY_SCOPE_H_

#include <cstddef>
#include <string>

#include <google/protobuf/message.h>
#include <google/protobuf/repeated_field.h>

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "schema/vdb_id_set.h"
#include "util/status.h"

namespace tarnix {

class ChildRecordCache;
class DbAccess;
class KeyReader;
class RequestProcessor;
class Schema;
class VDbRegistry;

// What every entry step of one write stream shares, and the checks each
// starts with. Borrowed parts outlive the stream's preprocessing. Runs on
// the RPC event-loop thread.
struct EntryScope {
  using VdbIdList = google::protobuf::RepeatedField<uint32_t>;

  // The longest object key a write may name. Longer keys cost every read
  // that passes near them, so one client could hold up the loop for all.
  static constexpr size_t kMaxKeyBytes = 65536;
  // The refusal of an entry whose object type is missing or not in the
  // schema.
  static constexpr const char* kNoObjectType = "object type missing or not in the schema";

  // The object an entry names, as its checks found it.
  struct NamedObject {
    std::string type;
    std::string id;
  };

  // The type of an entry's message, or "" when it names none the schema
  // knows.
  std::string TypeOf(const google::protobuf::Message& message) const;
  // PERMISSION_DENIED "<client> does not have write permission for <type>."
  // unless the client may write `type` or the server writes for itself.
  Status CheckWritePermission(const std::string& type) const;
  // The prologue of every entry that names one object: `shape` (the entry's
  // validation) must be OK; then the type of `object` (INVALID_ARGUMENT
  // kNoObjectType when it has none the schema knows), the client's write
  // permission for it, and the id read from the serialized `body`. An id
  // over kMaxKeyBytes is INVALID_ARGUMENT. No id is INVALID_ARGUMENT with
  // `missing_id`, or when that is null "Unable to extract id for object
  // type " and `object` as text.
  Status Name(const Status& shape, const google::protobuf::Message& object,
              const std::string& body, const char* missing_id, NamedObject* named) const;
  // Replaces *vdb_ids with `ids` unless that is empty: INVALID_ARGUMENT
  // "invalid vdb id" for an id above 65535, FAILED_PRECONDITION "vdb_id=<id>
  // not found" for one not in use but deleting_vdb (*vdb_ids then holds the
  // ids before it).
  Status ValidateVdbIds(const VdbIdList& ids, VdbIdSet* vdb_ids) const;

  const Schema* schema;
  DbAccess* db;
  const VDbRegistry* vdbs;
  const std::string& client_id;
  RequestProcessor* processor;
  ChildRecordCache* cache;  // the stream's objects, for recursive deletes
  KeyReader* keys;          // reads the ids of the entries' objects
  // The server's own transactions (only ever flushes) write any type.
  // FlushByBlockId and recursive deletes still read client_id's types.
  bool skip_permission;
  VdbId deleting_vdb;       // a closed vdb the entries may name: the one deleted (0: none)
  bool in_modify = false;   // the entry is part of a Modify entry
};

// An entry's span context, or null when it carries none.
template <class Entry>
const caldek::orv::tarnix::SpanContextMsg* SpanOf(const Entry& entry) {
  return entry.has_span_context() ? &entry.span_context() : nullptr;
}

}  // namespace tarnix

#endif  // TARNIX_WRITE_ENTRY_SCOPE_H_

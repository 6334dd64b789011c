#ifndef TARNIX_QUERY_QUERY_PROCESSOR_H_
#define TARNIX_QUERY_QUERY_PROCESSOR_H_

#include <memory>
#include <string>
#include <vector>

#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "query/chunked_read.h"
#include "query/query_scan.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "util/status.h"

namespace tarnix {

class Schema;

// Query: the objects of one type in one vdb that a where clause matches,
// cut to a selection, in key order or sorted, packed into response chunks.
// Holds no state between calls; runs on the RPC event-loop thread.
class QueryProcessor {
 public:
  // A chunk is closed once the bodies put into it exceed this many bytes.
  static constexpr size_t kMaxChunkBytes = 999999;

  // Neither is owned; both must outlive the processor.
  QueryProcessor(const Schema* schema, DbAccess* db_access)
      : schema_(schema), scan_(schema, db_access) {}

  QueryProcessor(const QueryProcessor&) = delete;
  QueryProcessor& operator=(const QueryProcessor&) = delete;

  using Read = ChunkedRead<caldek::orv::tarnix::QueryResponseMsg>;

  // Checks the statement of `request` in this order and, when it passes,
  // sets *read to the query for `client_id` over `vdb_id`, on a snapshot
  // taken at its first step. Refusals, each logged as the text says: INVALID_ARGUMENT
  // "ObjectSelectionMsg not provided", "Unrecognized object type
  // <statement>", PERMISSION_DENIED "<client> does not have read
  // permission for <type>", the sort order's refusal
  // (QueryScan::ValidateSortByMsg), INVALID_ARGUMENT "where clause not
  // provided", "op_msg not provided", "value not provided", or
  // DecodeWhereMsg's refusal. Only the first where clause is used. Absent
  // or empty selection bytes, and bytes that do not parse, select the whole
  // object. The read ends with the scan's status (see QueryScan::Cursor);
  // its chunks hold a little over kMaxChunkBytes of bodies at most, made
  // as they are asked for, and a query that matched nothing gives one
  // empty chunk.
  // The read refers to this processor, which must outlive it.
  // REQUIRES: the caller authenticated `client_id` and `vdb_id` is in use.
  Status QueryImpl(const std::string& client_id,
                   const caldek::orv::tarnix::QueryRequestMsg& request, VdbId vdb_id,
                   std::unique_ptr<Read>* read) const;

  // Decodes a where clause of type `type_name` into *op (its op message,
  // `op_msg`) and *value (its value message, `value`); absent bytes decode
  // to an empty message. INVALID_ARGUMENT, logged, when the type or its op
  // type is unknown ("Unknown object type <type> while decoding WhereMsg",
  // "Unknown op message type <op type> while decoding WhereMsg") or the
  // bytes do not parse ("Invalid op_msg while decoding WhereMsg", "Invalid
  // value while decoding WhereMsg").
  Status DecodeWhereMsg(const std::string& type_name,
                        const caldek::orv::tarnix::WhereMsg& where,
                        std::shared_ptr<TarnixObject>* op,
                        std::shared_ptr<TarnixObject>* value) const;

  const QueryScan& scan() const { return scan_; }

 private:
  const Schema* const schema_;
  const QueryScan scan_;
};

}  // namespace tarnix

#endif  // TARNIX_QUERY_QUERY_PROCESSOR_H_

#ifndef TARNIX_WRITE_UPDATE_REQUEST_H_
#define TARNIX_WRITE_UPDATE_REQUEST_H_

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/unordered_map.hpp>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

// An object body shared, never copied, between the request that carried it,
// its pending operation, the working records and the change records.
using ObjectBody = TarnixObject::Body;
// A tracing context shared by the operations and change records of the
// entries that carried it; null when the request carried none.
using SharedSpan = std::shared_ptr<const caldek::orv::tarnix::SpanContextMsg>;

// One pending write operation on one object.
struct UpdateRequest {
  enum Type : uint32_t { NONE = 0, PUT = 1, DELETE = 2, PATCH = 3, COPY = 4 };
  // (serialised object value, serialised op message)
  using Patch = std::pair<std::string, std::string>;

  ObjectBody body;               // PUT only
  std::vector<Patch> patch_ops;  // PATCH: exactly one
  VdbId src_vdb_id = 0;          // COPY only
  Type type = NONE;
  SharedSpan span_context;

  // What the delta computation reads of a pending operation: its patches and
  // how many operations of each kind it stands for (one entry is one
  // operation, never a merge of several).
  const std::vector<Patch>& patches() const { return patch_ops; }
  uint32_t put_count() const { return type == PUT ? 1 : 0; }
  uint32_t delete_count() const { return type == DELETE ? 1 : 0; }
  uint32_t patch_count() const { return type == PATCH ? 1 : 0; }
  uint32_t copy_count() const { return type == COPY ? 1 : 0; }
};

// An operation and the vdbs it still applies to. Coalescing narrows vdb_ids
// in place.
struct PendingOperation {
  VdbIdSet vdb_ids;
  UpdateRequest request;
};
// An object's operations in arrival order; most objects have one, held
// without an allocation of its own.
using PendingRequestList = boost::container::small_vector<PendingOperation, 1>;

// (full object type name, object id bytes)
using ObjectKey = std::pair<std::string, std::string>;

// The processed operations of a Modify transaction per object, which it
// hands to notification.
using TransactionRequestTable = boost::unordered_map<ObjectKey, PendingRequestList>;

}  // namespace tarnix

#endif  // TARNIX_WRITE_UPDATE_REQUEST_H_

#ifndef TARNIX_WRITE_UPDATE_RECORD_H_
#define TARNIX_WRITE_UPDATE_RECORD_H_

#include <optional>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

// One committed change of one object in the vdbs `vdb_ids`, as statistics and
// notification see it. A created object's old_object has no body; a deleted
// one has no new_object.
struct UpdateRecord {
  TarnixObject new_object;
  TarnixObject old_object;
  VdbIdSet vdb_ids;
  // The tracing context of the request that caused the change, if any.
  std::optional<caldek::orv::tarnix::SpanContextMsg> span_context;
};

}  // namespace tarnix

#endif  // TARNIX_WRITE_UPDATE_RECORD_H_

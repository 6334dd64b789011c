#ifndef TARNIX_WRITE_UPDATE_RECORD_H_
#define TARNIX_WRITE_UPDATE_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>

#include <boost/unordered_map.hpp>

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

// How a transaction changes the stored records of one object type: their
// number and the sum of their stored value lengths.
struct RecordCountChange {
  int64_t records = 0;
  int64_t bytes = 0;
};
// Object type name -> the change of its stored records.
using RecordCountChanges = boost::unordered_map<std::string, RecordCountChange>;

}  // namespace tarnix

#endif  // TARNIX_WRITE_UPDATE_RECORD_H_

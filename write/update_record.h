#ifndef TARNIX_WRITE_UPDATE_RECORD_H_
#define TARNIX_WRITE_UPDATE_RECORD_H_

#include <cstdint>
#include <memory>
#include <string>

#include <boost/unordered_map.hpp>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/object.h"
#include "schema/vdb_id_set.h"
#include "write/update_request.h"

namespace tarnix {

// A string shared between the change records that name it.
using SharedString = std::shared_ptr<const std::string>;

// One committed change of one object in the vdbs `vdb_ids`, as statistics and
// notification see it. The records of one object share its type name and
// id, and the bodies are those of the request or the store, never copies. A
// created object has no old body, a deleted one no new body; a record
// without a type and id is empty.
struct UpdateRecord {
  SharedString type;
  SharedString id;
  ObjectBody new_body;
  ObjectBody old_body;
  VdbIdSet vdb_ids;
  // The tracing context of the request that caused the change, if any.
  SharedSpan span_context;

  // The object after and before the change (type, id and body; empty
  // without a body).
  TarnixObject new_object() const { return ObjectOf(new_body); }
  TarnixObject old_object() const { return ObjectOf(old_body); }

 private:
  TarnixObject ObjectOf(const ObjectBody& body) const {
    if (!body || !type || !id) return TarnixObject();
    return TarnixObject(*type, *id, body);
  }
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

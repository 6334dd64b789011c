#include "query/selection.h"

#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;

bool Selection::ParseSelectMsg(const pb::Message*, bool) const { return false; }

void Selection::ApplySelectionOnSet(const pb::Message*, pb::Message*, pb::Message*) const {}

void Selection::ApplySelectionOnDelete(bool, const pb::Message*, pb::Message*, pb::Message*,
                                       pb::Message*) const {}

bool Selection::ApplyOpToNestedSelfFields(const pb::Message*,
                                          caldek::orv::tarnix::OpMsg_Operation, pb::Message*,
                                          pb::Message*) const {
  return false;
}

}  // namespace tarnix

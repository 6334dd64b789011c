#include "query/where_matcher.h"

#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;

bool WhereMatcher::MatchOpMsg(const pb::Message*, const pb::Message*, const pb::Message*,
                              const pb::Descriptor*) const {
  return false;
}

bool WhereMatcher::MatchField(const pb::Message&, const pb::Message*, const pb::Message*,
                              const pb::FieldDescriptor*) const {
  return false;
}

bool WhereMatcher::MatchSingularField(const pb::Message&, const pb::Message&,
                                      const pb::Message&, const pb::FieldDescriptor*) const {
  return false;
}

bool WhereMatcher::MatchRepeatedField(const pb::Message&, const pb::Message&,
                                      const pb::Message&, const pb::FieldDescriptor*) const {
  return false;
}

bool WhereMatcher::MatchMessageOp(const pb::Message&, const pb::Message*, const pb::Message*,
                                  const pb::Descriptor*) const {
  return false;
}

bool WhereMatcher::MatchNestedMessage(const pb::Message&, const pb::Message*,
                                      const pb::Message*, const pb::FieldDescriptor*) const {
  return false;
}

bool WhereMatcher::MessageHasSelfField(const pb::Message*) const { return true; }

bool WhereMatcher::WalkMessageFieldsRecursive(const pb::Message*) const { return false; }

const pb::Message* WhereMatcher::FindSelfOpMsg(const pb::Message*) const { return nullptr; }

}  // namespace tarnix

#ifndef TARNIX_MONITOR_SUBSCRIPTION_MODEL_H_
#define TARNIX_MONITOR_SUBSCRIPTION_MODEL_H_

// Test-only: a brute-force reference for subscription matching, written
// from the behaviour rather than from the subscription tree. It keeps every
// monitor's where clauses as they were sent and evaluates each clause
// against each changed object.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <google/protobuf/message.h>

#include "monitor/subscriber_set.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class Schema;

namespace subscription_test {

// The schema of testdata/watch_schema.proto (package monitor.test).
std::unique_ptr<Schema> LoadWatchSchema();
// A message of `type` ("monitor.test." prepended unless it holds a dot)
// parsed from protobuf text.
std::unique_ptr<google::protobuf::Message> Msg(const Schema& schema, const std::string& type,
                                               const std::string& text);

// Where a clause of one attribute leads in an object.
struct ClauseLeaf {
  int operation = 0;
  // The attribute the operation applies to.
  const google::protobuf::FieldDescriptor* field = nullptr;
  // The value message and the object at the attribute's level; the object
  // is null when it does not hold a message on the way, the value when the
  // value message does not.
  const google::protobuf::Message* value = nullptr;
  const google::protobuf::Message* object = nullptr;
  bool through_self = false;  // the operation is a "self" on a message
};

// The leaf of a clause that names one attribute (REQUIRES: `op` sets a
// field and CheckSubscription accepted the clause).
ClauseLeaf FindClauseLeaf(const Schema& schema, const google::protobuf::Message& op,
                          const google::protobuf::Message& value,
                          const google::protobuf::Message& object);

// Whether `object` satisfies the where clause (`op`, `value`) as a
// subscription watches it. REQUIRES: CheckSubscription accepted the clause.
//
// A clause without op message, without a set field or without value
// message watches every object. Otherwise the object must hold every
// attribute on the clause's path; then EXISTS holds, EQUALS and NOT_EQUALS
// compare a singular value, a whole list in order, or a whole message by
// its deterministic bytes, CONTAINS_ANY and CONTAINS_ALL compare the sets
// of elements. Values compare as IEEE does (NaN equals nothing).
bool ClauseMatches(const Schema& schema, const google::protobuf::Message* op,
                   const google::protobuf::Message* value, const google::protobuf::Message& object);

// Monitors, their vdbs and their clauses, as the engine should hold them.
// A clause lives in the vdb its monitor watched when it was added.
class SubscriptionModel {
 public:
  // (type, op body, value body): a clause as the engine's key names it.
  using Clause = std::tuple<std::string, std::string, std::string>;

  explicit SubscriptionModel(const Schema* schema) : schema_(schema) {}

  void AddMonitor(const std::string& monitor_id, VdbId vdb_id);
  // The monitor watches `vdb_id` from now on; its clauses stay where they are.
  void MoveMonitor(const std::string& monitor_id, VdbId vdb_id);
  void RemoveMonitor(const std::string& monitor_id);
  // Adding a clause twice to one vdb keeps one.
  void AddClause(const std::string& monitor_id, const Clause& clause);
  // The clause in the vdb the monitor watches.
  void RemoveClause(const std::string& monitor_id, const Clause& clause);
  // Every clause of the type, in every vdb.
  void RemoveType(const std::string& monitor_id, const std::string& object_type);
  // The monitors with a clause of `object_type` in one of `vdb_ids` that
  // `object` satisfies.
  MonitorIdSet Match(const std::string& object_type, const google::protobuf::Message& object,
                     const VdbIdSet& vdb_ids) const;

  // The monitor's clauses in the vdb it watches.
  std::vector<Clause> Clauses(const std::string& monitor_id) const;
  std::vector<std::string> Monitors() const;

 private:
  struct Monitor {
    VdbId vdb_id = 0;
    std::set<std::pair<VdbId, Clause>> clauses;
  };

  const Schema* const schema_;
  std::map<std::string, Monitor> monitors_;
};

}  // namespace subscription_test
}  // namespace tarnix

#endif  // TARNIX_MONITOR_SUBSCRIPTION_MODEL_H_

#ifndef TARNIX_MONITOR_MONITOR_SUBSCRIPTION_INDEX_H_
#define TARNIX_MONITOR_MONITOR_SUBSCRIPTION_INDEX_H_

#include <cstddef>
#include <string>
#include <unordered_map>

#include <google/protobuf/message.h>

#include "metrics/metric.h"
#include "monitor/subscriber_set.h"
#include "monitor/subscriptions_sharing_attribute.h"
#include "schema/vdb_id_set.h"

namespace tarnix {

class Schema;

// One subscription of a monitor: its object type and the texts of its where
// predicate (both empty for a whole-type subscription).
struct SubscriptionKey {
  std::string object_type;
  SubscriptionText text;

  bool operator==(const SubscriptionKey& other) const {
    return object_type == other.object_type && text == other.text;
  }
};

// Combines the three strings in order, so that moving bytes from one field
// to the next gives another hash.
struct SubscriptionKeyHash {
  size_t operator()(const SubscriptionKey& key) const;
};

// The subscriptions of all monitors of one vdb on one object type: the
// whole-type subscribers, and one subscription tree per top-level attribute
// that some predicate names. Gauges in the metrics registry count its
// (monitor, subscriber set) registrations: "server/monitor/<vdb>/<type>/
// by_type" and ".../by_attribute"; ".../get_latency" times each match.
//
// Every operation that changes registrations takes the monitor's own count
// of them, which moves with the gauges. Not thread-safe.
class MonitorSubscriptionIndex {
 public:
  // Finds or creates the three metrics in `registry` (not owned; it
  // outlives the index). Throws std::runtime_error when a name holds a
  // counter of another kind.
  MonitorSubscriptionIndex(const std::string& object_type, VdbId vdb_id,
                           orv::metrics::MetricRegistry* registry);
  MonitorSubscriptionIndex(const MonitorSubscriptionIndex&) = delete;
  MonitorSubscriptionIndex& operator=(const MonitorSubscriptionIndex&) = delete;

  // Subscribes the monitor: to the whole type when `op` or `value` is null
  // or `op` sets no field, else to the one predicate `op` names, stored
  // under key.text. True also when the monitor already had it. False, after
  // one error line and with nothing left behind, when `op` sets several
  // fields or its predicate is not of a shape the tree stores.
  bool AddTypeOrAttributeSubscription(const Schema& schema, const std::string& monitor_id,
                                      const google::protobuf::Message* op,
                                      const google::protobuf::Message* value,
                                      const SubscriptionKey& key, size_t* monitor_registrations);

  // Removes what AddTypeOrAttributeSubscription added for the same op and
  // value messages. key->text names the text to take out where the monitor
  // holds several for one predicate; on success it becomes the text
  // removed. False, after one error line and with nothing changed, when the
  // monitor has no such subscription.
  bool DeleteTypeOrAttributeSubscription(const Schema& schema, const std::string& monitor_id,
                                         const google::protobuf::Message* op,
                                         const google::protobuf::Message* value,
                                         SubscriptionKey* key, size_t* monitor_registrations);

  // Adds to *monitors the whole-type subscribers and every monitor with a
  // predicate that `object` (may be null: then only the former) satisfies.
  // Attributes the object does not hold are not visited.
  void GetMatchingMonitors(const Schema& schema, const google::protobuf::Message* object,
                           MonitorIdSet* monitors) const;
  // The same as subscriber sets and monitors, without collecting them into
  // one set: equal lists name equal monitors.
  void GetMatchingSubscribers(const Schema& schema, const google::protobuf::Message* object,
                              MatchedSubscribers* matched) const;

  // Takes the monitor out of every subscriber set, pruning what is left
  // empty; returns the number of sets it was in.
  size_t RemoveMonitor(const std::string& monitor_id, size_t* monitor_registrations);

  bool IsEmpty() const { return type_subscribers_.IsEmpty() && attribute_subscriptions_.empty(); }

 private:
  SubscriberSet type_subscribers_;
  std::unordered_map<std::string, SubscriptionsSharingAttribute> attribute_subscriptions_;
  metrics::UnitMetric by_type_;
  metrics::UnitMetric by_attribute_;
  metrics::LatencyMetric get_latency_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_MONITOR_SUBSCRIPTION_INDEX_H_

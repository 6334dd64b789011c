#ifndef TARNIX_MONITOR_SUBSCRIPTIONS_SHARING_ATTRIBUTE_H_
#define TARNIX_MONITOR_SUBSCRIPTIONS_SHARING_ATTRIBUTE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "monitor/contains_all_subscriptions.h"
#include "monitor/not_equals_subscriptions.h"
#include "monitor/subscriber_set.h"
#include "monitor/subscription_predicate.h"
#include "schema/attribute_value.h"

namespace tarnix {

class Schema;

// The predicates of all monitors on one attribute at one nesting level,
// sorted by operation and operand, so that matching an object takes a few
// hash lookups instead of one evaluation per where clause. Predicates on
// the fields of a message attribute live in child nodes.
//
// An entry, child or trie node left without subscribers is removed at once.
// Not thread-safe: the monitor engine runs on the event-loop thread.
class SubscriptionsSharingAttribute {
 public:
  SubscriptionsSharingAttribute();
  SubscriptionsSharingAttribute(const SubscriptionsSharingAttribute&) = delete;
  SubscriptionsSharingAttribute& operator=(const SubscriptionsSharingAttribute&) = delete;

  // Stores the monitor's `predicate`, whose path starts with this node's
  // attribute, under `text`; the tally rises once for each subscriber set
  // the monitor is new in. A CONTAINS_ALL without elements is logged
  // (DRX0208) and stores nothing, not even a child node.
  void AddSubscription(const SubscriptionPredicate& predicate, const std::string& monitor_id,
                       const SubscriptionText& text, const RegistrationTally& tally);

  // Removes the monitor's `predicate`: the text *text when the monitor holds
  // it there, else the only one it holds for the same predicate; *text
  // becomes the text removed. False, after one error line and with nothing
  // changed, when the predicate is not stored for the monitor or the text
  // to remove is not clear.
  bool DeleteSubscription(const SubscriptionPredicate& predicate, const std::string& monitor_id,
                          SubscriptionText* text, const RegistrationTally& tally);

  // Adds to *matched the monitors of this node and below whose predicate
  // the object satisfies, or stops early once matched->done().
  // `object` is the object's message at this level and holds `field`,
  // which has this node's name. Values compare as IEEE does: a NaN equals
  // nothing and differs from everything.
  //
  // The cost is in the object's size and the monitors matched, not in
  // their predicates: a monitor with many NOT_EQUALS operands, or whose
  // many CONTAINS_ALL sets the object holds, is visited about once.
  void CollectMatchingMonitors(const Schema& schema, const google::protobuf::Message& object,
                               const google::protobuf::FieldDescriptor* field,
                               MatchedSubscribers* matched) const;

  // Takes the monitor out of every subscriber set of this node and below,
  // pruning what is left empty; returns the number of sets it was in.
  size_t RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally);

  bool IsEmpty() const;

 private:
  using ValueMap = AttributeValueHashMap<SubscriberSet>;
  using TextMap = std::unordered_map<std::string, SubscriberSet>;

  // The node of predicate.path below this one; created when `create`, null
  // (after the DRX0009 line) when missing.
  SubscriptionsSharingAttribute* Descend(const SubscriptionPredicate& predicate, bool create,
                                         std::vector<SubscriptionsSharingAttribute*>* nodes);
  bool DeleteContainsAny(const SubscriptionPredicate& predicate, const std::string& monitor_id,
                         SubscriptionText* text, const RegistrationTally& tally);
  void CollectRepeated(const google::protobuf::Message& object,
                       const google::protobuf::FieldDescriptor* field,
                       MatchedSubscribers* matched) const;
  void CollectMessage(const Schema& schema, const google::protobuf::Message& object,
                      const google::protobuf::FieldDescriptor* field,
                      MatchedSubscribers* matched) const;
  void CollectValue(const google::protobuf::Message& object,
                    const google::protobuf::FieldDescriptor* field,
                    MatchedSubscribers* matched) const;

  SubscriberSet subscribers_;                        // EXISTS
  ValueMap equals_;                                  // EQUALS on a singular attribute, by value
  NotEqualsSubscriptions<ValueMap> not_equals_;      // the same for NOT_EQUALS
  TextMap equals_list_;                              // EQUALS on a repeated attribute, by ListKey
  NotEqualsSubscriptions<TextMap> not_equals_list_;  // the same for NOT_EQUALS
  ValueMap contains_any_;                            // CONTAINS_ANY, one entry per element
  ContainsAllSubscriptions contains_all_;
  TextMap equals_message_;  // "self" EQUALS on a message attribute, by its bytes
  NotEqualsSubscriptions<TextMap> not_equals_message_;  // the same for NOT_EQUALS
  std::unordered_map<std::string, std::unique_ptr<SubscriptionsSharingAttribute>> nested_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_SUBSCRIPTIONS_SHARING_ATTRIBUTE_H_

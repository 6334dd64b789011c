#include "monitor/monitor_subscription_index.h"

#include <vector>

#include <boost/functional/hash.hpp>

#include "logging/logger.h"
#include "metrics/scoped_latency_timer.h"
#include "monitor/subscription_predicate.h"
#include "query/op_msg_fields.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr size_t kInitialBuckets = 16;

std::string MetricPrefix(const std::string& object_type, VdbId vdb_id) {
  return "server/monitor/" + std::to_string(vdb_id) + "/" + object_type + "/";
}

}  // namespace

size_t SubscriptionKeyHash::operator()(const SubscriptionKey& key) const {
  size_t seed = 0;
  boost::hash_combine(seed, key.object_type);
  boost::hash_combine(seed, key.text.operation());
  boost::hash_combine(seed, key.text.operand());
  return seed;
}

MonitorSubscriptionIndex::MonitorSubscriptionIndex(const std::string& object_type, VdbId vdb_id,
                                                   orv::metrics::MetricRegistry* registry)
    : attribute_subscriptions_(kInitialBuckets),
      by_type_(*registry, MetricPrefix(object_type, vdb_id) + "by_type"),
      by_attribute_(*registry, MetricPrefix(object_type, vdb_id) + "by_attribute"),
      get_latency_(*registry, MetricPrefix(object_type, vdb_id) + "get_latency") {}

bool MonitorSubscriptionIndex::AddTypeOrAttributeSubscription(
    const Schema& schema, const std::string& monitor_id, const pb::Message* op,
    const pb::Message* value, const SubscriptionKey& key, size_t* monitor_registrations) {
  const std::vector<const pb::FieldDescriptor*> fields =
      op != nullptr ? SetFields(*op) : std::vector<const pb::FieldDescriptor*>();
  if (value == nullptr || fields.empty()) {
    type_subscribers_.AddMonitor(monitor_id, key.text,
                                 RegistrationTally(by_type_.get(), monitor_registrations));
    TARNIX_LOG(orv::INFO, nullptr, "Subscription on type for  monitor_id %s added",
               monitor_id.c_str());
    return true;
  }
  if (fields.size() > 1) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "Add subscription for monitor id %s has morethan one field set", monitor_id.c_str());
    return false;
  }
  SubscriptionPredicate predicate;
  if (!ReadSubscriptionPredicate(schema, *op, fields[0], value, PredicateUse::kAdd, &predicate)) {
    return false;
  }
  auto tree = attribute_subscriptions_.try_emplace(fields[0]->name()).first;
  tree->second.AddSubscription(predicate, monitor_id, key.text,
                               RegistrationTally(by_attribute_.get(), monitor_registrations));
  // A CONTAINS_ALL without elements stores nothing.
  if (tree->second.IsEmpty()) attribute_subscriptions_.erase(tree);
  TARNIX_LOG(orv::INFO, nullptr, "Subscription on attribute %s for monitor_id %s added",
             fields[0]->name().c_str(), monitor_id.c_str());
  return true;
}

bool MonitorSubscriptionIndex::DeleteTypeOrAttributeSubscription(
    const Schema& schema, const std::string& monitor_id, const pb::Message* op,
    const pb::Message* value, SubscriptionKey* key, size_t* monitor_registrations) {
  const std::vector<const pb::FieldDescriptor*> fields =
      op != nullptr ? SetFields(*op) : std::vector<const pb::FieldDescriptor*>();
  if (op == nullptr || value == nullptr || fields.empty()) {
    const SubscriptionText wanted = key->text;
    if (!type_subscribers_.DeleteMonitor(
            monitor_id, wanted, &key->text,
            RegistrationTally(by_type_.get(), monitor_registrations))) {
      TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
                 op == nullptr || value == nullptr
                     ? "subscription on type %s for monitor id %s not  found"
                     : "subscription on type %s for monitor id %s not found",
                 key->object_type.c_str(), monitor_id.c_str());
      return false;
    }
    return true;
  }
  if (fields.size() > 1) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "Delete subscription for monitor id %s has morethan one field set",
               monitor_id.c_str());
    return false;
  }
  auto tree = attribute_subscriptions_.find(fields[0]->name());
  if (tree == attribute_subscriptions_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:ERR_SUBSCRIPTION_FAILED",
               "DeleteSubscription: no subscriptions found for attribute '%s' in object_type '%s'",
               fields[0]->name().c_str(), value->GetDescriptor()->full_name().c_str());
    return false;
  }
  SubscriptionPredicate predicate;
  if (!ReadSubscriptionPredicate(schema, *op, fields[0], value, PredicateUse::kDelete,
                                 &predicate) ||
      !tree->second.DeleteSubscription(
          predicate, monitor_id, &key->text,
          RegistrationTally(by_attribute_.get(), monitor_registrations))) {
    return false;
  }
  if (tree->second.IsEmpty()) attribute_subscriptions_.erase(tree);
  return true;
}

void MonitorSubscriptionIndex::GetMatchingMonitors(const Schema& schema, const pb::Message* object,
                                                   MonitorIdSet* monitors) const {
  MatchedSubscribers matched;
  GetMatchingSubscribers(schema, object, &matched);
  matched.ForEachMonitor(
      [monitors](const std::string& monitor_id) { monitors->insert(monitor_id); });
}

void MonitorSubscriptionIndex::GetMatchingSubscribers(const Schema& schema,
                                                      const pb::Message* object,
                                                      MatchedSubscribers* matched) const {
  metrics::ScopedLatencyTimer timer(get_latency_);
  matched->Add(type_subscribers_);
  if (attribute_subscriptions_.empty() || object == nullptr) return;
  for (const pb::FieldDescriptor* field : SetFields(*object)) {
    auto tree = attribute_subscriptions_.find(field->name());
    if (tree != attribute_subscriptions_.end()) {
      tree->second.CollectMatchingMonitors(schema, *object, field, matched);
    }
  }
}

size_t MonitorSubscriptionIndex::RemoveMonitor(const std::string& monitor_id,
                                               size_t* monitor_registrations) {
  size_t removed = type_subscribers_.RemoveMonitor(
                       monitor_id, RegistrationTally(by_type_.get(), monitor_registrations))
                       ? 1
                       : 0;
  const RegistrationTally by_attribute(by_attribute_.get(), monitor_registrations);
  for (auto tree = attribute_subscriptions_.begin(); tree != attribute_subscriptions_.end();) {
    removed += tree->second.RemoveMonitor(monitor_id, by_attribute);
    tree = tree->second.IsEmpty() ? attribute_subscriptions_.erase(tree) : std::next(tree);
  }
  return removed;
}

}  // namespace tarnix

#include "monitor/subscriptions_sharing_attribute.h"

#include <algorithm>
#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/logger.h"
#include "query/op_msg_fields.h"
#include "schema/wire_format.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

constexpr size_t kInitialBuckets = 16;

// EQUALS and CONTAINS_ANY; NotEqualsSubscriptions words its own.
void LogMonitorNotFound(const std::string& monitor_id) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
             "The subscription operation with OpMsg=EQUALS failed because a monitor with "
             "monitor_id %s was not found",
             monitor_id.c_str());
}

bool Holds(const SubscriberSet& set, const std::string& monitor_id, const SubscriptionText& text) {
  const SubscriberSet::Texts* texts = set.Find(monitor_id);
  return texts != nullptr && std::find(texts->begin(), texts->end(), text) != texts->end();
}

// Removes one text of the monitor from the entry of `key`, and the entry
// when it is left empty.
template <typename Map, typename Key>
bool DeleteFromEntry(Map* map, const Key& key, const std::string& monitor_id,
                     SubscriptionText* text, const RegistrationTally& tally) {
  auto entry = map->find(key);
  if (entry == map->end() || entry->second.Find(monitor_id) == nullptr) {
    LogMonitorNotFound(monitor_id);
    return false;
  }
  const SubscriptionText wanted = *text;
  if (!entry->second.DeleteMonitor(monitor_id, wanted, text, tally)) return false;
  if (entry->second.IsEmpty()) map->erase(entry);
  return true;
}

template <typename Map>
size_t RemoveFromEntries(Map* map, const std::string& monitor_id, const RegistrationTally& tally) {
  size_t removed = 0;
  for (auto entry = map->begin(); entry != map->end();) {
    if (entry->second.RemoveMonitor(monitor_id, tally)) ++removed;
    entry = entry->second.IsEmpty() ? map->erase(entry) : std::next(entry);
  }
  return removed;
}

// CONTAINS_ANY and CONTAINS_ALL of no element.
bool StoresNothing(const SubscriptionPredicate& predicate) {
  return predicate.elements.empty() && (predicate.target == PredicateTarget::kContainsAny ||
                                        predicate.target == PredicateTarget::kContainsAll);
}

template <typename Map, typename Key>
void CollectEntry(const Map& map, const Key& key, MatchedSubscribers* matched) {
  ++matched->visits;
  auto entry = map.find(key);
  if (entry != map.end()) matched->Add(entry->second);
}

}  // namespace

SubscriptionsSharingAttribute::SubscriptionsSharingAttribute()
    : equals_(kInitialBuckets),
      not_equals_(kInitialBuckets),
      equals_list_(kInitialBuckets),
      not_equals_list_(kInitialBuckets),
      contains_any_(kInitialBuckets),
      equals_message_(kInitialBuckets),
      not_equals_message_(kInitialBuckets),
      nested_(kInitialBuckets) {}

SubscriptionsSharingAttribute* SubscriptionsSharingAttribute::Descend(
    const SubscriptionPredicate& predicate, bool create,
    std::vector<SubscriptionsSharingAttribute*>* nodes) {
  SubscriptionsSharingAttribute* node = this;
  if (nodes != nullptr) nodes->push_back(node);
  for (size_t i = 1; i < predicate.path.size(); ++i) {
    auto child = node->nested_.find(predicate.path[i]);
    if (child == node->nested_.end()) {
      if (!create) {
        TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                   "The operation failed because a subscription for nested field %s was not "
                   "found",
                   predicate.path[i].c_str());
        return nullptr;
      }
      child = node->nested_
                  .emplace(predicate.path[i], std::make_unique<SubscriptionsSharingAttribute>())
                  .first;
    }
    node = child->second.get();
    if (nodes != nullptr) nodes->push_back(node);
  }
  return node;
}

void SubscriptionsSharingAttribute::AddSubscription(const SubscriptionPredicate& predicate,
                                                    const std::string& monitor_id,
                                                    const SubscriptionText& text,
                                                    const RegistrationTally& tally) {
  if (StoresNothing(predicate)) {
    // Not even the nodes on its path; CONTAINS_ALL says why.
    if (predicate.target == PredicateTarget::kContainsAll) {
      contains_all_.Add(predicate.elements, monitor_id, text, tally);
    }
    return;
  }
  SubscriptionsSharingAttribute* node = Descend(predicate, true, nullptr);
  const bool equals = predicate.operation != OpMsg::NOT_EQUALS;
  switch (predicate.target) {
    case PredicateTarget::kExists:
      node->subscribers_.AddMonitor(monitor_id, text, tally);
      break;
    case PredicateTarget::kValue:
      if (equals) {
        node->equals_[predicate.value].AddMonitor(monitor_id, text, tally);
      } else {
        node->not_equals_.Add(predicate.value, monitor_id, text, tally);
      }
      break;
    case PredicateTarget::kList:
      if (equals) {
        node->equals_list_[predicate.key].AddMonitor(monitor_id, text, tally);
      } else {
        node->not_equals_list_.Add(predicate.key, monitor_id, text, tally);
      }
      break;
    case PredicateTarget::kMessage:
      if (equals) {
        node->equals_message_[predicate.key].AddMonitor(monitor_id, text, tally);
      } else {
        node->not_equals_message_.Add(predicate.key, monitor_id, text, tally);
      }
      break;
    case PredicateTarget::kContainsAny:
      for (const AttributeValue& element : predicate.elements) {
        node->contains_any_[element].AddMonitor(monitor_id, text, tally);
      }
      break;
    case PredicateTarget::kContainsAll:
      node->contains_all_.Add(predicate.elements, monitor_id, text, tally);
      break;
  }
}

bool SubscriptionsSharingAttribute::DeleteSubscription(const SubscriptionPredicate& predicate,
                                                       const std::string& monitor_id,
                                                       SubscriptionText* text,
                                                       const RegistrationTally& tally) {
  if (StoresNothing(predicate) && predicate.target == PredicateTarget::kContainsAny) {
    return true;  // nothing was stored, so nothing is missing
  }
  std::vector<SubscriptionsSharingAttribute*> nodes;
  SubscriptionsSharingAttribute* node = Descend(predicate, false, &nodes);
  if (node == nullptr) return false;
  const bool equals = predicate.operation != OpMsg::NOT_EQUALS;
  const SubscriptionText wanted = *text;
  bool deleted = false;
  switch (predicate.target) {
    case PredicateTarget::kExists:
      deleted = node->subscribers_.DeleteMonitor(monitor_id, wanted, text, tally);
      break;
    case PredicateTarget::kValue:
      deleted = equals ? DeleteFromEntry(&node->equals_, predicate.value, monitor_id, text, tally)
                       : node->not_equals_.Delete(predicate.value, monitor_id, text, tally);
      break;
    case PredicateTarget::kList:
      deleted = equals
                    ? DeleteFromEntry(&node->equals_list_, predicate.key, monitor_id, text, tally)
                    : node->not_equals_list_.Delete(predicate.key, monitor_id, text, tally);
      break;
    case PredicateTarget::kMessage:
      deleted =
          equals ? DeleteFromEntry(&node->equals_message_, predicate.key, monitor_id, text, tally)
                 : node->not_equals_message_.Delete(predicate.key, monitor_id, text, tally);
      break;
    case PredicateTarget::kContainsAny:
      deleted = node->DeleteContainsAny(predicate, monitor_id, text, tally);
      break;
    case PredicateTarget::kContainsAll:
      deleted = node->contains_all_.Delete(predicate.elements, monitor_id, wanted, text, tally);
      break;
  }
  if (!deleted) return false;
  for (size_t i = nodes.size(); i-- > 1 && nodes[i]->IsEmpty();) {
    nodes[i - 1]->nested_.erase(predicate.path[i]);
  }
  return true;
}

bool SubscriptionsSharingAttribute::DeleteContainsAny(const SubscriptionPredicate& predicate,
                                                      const std::string& monitor_id,
                                                      SubscriptionText* text,
                                                      const RegistrationTally& tally) {
  std::vector<ValueMap::iterator> entries;
  for (const AttributeValue& element : predicate.elements) {
    auto entry = contains_any_.find(element);
    if (entry == contains_any_.end() || entry->second.Find(monitor_id) == nullptr) {
      LogMonitorNotFound(monitor_id);
      return false;
    }
    entries.push_back(entry);
  }
  // Entries of these elements may hold other CONTAINS_ANY predicates of
  // the monitor: take out the removal's own text, or else the one text
  // that stands for exactly these elements.
  auto held_in_all = [&](const SubscriptionText& candidate) {
    return std::all_of(entries.begin(), entries.end(), [&](ValueMap::iterator entry) {
      return Holds(entry->second, monitor_id, candidate);
    });
  };
  auto footprint = [&](const SubscriptionText& candidate) {
    return static_cast<size_t>(std::count_if(
        contains_any_.begin(), contains_any_.end(),
        [&](const auto& entry) { return Holds(entry.second, monitor_id, candidate); }));
  };
  SubscriptionText wanted = *text;
  if (!held_in_all(wanted)) {
    std::vector<const SubscriptionText*> same;
    for (const SubscriptionText& candidate : *entries.front()->second.Find(monitor_id)) {
      if (held_in_all(candidate) && footprint(candidate) == predicate.elements.size()) {
        same.push_back(&candidate);
      }
    }
    if (same.size() != 1) {
      LogMonitorNotFound(monitor_id);
      return false;
    }
    wanted = *same.front();
  }
  for (ValueMap::iterator entry : entries) {
    entry->second.DeleteMonitor(monitor_id, wanted, text, tally);
    if (entry->second.IsEmpty()) contains_any_.erase(entry);
  }
  return true;
}

void SubscriptionsSharingAttribute::CollectMatchingMonitors(const Schema& schema,
                                                            const pb::Message& object,
                                                            const pb::FieldDescriptor* field,
                                                            MatchedSubscribers* matched) const {
  matched->Add(subscribers_);
  if (matched->done()) return;
  if (field->is_repeated()) {
    CollectRepeated(object, field, matched);
  } else if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    CollectMessage(schema, object, field, matched);
  } else {
    CollectValue(object, field, matched);
  }
}

void SubscriptionsSharingAttribute::CollectRepeated(const pb::Message& object,
                                                    const pb::FieldDescriptor* field,
                                                    MatchedSubscribers* matched) const {
  const bool lists = !equals_list_.empty() || !not_equals_list_.empty();
  const bool value_sets = !contains_any_.empty() || !contains_all_.IsEmpty();
  if (!lists && !value_sets) return;
  std::vector<AttributeValue> values = ExtractRepeatedFieldValues(object, field);
  const bool has_nan = std::any_of(values.begin(), values.end(), IsNaN);
  if (lists) {
    // A list holding a NaN equals no list and differs from every list.
    const std::string key = ListKey(values);
    if (!has_nan) CollectEntry(equals_list_, key, matched);
    not_equals_list_.Collect(has_nan ? nullptr : &key, matched);
  }
  if (!value_sets || matched->done()) return;
  values.erase(std::remove_if(values.begin(), values.end(), IsNaN), values.end());
  values = SortedDistinct(std::move(values));
  for (auto value = values.begin(); value != values.end() && !contains_any_.empty(); ++value) {
    CollectEntry(contains_any_, *value, matched);
    if (matched->done()) return;
  }
  if (!values.empty() && !contains_all_.IsEmpty()) contains_all_.Lookup(values, matched);
}

void SubscriptionsSharingAttribute::CollectMessage(const Schema& schema, const pb::Message& object,
                                                   const pb::FieldDescriptor* field,
                                                   MatchedSubscribers* matched) const {
  const pb::Message& sub = object.GetReflection()->GetMessage(object, field);
  if (!equals_message_.empty() || !not_equals_message_.empty()) {
    std::string bytes;
    if (!SerializeDeterministic(sub, &bytes)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "Unable to extract message field from the value");
    } else {
      CollectEntry(equals_message_, bytes, matched);
      not_equals_message_.Collect(&bytes, matched);
    }
  }
  if (nested_.empty()) return;
  for (const pb::FieldDescriptor* held : SetFields(sub)) {
    if (matched->done()) return;
    auto child = nested_.find(held->name());
    if (child != nested_.end()) child->second->CollectMatchingMonitors(schema, sub, held, matched);
  }
}

void SubscriptionsSharingAttribute::CollectValue(const pb::Message& object,
                                                 const pb::FieldDescriptor* field,
                                                 MatchedSubscribers* matched) const {
  if (equals_.empty() && not_equals_.empty()) return;
  const AttributeValue value = ExtractFieldValue(object, field);
  const bool nan = IsNaN(value);
  if (!nan) CollectEntry(equals_, value, matched);
  not_equals_.Collect(nan ? nullptr : &value, matched);
}

size_t SubscriptionsSharingAttribute::RemoveMonitor(const std::string& monitor_id,
                                                    const RegistrationTally& tally) {
  size_t removed = subscribers_.RemoveMonitor(monitor_id, tally) ? 1 : 0;
  removed += RemoveFromEntries(&equals_, monitor_id, tally);
  removed += not_equals_.RemoveMonitor(monitor_id, tally);
  removed += RemoveFromEntries(&equals_list_, monitor_id, tally);
  removed += not_equals_list_.RemoveMonitor(monitor_id, tally);
  removed += RemoveFromEntries(&contains_any_, monitor_id, tally);
  removed += contains_all_.RemoveMonitor(monitor_id, tally);
  removed += RemoveFromEntries(&equals_message_, monitor_id, tally);
  removed += not_equals_message_.RemoveMonitor(monitor_id, tally);
  for (auto child = nested_.begin(); child != nested_.end();) {
    removed += child->second->RemoveMonitor(monitor_id, tally);
    child = child->second->IsEmpty() ? nested_.erase(child) : std::next(child);
  }
  return removed;
}

bool SubscriptionsSharingAttribute::IsEmpty() const {
  return subscribers_.IsEmpty() && equals_.empty() && not_equals_.empty() && equals_list_.empty() &&
         not_equals_list_.empty() && contains_any_.empty() && contains_all_.IsEmpty() &&
         equals_message_.empty() && not_equals_message_.empty() && nested_.empty();
}

}  // namespace tarnix

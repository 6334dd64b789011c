#ifndef TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_
#define TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_

#include <cstddef>
#include <iterator>
#include <string>
#include <unordered_map>

#include "logging/logger.h"
#include "monitor/subscriber_set.h"

namespace tarnix {

// The NOT_EQUALS predicates on one attribute for one kind of operand (a
// value, a whole list, a message's bytes): a subscriber set per operand.
//
// An object matches every entry but the one of its own operand, so a
// monitor with many operands would cost each of them. Each monitor's number
// of entries is kept beside them: a monitor matches unless its only entry
// is the object's, and matching lists whichever are fewer, the entries or
// the monitors.
//
// `Map` is a hash map from the operand to SubscriberSet. Not thread-safe.
template <typename Map>
class NotEqualsSubscriptions {
 public:
  using Key = typename Map::key_type;

  explicit NotEqualsSubscriptions(size_t buckets) : entries_(buckets) {}
  NotEqualsSubscriptions(const NotEqualsSubscriptions&) = delete;
  NotEqualsSubscriptions& operator=(const NotEqualsSubscriptions&) = delete;

  // Adds `text` for the monitor to the entry of `operand`.
  void Add(const Key& operand, const std::string& monitor_id, const SubscriptionText& text,
           const RegistrationTally& tally) {
    if (entries_[operand].AddMonitor(monitor_id, text, tally)) ++entries_per_monitor_[monitor_id];
  }

  // Removes one text of the monitor from the entry of `operand`, as
  // SubscriberSet::DeleteMonitor does, and the entry once it is empty.
  // False, after one DRX0009 line and with nothing changed, when the entry
  // does not hold the monitor or the text to remove is not clear.
  bool Delete(const Key& operand, const std::string& monitor_id, SubscriptionText* text,
              const RegistrationTally& tally) {
    auto entry = entries_.find(operand);
    if (entry == entries_.end() || entry->second.Find(monitor_id) == nullptr) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                 "The subscription operation with OpMsg=NOT_EQUALS failed because a monitor "
                 "with monitor_id %s was not found",
                 monitor_id.c_str());
      return false;
    }
    const SubscriptionText wanted = *text;
    if (!entry->second.DeleteMonitor(monitor_id, wanted, text, tally)) return false;
    if (entry->second.Find(monitor_id) == nullptr) LeftOneEntry(monitor_id);
    if (entry->second.IsEmpty()) entries_.erase(entry);
    return true;
  }

  // Takes the monitor out of every entry; returns the number it was in.
  size_t RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally) {
    if (entries_per_monitor_.count(monitor_id) == 0) return 0;
    size_t removed = 0;
    for (auto entry = entries_.begin(); entry != entries_.end();) {
      if (entry->second.RemoveMonitor(monitor_id, tally)) ++removed;
      entry = entry->second.IsEmpty() ? entries_.erase(entry) : std::next(entry);
    }
    entries_per_monitor_.erase(monitor_id);
    return removed;
  }

  // Adds the monitors that an object whose operand is *operand matches;
  // `operand` null for one that equals no operand (a NaN).
  void Collect(const Key* operand, MatchedSubscribers* matched) const {
    const auto excluded = operand != nullptr ? entries_.find(*operand) : entries_.end();
    // With a limit, entries: monitors of one entry may all be passed over.
    if (entries_.size() <= entries_per_monitor_.size() || matched->limit > 0) {
      for (auto entry = entries_.begin(); entry != entries_.end() && !matched->done(); ++entry) {
        ++matched->visits;
        if (entry != excluded) matched->Add(entry->second);
      }
      return;
    }
    for (const auto& [monitor_id, entries] : entries_per_monitor_) {
      ++matched->visits;
      if (entries == 1 && excluded != entries_.end() &&
          excluded->second.Find(monitor_id) != nullptr) {
        continue;
      }
      matched->AddMonitor(monitor_id);
    }
  }

  bool empty() const { return entries_.empty(); }

 private:
  void LeftOneEntry(const std::string& monitor_id) {
    auto count = entries_per_monitor_.find(monitor_id);
    if (--count->second == 0) entries_per_monitor_.erase(count);
  }

  Map entries_;
  // Monitor id -> the number of entries that hold it.
  std::unordered_map<std::string, size_t> entries_per_monitor_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_

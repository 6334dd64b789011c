#ifndef TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_
#define TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_

#include <cstddef>
#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "logging/logger.h"
#include "monitor/subscriber_set.h"

namespace tarnix {

// The NOT_EQUALS predicates on one attribute for one kind of operand (a
// value, a whole list, a message's bytes): a subscriber set per operand.
//
// An object matches every entry but the one of its own operand, so listing
// the entries would cost a monitor of many operands each of them. No value
// equals two operands, so a monitor of two or more matches every object:
// those monitors are kept in one set, and the entries that hold a monitor
// of one operand in another. Matching lists both, but for the object's own
// entry, and everything it lists reaches a monitor.
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
    SubscriberSet& entry = entries_[operand];
    if (entry.AddMonitor(monitor_id, text, tally)) Joined(monitor_id, &entry);
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
    if (entry->second.Find(monitor_id) == nullptr) Left(monitor_id, &entry->second);
    if (entry->second.IsEmpty()) entries_.erase(entry);
    return true;
  }

  // Takes the monitor out of every entry; returns the number it was in.
  size_t RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally) {
    auto monitor = monitors_.find(monitor_id);
    if (monitor == monitors_.end()) return 0;
    if (monitor->second.only != nullptr) DropSingle(monitor->second.only);
    many_.erase(monitor_id);
    monitors_.erase(monitor);
    size_t removed = 0;
    for (auto entry = entries_.begin(); entry != entries_.end();) {
      if (entry->second.RemoveMonitor(monitor_id, tally)) ++removed;
      entry = entry->second.IsEmpty() ? entries_.erase(entry) : std::next(entry);
    }
    return removed;
  }

  // Adds the monitors that an object whose operand is *operand matches;
  // `operand` null for one that equals no operand (a NaN).
  void Collect(const Key* operand, MatchedSubscribers* matched) const {
    const SubscriberSet* excluded = nullptr;
    if (operand != nullptr) {
      auto entry = entries_.find(*operand);
      if (entry != entries_.end()) excluded = &entry->second;
    }
    for (auto monitor = many_.begin(); monitor != many_.end() && !matched->done(); ++monitor) {
      ++matched->visits;
      matched->AddMonitor(*monitor);
    }
    for (auto entry = singles_.begin(); entry != singles_.end() && !matched->done(); ++entry) {
      ++matched->visits;
      if (entry->first != excluded) matched->Add(*entry->first);
    }
  }

  bool empty() const { return entries_.empty(); }

 private:
  struct Monitor {
    size_t entries = 0;
    const SubscriberSet* only = nullptr;  // its entry, while it has one
  };

  void Joined(const std::string& monitor_id, const SubscriberSet* entry) {
    Monitor& monitor = monitors_[monitor_id];
    if (++monitor.entries == 1) {
      monitor.only = entry;
      ++singles_[entry];
    } else if (monitor.entries == 2) {
      DropSingle(monitor.only);
      monitor.only = nullptr;
      many_.insert(monitor_id);
    }
  }

  void Left(const std::string& monitor_id, const SubscriberSet* entry) {
    auto monitor = monitors_.find(monitor_id);
    if (--monitor->second.entries == 0) {
      DropSingle(entry);
      monitors_.erase(monitor);
    } else if (monitor->second.entries == 1) {
      // Down to one operand, found by a look at each entry: removals that
      // leave a monitor one operand are few.
      many_.erase(monitor_id);
      for (const auto& [operand, held] : entries_) {
        if (held.Find(monitor_id) == nullptr) continue;
        monitor->second.only = &held;
        ++singles_[&held];
        break;
      }
    }
  }

  void DropSingle(const SubscriberSet* entry) {
    auto count = singles_.find(entry);
    if (--count->second == 0) singles_.erase(count);
  }

  Map entries_;
  std::unordered_map<std::string, Monitor> monitors_;
  std::unordered_set<std::string> many_;  // monitors of two operands or more
  // Entry -> how many monitors of one operand it holds.
  std::unordered_map<const SubscriberSet*, size_t> singles_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_NOT_EQUALS_SUBSCRIPTIONS_H_

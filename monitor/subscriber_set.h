#ifndef TARNIX_MONITOR_SUBSCRIBER_SET_H_
#define TARNIX_MONITOR_SUBSCRIBER_SET_H_

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "metrics/metric.h"

namespace tarnix {

// Monitor ids that a changed object concerns.
using MonitorIdSet = std::unordered_set<std::string>;

// One where predicate as its monitor sent it: the serialised op message and
// value message. It names the subscription in the monitor's statement data.
// Copies share one immutable body, so a predicate stored in many entries
// (one per CONTAINS_ANY element) holds its bytes once. Equal when the bytes
// are; copies of one text compare without reading them.
class SubscriptionText {
 public:
  SubscriptionText() = default;  // both empty
  SubscriptionText(std::string operation, std::string operand)
      : body_(std::make_shared<const Body>(Body{std::move(operation), std::move(operand)})) {}

  const std::string& operation() const { return body_ ? body_->operation : Empty(); }
  const std::string& operand() const { return body_ ? body_->operand : Empty(); }

  bool operator==(const SubscriptionText& other) const {
    return body_ == other.body_ ||
           (operation() == other.operation() && operand() == other.operand());
  }

 private:
  struct Body {
    std::string operation;
    std::string operand;
  };

  static const std::string& Empty();

  std::shared_ptr<const Body> body_;
};

// Moves with every (monitor, subscriber set) registration made or undone in
// one index: the index's gauge, and the monitor's own total, from which the
// engine knows whether a departing monitor left anything behind.
class RegistrationTally {
 public:
  // Neither is owned; both outlive the tally.
  RegistrationTally(metrics::UnitCounter* gauge, size_t* monitor_total)
      : gauge_(gauge), monitor_total_(monitor_total) {}

  void Raise() const {
    ++*gauge_;
    ++*monitor_total_;
  }
  void Lower() const {
    --*gauge_;
    --*monitor_total_;
  }

 private:
  metrics::UnitCounter* const gauge_;
  size_t* const monitor_total_;
};

// The monitors that one predicate entry of a subscription tree concerns.
// Two predicates of one monitor can share an entry (the same EQUALS operand
// reached through two where clauses): the monitor stays until the last of
// them is removed, and each removal takes out its own text.
class SubscriberSet {
 public:
  // Texts of one monitor in this entry; almost always one.
  using Texts = boost::container::small_vector<SubscriptionText, 1>;

  // Adds `text` for the monitor. True (and the tally raised) when the
  // monitor was not in the set; a known monitor gains the text unless it
  // holds it already, and the answer is false.
  bool AddMonitor(const std::string& monitor_id, const SubscriptionText& text,
                  const RegistrationTally& tally);

  // Removes one text of the monitor into *removed: `wanted` when the
  // monitor holds it, else its only text (each text of one entry stands
  // for the same predicate, except in CONTAINS_ANY entries, whose caller
  // picks the text). The tally is lowered when the monitor's last text
  // goes. False, with a DRX0009 error line and nothing changed, when the
  // monitor is not in the set or holds several texts, none of them
  // `wanted`: removing one would stop a clause that was not named.
  bool DeleteMonitor(const std::string& monitor_id, const SubscriptionText& wanted,
                     SubscriptionText* removed, const RegistrationTally& tally);

  // Takes the monitor out with all its texts, lowering the tally once;
  // false when it was not in the set. Logs nothing.
  bool RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally);

  // The monitor's texts, or null when it is not in the set.
  const Texts* Find(const std::string& monitor_id) const;

  // Calls fn(monitor_id) for every monitor; the ids stay put until the set
  // changes.
  template <typename Fn>
  void ForEachMonitor(Fn&& fn) const {
    for (const auto& entry : monitors_) fn(entry.first);
  }
  // Whether pred(monitor_id) holds for every monitor; stops at the first
  // that it does not.
  template <typename Pred>
  bool AllMonitors(Pred&& pred) const {
    for (const auto& entry : monitors_) {
      if (!pred(entry.first)) return false;
    }
    return true;
  }

  bool IsEmpty() const { return monitors_.empty(); }
  size_t size() const { return monitors_.size(); }

 private:
  std::unordered_map<std::string, Texts> monitors_;
};

// The subscribers an object matched, in the order found: subscriber sets,
// every monitor of which matched, and single monitors, where listing them
// is cheaper than listing sets. A monitor may be named more than once.
struct MatchedSubscribers {
  // A monitor whose CONTAINS_ALL sets took one lookup past the steps it
  // allows, alone or with others (see ContainsAllSubscriptions::Lookup),
  // and that allowance.
  struct OverBudget {
    std::string monitor_id;
    size_t allowed_steps;
  };

  std::vector<const SubscriberSet*> sets;    // never an empty one
  std::vector<const std::string*> monitors;  // ids held by the tree
  // Steps the matching took: entries, monitors and trie nodes examined,
  // children and values stepped over. Its cost.
  size_t visits = 0;
  // Set by the caller: the matching may stop once it has named this many
  // monitors (0: no limit), counting each set's whole size.
  size_t limit = 0;
  size_t named = 0;
  // Set by the caller: monitors the matching need not find, so that trie
  // nodes only they subscribed below are skipped; they may still be named.
  // Not owned; null for none.
  const MonitorIdSet* passed_over = nullptr;
  // Monitors over budget, which the matching passes over from then on:
  // whether they matched is not known.
  std::vector<OverBudget> over_budget;
  // Set by the caller: whether matching stops at the first monitor over
  // budget, rather than going on without it.
  bool stop_over_budget = false;
  // Set by the caller: whether every subscriber stands for a part of one
  // monitor (its clauses), whose steps all count as that monitor's.
  bool one_monitor = false;
  // Set by the caller: receives the steps of CONTAINS_ALL lookups charged
  // to each monitor. Not owned; null for none.
  std::unordered_map<std::string, size_t>* charges = nullptr;

  bool empty() const { return sets.empty() && monitors.empty(); }
  bool done() const {
    return (limit > 0 && named >= limit) || (stop_over_budget && !over_budget.empty());
  }
  bool PassesOver(const std::string& monitor_id) const {
    if (passed_over != nullptr && !passed_over->empty() && passed_over->count(monitor_id) > 0) {
      return true;
    }
    for (const OverBudget& over : over_budget) {
      if (over.monitor_id == monitor_id) return true;
    }
    return false;
  }
  void clear() {
    sets.clear();
    monitors.clear();
    visits = 0;
    named = 0;
    over_budget.clear();
  }
  void Add(const SubscriberSet& set) {
    if (set.IsEmpty()) return;
    sets.push_back(&set);
    named += set.size();
  }
  void AddMonitor(const std::string& monitor_id) {
    monitors.push_back(&monitor_id);
    ++named;
  }
  // The same monitors, found the same way.
  bool SameAs(const MatchedSubscribers& other) const {
    return sets == other.sets && monitors == other.monitors;
  }
  // Calls fn(monitor_id) for every monitor named, repeats included.
  template <typename Fn>
  void ForEachMonitor(Fn&& fn) const {
    for (const SubscriberSet* set : sets) set->ForEachMonitor(fn);
    for (const std::string* monitor_id : monitors) fn(*monitor_id);
  }
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_SUBSCRIBER_SET_H_

#ifndef TARNIX_MONITOR_CONTAINS_ALL_SUBSCRIPTIONS_H_
#define TARNIX_MONITOR_CONTAINS_ALL_SUBSCRIPTIONS_H_

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "monitor/subscriber_set.h"
#include "schema/attribute_value.h"

namespace tarnix {

// The CONTAINS_ALL predicates on one attribute: a trie over element sets.
// A predicate whose distinct elements, in ascending order (the total order
// of AttributeValue), are e1 < e2 < ... < en is stored in the subscribers of
// the node reached from the root through e1, ..., en.
//
// Nothing here recurses along a path, so sets and lists of any length are
// safe for the stack. Not thread-safe.
class ContainsAllSubscriptions {
 public:
  ContainsAllSubscriptions() = default;
  ~ContainsAllSubscriptions();
  ContainsAllSubscriptions(const ContainsAllSubscriptions&) = delete;
  ContainsAllSubscriptions& operator=(const ContainsAllSubscriptions&) = delete;

  // Stores the monitor's predicate on `elements` (distinct, ascending);
  // the tally rises when the monitor is new in that set. Without elements
  // it logs "Subscription for CONTAINS_ALL has no elements" (DRX0208) and
  // stores nothing.
  void Add(const std::vector<AttributeValue>& elements, const std::string& monitor_id,
           const SubscriptionText& text, const RegistrationTally& tally);

  // Removes one text of the monitor from the set of `elements` (see
  // SubscriberSet::DeleteMonitor) and prunes the nodes left empty. False,
  // with one error line and nothing changed, without elements (DRX0208),
  // when the set or the monitor in it is not stored, or when the monitor
  // holds other texts there and not `wanted` (DRX0009).
  bool Delete(const std::vector<AttributeValue>& elements, const std::string& monitor_id,
              const SubscriptionText& wanted, SubscriptionText* removed,
              const RegistrationTally& tally);

  // Adds to *matched the subscribers of the stored value sets that are
  // subsets of `values`: every monitor of them, though not every set, as a
  // subtree whose monitors are all found already or passed over is
  // skipped; stops early once matched->done(). REQUIRES: `values` distinct
  // and ascending.
  //
  // Visits only nodes whose path is made of the values. At each node it
  // steps from child to child, each time to the first child not less than
  // the next value, then gallops through the values to that child, so that
  // a node costs about the log of the values and children it passes; every
  // step counts in matched->visits. Once the children passed lead only to
  // monitors settled (found, passed over or over budget), the node instead
  // walks the children of each monitor not settled, one monitor at a time.
  //
  // No index bounds subset matching by the values and the monitors found
  // alone (sets held in part can cost any number of nodes), so the steps
  // are bounded. Each step is charged to a monitor not settled below the
  // child it searched for or entered, so a monitor pays what walking its
  // own sets costs, times about the log of the children beside them,
  // whatever other monitors share its nodes. A monitor charged more than
  // AllowedSteps(values, monitors found) goes into matched->over_budget
  // and is passed over from then on; so does the monitor charged the most
  // once all together have been charged kMonitorsTogether times that since
  // the lookup began or since the last monitor over budget (once it, when
  // matched->one_monitor).
  void Lookup(const std::vector<AttributeValue>& values, MatchedSubscribers* matched) const;

  // The steps a lookup of `values` values that found `monitors_found`
  // monitors may take: a few thousand, and a little more for each value
  // and each monitor found, so that a lookup costs at most what reading
  // the object and telling those monitors cost, times a constant.
  static size_t AllowedSteps(size_t values, size_t monitors_found) {
    return kBaseSteps + kStepsPerValue * values + kStepsPerMonitorFound * monitors_found;
  }
  static constexpr size_t kBaseSteps = 8192;
  static constexpr size_t kStepsPerValue = 64;
  static constexpr size_t kStepsPerMonitorFound = 16;
  static constexpr size_t kMonitorsTogether = 2;

  // Takes the monitor out of every set, pruning what is left empty; returns
  // the number of sets it was in.
  size_t RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally);

  bool IsEmpty() const { return root_.children.empty() && root_.subscribers.IsEmpty(); }

 private:
  struct Node;
  using Children = std::map<AttributeValue, std::unique_ptr<Node>>;
  using Child = Children::value_type;
  // Monitor id -> the children that lead to a set of it, in key order.
  using Routes = std::unordered_map<std::string, std::vector<const Child*>>;

  struct Node {
    Children children;
    SubscriberSet subscribers;
    // Kept while the node has children: a monitor is below the node when
    // its subscribers or its routes hold it.
    std::unique_ptr<Routes> routes;

    bool IsEmpty() const { return children.empty() && subscribers.IsEmpty(); }
    // Whether a set of this node or below holds the monitor.
    bool HoldsBelow(const std::string& monitor_id) const {
      return subscribers.Find(monitor_id) != nullptr ||
             (routes != nullptr && routes->count(monitor_id) > 0);
    }
  };

  class Walk;  // one Lookup

  // Routes the monitor through the children along `path` (steps[i] the
  // child of path[i]) that lead to it from now on, or no longer.
  static void AddRoutes(const std::vector<Node*>& path, const std::vector<const Child*>& steps,
                        const std::string& monitor_id);
  static void DropRoutes(const std::vector<Node*>& path, const std::vector<const Child*>& steps,
                         const std::string& monitor_id);
  // The order of routes: by the children's elements.
  static bool ByKey(const Child* a, const Child* b);
  // Erases the child of `element` from `parent`; a parent left without
  // children becomes a leaf.
  static void EraseChild(Node* parent, const AttributeValue& element);

  Node root_;
};

}  // namespace tarnix

#endif  // TARNIX_MONITOR_CONTAINS_ALL_SUBSCRIPTIONS_H_

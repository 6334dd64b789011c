#include "monitor/contains_all_subscriptions.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <boost/container/small_vector.hpp>

#include "logging/logger.h"

namespace tarnix {
namespace {

void LogNoElements() {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "Subscription for CONTAINS_ALL has no elements");
}

void LogNotFound() {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
             "The operation failed because a subscription was not found");
}

}  // namespace

ContainsAllSubscriptions::~ContainsAllSubscriptions() {
  // Node by node: the default destructor would recurse once per element.
  std::vector<std::unique_ptr<Node>> doomed;
  for (auto& child : root_.children) doomed.push_back(std::move(child.second));
  while (!doomed.empty()) {
    std::unique_ptr<Node> node = std::move(doomed.back());
    doomed.pop_back();
    for (auto& child : node->children) doomed.push_back(std::move(child.second));
  }
}

void ContainsAllSubscriptions::AddRoutes(const std::vector<Node*>& path,
                                         const std::vector<const Child*>& steps,
                                         const std::string& monitor_id) {
  // From the set's own node up, until a node already routed to the child,
  // or held the monitor before and so is routed to from above.
  for (size_t i = steps.size(); i-- > 0;) {
    std::vector<const Child*>& routes = (*path[i]->routes)[monitor_id];
    const bool held = !routes.empty() || path[i]->subscribers.Find(monitor_id) != nullptr;
    const Child* child = steps[i];
    const auto at = std::lower_bound(routes.begin(), routes.end(), child, ByKey);
    if (at != routes.end() && *at == child) return;
    routes.insert(at, child);
    if (held) return;
  }
}

bool ContainsAllSubscriptions::ByKey(const Child* a, const Child* b) { return a->first < b->first; }

void ContainsAllSubscriptions::DropRoutes(const std::vector<Node*>& path,
                                          const std::vector<const Child*>& steps,
                                          const std::string& monitor_id) {
  for (size_t i = steps.size(); i-- > 0;) {
    if (path[i + 1]->HoldsBelow(monitor_id)) return;
    auto entry = path[i]->routes->find(monitor_id);
    std::vector<const Child*>& routes = entry->second;
    const Child* child = steps[i];
    const auto at = std::lower_bound(routes.begin(), routes.end(), child, ByKey);
    routes.erase(at);
    if (routes.empty()) path[i]->routes->erase(entry);
  }
}

void ContainsAllSubscriptions::EraseChild(Node* parent, const AttributeValue& element) {
  parent->children.erase(element);
  if (parent->children.empty()) parent->routes.reset();
}

void ContainsAllSubscriptions::Add(const std::vector<AttributeValue>& elements,
                                   const std::string& monitor_id, const SubscriptionText& text,
                                   const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return;
  }
  std::vector<Node*> path{&root_};
  std::vector<const Child*> steps;
  path.reserve(elements.size() + 1);
  steps.reserve(elements.size());
  for (const AttributeValue& element : elements) {
    Node* node = path.back();
    if (node->routes == nullptr) node->routes = std::make_unique<Routes>();
    auto child = node->children.try_emplace(element).first;
    if (child->second == nullptr) child->second = std::make_unique<Node>();
    steps.push_back(&*child);
    path.push_back(child->second.get());
  }
  if (path.back()->subscribers.AddMonitor(monitor_id, text, tally)) {
    AddRoutes(path, steps, monitor_id);
  }
}

bool ContainsAllSubscriptions::Delete(const std::vector<AttributeValue>& elements,
                                      const std::string& monitor_id, const SubscriptionText& wanted,
                                      SubscriptionText* removed, const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return false;
  }
  // path[i] is the node whose child steps[i] leads on; the last is the
  // set's own.
  std::vector<Node*> path{&root_};
  std::vector<const Child*> steps;
  path.reserve(elements.size() + 1);
  steps.reserve(elements.size());
  for (const AttributeValue& element : elements) {
    auto child = path.back()->children.find(element);
    if (child == path.back()->children.end()) {
      LogNotFound();
      return false;
    }
    steps.push_back(&*child);
    path.push_back(child->second.get());
  }
  SubscriberSet& subscribers = path.back()->subscribers;
  if (subscribers.Find(monitor_id) == nullptr) {
    LogNotFound();
    return false;
  }
  if (!subscribers.DeleteMonitor(monitor_id, wanted, removed, tally)) return false;
  DropRoutes(path, steps, monitor_id);
  for (size_t i = elements.size(); i-- > 0;) {
    if (!path[i + 1]->IsEmpty()) break;
    EraseChild(path[i], elements[i]);
  }
  return true;
}

// Depth first, one child at a time, so that what was found below one child
// is known before its siblings are tried. A node's children all sort after
// the element that leads to it, so only the values after that element lead
// on.
class ContainsAllSubscriptions::Walk {
 public:
  Walk(const std::vector<AttributeValue>& values, MatchedSubscribers* matched)
      : values_(values), matched_(matched), counting_(matched->charges != nullptr) {}

  void Run(const Node& root) {
    stack_.reserve(16);
    EnterChild(&root, 0, nullptr);
    while (!stack_.empty() && !matched_->done()) {
      Frame& frame = stack_.back();
      if (frame.by_routes == nullptr && RoutesCheaper(frame)) ListUnsettled(&frame);
      if (frame.by_routes != nullptr ? !StepByRoutes(&frame) : !StepByChildren(&frame)) {
        stack_.pop_back();
      }
      if (charged_ - window_start_ > TogetherAllowed()) OverBudgetTogether();
    }
    if (matched_->charges != nullptr) {
      for (const auto& [monitor_id, cost] : cost_) {
        (*matched_->charges)[std::string(monitor_id)] += cost;
      }
    }
  }

 private:
  using Route = std::vector<const Child*>;

  // Steps a node spends on children that lead only to settled monitors
  // beyond those it charged before it may walk the routes of those not
  // settled instead (see RoutesCheaper).
  static constexpr size_t kFreeSteps = 8;

  // Where a node walks the routes of the monitors not settled below it:
  // those listed, the one whose route is walked, the next of its children
  // and of the values, and the children entered.
  struct RouteWalk {
    std::vector<const std::string*> unsettled;
    size_t monitor = 0;
    const Route* route = nullptr;
    size_t route_child = 0;
    size_t route_value = 0;
    std::unordered_set<const Node*> entered;
  };

  struct Frame {  // of a node with children
    const Node* node;
    size_t value;  // the first value not passed yet
    // By children: the last child landed on, end() before the first, and
    // whether it was less than the next value.
    Children::const_iterator last;
    bool short_of_values = false;
    // Children landed on, steps charged to monitors, and steps that led
    // only to settled ones.
    size_t landings = 0;
    size_t charged = 0;
    size_t free = 0;
    // When one monitor is below the node: it, unless settled, as of the
    // settled_epoch_ it was looked at.
    const std::string* sole = nullptr;
    size_t sole_epoch = 0;
    // Set once the node walks routes instead of children.
    std::unique_ptr<RouteWalk> by_routes;
  };

  // Whether the monitor is found, passed over or over budget: a step.
  bool Settled(const std::string& monitor_id) {
    ++matched_->visits;
    return IsSettled(monitor_id);
  }
  bool IsSettled(const std::string& monitor_id) const {
    return settled_.count(monitor_id) > 0 || matched_->PassesOver(monitor_id);
  }
  // The steps one monitor may be charged, and all together may take
  // between two monitors over budget.
  size_t Allowed() const { return AllowedSteps(values_.size(), settled_.size() - over_budget_); }
  size_t TogetherAllowed() const {
    return matched_->one_monitor ? Allowed() : kMonitorsTogether * Allowed();
  }

  // A monitor of `node` or below that is not settled; null when none is.
  // Finding it is part of the step that landed on the node; each monitor
  // settled it passes is a step of its own, nobody's, counted in *free.
  const std::string* UnsettledBelow(const Node* node, size_t* free) {
    const std::string* found = nullptr;
    node->subscribers.AllMonitors([&](const std::string& monitor_id) {
      if (!IsSettled(monitor_id)) {
        found = &monitor_id;
        return false;
      }
      ++matched_->visits;
      ++*free;
      return true;
    });
    if (found != nullptr || node->routes == nullptr) return found;
    for (const auto& route : *node->routes) {
      if (!IsSettled(route.first)) return &route.first;
      ++matched_->visits;
      ++*free;
    }
    return nullptr;
  }

  // The one monitor below the frame's node, which every child leads to,
  // unless it is settled; looked at again only once another monitor is.
  const std::string* SoleUnsettled(Frame* frame, size_t* free) {
    if (frame->sole_epoch != settled_epoch_) {
      const std::string& monitor_id = frame->node->routes->begin()->first;
      frame->sole = IsSettled(monitor_id) ? nullptr : &monitor_id;
      frame->sole_epoch = settled_epoch_;
    }
    if (frame->sole == nullptr) {
      ++matched_->visits;
      ++*free;
    }
    return frame->sole;
  }

  // Adds the node's subscribers, and walks its children next unless every
  // monitor below is settled. Entering is `payer`'s step; settling the
  // monitors found is paid by their share of the allowance.
  void EnterChild(const Node* node, size_t first_value, const std::string* payer) {
    ++matched_->visits;
    if (payer != nullptr) Charge(*payer, 1);
    if (!node->subscribers.IsEmpty()) {
      matched_->Add(node->subscribers);
      node->subscribers.ForEachMonitor([this](const std::string& monitor_id) {
        ++matched_->visits;
        settled_.insert(monitor_id);
        ++settled_epoch_;
      });
    }
    if (node->children.empty()) return;
    size_t free = 0;
    if (payer != nullptr && settled_.count(*payer) > 0 && UnsettledBelow(node, &free) == nullptr) {
      return;
    }
    Frame frame;
    frame.node = node;
    frame.value = first_value;
    frame.last = node->children.end();
    stack_.push_back(std::move(frame));
  }

  // Lands on the first child not less than the next value and gallops the
  // values to it, charging the steps to a monitor below it that is not
  // settled; enters it when it is a value. False when no child is left.
  bool StepByChildren(Frame* frame) {
    const Children& children = frame->node->children;
    if (frame->value >= values_.size()) return false;
    const size_t mark = matched_->visits;
    Children::const_iterator child;
    if (frame->last == children.end() || frame->short_of_values) {
      matched_->visits += 1 + Log2(children.size());
      child = children.lower_bound(values_[frame->value]);
    } else {
      // The child after the last is most often the one: a step, not a search.
      ++matched_->visits;
      child = std::next(frame->last);
    }
    if (child == children.end()) return false;
    frame->last = child;
    ++frame->landings;
    const size_t from = frame->value;
    bool equal = false;
    frame->value = Gallop(child->first, from, &equal);
    // Short of the next value: the next landing searches past the children
    // that follow it.
    frame->short_of_values = !equal && frame->value == from;
    if (equal) ++frame->value;
    size_t free = 0;
    const std::string* payer = frame->node->routes->size() == 1
                                   ? SoleUnsettled(frame, &free)
                                   : UnsettledBelow(child->second.get(), &free);
    const size_t steps = matched_->visits - mark - free;
    if (payer == nullptr) {
      frame->free += steps + free;
      return true;
    }
    frame->free += free;
    frame->charged += steps;
    Charge(*payer, steps);
    if (equal) EnterChild(child->second.get(), frame->value, payer);
    return true;
  }

  // Whether the frame's children have cost more steps that lead only to
  // settled monitors than it charged, and listing the monitors below costs
  // less than those steps so far and than the landings left at their rate.
  bool RoutesCheaper(const Frame& frame) const {
    const size_t monitors = frame.node->routes->size();
    const size_t values_left = values_.size() - frame.value;
    return frame.free > frame.charged + kFreeSteps && frame.free > monitors &&
           monitors * frame.landings < values_left * frame.free;
  }

  // Lists the monitors below the frame's node that are not settled, whose
  // routes are walked from now on.
  void ListUnsettled(Frame* frame) {
    frame->by_routes = std::make_unique<RouteWalk>();
    for (const auto& route : *frame->node->routes) {
      if (Settled(route.first)) continue;
      frame->by_routes->unsettled.push_back(&route.first);
      Charge(route.first, 1);
    }
  }

  // Walks the children of the listed monitors one monitor at a time, each
  // child entered once: lands on the first of its children not less than
  // the next value, and gallops the values to it, charging the monitor.
  // False when every listed monitor is done.
  bool StepByRoutes(Frame* frame) {
    RouteWalk* walk = frame->by_routes.get();
    while (walk->monitor < walk->unsettled.size()) {
      const std::string& monitor_id = *walk->unsettled[walk->monitor];
      if (walk->route == nullptr) {
        if (Settled(monitor_id)) {
          ++walk->monitor;
          continue;
        }
        walk->route = &frame->node->routes->find(monitor_id)->second;
        walk->route_child = 0;
        walk->route_value = frame->value;
      }
      const Route& route = *walk->route;
      const size_t mark = matched_->visits;
      if (walk->route_value < values_.size() && walk->route_child < route.size() &&
          !settled_.count(monitor_id)) {
        const AttributeValue& next = values_[walk->route_value];
        const auto begin = route.begin() + static_cast<std::ptrdiff_t>(walk->route_child);
        matched_->visits += 1 + Log2(static_cast<size_t>(route.end() - begin));
        const auto child = std::lower_bound(
            begin, route.end(), next,
            [](const Child* a, const AttributeValue& value) { return a->first < value; });
        if (child != route.end()) {
          walk->route_child = static_cast<size_t>(child - route.begin()) + 1;
          bool equal = false;
          walk->route_value = Gallop((*child)->first, walk->route_value, &equal);
          if (equal) ++walk->route_value;
          const Node* node = (*child)->second.get();
          Charge(monitor_id, matched_->visits - mark);
          if (equal && walk->entered.insert(node).second) {
            EnterChild(node, walk->route_value, &monitor_id);
          }
          return true;
        }
      }
      Charge(monitor_id, matched_->visits - mark);
      walk->route = nullptr;
      ++walk->monitor;
    }
    return false;
  }

  // The first value from `from` on that is not less than `target` (or the
  // end), and whether it equals it: doubling steps, then halving them, so a
  // gap of d values costs about 2 log2(d) comparisons.
  size_t Gallop(const AttributeValue& target, size_t from, bool* equal) {
    const size_t end = values_.size();
    size_t low = from;  // every value before it is less than `target`
    size_t high = from;
    int at_high = 1;  // how the value at `high` compares; the end is greater
    for (size_t step = 1; high < end; step *= 2) {
      ++matched_->visits;
      at_high = CompareAttributeValues(values_[high], target);
      if (at_high >= 0) break;
      low = high + 1;
      high = from + 2 * step - 1;
    }
    if (high >= end) {
      high = end;
      at_high = 1;
    }
    while (low < high) {
      ++matched_->visits;
      const size_t middle = low + (high - low) / 2;
      const int order = CompareAttributeValues(values_[middle], target);
      if (order < 0) {
        low = middle + 1;
      } else {
        high = middle;
        at_high = order;
      }
    }
    *equal = at_high == 0;
    return low;
  }

  static size_t Log2(size_t n) {
    size_t log = 0;
    while (n > 1) {
      n >>= 1;
      ++log;
    }
    return log;
  }

  // Charges steps to a monitor not settled. A monitor charged past its
  // allowance is over budget.
  void Charge(const std::string& monitor_id, size_t steps) {
    if (steps == 0) return;
    charged_ += steps;
    // No monitor can pass its allowance before the charges as a whole do:
    // until then they are only noted, which most lookups never pass.
    if (counting_) return CountCharge(monitor_id, steps);
    if (!noted_.empty() && (noted_.back().first.data() == monitor_id.data() ||
                            noted_.back().first == monitor_id)) {
      noted_.back().second += steps;
    } else {
      noted_.emplace_back(monitor_id, steps);
    }
    if (charged_ > Allowed()) CountCharges();
  }

  void CountCharge(std::string_view monitor_id, size_t steps) {
    size_t& cost = cost_[monitor_id];
    cost += steps;
    if (cost > Allowed() && !matched_->one_monitor && settled_.count(monitor_id) == 0) {
      PutOverBudget(monitor_id, Allowed());
    }
  }

  void CountCharges() {
    if (counting_) return;
    counting_ = true;
    for (const auto& [monitor_id, steps] : noted_) CountCharge(monitor_id, steps);
    noted_.clear();
  }

  // All monitors together were charged more than they may since the last
  // one over budget: the one charged the most is, and the others go on.
  void OverBudgetTogether() {
    const size_t allowed = TogetherAllowed();
    CountCharges();
    const std::string_view* costliest = nullptr;
    size_t most = 0;
    for (const auto& [monitor_id, cost] : cost_) {
      if (cost > most && settled_.count(monitor_id) == 0) {
        costliest = &monitor_id;
        most = cost;
      }
    }
    // Charged steps always have a monitor, unless all were found since.
    if (costliest != nullptr) PutOverBudget(*costliest, allowed);
    window_start_ = charged_;
  }

  void PutOverBudget(std::string_view monitor_id, size_t allowed) {
    settled_.insert(monitor_id);
    ++settled_epoch_;
    ++over_budget_;
    matched_->over_budget.push_back({std::string(monitor_id), allowed});
    window_start_ = charged_;
  }

  const std::vector<AttributeValue>& values_;
  MatchedSubscribers* const matched_;
  std::vector<Frame> stack_;
  // Monitors found, and those over budget; ids held by the trie.
  std::unordered_set<std::string_view> settled_;
  size_t over_budget_ = 0;
  size_t settled_epoch_ = 1;  // counts the monitors settled
  // Steps charged, by monitor once their sum has passed the allowance;
  // noted until then.
  size_t charged_ = 0;
  bool counting_;
  boost::container::small_vector<std::pair<std::string_view, size_t>, 8> noted_;
  std::unordered_map<std::string_view, size_t> cost_;
  size_t window_start_ = 0;  // charged_ at the last monitor over budget
};

void ContainsAllSubscriptions::Lookup(const std::vector<AttributeValue>& values,
                                      MatchedSubscribers* matched) const {
  if (values.empty()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Empty Lookup request for CONTAINS_ALL subscriptions");
    return;
  }
  Walk(values, matched).Run(root_);
}

size_t ContainsAllSubscriptions::RemoveMonitor(const std::string& monitor_id,
                                               const RegistrationTally& tally) {
  // Pre-order along the monitor's routes; pruning in reverse order then
  // meets every child before its parent.
  struct Edge {
    Node* parent;
    const AttributeValue* element;
  };
  std::vector<Edge> edges;
  std::vector<Node*> stack{&root_};
  size_t removed = 0;
  while (!stack.empty()) {
    Node* node = stack.back();
    stack.pop_back();
    if (node->subscribers.RemoveMonitor(monitor_id, tally)) ++removed;
    if (node->routes == nullptr) continue;
    auto routes = node->routes->find(monitor_id);
    if (routes == node->routes->end()) continue;
    for (const Child* child : routes->second) {
      edges.push_back({node, &child->first});
      stack.push_back(child->second.get());
    }
    node->routes->erase(routes);
  }
  for (auto edge = edges.rbegin(); edge != edges.rend(); ++edge) {
    if (edge->parent->children.at(*edge->element)->IsEmpty()) {
      EraseChild(edge->parent, *edge->element);
    }
  }
  return removed;
}

}  // namespace tarnix

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

void ContainsAllSubscriptions::CountBelow(const std::vector<Node*>& path,
                                          const std::string& monitor_id, int delta) {
  for (Node* node : path) {
    if (node->below == nullptr) continue;  // a leaf
    if (delta > 0) {
      ++(*node->below)[monitor_id];
    } else {
      auto count = node->below->find(monitor_id);
      if (--count->second == 0) node->below->erase(count);
    }
  }
}

void ContainsAllSubscriptions::EraseChild(Node* parent, const AttributeValue& element) {
  parent->children.erase(element);
  if (parent->children.empty()) parent->below.reset();
}

void ContainsAllSubscriptions::Add(const std::vector<AttributeValue>& elements,
                                   const std::string& monitor_id, const SubscriptionText& text,
                                   const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return;
  }
  std::vector<Node*> path{&root_};
  path.reserve(elements.size() + 1);
  for (const AttributeValue& element : elements) {
    Node* node = path.back();
    if (node->children.empty()) {
      // A leaf no more: its monitors are counted from now on.
      node->below = std::make_unique<MonitorCounts>();
      node->subscribers.ForEachMonitor(
          [node](const std::string& held) { (*node->below)[held] = 1; });
    }
    std::unique_ptr<Node>& child = node->children[element];
    if (child == nullptr) child = std::make_unique<Node>();
    path.push_back(child.get());
  }
  if (path.back()->subscribers.AddMonitor(monitor_id, text, tally)) {
    CountBelow(path, monitor_id, +1);
  }
}

bool ContainsAllSubscriptions::Delete(const std::vector<AttributeValue>& elements,
                                      const std::string& monitor_id, const SubscriptionText& wanted,
                                      SubscriptionText* removed, const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return false;
  }
  // path[i] is the node whose child elements[i] leads on; the last is the
  // set's own.
  std::vector<Node*> path{&root_};
  path.reserve(elements.size() + 1);
  for (const AttributeValue& element : elements) {
    auto child = path.back()->children.find(element);
    if (child == path.back()->children.end()) {
      LogNotFound();
      return false;
    }
    path.push_back(child->second.get());
  }
  SubscriberSet& subscribers = path.back()->subscribers;
  if (subscribers.Find(monitor_id) == nullptr) {
    LogNotFound();
    return false;
  }
  if (!subscribers.DeleteMonitor(monitor_id, wanted, removed, tally)) return false;
  if (subscribers.Find(monitor_id) == nullptr) CountBelow(path, monitor_id, -1);
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
      : values_(values), matched_(matched) {}

  void Run(const Node& root) {
    Enter(&root, 0, nullptr);
    while (!stack_.empty() && !matched_->done()) {
      Frame& frame = stack_.back();
      size_t next_first = 0;
      const Node* next = AllSettled(&frame) ? nullptr : NextChild(&frame, &next_first);
      if (next == nullptr) {
        Pop();
      } else {
        Enter(next, next_first, &frame);  // uses the frame before it may move
      }
      if (matched_->visits - window_start_ > TogetherAllowed()) OverBudgetTogether();
    }
  }

 private:
  using Children = std::map<AttributeValue, std::unique_ptr<Node>>;

  struct Frame {  // of a node with children
    const Node* node;
    // Whether the children are walked and looked up among the values, or
    // the values looked up among the children: the fewer are walked.
    bool by_children;
    Children::const_iterator child;
    size_t value;  // the first value not passed yet
    // Once listed: the monitors below that were not settled then, the last
    // looked at first.
    bool listed = false;
    std::vector<const std::string*> unfound;
    // Steps taken while this frame was on top, not charged yet.
    size_t cost = 0;
    // Where the search for a monitor to charge goes on.
    bool scanned = false;
    MonitorCounts::const_iterator scan;
  };

  // Whether the monitor is found, passed over or over budget.
  bool Settled(const std::string& monitor_id) {
    ++matched_->visits;
    return settled_.count(monitor_id) > 0 || matched_->PassesOver(monitor_id);
  }
  size_t SettledBound() const {
    return settled_.size() + (matched_->passed_over != nullptr ? matched_->passed_over->size() : 0);
  }
  // The steps one monitor may be charged, and all together may take
  // between two monitors over budget.
  size_t Allowed() const { return AllowedSteps(values_.size(), settled_.size() - over_budget_); }
  size_t TogetherAllowed() const {
    return matched_->one_monitor ? Allowed() : kMonitorsTogether * Allowed();
  }

  // Whether every monitor below the frame's node is settled. Its list of
  // those that were not is made once, when that costs at most twice the
  // monitors settled, and only shrinks.
  bool AllSettled(Frame* frame) {
    const MonitorCounts& below = *frame->node->below;
    if (!frame->listed) {
      if (below.size() > 2 * SettledBound()) return false;
      for (const auto& monitor : below) {
        if (!Settled(monitor.first)) frame->unfound.push_back(&monitor.first);
      }
      frame->listed = true;
    }
    return ListedUnsettled(frame) == nullptr;
  }

  // The last of the frame's listed monitors that is still not settled;
  // null when none is.
  const std::string* ListedUnsettled(Frame* frame) {
    while (!frame->unfound.empty() && Settled(*frame->unfound.back())) frame->unfound.pop_back();
    return frame->unfound.empty() ? nullptr : frame->unfound.back();
  }

  // Whether every monitor of `node` and below is settled: by looking at its
  // own, or at those its parent still misses, whichever are fewer.
  bool AllSettledIn(const Node* node, const Frame* parent) {
    const size_t own = node->below != nullptr ? node->below->size() : node->subscribers.size();
    if (own > SettledBound()) return false;
    if (parent != nullptr && parent->listed && parent->unfound.size() < own) {
      for (const std::string* missing : parent->unfound) {
        if (!Settled(*missing) && node->HoldsBelow(*missing)) return false;
      }
      return true;
    }
    if (node->below == nullptr) {
      return node->subscribers.AllMonitors([this](const std::string& id) { return Settled(id); });
    }
    for (const auto& monitor : *node->below) {
      if (!Settled(monitor.first)) return false;
    }
    return true;
  }

  void Enter(const Node* node, size_t first_value, const Frame* parent) {
    ++matched_->visits;
    if (AllSettledIn(node, parent)) return;
    if (!node->subscribers.IsEmpty()) {
      matched_->Add(node->subscribers);
      node->subscribers.ForEachMonitor([this](const std::string& monitor_id) {
        ++matched_->visits;
        settled_.insert(monitor_id);
      });
    }
    if (node->children.empty()) return;
    if (!stack_.empty()) stack_.back().cost += matched_->visits - mark_;
    mark_ = matched_->visits;
    Frame frame;
    frame.node = node;
    frame.by_children = node->children.size() <= values_.size() - first_value;
    frame.child = node->children.begin();
    frame.value = first_value;
    stack_.push_back(std::move(frame));
  }

  void Pop() {
    Frame& frame = stack_.back();
    frame.cost += matched_->visits - mark_;
    Charge(&frame);
    stack_.pop_back();
    mark_ = matched_->visits;
  }

  // The next child of the frame's node that is one of the values, and
  // *next_first the value after it; null when none is left.
  const Node* NextChild(Frame* frame, size_t* next_first) {
    const Children& children = frame->node->children;
    if (frame->by_children) {
      while (frame->child != children.end() && frame->value < values_.size()) {
        ++matched_->visits;
        const auto child = frame->child++;
        bool equal = false;
        frame->value = Gallop(child->first, frame->value, &equal);
        if (equal) {
          *next_first = ++frame->value;
          return child->second.get();
        }
      }
      return nullptr;
    }
    // A map lookup: about log2 of the children's comparisons.
    const size_t lookup_steps = 1 + Log2(children.size());
    while (frame->value < values_.size()) {
      matched_->visits += lookup_steps;
      const auto child = children.find(values_[frame->value++]);
      if (child != children.end()) {
        *next_first = frame->value;
        return child->second.get();
      }
    }
    return nullptr;
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

  // A monitor below the frame's node that is not settled; null when all
  // are.
  const std::string* Unsettled(Frame* frame) {
    if (frame->listed) return ListedUnsettled(frame);
    const MonitorCounts& below = *frame->node->below;
    if (!frame->scanned) {
      frame->scan = below.begin();
      frame->scanned = true;
    }
    for (; frame->scan != below.end(); ++frame->scan) {
      if (!Settled(frame->scan->first)) return &frame->scan->first;
    }
    return nullptr;
  }

  // Charges the frame's steps to a monitor below it that was not found:
  // what kept the walk going there. Steps that found everything below are
  // nobody's. A monitor charged past its allowance is over budget.
  void Charge(Frame* frame) {
    const size_t steps = frame->cost;
    if (steps == 0) return;
    frame->cost = 0;
    const std::string* monitor_id = Unsettled(frame);
    if (monitor_id == nullptr) return;
    // No monitor can pass its allowance before the lookup as a whole does:
    // until then charges are only noted, which most lookups never pass.
    if (counting_) return CountCharge(*monitor_id, steps);
    noted_.emplace_back(*monitor_id, steps);
    if (matched_->visits - start_ > Allowed()) CountCharges();
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

  // All monitors together took more than they may since the last one over
  // budget: the one charged the most is, and the others go on.
  void OverBudgetTogether() {
    const size_t allowed = TogetherAllowed();
    const size_t over_before = over_budget_;
    CountCharges();
    if (!stack_.empty()) stack_.back().cost += matched_->visits - mark_;
    mark_ = matched_->visits;
    for (Frame& frame : stack_) Charge(&frame);
    if (over_budget_ == over_before) {
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
    }
    window_start_ = matched_->visits;
  }

  void PutOverBudget(std::string_view monitor_id, size_t allowed) {
    settled_.insert(monitor_id);
    ++over_budget_;
    matched_->over_budget.push_back({std::string(monitor_id), allowed});
    window_start_ = matched_->visits;
  }

  const std::vector<AttributeValue>& values_;
  MatchedSubscribers* const matched_;
  std::vector<Frame> stack_;
  // Monitors found, and those over budget; ids held by the trie.
  std::unordered_set<std::string_view> settled_;
  size_t over_budget_ = 0;
  // Charged steps by monitor, counted once the lookup has passed the
  // allowance; noted until then.
  bool counting_ = false;
  boost::container::small_vector<std::pair<std::string_view, size_t>, 8> noted_;
  std::unordered_map<std::string_view, size_t> cost_;
  const size_t start_ = matched_->visits;
  size_t window_start_ = matched_->visits;  // since the last monitor over budget
  size_t mark_ = matched_->visits;  // when the top frame last took over
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
  // Pre-order over the nodes that hold the monitor below them; pruning in
  // reverse order then meets every child before its parent.
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
    if (!node->HoldsBelow(monitor_id)) continue;
    if (node->below != nullptr) node->below->erase(monitor_id);
    if (node->subscribers.RemoveMonitor(monitor_id, tally)) ++removed;
    for (auto& child : node->children) {
      edges.push_back({node, &child.first});
      stack.push_back(child.second.get());
    }
  }
  for (auto edge = edges.rbegin(); edge != edges.rend(); ++edge) {
    if (edge->parent->children.at(*edge->element)->IsEmpty()) {
      EraseChild(edge->parent, *edge->element);
    }
  }
  return removed;
}

}  // namespace tarnix

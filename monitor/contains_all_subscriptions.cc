#include "monitor/contains_all_subscriptions.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>

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
    if (delta > 0) {
      ++node->monitors_below[monitor_id];
    } else {
      auto count = node->monitors_below.find(monitor_id);
      if (--count->second == 0) node->monitors_below.erase(count);
    }
  }
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
    std::unique_ptr<Node>& child = path.back()->children[element];
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
    path[i]->children.erase(elements[i]);
  }
  return true;
}

void ContainsAllSubscriptions::Lookup(const std::vector<AttributeValue>& values,
                                      MatchedSubscribers* matched) const {
  if (values.empty()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Empty Lookup request for CONTAINS_ALL subscriptions");
    return;
  }
  // Depth first, so that the monitors of one set are known before its
  // siblings are entered. A node's children all sort after the element
  // that leads to it, so each visit only needs the values after that
  // element.
  struct Visit {
    const Node* node;
    size_t next_value;
  };
  std::vector<Visit> stack{{&root_, 0}};
  std::unordered_set<std::string_view> found;
  // Whether every monitor below `node` is found already. There are at
  // least as many found as there are below, so the check costs no more
  // than the monitors matched.
  auto all_found = [&found](const Node* node) {
    if (node->monitors_below.size() > found.size()) return false;
    for (const auto& below : node->monitors_below) {
      if (found.count(below.first) == 0) return false;
    }
    return true;
  };
  while (!stack.empty() && !matched->done()) {
    const Visit visit = stack.back();
    stack.pop_back();
    ++matched->visits;
    if (all_found(visit.node)) continue;
    if (!visit.node->subscribers.IsEmpty()) {
      matched->Add(visit.node->subscribers);
      visit.node->subscribers.ForEachMonitor(
          [&found](const std::string& monitor_id) { found.insert(monitor_id); });
    }
    const auto& children = visit.node->children;
    const auto first = values.begin() + visit.next_value;
    if (children.size() <= static_cast<size_t>(values.end() - first)) {
      for (const auto& child : children) {
        auto it = std::lower_bound(first, values.end(), child.first);
        if (it != values.end() && CompareAttributeValues(*it, child.first) == 0) {
          stack.push_back({child.second.get(), static_cast<size_t>(it - values.begin()) + 1});
        }
      }
    } else {
      for (auto it = first; it != values.end(); ++it) {
        auto child = children.find(*it);
        if (child != children.end()) {
          stack.push_back({child->second.get(), static_cast<size_t>(it - values.begin()) + 1});
        }
      }
    }
  }
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
    if (node->monitors_below.erase(monitor_id) == 0) continue;
    if (node->subscribers.RemoveMonitor(monitor_id, tally)) ++removed;
    for (auto& child : node->children) {
      edges.push_back({node, &child.first});
      stack.push_back(child.second.get());
    }
  }
  for (auto edge = edges.rbegin(); edge != edges.rend(); ++edge) {
    auto child = edge->parent->children.find(*edge->element);
    if (child->second->IsEmpty()) edge->parent->children.erase(child);
  }
  return removed;
}

}  // namespace tarnix

#include "monitor/contains_all_subscriptions.h"

#include <algorithm>
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

void ContainsAllSubscriptions::Add(const std::vector<AttributeValue>& elements,
                                   const std::string& monitor_id, const SubscriptionText& text,
                                   const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return;
  }
  Node* node = &root_;
  for (const AttributeValue& element : elements) {
    std::unique_ptr<Node>& child = node->children[element];
    if (child == nullptr) child = std::make_unique<Node>();
    node = child.get();
  }
  node->subscribers.AddMonitor(monitor_id, text, tally);
}

bool ContainsAllSubscriptions::Delete(const std::vector<AttributeValue>& elements,
                                      const std::string& monitor_id, const SubscriptionText& wanted,
                                      SubscriptionText* removed, const RegistrationTally& tally) {
  if (elements.empty()) {
    LogNoElements();
    return false;
  }
  // path[i] is the node whose child elements[i] leads on.
  std::vector<Node*> path;
  path.reserve(elements.size() + 1);
  Node* node = &root_;
  for (const AttributeValue& element : elements) {
    auto child = node->children.find(element);
    if (child == node->children.end()) {
      LogNotFound();
      return false;
    }
    path.push_back(node);
    node = child->second.get();
  }
  if (node->subscribers.Find(monitor_id) == nullptr) {
    LogNotFound();
    return false;
  }
  if (!node->subscribers.DeleteMonitor(monitor_id, wanted, removed, tally)) return false;
  for (size_t i = elements.size(); i-- > 0;) {
    auto child = path[i]->children.find(elements[i]);
    if (!child->second->IsEmpty()) break;
    path[i]->children.erase(child);
  }
  return true;
}

void ContainsAllSubscriptions::Lookup(const std::vector<AttributeValue>& values,
                                      SubscriberSetList* sets) const {
  if (values.empty()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Empty Lookup request for CONTAINS_ALL subscriptions");
    return;
  }
  // Breadth first. A node's children all sort after the element that leads
  // to it, so each visit only needs the values after that element.
  struct Visit {
    const Node* node;
    size_t next_value;
  };
  std::vector<Visit> queue{{&root_, 0}};
  for (size_t head = 0; head < queue.size(); ++head) {
    const Visit visit = queue[head];
    sets->push_back(&visit.node->subscribers);
    const auto& children = visit.node->children;
    const auto first = values.begin() + visit.next_value;
    if (children.size() <= static_cast<size_t>(values.end() - first)) {
      for (const auto& child : children) {
        auto it = std::lower_bound(first, values.end(), child.first);
        if (it != values.end() && CompareAttributeValues(*it, child.first) == 0) {
          queue.push_back({child.second.get(), static_cast<size_t>(it - values.begin()) + 1});
        }
      }
    } else {
      for (auto it = first; it != values.end(); ++it) {
        auto child = children.find(*it);
        if (child != children.end()) {
          queue.push_back({child->second.get(), static_cast<size_t>(it - values.begin()) + 1});
        }
      }
    }
  }
}

size_t ContainsAllSubscriptions::RemoveMonitor(const std::string& monitor_id,
                                               const RegistrationTally& tally) {
  // Pre-order over the trie; pruning in reverse order then meets every
  // child before its parent.
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

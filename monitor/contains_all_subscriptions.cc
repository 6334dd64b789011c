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

void ContainsAllSubscriptions::Lookup(const std::vector<AttributeValue>& values,
                                      MatchedSubscribers* matched) const {
  if (values.empty()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0208",
               "Empty Lookup request for CONTAINS_ALL subscriptions");
    return;
  }
  // Depth first, one child at a time, so that what was found below one
  // child is known before its siblings are tried. A node's children all
  // sort after the element that leads to it, so only the values after that
  // element lead on; a node walks its children beside those values, or
  // looks those values up among more children.
  struct Frame {  // of a node with children
    const Node* node;
    bool by_children;
    std::map<AttributeValue, std::unique_ptr<Node>>::const_iterator child;
    size_t value;  // the next value to try
    // Once listed: the monitors below that were not found then, the last
    // looked at first.
    bool listed = false;
    std::vector<const std::string*> unfound;
  };
  std::vector<Frame> stack;
  std::unordered_set<std::string_view> found;
  auto is_found = [&](const std::string& monitor_id) {
    ++matched->visits;
    return found.count(monitor_id) > 0;
  };
  // Whether every monitor below the frame's node is found. Its list of
  // those that were not is made once, when that costs at most twice the
  // monitors found, and only shrinks.
  auto all_found = [&](Frame* frame) {
    const MonitorCounts& below = *frame->node->below;
    if (!frame->listed) {
      if (below.size() > 2 * found.size()) return false;
      for (const auto& monitor : below) {
        if (!is_found(monitor.first)) frame->unfound.push_back(&monitor.first);
      }
      frame->listed = true;
    }
    while (!frame->unfound.empty() && is_found(*frame->unfound.back())) frame->unfound.pop_back();
    return frame->unfound.empty();
  };
  // Whether every monitor of `node` and below is found: by looking at its
  // own, or at those its parent still misses, whichever are fewer.
  auto all_found_in = [&](const Node* node, const Frame* parent) {
    const size_t own = node->below != nullptr ? node->below->size() : node->subscribers.size();
    if (own > found.size()) return false;
    if (parent != nullptr && parent->listed && parent->unfound.size() < own) {
      for (const std::string* missing : parent->unfound) {
        if (!is_found(*missing) && node->HoldsBelow(*missing)) return false;
      }
      return true;
    }
    if (node->below == nullptr) return node->subscribers.AllMonitors(is_found);
    for (const auto& monitor : *node->below) {
      if (!is_found(monitor.first)) return false;
    }
    return true;
  };
  auto enter = [&](const Node* node, size_t first_value, const Frame* parent) {
    ++matched->visits;
    if (all_found_in(node, parent)) return;
    if (!node->subscribers.IsEmpty()) {
      matched->Add(node->subscribers);
      node->subscribers.ForEachMonitor([&](const std::string& monitor_id) {
        ++matched->visits;
        found.insert(monitor_id);
      });
    }
    if (node->children.empty()) return;
    Frame frame;
    frame.node = node;
    frame.by_children = node->children.size() <= values.size() - first_value;
    frame.child = node->children.begin();
    frame.value = first_value;
    stack.push_back(std::move(frame));
  };
  enter(&root_, 0, nullptr);
  while (!stack.empty() && !matched->done()) {
    Frame& frame = stack.back();
    const Node* next = nullptr;
    size_t next_first = 0;
    if (!all_found(&frame)) {
      const auto& children = frame.node->children;
      if (frame.by_children) {
        // Children and values both ascend: one walk over the two.
        while (next == nullptr && frame.child != children.end() && frame.value < values.size()) {
          const int order = CompareAttributeValues(values[frame.value], frame.child->first);
          if (order < 0) {
            ++frame.value;
            continue;
          }
          if (order == 0) {
            next = frame.child->second.get();
            next_first = ++frame.value;
          }
          ++frame.child;
        }
      } else {
        for (; next == nullptr && frame.value < values.size(); ++frame.value) {
          auto child = children.find(values[frame.value]);
          if (child != children.end()) {
            next = child->second.get();
            next_first = frame.value + 1;
          }
        }
      }
    }
    if (next == nullptr) {
      stack.pop_back();
    } else {
      enter(next, next_first, &frame);  // uses the frame before it may move
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

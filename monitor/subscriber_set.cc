#include "monitor/subscriber_set.h"

#include <algorithm>

#include "logging/logger.h"

namespace tarnix {

const std::string& SubscriptionText::Empty() {
  static const std::string* const empty = new std::string();
  return *empty;
}

bool SubscriberSet::AddMonitor(const std::string& monitor_id, const SubscriptionText& text,
                               const RegistrationTally& tally) {
  auto [it, inserted] = monitors_.try_emplace(monitor_id);
  Texts& texts = it->second;
  if (std::find(texts.begin(), texts.end(), text) == texts.end()) texts.push_back(text);
  if (inserted) tally.Raise();
  return inserted;
}

bool SubscriberSet::DeleteMonitor(const std::string& monitor_id, const SubscriptionText& wanted,
                                  SubscriptionText* removed, const RegistrationTally& tally) {
  auto it = monitors_.find(monitor_id);
  if (it == monitors_.end()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
               "The DeleteMonitor operation failed because a monitor with monitor_id %s was "
               "not found",
               monitor_id.c_str());
    return false;
  }
  Texts& texts = it->second;
  auto text = std::find(texts.begin(), texts.end(), wanted);
  if (text == texts.end()) {
    if (texts.size() > 1) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0009",
                 "The DeleteMonitor operation failed because monitor_id %s holds %zu other "
                 "subscriptions of the same predicate and not this one",
                 monitor_id.c_str(), texts.size());
      return false;
    }
    text = texts.begin();
  }
  *removed = std::move(*text);
  texts.erase(text);
  if (texts.empty()) {
    monitors_.erase(it);
    tally.Lower();
  }
  return true;
}

bool SubscriberSet::RemoveMonitor(const std::string& monitor_id, const RegistrationTally& tally) {
  if (monitors_.erase(monitor_id) == 0) return false;
  tally.Lower();
  return true;
}

const SubscriberSet::Texts* SubscriberSet::Find(const std::string& monitor_id) const {
  auto it = monitors_.find(monitor_id);
  return it == monitors_.end() ? nullptr : &it->second;
}

}  // namespace tarnix

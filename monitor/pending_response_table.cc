#include "monitor/pending_response_table.h"

#include <utility>

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

struct EntriesHash {
  size_t operator()(const std::vector<uint32_t>* entries) const {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a over the indices
    for (uint32_t index : *entries) hash = (hash ^ index) * 1099511628211ull;
    return static_cast<size_t>(hash);
  }
};

struct EntriesEqual {
  bool operator()(const std::vector<uint32_t>* a, const std::vector<uint32_t>* b) const {
    return *a == *b;
  }
};

}  // namespace

uint32_t PendingResponseTable::AddEntry(tx::MonitorUpdateMsg entry) {
  entries_.push_back(std::move(entry));
  return static_cast<uint32_t>(entries_.size() - 1);
}

std::vector<ResponseGroup> PendingResponseTable::TakeResponses(uint64_t txn_id) {
  std::vector<ResponseGroup> groups;
  std::unordered_map<const std::vector<uint32_t>*, size_t, EntriesHash, EntriesEqual> group_of;
  for (const auto& [monitor_id, pending] : monitors_) {
    if (pending.entries.empty()) continue;
    auto [it, inserted] = group_of.emplace(&pending.entries, groups.size());
    if (inserted) groups.emplace_back();
    groups[it->second].monitor_ids.push_back(monitor_id);
  }
  for (const auto& [entries, group] : group_of) {
    std::vector<tx::MonitorResponseMsg>& responses = groups[group].responses;
    uint64_t accumulated = 0;
    for (uint32_t index : *entries) {
      // Tested before the entry's bytes: a response ends with the entry
      // that carried it past the limit.
      if (responses.empty() || accumulated > kMaxResponseBytes) {
        responses.emplace_back();
        tx::TransactionControlMsg* control = responses.back().mutable_transaction_control();
        control->set_txn_id(txn_id);
        control->set_end_of_transaction(false);
        accumulated = 0;
      }
      const tx::MonitorUpdateMsg& entry = entries_[index];
      *responses.back().add_updates() = entry;
      accumulated += entry.object_body().size() + entry.old_object_body().size();
    }
    responses.back().mutable_transaction_control()->set_end_of_transaction(true);
  }
  entries_.clear();
  monitors_.clear();
  return groups;
}

}  // namespace tarnix

#include "monitor/monitor_snapshot.h"

#include <boost/functional/hash.hpp>
#include <unordered_set>
#include <utility>

#include "monitor/type_order.h"
#include "schema/schema.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

std::vector<QueryResultRecord>* SnapshotEntrySet::ScanResults(const std::string& type_name) {
  ++scans_[type_name];
  return &entries_;
}

void SnapshotEntrySet::AddNoMatch(const std::string& type_name) {
  entries_.push_back({type_name, std::string(), std::string()});
}

std::vector<QueryResultRecord> SnapshotEntrySet::TakeDistinct() {
  std::vector<QueryResultRecord> entries = std::move(entries_);
  entries_.clear();
  std::unordered_set<std::string> rescanned;
  for (const auto& scans : scans_) {
    if (scans.second > 1) rescanned.insert(scans.first);
  }
  scans_.clear();
  if (rescanned.empty()) return entries;

  const auto hash = [&entries](size_t i) {
    size_t seed = 0;
    boost::hash_combine(seed, entries[i].type_name);
    boost::hash_combine(seed, entries[i].object);
    boost::hash_combine(seed, entries[i].op_message);
    return seed;
  };
  const auto equal = [&entries](size_t a, size_t b) {
    return entries[a].type_name == entries[b].type_name && entries[a].object == entries[b].object &&
           entries[a].op_message == entries[b].op_message;
  };
  std::unordered_set<size_t, decltype(hash), decltype(equal)> seen(16, hash, equal);
  std::vector<bool> repeat(entries.size(), false);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (rescanned.count(entries[i].type_name) > 0) repeat[i] = !seen.insert(i).second;
  }
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (repeat[i]) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
  return entries;
}

void OrderMonitorUpdates(const Schema& schema, TypeOrder* order, SnapshotEntrySet* set,
                         std::vector<QueryResultRecord>* ordered) {
  std::vector<QueryResultRecord> entries = set->TakeDistinct();
  // Types in the order first met, with the number of entries of each.
  std::vector<std::string> types;
  std::unordered_map<std::string, size_t> type_index;
  std::vector<size_t> counts;
  for (const QueryResultRecord& entry : entries) {
    auto [it, inserted] = type_index.emplace(entry.type_name, types.size());
    if (inserted) {
      types.push_back(entry.type_name);
      counts.push_back(0);
    }
    ++counts[it->second];
  }
  if (types.size() <= 1) {
    for (QueryResultRecord& entry : entries) ordered->push_back(std::move(entry));
    return;
  }
  // Each type's entries go to the block of its rank, in their own order.
  std::vector<size_t> start(types.size());
  size_t offset = ordered->size();
  for (size_t type : order->ParentsFirst(schema, types)) {
    start[type] = offset;
    offset += counts[type];
  }
  ordered->resize(offset);
  for (QueryResultRecord& entry : entries) {
    (*ordered)[start[type_index[entry.type_name]]++] = std::move(entry);
  }
}

MonitorSnapshot::MonitorSnapshot(uint64_t txn_id, std::vector<QueryResultRecord> entries)
    : txn_id_(txn_id), entries_(std::move(entries)) {}

void MonitorSnapshot::BuildMonitorSnapshotResponse(const Schema& schema,
                                                   tx::MonitorResponseMsg* response) {
  response->Clear();
  tx::TransactionControlMsg* control = response->mutable_transaction_control();
  control->set_txn_id(txn_id_);
  control->set_end_of_transaction(false);
  size_t bytes = 0;
  while (next_ < entries_.size() && bytes <= kMaxChunkBytes) {
    QueryResultRecord entry = std::move(entries_[next_++]);
    tx::MonitorUpdateMsg* update = response->add_updates();
    schema.SetObjectType(entry.type_name, update);
    if (!entry.object.empty()) {
      bytes += entry.object.size();
      update->set_update_ops(std::move(entry.op_message));
      update->set_object_body(std::move(entry.object));
    }
  }
  if (Done()) control->set_end_of_transaction(true);
}

}  // namespace tarnix

#include "monitor/monitor_snapshot.h"

#include <algorithm>
#include <utility>

#include "monitor/type_order.h"
#include "schema/schema.h"
#include "schema/varint.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

namespace {

// Reads the length-prefixed bytes at `*offset` of `block` and moves past.
std::string_view ReadPart(const std::string& block, size_t* offset) {
  uint64_t length = 0;
  *offset += DecodeVarint64(block.data() + *offset, block.size() - *offset, &length);
  const std::string_view part(block.data() + *offset, length);
  *offset += length;
  return part;
}

}  // namespace

void SnapshotEntries::Add(std::string_view body, std::string_view op_message) {
  const size_t bytes = 2 * kMaxVarint64Bytes + body.size() + op_message.size();
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < bytes) {
    blocks_.emplace_back();
    blocks_.back().reserve(std::max(kBlockBytes, bytes));
  }
  std::string& block = blocks_.back();
  const size_t start = block.size();
  AppendVarint64(&block, body.size());
  block.append(body.data(), body.size());
  AppendVarint64(&block, op_message.size());
  block.append(op_message.data(), op_message.size());
  if (deduplicate_ && !held_.emplace(block.data() + start, block.size() - start).second) {
    block.resize(start);  // held already
    if (block.empty()) blocks_.pop_back();
  }
}

void SnapshotEntries::Deduplicate() {
  if (deduplicate_) return;
  deduplicate_ = true;
  for (const std::string& block : blocks_) {
    for (size_t offset = 0; offset < block.size();) {
      const size_t start = offset;
      ReadPart(block, &offset);
      ReadPart(block, &offset);
      held_.emplace(block.data() + start, offset - start);
    }
  }
}

bool SnapshotEntries::Done() const {
  const bool entries_left =
      blocks_.size() > 1 || (blocks_.size() == 1 && read_offset_ < blocks_.front().size());
  return !entries_left && !no_match_;
}

bool SnapshotEntries::Next(std::string_view* body, std::string_view* op_message) {
  // Reading has begun: nothing is added any more.
  if (!held_.empty()) std::unordered_set<std::string_view>().swap(held_);
  while (!blocks_.empty() && read_offset_ == blocks_.front().size()) {
    blocks_.pop_front();
    read_offset_ = 0;
  }
  if (!blocks_.empty()) {
    *body = ReadPart(blocks_.front(), &read_offset_);
    *op_message = ReadPart(blocks_.front(), &read_offset_);
    return true;
  }
  if (!no_match_) return false;
  no_match_ = false;
  *body = std::string_view();
  *op_message = std::string_view();
  return true;
}

class SnapshotEntrySet::Sink : public QueryResultSink {
 public:
  void Add(QueryResultRecord&& record) override { entries->Add(record.object, record.op_message); }
  SnapshotEntries* entries = nullptr;
};

SnapshotEntrySet::SnapshotEntrySet() : sink_(std::make_unique<Sink>()) {}

SnapshotEntrySet::~SnapshotEntrySet() = default;

SnapshotEntries* SnapshotEntrySet::Type(const std::string& type_name) {
  auto [it, inserted] = by_name_.emplace(type_name, nullptr);
  if (inserted) {
    types_.push_back(std::make_unique<SnapshotEntries>(type_name));
    it->second = types_.back().get();
  }
  return it->second;
}

QueryResultSink* SnapshotEntrySet::ScanResults(const std::string& type_name) {
  const bool scanned_before = by_name_.count(type_name) > 0;
  sink_->entries = Type(type_name);
  if (scanned_before) sink_->entries->Deduplicate();
  return sink_.get();
}

void SnapshotEntrySet::AddNoMatch(const std::string& type_name) { Type(type_name)->AddNoMatch(); }

std::vector<std::unique_ptr<SnapshotEntries>> SnapshotEntrySet::TakeTypes() {
  by_name_.clear();
  sink_->entries = nullptr;
  return std::move(types_);
}

std::vector<std::unique_ptr<SnapshotEntries>> OrderMonitorUpdates(const Schema& schema,
                                                                  TypeOrder* order,
                                                                  SnapshotEntrySet* set) {
  std::vector<std::unique_ptr<SnapshotEntries>> types = set->TakeTypes();
  if (types.size() <= 1) return types;
  std::vector<std::string> names;
  for (const auto& entries : types) names.push_back(entries->type_name());
  std::vector<std::unique_ptr<SnapshotEntries>> ordered;
  for (size_t type : order->ParentsFirst(schema, names)) ordered.push_back(std::move(types[type]));
  return ordered;
}

MonitorSnapshot::MonitorSnapshot(uint64_t txn_id,
                                 std::vector<std::unique_ptr<SnapshotEntries>> types)
    : txn_id_(txn_id) {
  for (auto& entries : types) types_.push_back(std::move(entries));
}

bool MonitorSnapshot::Done() {
  while (!types_.empty() && types_.front()->Done()) types_.pop_front();
  return types_.empty();
}

void MonitorSnapshot::BuildMonitorSnapshotResponse(const Schema& schema,
                                                   tx::MonitorResponseMsg* response) {
  response->Clear();
  tx::TransactionControlMsg* control = response->mutable_transaction_control();
  control->set_txn_id(txn_id_);
  control->set_end_of_transaction(false);
  size_t bytes = 0;
  std::string_view body, op_message;
  while (bytes <= kMaxChunkBytes && !Done() && types_.front()->Next(&body, &op_message)) {
    tx::MonitorUpdateMsg* update = response->add_updates();
    schema.types().SetObjectType(types_.front()->type_name(), update);
    if (!body.empty()) {
      bytes += body.size();
      update->set_update_ops(op_message.data(), op_message.size());
      update->set_object_body(body.data(), body.size());
    }
  }
  if (Done()) control->set_end_of_transaction(true);
}

}  // namespace tarnix

#include "monitor/monitor_snapshot.h"

#include <utility>

#include "monitor/type_order.h"
#include "schema/schema.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

// Takes the matches of the scan at the front into the chunk being filled,
// and pauses the scan once a chunk is ready.
class MonitorSnapshot::Packer : public QueryResultSink {
 public:
  explicit Packer(MonitorSnapshot* snapshot) : snapshot_(snapshot) {}
  void Add(QueryResultRecord&& record) override {
    snapshot_->AddUpdate(record.type_name, record.object, record.op_message);
  }
  bool Full() const override { return !snapshot_->ready_.empty(); }

 private:
  MonitorSnapshot* const snapshot_;
};

void OrderMonitorUpdates(const Schema& schema, TypeOrder* order, SnapshotScans* scans) {
  if (scans->size() <= 1) return;
  std::vector<std::string> names;
  for (const auto& scan : *scans) names.push_back(scan->type_name());
  SnapshotScans ordered;
  for (size_t type : order->ParentsFirst(schema, names)) ordered.push_back(std::move((*scans)[type]));
  scans->swap(ordered);
}

MonitorSnapshot::MonitorSnapshot(const Schema* schema, uint64_t txn_id, SnapshotScans scans)
    : schema_(schema), txn_id_(txn_id), packer_(std::make_unique<Packer>(this)) {
  for (auto& scan : scans) scans_.push_back(std::move(scan));
  filling_ = NewChunk();
  if (scans_.empty()) Finish();
}

MonitorSnapshot::~MonitorSnapshot() = default;

tx::MonitorResponseMsg MonitorSnapshot::NewChunk() const {
  tx::MonitorResponseMsg chunk;
  tx::TransactionControlMsg* control = chunk.mutable_transaction_control();
  control->set_txn_id(txn_id_);
  control->set_end_of_transaction(false);
  return chunk;
}

bool MonitorSnapshot::NextChunk(size_t max_records, tx::MonitorResponseMsg* chunk) {
  if (ready_.empty() && !scans_.empty()) {
    SnapshotTypeScan& scan = *scans_.front();
    if (scan.Step(max_records, packer_.get())) {
      if (!scan.status().ok()) {
        status_ = scan.status();
        scans_.clear();
        ready_.clear();
        held_.reset();
        return false;
      }
      if (scan.some_clause_matched_nothing()) AddUpdate(scan.type_name(), {}, {});
      scans_.pop_front();
      if (scans_.empty()) Finish();
    }
  }
  if (ready_.empty()) return false;
  chunk->Swap(&ready_.front());
  ready_.pop_front();
  return true;
}

void MonitorSnapshot::AddUpdate(const std::string& type_name, std::string_view body,
                                std::string_view op_message) {
  if (held_) {
    ready_.push_back(std::move(*held_));
    held_.reset();
  }
  tx::MonitorUpdateMsg* update = filling_.add_updates();
  schema_->types().SetObjectType(type_name, update);
  if (body.empty()) return;
  update->set_update_ops(op_message.data(), op_message.size());
  update->set_object_body(body.data(), body.size());
  filling_bytes_ += body.size();
  if (filling_bytes_ > kMaxChunkBytes) CloseChunk();
}

void MonitorSnapshot::CloseChunk() {
  held_ = std::move(filling_);
  filling_ = NewChunk();
  filling_bytes_ = 0;
}

void MonitorSnapshot::Finish() {
  if (filling_.updates_size() > 0) {
    if (held_) ready_.push_back(std::move(*held_));
    held_ = std::move(filling_);
  }
  if (!held_) return;  // nothing matched at all: no message
  held_->mutable_transaction_control()->set_end_of_transaction(true);
  ready_.push_back(std::move(*held_));
  held_.reset();
}

}  // namespace tarnix

#include "monitor/snapshot_type_scan.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "monitor/subscription_predicate.h"
#include "query/op_msg_fields.h"
#include "schema/schema.h"

namespace tarnix {

namespace pb = google::protobuf;

// Hands the results on, and credits the clauses behind each one: a match
// whose selection leaves nothing is no match of its clauses.
class SnapshotTypeScan::CreditingSink : public QueryResultSink {
 public:
  CreditingSink(SnapshotTypeScan* scan, QueryResultSink* sink) : scan_(scan), sink_(sink) {}
  void Add(QueryResultRecord&& record) override {
    scan_->CreditLastMatch();
    sink_->Add(std::move(record));
  }
  // Pauses the scan while crediting waits for another step, or once a
  // record cost more than its matching allows.
  bool Full() const override {
    return sink_->Full() || !scan_->crediting_.empty() || scan_->matching_ != nullptr ||
           !scan_->refusal_.ok();
  }

 private:
  SnapshotTypeScan* const scan_;
  QueryResultSink* const sink_;
};

namespace {

// Clauses a step may credit, and move to credited_, per record it may
// read.
constexpr size_t kClausesPerRecord = 2;

// Readies *matched for matching one record against the scan's clauses:
// they are all one monitor's, and the match stops at the first over budget.
void StartRecordMatch(size_t limit, MatchedSubscribers* matched) {
  matched->clear();
  matched->limit = limit;
  matched->stop_over_budget = true;
  matched->one_monitor = true;
}

// Counts what a key lookup found.
class CountingSink : public QueryResultSink {
 public:
  explicit CountingSink(QueryResultSink* sink) : sink_(sink) {}
  void Add(QueryResultRecord&& record) override {
    ++count;
    sink_->Add(std::move(record));
  }
  size_t count = 0;

 private:
  QueryResultSink* const sink_;
};

}  // namespace

SnapshotTypeScan::SnapshotTypeScan(const Schema* schema, const QueryScan* scan,
                                   std::string type_name, VdbId vdb_id,
                                   const DbAccess::SnapshotHolder& snapshot)
    : schema_(schema),
      scan_(scan),
      type_name_(std::move(type_name)),
      vdb_id_(vdb_id),
      snapshot_(snapshot),
      selecting_(schema),
      matcher_(schema) {}

SnapshotTypeScan::~SnapshotTypeScan() = default;

Status SnapshotTypeScan::Start(const Schema* schema, const QueryScan* scan,
                               const std::string& type_name, const std::string& selection,
                               const std::vector<WhereClause>& clauses, VdbId vdb_id,
                               const DbAccess::SnapshotHolder& snapshot,
                               std::unique_ptr<SnapshotTypeScan>* started) {
  std::unique_ptr<SnapshotTypeScan> type_scan(
      new SnapshotTypeScan(schema, scan, type_name, vdb_id, snapshot));
  if (!selection.empty()) {
    const std::string op_type = schema->op_messages().GetOpMsgTypeName(type_name);
    type_scan->selection_.reset(schema->types().ParseMessage(op_type, selection));
    if (!type_scan->matcher_.MessageHasSelfField(type_scan->selection_.get())) {
      type_scan->selected_.reset(schema->types().NewMessage(type_name));
      type_scan->selected_op_.reset(schema->types().NewMessage(op_type));
    }
  }
  bool all_keys = true;
  for (const WhereClause& clause : clauses) {
    TarnixObject::MessagePtr op = clause.first->GetMessage(*schema);
    TarnixObject::MessagePtr value = clause.second->GetMessage(*schema);
    const size_t index = type_scan->ops_.size();
    if (!scan->IsKeyLookup(*op, *value)) {
      all_keys = false;
    } else {
      const std::string key = schema->keys().GetKey(value.get());
      if (key.empty()) return Status::InvalidArgument("object id missing from value");
      type_scan->keys_.emplace(key, index);
    }
    if (SetFields(*op).empty()) {
      type_scan->whole_type_ = true;
    } else {
      type_scan->attribute_clauses_.push_back(index);
    }
    type_scan->ops_.push_back(std::move(op));
    type_scan->values_.push_back(std::move(value));
  }
  type_scan->key_lookups_ = all_keys;
  type_scan->next_key_ = type_scan->keys_.begin();
  type_scan->matched_.assign(type_scan->ops_.size(), false);
  type_scan->in_uncredited_.assign(type_scan->ops_.size(), false);
  *started = std::move(type_scan);
  return Status::OK();
}

bool SnapshotTypeScan::Step(size_t max_records, QueryResultSink* sink) {
  if (done_) return true;
  if (key_lookups_) {
    StepKeyLookups(max_records, sink);
    return done_;
  }
  if (indexed_ < attribute_clauses_.size()) {
    IndexClauses(max_records);
    return false;
  }
  if (cursor_ == nullptr) {
    cursor_ =
        scan_->StartFilteredScan(selection_.get(), *values_.front(), this, vdb_id_, snapshot_);
    snapshot_.reset();  // the cursor holds it
  }
  step_budget_ = budget_ = max_records * kClausesPerRecord;
  bool settled = Settle();
  if (EndIfRefused()) return true;
  if (!settled) return false;
  if (!records_done_) {
    CreditingSink crediting(this, sink);
    records_done_ = cursor_->Step(max_records, &crediting);
    if (EndIfRefused()) return true;
    if (!records_done_) return false;
    if (cursor_->status().ok()) {
      settled = Settle();
      if (EndIfRefused()) return true;
      if (!settled) return false;
    }
  }
  Status status = cursor_->status();
  matched_nothing_ = (whole_type_ && !whole_type_matched_) || matched_count_ < clause_count_;
  End(std::move(status));
  return true;
}

void SnapshotTypeScan::IndexClauses(size_t max_clauses) {
  const RegistrationTally tally(&registrations_, &clause_registrations_);
  for (size_t n = 0; n < max_clauses && indexed_ < attribute_clauses_.size(); ++n) {
    const size_t clause = attribute_clauses_[indexed_++];
    ++clause_count_;
    // A CONTAINS_ANY or CONTAINS_ALL without elements is stored nowhere:
    // it can match only one by one.
    SubscriptionPredicate predicate;
    if (!ReadPredicate(clause, &predicate) ||
        (predicate.elements.empty() && (predicate.target == PredicateTarget::kContainsAny ||
                                        predicate.target == PredicateTarget::kContainsAll))) {
      unindexed_.push_back(clause);
      continue;
    }
    uncredited_[predicate.path.front()].AddSubscription(predicate, std::to_string(clause),
                                                        SubscriptionText(), tally);
    in_uncredited_[clause] = true;
  }
}

bool SnapshotTypeScan::ReadPredicate(size_t clause, SubscriptionPredicate* predicate) const {
  const pb::Message& op = *ops_[clause];
  const std::vector<const pb::FieldDescriptor*> fields = SetFields(op);
  return fields.size() == 1 &&
         ReadSubscriptionPredicate(*schema_, op, fields.front(), values_[clause].get(),
                                   PredicateUse::kAdd, predicate);
}

void SnapshotTypeScan::Collect(const Trees& trees, const pb::Message& object,
                               MatchedSubscribers* matched) const {
  for (const pb::FieldDescriptor* field : SetFields(object)) {
    if (matched->done()) return;
    auto tree = trees.find(field->name());
    if (tree != trees.end()) tree->second.CollectMatchingMonitors(*schema_, object, field, matched);
  }
}

bool SnapshotTypeScan::Selects(const pb::Message& object) {
  if (selected_ == nullptr) return true;  // the object stays whole
  selected_->CopyFrom(object);
  selected_op_->Clear();
  selecting_.ApplySelectionOnSet(selection_.get(), selected_.get(), selected_op_.get());
  return selected_op_->ByteSizeLong() > 0;
}

bool SnapshotTypeScan::Accept(const pb::Message& object) {
  // Before any matching: a record the selection drops would credit
  // nothing, and the clauses it matches would be visited again and again.
  if (!Selects(object)) return false;
  StartRecordMatch(step_budget_, &last_);
  last_unindexed_.clear();
  next_matching_.reset();
  Collect(uncredited_, object, &last_);
  if (Refuse(last_)) return false;
  if (last_.done()) {
    next_matching_.reset(object.New());
    next_matching_->CopyFrom(object);  // before the selection prunes it
  }
  for (size_t clause : unindexed_) {
    if (matcher_.MatchOpMsg(ops_[clause].get(), values_[clause].get(), &object,
                            object.GetDescriptor())) {
      last_unindexed_.push_back(clause);
    }
  }
  work_ += last_.visits;
  if (whole_type_ || !last_.empty() || !last_unindexed_.empty()) return true;
  MatchedSubscribers any;
  StartRecordMatch(1, &any);
  Collect(credited_, object, &any);
  work_ += any.visits;
  return !Refuse(any) && !any.empty();
}

void SnapshotTypeScan::CreditLastMatch() {
  if (whole_type_) whole_type_matched_ = true;
  Credit(last_);
  last_.clear();  // moving changes the sets it names
  for (size_t clause : last_unindexed_) Credit(clause);
  matching_ = std::move(next_matching_);
  Settle();
}

void SnapshotTypeScan::Credit(const MatchedSubscribers& matched) {
  matched.ForEachMonitor(
      [this](const std::string& clause) { Credit(std::strtoull(clause.c_str(), nullptr, 10)); });
}

void SnapshotTypeScan::Credit(size_t clause) {
  if (matched_[clause]) return;
  matched_[clause] = true;
  ++matched_count_;
  crediting_.push_back(clause);
}

bool SnapshotTypeScan::Settle() {
  MoveCredited();
  if (crediting_.empty()) {
    MatchAgain();
    MoveCredited();
  }
  return crediting_.empty() && matching_ == nullptr;
}

void SnapshotTypeScan::MatchAgain() {
  if (matching_ == nullptr || budget_ == 0) return;
  MatchedSubscribers more;
  // Each pass goes over the object's values again: taking about as many
  // clauses as it has values, a pass costs no more than what it credits.
  // A value takes two bytes on the wire at least.
  StartRecordMatch(std::max(budget_, matching_->ByteSizeLong() / 2), &more);
  Collect(uncredited_, *matching_, &more);
  work_ += more.visits;
  if (Refuse(more) || !more.done()) matching_.reset();
  Credit(more);
  budget_ -= std::min(budget_, more.named);
}

void SnapshotTypeScan::MoveCredited() {
  const RegistrationTally tally(&registrations_, &clause_registrations_);
  for (; budget_ > 0 && !crediting_.empty(); --budget_) {
    const size_t clause = crediting_.back();
    crediting_.pop_back();
    ++work_;
    if (!in_uncredited_[clause]) continue;  // matched one by one
    in_uncredited_[clause] = false;
    // Read again rather than kept: the clauses' messages are at hand.
    SubscriptionPredicate predicate;
    ReadPredicate(clause, &predicate);
    const std::string& name = predicate.path.front();
    const std::string id = std::to_string(clause);
    auto tree = uncredited_.find(name);
    SubscriptionText text;
    tree->second.DeleteSubscription(predicate, id, &text, tally);
    if (tree->second.IsEmpty()) uncredited_.erase(tree);
    credited_[name].AddSubscription(predicate, id, text, tally);
  }
}

bool SnapshotTypeScan::Refuse(const MatchedSubscribers& matched) {
  if (matched.over_budget.empty()) return false;
  if (refusal_.ok()) {
    refusal_ =
        Status::ResourceExhausted("Matching the CONTAINS_ALL where clauses of " + type_name_ +
                                  " against one stored object took more than " +
                                  std::to_string(matched.over_budget.front().allowed_steps) +
                                  " steps, the limit for that object; narrow the where clauses");
  }
  return true;
}

bool SnapshotTypeScan::EndIfRefused() {
  if (refusal_.ok()) return false;
  End(refusal_);
  return true;
}

void SnapshotTypeScan::StepKeyLookups(size_t max_records, QueryResultSink* sink) {
  for (size_t n = 0; n < max_records && next_key_ != keys_.end() && !sink->Full(); ++n) {
    const size_t clause = (next_key_++)->second;
    CountingSink counted(sink);
    Status status = scan_->ExecuteQueryScan(selection_.get(), *ops_[clause], *values_[clause],
                                            nullptr, vdb_id_, snapshot_, &counted);
    if (!status.ok()) return End(std::move(status));
    if (counted.count == 0) matched_nothing_ = true;
  }
  if (next_key_ == keys_.end()) End(Status::OK());
}

void SnapshotTypeScan::End(Status status) {
  done_ = true;
  status_ = std::move(status);
  if (!status_.ok()) matched_nothing_ = false;
  cursor_.reset();
  snapshot_.reset();
  uncredited_.clear();
  credited_.clear();
  std::vector<bool>().swap(in_uncredited_);
  std::vector<size_t>().swap(crediting_);
  matching_.reset();
  next_matching_.reset();
  last_.clear();
}

}  // namespace tarnix

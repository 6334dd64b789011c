// Random Modify streams through the real write path and through a small
// model that applies each stream's entries in order; after every transaction
// the stored records, the transaction's log units and the object statistics
// must agree with the model (and the statistics with a recount).

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "logging/log_capture.h"
#include "platform/metrics/metric_registry.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"
#include "schema/vdb_id_set.h"
#include "storage/db_access.h"
#include "storage/key_space.h"
#include "write/group_commit.h"
#include "write/object_stats_maintainer.h"
#include "write/transaction_ids.h"
#include "write/transaction_log_store.h"
#include "write/vdb_registry.h"
#include "write/write_metrics.h"
#include "write/write_telemetry.h"
#include "write/write_transactions.h"
#include "write/write_transactions_test_util.h"

namespace tarnix {
namespace {

// --- The model ---

// Two devices patched on their hostname, two addresses on their prefix length.
struct ObjectDef {
  int type;          // index into kTypes
  const char* name;  // as printed
  int n;
};
const char* const kTypes[] = {kDevice, kAddress};
const char* const kTypeNames[] = {"DeviceMsg", "AddressMsg"};
const ObjectDef kObjects[] = {{0, "D1", 1}, {0, "D2", 2}, {1, "A1", 1}, {1, "A2", 2}};
constexpr int kObjectCount = 4;
constexpr VdbId kVdbs[] = {1, 2, 3};
constexpr int kUnset = -1;  // the patched field is left out of the body
constexpr int kValues = 3;  // values 0..2 of the patched field

struct Entry {
  enum Kind { kPut, kDelete, kFlush, kPatch, kCopy };
  Kind kind;
  int target;                 // object index; for kFlush the type index
  int value;                  // kPut, kPatch: the patched field, or kUnset
  uint32_t src;               // kCopy: the source vdb; 0 leaves it out (vdb 1)
  std::vector<uint32_t> ids;  // empty: the vdbs of the entry before
};
using Stream = std::vector<Entry>;

Entry Put(int object, int value, std::vector<uint32_t> ids = {}) {
  return {Entry::kPut, object, value, 0, std::move(ids)};
}
Entry Delete(int object, std::vector<uint32_t> ids = {}) {
  return {Entry::kDelete, object, kUnset, 0, std::move(ids)};
}
Entry Flush(int type, std::vector<uint32_t> ids = {}) {
  return {Entry::kFlush, type, kUnset, 0, std::move(ids)};
}
Entry Patch(int object, int value, std::vector<uint32_t> ids = {}) {
  return {Entry::kPatch, object, value, 0, std::move(ids)};
}
Entry Copy(int object, uint32_t src, std::vector<uint32_t> ids = {}) {
  return {Entry::kCopy, object, kUnset, src, std::move(ids)};
}

// Per (object, vdb holding it): the patched field of the body held there.
using State = std::map<std::pair<int, VdbId>, int>;
// Per (object, vdb) that some entry wrote: whether only Puts did.
using Writes = std::map<std::pair<int, VdbId>, bool>;

void Wrote(int object, VdbId v, bool by_put, Writes* writes) {
  auto it = writes->emplace(std::make_pair(object, v), by_put).first;
  it->second = it->second && by_put;
}

// A copy replaces its destinations by the source's version as it stands,
// and only when the source holds the object. The source is never a
// destination: an explicit list drops it for the entries after too, a
// carried set only for this copy.
void ApplyCopy(const Entry& e, VdbIdSet* vdbs, State* state, Writes* writes) {
  const VdbId src = e.src == 0 ? 1 : static_cast<VdbId>(e.src);
  if (!e.ids.empty()) vdbs->erase(src);
  VdbIdSet destinations = *vdbs;
  destinations.erase(src);
  const auto from = state->find({e.target, src});
  const bool held = from != state->end();
  const int value = held ? from->second : kUnset;
  for (VdbId v : destinations) {
    if (held) (*state)[{e.target, v}] = value;
    Wrote(e.target, v, false, writes);
  }
}

// Applies one entry; *vdbs carries the vdb set from entry to entry. False
// when a patch names a vdb that does not hold the object at that point: the
// whole stream then fails.
bool Apply(const Entry& e, VdbIdSet* vdbs, State* state, Writes* writes) {
  if (!e.ids.empty()) *vdbs = VdbIdSet(e.ids.begin(), e.ids.end());
  switch (e.kind) {
    case Entry::kPut:
      for (VdbId v : *vdbs) {
        (*state)[{e.target, v}] = e.value;
        Wrote(e.target, v, true, writes);
      }
      return true;
    case Entry::kDelete:
      for (VdbId v : *vdbs) {
        state->erase({e.target, v});
        Wrote(e.target, v, false, writes);
      }
      return true;
    case Entry::kFlush:
      for (int object = 0; object < kObjectCount; ++object) {
        if (kObjects[object].type != e.target) continue;
        for (VdbId v : *vdbs) {
          state->erase({object, v});
          Wrote(object, v, false, writes);
        }
      }
      return true;
    case Entry::kPatch:
      for (VdbId v : *vdbs) {
        if (state->count({e.target, v}) == 0) return false;
      }
      for (VdbId v : *vdbs) {
        (*state)[{e.target, v}] = e.value;
        Wrote(e.target, v, false, writes);
      }
      return true;
    case Entry::kCopy:
      ApplyCopy(e, vdbs, state, writes);
      return true;
  }
  return true;
}

// The stream's entries in order on *state; false (and *state untouched) when
// the stream fails.
bool ApplyStream(const Stream& stream, State* state, Writes* writes) {
  State next = *state;
  VdbIdSet vdbs = {1};
  for (const Entry& e : stream) {
    if (!Apply(e, &vdbs, &next, writes)) return false;
  }
  *state = std::move(next);
  return true;
}

// --- Printing: "put D1=h0 in [1,2]; copy D1 from 3 to []" ([] = the vdbs of
// the entry before) ---

std::string ValueText(int object, int value) {
  if (value == kUnset) return "-";
  if (kObjects[object].type == 0) return "h" + std::to_string(value);
  return "/" + std::to_string(8 * (value + 1));
}

std::string IdsText(const std::vector<uint32_t>& ids) {
  std::string text = "[";
  for (size_t i = 0; i < ids.size(); ++i) text += (i ? "," : "") + std::to_string(ids[i]);
  return text + "]";
}

std::string Describe(const Entry& e) {
  const std::string object = kObjects[e.target].name;
  switch (e.kind) {
    case Entry::kPut:
      return "put " + object + "=" + ValueText(e.target, e.value) + " in " + IdsText(e.ids);
    case Entry::kDelete:
      return "delete " + object + " in " + IdsText(e.ids);
    case Entry::kFlush:
      return std::string("flush ") + kTypeNames[e.target] + " in " + IdsText(e.ids);
    case Entry::kPatch:
      return "patch " + object + "=" + ValueText(e.target, e.value) + " in " + IdsText(e.ids);
    case Entry::kCopy:
      return "copy " + object + " from " + (e.src ? std::to_string(e.src) : "(1)") + " to " +
             IdsText(e.ids);
  }
  return "?";
}

std::string Describe(const Stream& stream) {
  std::string text;
  for (const Entry& e : stream) text += (text.empty() ? "" : "; ") + Describe(e);
  return "{" + text + "}";
}

std::string Describe(const std::vector<Stream>& streams) {
  std::string text;
  for (const Stream& s : streams) text += (text.empty() ? "" : " then ") + Describe(s);
  return text;
}

std::string Describe(const State& state) {
  std::ostringstream out;
  int last = -1;
  for (const auto& [at, value] : state) {
    out << (at.first != last ? std::string(last < 0 ? "" : " ") + kObjects[at.first].name + ":"
                             : std::string(","))
        << at.second << "=" << ValueText(at.first, value);
    last = at.first;
  }
  return last < 0 ? "(nothing)" : out.str();
}

// --- Random streams ---

// 1 to 6 entries on four objects in vdbs 1 to 3; a third of them reuse the
// vdbs of the entry before. Patches mostly name vdbs that hold the object,
// so that most streams commit; one that does not fails its stream, and
// half the time later entries follow it (they must not hide the failure).
Stream Generate(std::mt19937* rng, const State& state) {
  auto pick = [rng](int n) { return static_cast<int>((*rng)() % static_cast<unsigned>(n)); };
  auto some_of = [&pick](const std::vector<uint32_t>& from) {
    std::vector<uint32_t> ids;
    while (ids.empty()) {
      for (uint32_t v : from) {
        if (pick(2)) ids.push_back(v);
      }
    }
    if (pick(2)) std::swap(ids.front(), ids.back());
    return ids;
  };
  Stream stream;
  State at = state;
  VdbIdSet vdbs = {1};
  Writes ignored;
  const int entries = 1 + pick(6);
  for (int i = 0; i < entries; ++i) {
    const int kind = pick(100);
    Entry e{kind < 30   ? Entry::kPut
            : kind < 45 ? Entry::kDelete
            : kind < 52 ? Entry::kFlush
            : kind < 75 ? Entry::kPatch
                        : Entry::kCopy,
            0,
            pick(kValues + 1) - 1,
            0,
            {}};
    e.target = e.kind == Entry::kFlush ? pick(2) : pick(kObjectCount);
    if (e.kind == Entry::kCopy && pick(5)) e.src = 1 + pick(3);
    if (pick(3)) e.ids = some_of({1, 2, 3});
    if (e.kind == Entry::kPatch && pick(4)) {
      std::vector<uint32_t> held;
      for (VdbId v : kVdbs) {
        if (at.count({e.target, v})) held.push_back(v);
      }
      if (!held.empty()) e.ids = some_of(held);
    }
    stream.push_back(e);
    if (!Apply(e, &vdbs, &at, &ignored) && pick(2)) break;
  }
  return stream;
}

// --- The real write path ---

const Schema& ExampleSchema() {
  static const Schema schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  return schema;
}

std::string Serialized(const std::string& type, const std::string& text) {
  std::unique_ptr<google::protobuf::Message> message(ExampleSchema().types().NewMessage(type));
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
  return message->SerializeAsString();
}

std::string BodyText(int object, int value) {
  const ObjectDef& o = kObjects[object];
  std::string text;
  if (o.type == 0) {
    text = "id { left: " + std::to_string(o.n) + " }";
    if (value != kUnset) text += " hostname: 'h" + std::to_string(value) + "'";
  } else {
    text = "ip: '10.0.0." + std::to_string(o.n) + "'";
    if (value != kUnset) text += " prefix_length: " + std::to_string(8 * (value + 1));
  }
  return Serialized(kTypes[o.type], text);
}

// The body of an object with its patched field at `value`.
const std::string& Body(int object, int value) {
  static std::map<std::pair<int, int>, std::string> bodies;
  auto it = bodies.find({object, value});
  if (it == bodies.end())
    it = bodies.emplace(std::make_pair(object, value), BodyText(object, value)).first;
  return it->second;
}

// The object of a type name and id; kObjectCount for none.
int ObjectOf(const std::string& type, const std::string& id) {
  const Schema& schema = ExampleSchema();
  int object = 0;
  while (object < kObjectCount &&
         !(kTypes[kObjects[object].type] == type &&
           schema.keys().GetKeyFromSerialized(type, Body(object, kUnset)) == id)) {
    ++object;
  }
  return object;
}

tx::TypedObjectMsg Typed(int object, int value) {
  tx::TypedObjectMsg typed;
  ExampleSchema().types().SetObjectType(kTypes[kObjects[object].type], &typed);
  typed.set_object_body(Body(object, value));
  return typed;
}

tx::ModifyRequestMsg Request(const Stream& stream) {
  const Schema& schema = ExampleSchema();
  tx::ModifyRequestMsg request;
  for (const Entry& e : stream) {
    tx::ModifyMsg* entry = request.add_modifies();
    google::protobuf::RepeatedField<uint32_t>* ids = nullptr;
    switch (e.kind) {
      case Entry::kPut:
        *entry->mutable_put_msg()->mutable_object() = Typed(e.target, e.value);
        ids = entry->mutable_put_msg()->mutable_vdb_ids();
        break;
      case Entry::kDelete:
        *entry->mutable_delete_msg()->mutable_object() = Typed(e.target, kUnset);
        ids = entry->mutable_delete_msg()->mutable_vdb_ids();
        break;
      case Entry::kFlush:
        schema.types().SetObjectType(kTypes[e.target], entry->mutable_flush_msg());
        ids = entry->mutable_flush_msg()->mutable_vdb_ids();
        break;
      case Entry::kPatch: {
        const std::string type = kTypes[kObjects[e.target].type];
        tx::PatchMsg* patch = entry->mutable_patch_msg();
        schema.types().SetObjectType(type, patch);
        patch->set_object_value(Body(e.target, e.value));
        patch->set_op_msg(Serialized(
            schema.op_messages().GetOpMsgTypeName(type),
            kObjects[e.target].type == 0 ? "hostname { op: SET }" : "prefix_length { op: SET }"));
        ids = patch->mutable_vdb_ids();
        break;
      }
      case Entry::kCopy:
        *entry->mutable_copy_msg()->mutable_object() = Typed(e.target, kUnset);
        if (e.src) entry->mutable_copy_msg()->set_src_vdb_id(e.src);
        ids = entry->mutable_copy_msg()->mutable_vdb_ids();
        break;
    }
    for (uint32_t v : e.ids) ids->Add(v);
  }
  return request;
}

// The write machinery on a fresh database; vdbs 1, 2 and 3 registered.
class WritePath {
 public:
  WritePath() {
    db_ = std::make_unique<DbAccess>(registry_);
    EXPECT_TRUE(db_->Open(dir_.path() + "/db").ok());
    ids_ = std::make_unique<TransactionIds>(db_.get());
    ids_->InitTxnId();
    log_store_ = std::make_unique<TransactionLogStore>(db_.get(), 1 << 24, &registry_);
    vdbs_ = std::make_unique<VDbRegistry>(db_.get(), log_store_.get());
    vdbs_->InitVDbInfo();
    vdbs_->AddVDbInfo(2, "vdb2", nullptr);
    vdbs_->AddVDbInfo(3, "vdb3", nullptr);
    stats_ = std::make_unique<ObjectStatsMaintainer>(&registry_);
    metrics_ = std::make_unique<WriteMetrics>(registry_);
    commits_ = std::make_unique<GroupCommit>(db_.get());
    txn_ = std::make_unique<WriteTransactions>(&ExampleSchema(), db_.get(), ids_.get(),
                                               log_store_.get(), vdbs_.get(), stats_.get(),
                                               metrics_.get(), &telemetry_, &recorder_,
                                               commits_.get());
    NewUnits();
  }

  // Runs one Modify stream; the status it was answered with.
  Status Run(const tx::ModifyRequestMsg& request) {
    recorder_.events.clear();
    std::list<tx::ModifyRequestMsg> requests = {request};
    txn_->Run(kAdmin, &recorder_, &requests);
    ++txn_id_;
    capture_.Clear();
    if (recorder_.events == std::vector<std::string>{"fail"}) return recorder_.failure;
    if (recorder_.events == std::vector<std::string>{"respond", "notify"}) return {};
    return Status(Status::kInternal,
                  "answered " + std::to_string(recorder_.events.size()) + " times");
  }
  uint64_t txn_id() const { return txn_id_; }

  // The stored records as a State. False, with the reason in *problems, for
  // a record the model cannot name; problems that still give a State (two
  // records of one body, a vdb in two records) are added to *problems too.
  bool ReadState(State* state, std::string* problems) {
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, std::string(kObjectPrefix), &records).ok());
    std::map<std::pair<int, int>, int> records_of_body;
    for (const auto& [key, value] : records) {
      std::string type, id, suffix;
      VdbIdSet vdbs;
      const int object = TryDecodeObjectRecordKey(ExampleSchema(), key, &type, &id, &suffix)
                             ? ObjectOf(type, id)
                             : kObjectCount;
      int body = kUnset;
      while (object < kObjectCount && body < kValues && Body(object, body) != value) ++body;
      if (object >= kObjectCount || body >= kValues || suffix.empty() ||
          !DecodeVdbSuffix(suffix, &vdbs)) {
        *problems += "  a record the model cannot name: type " + type + ", " +
                     std::to_string(value.size()) + " bytes\n";
        return false;
      }
      if (++records_of_body[{object, body}] == 2) {
        *problems += "  " + std::string(kObjects[object].name) + " has two records of body " +
                     ValueText(object, body) + "\n";
      }
      for (VdbId v : vdbs) {
        if (!state->emplace(std::make_pair(object, v), body).second) {
          *problems += "  vdb " + std::to_string(v) + " is in two records of " +
                       kObjects[object].name + "\n";
        }
      }
    }
    return true;
  }

  // The log units written since the last call, in key order.
  std::vector<tx::TransactionLogUnitMsg> NewUnits() {
    DbAccess::Records records;
    EXPECT_TRUE(db_->PrefixFilter(nullptr, std::string(kTxnLogPrefix), &records).ok());
    std::vector<tx::TransactionLogUnitMsg> units;
    for (const auto& [key, value] : records) {
      if (!seen_units_.insert(key).second) continue;
      units.emplace_back();
      EXPECT_TRUE(units.back().ParseFromString(value));
    }
    return units;
  }

  // "" when the live counters of both types equal a recount of the stored
  // records.
  std::string StatisticsMismatch() {
    orv::metrics::MetricRegistry registry;
    ObjectStatsMaintainer recount(&registry);
    ComputeStatistics(ExampleSchema(), db_.get(), &recount);
    std::string text;
    for (const char* type : kTypes) {
      const auto live = Counts(stats_.get(), type);
      const auto want = Counts(&recount, type);
      if (live != want) {
        text += std::string("  ") + type + ": " + std::to_string(live.first) + " objects, " +
                std::to_string(live.second) + " bytes; a recount gives " +
                std::to_string(want.first) + " objects, " + std::to_string(want.second) +
                " bytes\n";
      }
    }
    return text;
  }

 private:
  static std::pair<uint64_t, uint64_t> Counts(ObjectStatsMaintainer* stats, const char* type) {
    const ObjectStatsMaintainer::TypeCounters& c = stats->GetOrCreateTypeCounters(type);
    return {(*c.num_of_objects)->window(true).last, (*c.total_size)->window(true).last};
  }

  orv::LogCapture capture_;
  TempDir dir_;
  orv::metrics::MetricRegistry registry_;
  std::unique_ptr<DbAccess> db_;
  std::unique_ptr<TransactionIds> ids_;
  std::unique_ptr<TransactionLogStore> log_store_;
  std::unique_ptr<VDbRegistry> vdbs_;
  std::unique_ptr<ObjectStatsMaintainer> stats_;
  std::unique_ptr<WriteMetrics> metrics_;
  WriteTelemetry telemetry_;
  Recorder recorder_;
  std::unique_ptr<GroupCommit> commits_;
  std::unique_ptr<WriteTransactions> txn_;
  uint64_t txn_id_ = 0;
  std::set<std::string> seen_units_;
};

// --- Comparing the two ---

struct Mismatch {
  std::string what;  // "answers", "stored records", "log units" or "statistics"
  std::string text;
};

// What a committed transaction must log for (object, vdb): "updated" where the
// vdb newly holds the object or holds another body, "deleted" where it lost
// it. Where the body stayed, "unchanged" is allowed, and required when only
// Puts wrote there (they stored the body the vdb held).
std::string CheckUnits(const std::vector<tx::TransactionLogUnitMsg>& units, bool committed,
                       const tx::ModifyRequestMsg& sent, uint64_t txn_id, const State& before,
                       const State& after, const Writes& writes) {
  if (!committed) {
    return units.empty()
               ? ""
               : "  a failed transaction wrote " + std::to_string(units.size()) + " log units\n";
  }
  if (units.empty()) return "  no log unit\n";
  std::string text;
  tx::ModifyRequestMsg logged_request = units.back().modify_request();
  // Parsed once like the logged copy, so that both hold the object types
  // among their unknown fields and serialise alike.
  tx::ModifyRequestMsg sent_request;
  sent_request.ParseFromString(sent.SerializeAsString());
  if (units.front().txn_id() != txn_id || !units.back().last_unit() ||
      logged_request.SerializeAsString() != sent_request.SerializeAsString()) {
    text += "  the units do not begin with the transaction id and end with the request\n";
  }
  const char* const kKinds[] = {"updated", "unchanged", "deleted", "nothing"};
  std::map<std::pair<int, VdbId>, int> logged;
  for (size_t u = 0; u + 1 < units.size(); ++u) {
    const VdbIdSet vdbs(units[u].vdb_ids().begin(), units[u].vdb_ids().end());
    const google::protobuf::RepeatedPtrField<tx::ObjectTypeAndIdsMsg>* lists[] = {
        &units[u].updated_objects(), &units[u].unchanged_objects(), &units[u].deleted_objects()};
    for (int kind = 0; kind < 3; ++kind) {
      for (const tx::ObjectTypeAndIdsMsg& entry : *lists[kind]) {
        const std::string type = ExampleSchema().types().GetObjectType(&entry);
        for (const std::string& id : entry.ids()) {
          const int object = ObjectOf(type, id);
          for (VdbId v : vdbs) {
            if (object == kObjectCount || !logged.emplace(std::make_pair(object, v), kind).second) {
              text += "  " + type + " id of " + std::to_string(id.size()) + " bytes is logged " +
                      "twice or is unknown (vdb " + std::to_string(v) + ")\n";
            }
          }
        }
      }
    }
  }
  for (int object = 0; object < kObjectCount; ++object) {
    for (VdbId v : kVdbs) {
      const auto was = before.find({object, v});
      const auto is = after.find({object, v});
      const bool had = was != before.end();
      const bool has = is != after.end();
      const auto found = logged.find({object, v});
      const int kind = found == logged.end() ? 3 : found->second;
      int want = 3;
      bool may_be_unchanged = false;
      if (has && (!had || was->second != is->second)) {
        want = 0;
      } else if (had && !has) {
        want = 2;
      } else if (has) {
        const auto w = writes.find({object, v});
        if (w != writes.end() && w->second) want = 1;
        may_be_unchanged = true;
      }
      if (kind != want && !(may_be_unchanged && kind == 1)) {
        text += "  " + std::string(kObjects[object].name) + " in vdb " + std::to_string(v) +
                ": logged " + kKinds[kind] + ", expected " + kKinds[want] + "\n";
      }
    }
  }
  return text;
}

std::string StateDiff(const State& want, const State& got) {
  std::string text;
  for (int object = 0; object < kObjectCount; ++object) {
    for (VdbId v : kVdbs) {
      const auto w = want.find({object, v});
      const auto g = got.find({object, v});
      const std::string wanted = w == want.end() ? "nothing" : ValueText(object, w->second);
      const std::string stored = g == got.end() ? "nothing" : ValueText(object, g->second);
      if (wanted != stored) {
        text += "  " + std::string(kObjects[object].name) + " in vdb " + std::to_string(v) +
                ": stored " + stored + ", expected " + wanted + "\n";
      }
    }
  }
  return text;
}

// Runs streams on a fresh write path and on the model side by side. After a
// difference in the stored records the model continues from what was
// stored; after one in the statistics, the statistics are no longer checked.
class Checker {
 public:
  const State& state() const { return state_; }
  bool broken() const { return broken_; }

  std::vector<Mismatch> Step(const Stream& stream) {
    std::vector<Mismatch> out;
    const State before = state_;
    State after = state_;
    Writes writes;
    const bool model_commits = ApplyStream(stream, &after, &writes);
    const tx::ModifyRequestMsg request = Request(stream);
    const Status status = path_.Run(request);
    State stored;
    std::string problems;
    if (!path_.ReadState(&stored, &problems)) {
      broken_ = true;
      return {{"stored records", problems}};
    }
    if (status.ok() != model_commits || (!model_commits && status.code() != Status::kNotFound)) {
      // What the stream changed then follows from the wrong answer.
      state_ = std::move(stored);
      check_statistics_ = false;
      return {{"answers", "  answered " + status.ToString() + ", expected " +
                              (model_commits ? "OK" : "NOT_FOUND") + "\n"}};
    }
    problems += StateDiff(after, stored);
    if (!problems.empty()) out.push_back({"stored records", problems});
    // The units must say what changed in storage; the records check above
    // compares that with the model.
    const std::string units =
        CheckUnits(path_.NewUnits(), status.ok(), request, path_.txn_id(), before, stored, writes);
    if (!units.empty()) out.push_back({"log units", units});
    if (check_statistics_) {
      const std::string statistics = path_.StatisticsMismatch();
      if (!statistics.empty()) {
        out.push_back({"statistics", statistics});
        check_statistics_ = false;
      }
    }
    state_ = std::move(stored);
    return out;
  }

 private:
  WritePath path_;
  State state_;
  bool broken_ = false;
  bool check_statistics_ = true;
};

// Whether `streams` on a fresh database show a mismatch of kind `what`.
bool Shows(const std::vector<Stream>& streams, const std::string& what) {
  Checker checker;
  for (const Stream& stream : streams) {
    if (checker.broken()) return false;
    for (const Mismatch& m : checker.Step(stream)) {
      if (m.what == what) return true;
      // A stream answered otherwise than the model answers is another case.
      if (m.what == "answers") return false;
    }
  }
  return false;
}

// Drops entries and vdb ids while the mismatch stays.
std::vector<Stream> Minimise(std::vector<Stream> streams, const std::string& what) {
  if (!Shows(streams, what)) return {};
  for (bool smaller = true; smaller;) {
    smaller = false;
    for (size_t s = 0; s < streams.size() && !smaller; ++s) {
      for (size_t e = 0; e < streams[s].size() && !smaller; ++e) {
        std::vector<Stream> candidate = streams;
        candidate[s].erase(candidate[s].begin() + e);
        if (candidate[s].empty()) candidate.erase(candidate.begin() + s);
        smaller = Shows(candidate, what);
        for (size_t i = 0; i < streams[s][e].ids.size() && !smaller && streams[s][e].ids.size() > 1;
             ++i) {
          candidate = streams;
          candidate[s][e].ids.erase(candidate[s][e].ids.begin() + i);
          smaller = Shows(candidate, what);
        }
        if (smaller) streams = candidate;
      }
    }
  }
  return streams;
}

// A stream that stores `state` on an empty database.
Stream Storing(const State& state) {
  std::map<std::pair<int, int>, std::vector<uint32_t>> vdbs_of_body;
  for (const auto& [at, value] : state) vdbs_of_body[{at.first, value}].push_back(at.second);
  Stream stream;
  for (const auto& [body, ids] : vdbs_of_body) stream.push_back(Put(body.first, body.second, ids));
  return stream;
}

// Every mismatch of `history` run from an empty database, as text.
std::string Mismatches(const std::vector<Stream>& history) {
  Checker checker;
  std::string text;
  for (size_t i = 0; i < history.size(); ++i) {
    for (const Mismatch& m : checker.Step(history[i])) {
      text += "transaction " + std::to_string(i + 1) + " " + Describe(history[i]) + ": " + m.what +
              " differ\n" + m.text;
    }
  }
  return text;
}

constexpr int kTransactionsPerSeed = 60;

class WriteModelTest : public ::testing::TestWithParam<int> {};

// Each kind of mismatch is reported once per seed, with the smallest history
// found that shows it.
TEST_P(WriteModelTest, ModifyStreamsMatchTheInOrderModel) {
  const int seed = GetParam();
  std::mt19937 rng(seed);
  Checker checker;
  std::set<std::string> reported;
  for (int step = 1; step <= kTransactionsPerSeed && !checker.broken(); ++step) {
    const State before = checker.state();
    const Stream stream = Generate(&rng, before);
    for (const Mismatch& m : checker.Step(stream)) {
      if (!reported.insert(m.what).second) continue;
      std::vector<Stream> history = {stream};
      if (!before.empty()) history.insert(history.begin(), Storing(before));
      const std::vector<Stream> smallest = Minimise(history, m.what);
      ADD_FAILURE() << "seed " << seed << ", transaction " << step << ": " << m.what
                    << " differ\n  stored before: " << Describe(before)
                    << "\n  stream: " << Describe(stream) << "\n"
                    << m.text << "  smallest history found: "
                    << (smallest.empty() ? "(not shown again from an empty database)"
                                         : Describe(smallest));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WriteModelTest, ::testing::Range(1, 9));

// The histories the random streams first failed on, kept as fixed cases.
TEST(WriteModelCasesTest, CopiesAndStatisticsFollowTheStreamOrder) {
  const int d1 = 0, d2 = 1, device = 0;
  const std::vector<std::pair<const char*, std::vector<Stream>>> cases = {
      {"copy from a vdb without the object after a put", {{Put(d1, 0, {2}), Copy(d1, 3, {2})}}},
      {"copy from a vdb without the object after a delete",
       {{Put(d1, 0, {2})}, {Delete(d1, {2}), Copy(d1, 3, {2})}}},
      {"copy from a vdb without the object after a flush",
       {{Put(d1, 0, {2})}, {Flush(device, {2}), Copy(d1, 3, {2})}}},
      {"copy from a vdb without the object after a copy",
       {{Put(d1, 0, {1})}, {Copy(d1, 1, {2}), Copy(d1, 3, {2})}}},
      {"copy of a put that a later put replaces",
       {{Put(d1, 0, {1})}, {Put(d1, 1, {1}), Copy(d1, 1, {2}), Put(d1, 2, {1})}}},
      {"copy without ids from a vdb of the set before", {{Put(d1, 0, {1, 2}), Copy(d1, 2)}}},
      {"deletes from some of the vdbs of a record",
       {{Put(d1, 0, {1, 2, 3}), Put(d2, 0, {1})}, {Delete(d1, {1})}, {Delete(d1, {2})}}},
  };
  for (const auto& [name, history] : cases) {
    const std::string text = Mismatches(history);
    EXPECT_TRUE(text.empty()) << name << ", " << text;
  }
}

// A patch of a vdb that does not hold the object fails its stream, also
// when a later entry of the stream writes the object there.
TEST(WriteModelCasesTest, APatchOfAMissingObjectFailsItsStream) {
  const int d1 = 0, device = 0;
  const std::vector<Stream> streams = {
      {Patch(d1, 0, {1}), Put(d1, 2, {1})},
      {Patch(d1, 0, {1}), Delete(d1, {1})},
      {Patch(d1, 0, {1}), Flush(device, {1})},
  };
  for (const Stream& stream : streams) {
    const std::string text = Mismatches({stream});
    EXPECT_TRUE(text.empty()) << text;
  }
}

}  // namespace
}  // namespace tarnix

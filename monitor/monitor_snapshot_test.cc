#include "monitor/monitor_snapshot.h"

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "monitor/contains_all_subscriptions.h"
#include "monitor/subscription_model.h"
#include "monitor/type_order.h"
#include "schema/record_key.h"
#include "schema/schema.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kInterface[] = "caldek.orv.tarnix.InterfaceMsg";
constexpr char kFlow[] = "caldek.orv.tarnix.FlowMsg";

std::string T(const std::string& name) { return "monitor.test." + name; }

TEST(TypeOrderTest, PutsParentsFirstAndSurvivesSelfParentsAndCycles) {
  std::unique_ptr<Schema> schema = subscription_test::LoadWatchSchema();
  TypeOrder order;
  // A parent of B, C unrelated, met in the order A, B, C: C, A, B.
  EXPECT_EQ(order.ParentsFirst(*schema, {T("ParentMsg"), T("ChildMsg"), T("OtherMsg")}),
            (std::vector<size_t>{2, 0, 1}));
  EXPECT_EQ(order.ParentsFirst(*schema, {T("ChildMsg"), T("ParentMsg")}),
            (std::vector<size_t>{1, 0}));
  EXPECT_EQ(order.ParentsFirst(*schema, {T("SelfParentMsg"), T("WatchedMsg")}),
            (std::vector<size_t>{1, 0}));
  EXPECT_TRUE(order.ParentsFirst(*schema, {}).empty());

  orv::LogCapture capture;
  const std::vector<std::string> cycle = {T("WatchedMsg"), T("CycleBMsg"), T("CycleAMsg")};
  EXPECT_EQ(order.ParentsFirst(*schema, cycle), (std::vector<size_t>{2, 1, 0}));  // by name
  EXPECT_EQ(order.ParentsFirst(*schema, cycle), (std::vector<size_t>{2, 1, 0}));
  EXPECT_EQ(capture.Count("DRX0209"), 1u);  // once per schema
}

// A chunk as (updates, bodies' bytes, end mark).
using Chunk = std::tuple<int, size_t, bool>;

class MonitorSnapshotTest : public WriteTest {
 protected:
  std::unique_ptr<pb::Message> Msg(const std::string& type, const std::string& text) {
    std::unique_ptr<pb::Message> message(schema_.types().NewMessage(type));
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    return message;
  }
  // Stores `text` of `type` in the main vdb; returns its body.
  std::string Store(const std::string& type, const std::string& text) {
    const std::string body = Msg(type, text)->SerializeAsString();
    std::string key;
    EXPECT_TRUE(
        MakeObjectRecordKey(schema_, type, schema_.keys().GetKeyFromSerialized(type, body), &key));
    PutAll(db_.get(), {{key + EncodeVdbIdSet({}), body}});
    return body;
  }
  // A flow of protocol `batch` whose body is exactly `size` bytes.
  std::string StoreFlow(int id, int batch, size_t size) {
    std::unique_ptr<pb::Message> flow =
        Msg(kFlow, "flow_id: " + std::to_string(id) + " protocol: " + std::to_string(batch));
    const pb::FieldDescriptor* src = flow->GetDescriptor()->FindFieldByName("src_ip");
    for (size_t pad = size; pad > 0; --pad) {
      flow->GetReflection()->SetString(flow.get(), src, std::string(pad, 'p'));
      if (flow->ByteSizeLong() <= size) break;
    }
    EXPECT_EQ(flow->ByteSizeLong(), size);
    return Store(kFlow, flow->ShortDebugString());
  }
  WhereClause Clause(const std::string& type, const std::string& op, const std::string& value) {
    const std::string op_type = schema_.op_messages().GetOpMsgTypeName(type);
    return {std::make_shared<TarnixObject>(op_type, Msg(op_type, op)->SerializeAsString()),
            std::make_shared<TarnixObject>(type, Msg(type, value)->SerializeAsString())};
  }
  std::unique_ptr<SnapshotTypeScan> Scan(const std::string& type,
                                         const std::vector<WhereClause>& clauses,
                                         const std::string& selection = "") {
    std::unique_ptr<SnapshotTypeScan> scan;
    EXPECT_TRUE(SnapshotTypeScan::Start(&schema_, query_scan_.get(), type, selection, clauses, 1,
                                        db_->GetSnapshot(), &scan)
                    .ok());
    return scan;
  }
  // Runs the snapshot of `scans` to its end, `slice` records a step.
  std::vector<tx::MonitorResponseMsg> Run(SnapshotScans scans, size_t slice = 1024) {
    OrderMonitorUpdates(schema_, &order_, &scans);
    MonitorSnapshot snapshot(&schema_, 42, std::move(scans));
    std::vector<tx::MonitorResponseMsg> chunks;
    tx::MonitorResponseMsg chunk;
    for (int steps = 0; !snapshot.Done() && steps < 100000; ++steps) {
      if (!snapshot.NextChunk(slice, &chunk)) continue;
      EXPECT_EQ(chunk.transaction_control().txn_id(), 42u);
      EXPECT_TRUE(chunk.transaction_control().has_end_of_transaction());
      chunks.push_back(chunk);
    }
    EXPECT_TRUE(snapshot.Done());
    EXPECT_TRUE(snapshot.status().ok()) << snapshot.status().ToString();
    return chunks;
  }
  static std::vector<Chunk> Shape(const std::vector<tx::MonitorResponseMsg>& chunks) {
    std::vector<Chunk> shape;
    for (const tx::MonitorResponseMsg& chunk : chunks) {
      size_t bytes = 0;
      for (const tx::MonitorUpdateMsg& update : chunk.updates()) {
        bytes += update.object_body().size();
      }
      shape.emplace_back(chunk.updates_size(), bytes,
                         chunk.transaction_control().end_of_transaction());
    }
    return shape;
  }
  // (type, body) of every update in order; "" for a clause that matched nothing.
  std::vector<std::pair<std::string, std::string>> Updates(
      const std::vector<tx::MonitorResponseMsg>& chunks) {
    std::vector<std::pair<std::string, std::string>> updates;
    for (const tx::MonitorResponseMsg& chunk : chunks) {
      for (const tx::MonitorUpdateMsg& update : chunk.updates()) {
        updates.emplace_back(schema_.types().GetObjectType(&update), update.object_body());
      }
    }
    return updates;
  }
  SnapshotScans Scans(std::unique_ptr<SnapshotTypeScan> a,
                      std::unique_ptr<SnapshotTypeScan> b = nullptr) {
    SnapshotScans scans;
    scans.push_back(std::move(a));
    if (b != nullptr) scans.push_back(std::move(b));
    return scans;
  }

  void SetUp() override {
    WriteTest::SetUp();
    query_scan_ = std::make_unique<QueryScan>(&schema_, db_.get());
  }

  std::unique_ptr<QueryScan> query_scan_;
  TypeOrder order_;
};

TEST_F(MonitorSnapshotTest, ChunksCloseOnceTheirBodiesPassTheLimit) {
  int batch = 0, id = 0;
  const auto chunks = [&](const std::vector<size_t>& sizes) {
    ++batch;
    for (size_t size : sizes) StoreFlow(++id, batch, size);
    return Shape(Run(Scans(Scan(
        kFlow, {Clause(kFlow, "protocol { op: EQUALS }", "protocol: " + std::to_string(batch))}))));
  };
  EXPECT_EQ(chunks({500000, 499999}), std::vector<Chunk>({{2, 999999, true}}));
  EXPECT_EQ(chunks({500000, 500000}), std::vector<Chunk>({{2, 1000000, true}}));
  EXPECT_EQ(chunks({500000, 499999, 10}), std::vector<Chunk>({{3, 1000009, true}}));
  EXPECT_EQ(chunks({500000, 499990, 10, 12}),
            std::vector<Chunk>({{3, 1000000, false}, {1, 12, true}}));
  EXPECT_EQ(chunks({600000, 600000, 600000}),
            std::vector<Chunk>({{2, 1200000, false}, {1, 600000, true}}));
  EXPECT_EQ(chunks({10, 2000000, 10}), std::vector<Chunk>({{2, 2000010, false}, {1, 10, true}}));
  // Nothing matched: one type-only update; no scan at all: no message.
  EXPECT_EQ(chunks({}), std::vector<Chunk>({{1, 0, true}}));
  EXPECT_TRUE(Run(SnapshotScans()).empty());
}

TEST_F(MonitorSnapshotTest, ParentsComeFirstAndAClauseWithoutMatchAddsTheTypeOnce) {
  const std::string device = Store(kDevice, "id { left: 1 right: 1 } model: 'm1'");
  const std::string eth0 =
      Store(kInterface, "name { string: 'eth0' } device_id { left: 1 right: 1 }");
  // Met first, so only the parent relation puts interfaces last.
  std::vector<tx::MonitorResponseMsg> chunks =
      Run(Scans(Scan(kInterface, {Clause(kInterface, "", "")}),
                Scan(kDevice, {Clause(kDevice, "model { op: EQUALS }", "model: 'm1'"),
                               Clause(kDevice, "model { op: EQUALS }", "model: 'none'"),
                               Clause(kDevice, "model { op: EQUALS }", "model: 'nothing'")})),
          1);
  EXPECT_EQ(Updates(chunks), (std::vector<std::pair<std::string, std::string>>{
                                 {kDevice, device}, {kDevice, ""}, {kInterface, eth0}}));
  ASSERT_EQ(chunks.size(), 1u);
  const tx::MonitorUpdateMsg& match = chunks[0].updates(0);
  EXPECT_FALSE(match.update_ops().empty());
  EXPECT_FALSE(match.has_old_object_body());
  EXPECT_FALSE(chunks[0].updates(1).has_object_body());
  EXPECT_FALSE(chunks[0].updates(1).has_update_ops());
}

TEST_F(MonitorSnapshotTest, KeyLookupsFindTheirObjectsOnceAndRefuseAMissingKey) {
  const std::string one = Store(kDevice, "id { left: 1 right: 1 } model: 'a'");
  Store(kDevice, "id { left: 2 right: 2 } model: 'b'");
  const std::string key = "id { self { op: EQUALS } }";
  std::vector<tx::MonitorResponseMsg> chunks =
      Run(Scans(Scan(kDevice, {Clause(kDevice, key, "id { left: 1 right: 1 }"),
                               Clause(kDevice, key, "id { left: 1 right: 1 }"),
                               Clause(kDevice, key, "id { left: 9 right: 9 }")})));
  EXPECT_EQ(Updates(chunks),
            (std::vector<std::pair<std::string, std::string>>{{kDevice, one}, {kDevice, ""}}));

  std::unique_ptr<SnapshotTypeScan> scan;
  EXPECT_EQ(
      SnapshotTypeScan::Start(&schema_, query_scan_.get(), kDevice, "",
                              {Clause(kDevice, key, "model: 'a'")}, 1, db_->GetSnapshot(), &scan),
      Status::InvalidArgument("object id missing from value"));
}

// Clauses that one object satisfies by the thousand: the pass costs about
// its records plus its clauses, each step a bounded part of it, and still hands out each matching
// object once, and the type once when some clause matched nothing.
TEST_F(MonitorSnapshotTest, ManyClausesOneObjectSatisfiesCostTheRecordsAndTheClauses) {
  constexpr int kDevices = 2000;
  constexpr int kOperands = 20000;
  constexpr size_t kSlice = 100;
  std::string every_tag;
  for (int n = 0; n < 60; ++n) every_tag += " tags: 't" + std::to_string(n) + "'";
  std::set<std::string> with_model, with_tags, with_location;
  for (int i = 0; i < kDevices; ++i) {
    std::string text = "id { left: " + std::to_string(i) + " right: 0 }";
    if (i % 2 == 0) text += " model: 'm" + std::to_string(i % 5) + "'";
    if (i % 3 == 0) text += every_tag;
    if (i % 5 == 0) text += " location { site: 's" + std::to_string(i % 3) + "' }";
    const std::string body = Store(kDevice, text);
    if (i % 2 == 0) with_model.insert(body);
    if (i % 3 == 0) with_tags.insert(body);
    if (i % 5 == 0) with_location.insert(body);
  }
  // The device read last gets the only hostname: every clause it credits
  // must be credited before the pass ends.
  std::vector<QueryResultRecord> all;
  ASSERT_TRUE(query_scan_
                  ->ExecuteQueryScan(nullptr,
                                     *Msg(schema_.op_messages().GetOpMsgTypeName(kDevice), ""),
                                     *Msg(kDevice, ""), nullptr, 1, db_->GetSnapshot(), &all)
                  .ok());
  ASSERT_EQ(all.size(), static_cast<size_t>(kDevices));
  std::unique_ptr<pb::Message> last = Msg(kDevice, "");
  ASSERT_TRUE(last->ParseFromString(all.back().object));
  last->GetReflection()->SetString(last.get(), last->GetDescriptor()->FindFieldByName("hostname"),
                                   "only");
  const std::set<std::string> only = {Store(kDevice, last->ShortDebugString())};
  for (auto* set : {&with_model, &with_tags, &with_location}) {
    if (set->erase(all.back().object) > 0) set->insert(*only.begin());
  }
  // One device of 10,000 modules: matched again and again, it would cost
  // its modules each time.
  std::string modules = "id { left: 99999 right: 0 }";
  for (int n = 0; n < kOperands / 2; ++n) modules += " modules { slot: " + std::to_string(n) + " }";
  const std::set<std::string> big = {Store(kDevice, modules)};

  const std::string op_type = schema_.op_messages().GetOpMsgTypeName(kDevice);
  const std::string nothing_selected = Msg(op_type, "hostname { op: SELECT }")->SerializeAsString();
  const std::set<std::string> none;
  struct Round {
    std::string op;
    std::string (*operand)(int);
    int operands;
    const std::set<std::string>* expected;
    bool with_unmatched_clause;
    std::string selection;
    size_t largest_object = 60;  // values it holds
  };
  const Round rounds[] = {
      {"model { op: NOT_EQUALS }", [](int n) { return "model: 'x" + std::to_string(n) + "'"; },
       kOperands, &with_model, true, ""},
      {"tags { op: NOT_EQUALS }", [](int n) { return "tags: 'x" + std::to_string(n) + "'"; },
       kOperands, &with_tags, true, ""},
      {"location { self { op: NOT_EQUALS } }",
       [](int n) { return "location { site: 'x" + std::to_string(n) + "' }"; }, kOperands,
       &with_location, true, ""},
      // Every pair of the 60 tags a device holds.
      {"tags { op: CONTAINS_ALL }",
       [](int n) {
         return "tags: 't" + std::to_string(n / 60) + "' tags: 't" + std::to_string(n % 60) + "'";
       },
       60 * 60, &with_tags, true, ""},
      {"hostname { op: NOT_EQUALS }",
       [](int n) { return "hostname: 'x" + std::to_string(n) + "'"; }, kOperands, &only, false, ""},
      {"modules { self { op: CONTAINS_ANY } }",
       [](int n) { return "modules { slot: " + std::to_string(n) + " }"; }, kOperands / 2, &big,
       false, "", kOperands / 2},
      // A selection that leaves nothing of any device: no record is kept,
      // none credits a clause, none is matched again and again.
      {"model { op: NOT_EQUALS }", [](int n) { return "model: 'x" + std::to_string(n) + "'"; },
       kOperands, &none, true, nothing_selected},
  };
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.op + (round.selection.empty() ? "" : " selecting nothing"));
    std::vector<WhereClause> clauses;
    for (int n = 0; n < round.operands; ++n) {
      if (round.operands != 3600 || n / 60 < n % 60) {
        clauses.push_back(Clause(kDevice, round.op, round.operand(n)));
      }
    }
    if (round.with_unmatched_clause) {
      clauses.push_back(Clause(kDevice, "model { op: EQUALS }", "model: 'none'"));
    }
    std::unique_ptr<SnapshotTypeScan> scan = Scan(kDevice, clauses, round.selection);
    struct Bodies : QueryResultSink {
      void Add(QueryResultRecord&& record) override { sent.push_back(record.object); }
      std::vector<std::string> sent;
    } bodies;
    size_t largest_step = 0;
    for (bool done = false; !done;) {
      const size_t before = scan->work();
      done = scan->Step(kSlice, &bodies);
      largest_step = std::max(largest_step, scan->work() - before);
    }
    ASSERT_TRUE(scan->status().ok());
    std::sort(bodies.sent.begin(), bodies.sent.end());
    EXPECT_EQ(bodies.sent,
              std::vector<std::string>(round.expected->begin(), round.expected->end()));
    EXPECT_EQ(scan->some_clause_matched_nothing(), round.with_unmatched_clause);
    // A few visits a record or clause; a step a few a record of its slice,
    // and the values of the largest.
    EXPECT_LE(scan->work(), 8 * (kDevices + clauses.size()));
    EXPECT_LE(largest_step, 20 * kSlice + 4 * round.largest_object);
  }
}

// Devices of 80 tags. Every pair of them, each with a tag no device holds,
// costs more to match against a device than its values allow: the scan ends
// there with RESOURCE_EXHAUSTED and the limit it passed. Every triple of 30
// of them, which each device holds, is scanned whole.
TEST_F(MonitorSnapshotTest, ClausesADeviceHoldsInPartEndTheScanAtTheLimit) {
  std::string every_tag;
  for (int n = 0; n < 80; ++n) every_tag += " tags: 't" + std::to_string(n) + "'";
  std::set<std::string> devices;
  for (int i = 0; i < 50; ++i) {
    devices.insert(Store(kDevice, "id { left: " + std::to_string(i) + " right: 0 }" + every_tag));
  }
  const auto tag = [](int n) { return "tags: 't" + std::to_string(n) + "' "; };
  const std::string contains_all = "tags { op: CONTAINS_ALL }";
  std::vector<WhereClause> part, triples;
  for (int a = 0; a < 80; ++a) {
    for (int b = a + 1; b < 80; ++b) {
      part.push_back(Clause(kDevice, contains_all,
                            tag(a) + tag(b) + "tags: 'zz" + std::to_string(a * 80 + b) + "'"));
      for (int c = b + 1; c < 30; ++c) {
        triples.push_back(Clause(kDevice, contains_all, tag(a) + tag(b) + tag(c)));
      }
    }
  }
  struct Bodies : QueryResultSink {
    void Add(QueryResultRecord&& record) override { sent.insert(record.object); }
    std::set<std::string> sent;
  };
  Bodies none;
  std::unique_ptr<SnapshotTypeScan> refused = Scan(kDevice, part);
  while (!refused->Step(1024, &none)) {
  }
  const size_t allowed = ContainsAllSubscriptions::AllowedSteps(80, 0);
  EXPECT_EQ(refused->status(),
            Status::ResourceExhausted("Matching the CONTAINS_ALL where clauses of " +
                                      std::string(kDevice) + " against one stored object took " +
                                      "more than " + std::to_string(allowed) +
                                      " steps, the limit for that object; narrow the where "
                                      "clauses"));
  EXPECT_LE(refused->work(), allowed + 64);  // the first device's

  Bodies all;
  std::unique_ptr<SnapshotTypeScan> whole = Scan(kDevice, triples);
  while (!whole->Step(1024, &all)) {
  }
  ASSERT_TRUE(whole->status().ok()) << whole->status().ToString();
  EXPECT_EQ(all.sent, devices);
  EXPECT_FALSE(whole->some_clause_matched_nothing());
}

// The one pass over a type gives what a scan per clause gave: each object
// any clause matches, once, and one type-only entry when some clause
// matched nothing; however the clauses mix and whatever the slice.
TEST_F(MonitorSnapshotTest, OnePassMatchesWhatEachClauseMatchesAlone) {
  std::mt19937 random(7);
  const char* const models[] = {"m0", "m1", "m2", "m3"};
  const char* const tags[] = {"a", "b", "c", "d", "e"};
  for (int id = 1; id <= 60; ++id) {
    std::string text = "id { left: " + std::to_string(id) + " right: 0 }";
    text += std::string(" model: '") + models[random() % 4] + "'";
    for (const char* tag : tags) {
      if (random() % 3 == 0) text += std::string(" tags: '") + tag + "'";
    }
    Store(kDevice, text);
  }
  const auto random_clause = [&]() {
    const std::string tag_a = tags[random() % 5], tag_b = tags[random() % 5];
    switch (random() % 7) {
      case 0:
        return Clause(kDevice, "model { op: EQUALS }",
                      std::string("model: '") + models[random() % 4] + "'");
      case 1:
        return Clause(kDevice, "model { op: NOT_EQUALS }",
                      std::string("model: '") + models[random() % 4] + "'");
      case 2:
        return Clause(kDevice, "tags { op: CONTAINS_ANY }",
                      "tags: '" + tag_a + "' tags: '" + tag_b + "' tags: 'z'");
      case 3:
        return Clause(kDevice, "tags { op: CONTAINS_ALL }",
                      "tags: '" + tag_a + "' tags: '" + tag_b + "'");
      case 4:
        return Clause(kDevice, "tags { op: EQUALS }", "tags: '" + tag_a + "'");
      case 5:
        return Clause(kDevice, "id { self { op: EQUALS } }",
                      "id { left: " + std::to_string(random() % 70) + " right: 0 }");
      default:
        return Clause(kDevice, "model { op: EQUALS }", "model: 'absent'");
    }
  };
  for (int round = 0; round < 40; ++round) {
    std::vector<WhereClause> clauses;
    const int count = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) clauses.push_back(random_clause());
    // The model: one scan per clause.
    std::set<std::string> expected;
    bool some_clause_matched_nothing = false;
    for (const WhereClause& clause : clauses) {
      std::vector<QueryResultRecord> results;
      ASSERT_TRUE(query_scan_
                      ->ExecuteQueryScan(nullptr, *clause.first->GetMessage(schema_),
                                         *clause.second->GetMessage(schema_), nullptr, 1,
                                         db_->GetSnapshot(), &results)
                      .ok());
      if (results.empty()) some_clause_matched_nothing = true;
      for (const QueryResultRecord& result : results) expected.insert(result.object);
    }
    const size_t slice = 1 + random() % 20;
    std::vector<std::string> sent;
    bool no_match_sent = false;
    for (const auto& [type, body] : Updates(Run(Scans(Scan(kDevice, clauses)), slice))) {
      EXPECT_EQ(type, kDevice);
      if (body.empty()) {
        EXPECT_FALSE(no_match_sent) << round;
        no_match_sent = true;
      } else {
        EXPECT_FALSE(no_match_sent) << round << ": the type-only entry comes last";
        sent.push_back(body);
      }
    }
    std::vector<std::string> expected_list(expected.begin(), expected.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, expected_list) << "round " << round;
    EXPECT_EQ(no_match_sent, some_clause_matched_nothing) << "round " << round;
  }
}

}  // namespace
}  // namespace tarnix

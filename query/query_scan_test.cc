#include "query/query_scan.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>

#include "schema/record_key.h"
#include "schema/schema.h"
#include "storage/fault_env.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using MessagePtr = std::unique_ptr<pb::Message>;
using Texts = std::vector<std::string>;

constexpr char kFlow[] = "caldek.orv.tarnix.FlowMsg";
constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kReading[] = "scan.test.ReadingMsg";

MessagePtr Msg(const Schema& schema, const std::string& type, const std::string& text) {
  MessagePtr message(schema.types().NewMessage(type));
  EXPECT_TRUE(message != nullptr) << type;
  if (message != nullptr) {
    EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
  }
  return message;
}

std::string Text(const pb::Message& message) {
  std::string text;
  pb::TextFormat::Printer printer;
  printer.SetSingleLineMode(true);
  printer.PrintToString(message, &text);
  if (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

class QueryScanTest : public WriteTest {
 protected:
  // The record key of the object `text` of `type` in `vdbs` (no suffix when
  // empty: the main vdb alone).
  std::string Key(const Schema& schema, const std::string& type, const std::string& body,
                  const VdbIdSet& vdbs) {
    std::string key;
    EXPECT_TRUE(
        MakeObjectRecordKey(schema, type, schema.keys().GetKeyFromSerialized(type, body), &key));
    return key + EncodeVdbIdSet(vdbs);
  }
  void Store(const Schema& schema, const std::string& type, const std::string& text,
             const VdbIdSet& vdbs = {}) {
    const std::string body = Msg(schema, type, text)->SerializeAsString();
    PutAll(db_.get(), {{Key(schema, type, body, vdbs), body}});
  }
  void StoreFlow(const std::string& text, const VdbIdSet& vdbs = {}) {
    Store(schema_, kFlow, text, vdbs);
  }

  // Runs the scan of `type` and gives each result's object as text, or the
  // failure as its status text.
  Texts Scan(const Schema& schema, const std::string& type, const std::string& where_op,
             const std::string& where_value, const char* sort = nullptr,
             const char* select = nullptr, VdbId vdb = 1) {
    const std::string op_type = schema.op_messages().GetOpMsgTypeName(type);
    MessagePtr op = Msg(schema, op_type, where_op), value = Msg(schema, type, where_value);
    MessagePtr sort_by = sort != nullptr ? Msg(schema, op_type, sort) : nullptr;
    MessagePtr selection = select != nullptr ? Msg(schema, op_type, select) : nullptr;
    std::vector<QueryResultRecord> results;
    const Status status = QueryScan(&schema, db_.get())
                              .ExecuteQueryScan(selection.get(), *op, *value, sort_by.get(), vdb,
                                                DbAccess::SnapshotHolder(), &results);
    if (!status.ok()) return {status.ToString()};
    Texts out;
    for (const QueryResultRecord& result : results) {
      EXPECT_EQ(result.type_name, type);
      MessagePtr object(schema.types().ParseMessage(type, result.object));
      out.push_back(object ? Text(*object) : "<unparsable>");
      last_ops_.push_back(result.op_message);
    }
    return out;
  }
  Texts Flows(const std::string& where_op, const std::string& where_value,
              const char* sort = nullptr, const char* select = nullptr, VdbId vdb = 1) {
    return Scan(schema_, kFlow, where_op, where_value, sort, select, vdb);
  }
  Status Validate(const Schema& schema, const std::string& type, const std::string& sort) {
    MessagePtr sort_by = Msg(schema, schema.op_messages().GetOpMsgTypeName(type), sort);
    return QueryScan(&schema, db_.get()).ValidateSortByMsg(sort_by.get());
  }

  Schema scan_schema_{std::string(TARNIX_TEST_DATA_DIR) + "/testdata/scan_schema.pb",
                      "scan.test"};
  std::vector<std::string> last_ops_;
};

TEST_F(QueryScanTest, ValidatesSortOrders) {
  struct Case {
    const char* type;
    const char* sort;
    const char* refusal;  // null: accepted
    const char* tag;
  } cases[] = {
      {kFlow, "byte_count { op: DESCENDING }", nullptr, nullptr},
      {kFlow, "byte_count { op: ASCENDING } src_ip { op: SECONDARY_DESCENDING }", nullptr,
       nullptr},
      // One primary and one secondary in different nested fields.
      {kDevice, "location { site { op: SECONDARY_ASCENDING } } model { op: ASCENDING }", nullptr,
       nullptr},
      {kDevice, "location { self { op: DESCENDING } }", nullptr, nullptr},
      {kFlow, "", "SortByMsg does not contain ASCENDING/DESCENDING operation", "DRX0203"},
      {kFlow, "src_ip { op: SECONDARY_ASCENDING }",
       "SortByMsg does not contain ASCENDING/DESCENDING operation", "DRX0203"},
      {kDevice, "location { site { op: ASCENDING } } hostname { op: DESCENDING }",
       "SortByMsg contains multiple ASCENDING/DESCENDING operations", "DRX0203"},
      {kFlow,
       "byte_count { op: ASCENDING } src_ip { op: SECONDARY_ASCENDING } "
       "dst_ip { op: SECONDARY_DESCENDING }",
       "SortByMsg contains multiple SECONDARY_ASCENDING/SECONDARY_DESCENDING operations",
       "DRX0203"},
      {kFlow, "byte_count { op: EQUALS }", "SortByMsg contains non-SORT operation", "DRX0207"},
      {kFlow, "byte_count { }", "SortByMsg contains non-SORT operation", "DRX0207"},
      {kDevice, "modules { slot { op: ASCENDING } }",
       "sort_by field is not allowed on repeated field", "DRX0207"},
  };
  for (const Case& c : cases) {
    const Status status = Validate(schema_, c.type, c.sort);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(status.ok()) << c.sort << ": " << status.ToString();
      continue;
    }
    EXPECT_EQ(status, Status::InvalidArgument(c.refusal)) << c.sort;
    EXPECT_TRUE(HasLine("ERROR", c.tag, c.refusal)) << c.sort;
  }
  // Bytes that did not parse reach the check as no message at all.
  EXPECT_EQ(QueryScan(&schema_, db_.get()).ValidateSortByMsg(nullptr),
            Status::InvalidArgument("Unable to parse SortByMsg"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Unable to parse SortByMsg"));
}

SortEntry Entry(AttributeValue primary, AttributeValue secondary = AttributeValue()) {
  SortEntry entry;
  entry.primary = std::move(primary);
  entry.secondary = std::move(secondary);
  return entry;
}

TEST(SortByCompareTest, IsAStrictWeakOrderOverRandomKeys) {
  std::mt19937 rng(20);
  const double nan = std::nan("");
  auto random_value = [&]() {
    switch (rng() % 5) {
      case 0: return AttributeValue::Double(rng() % 3 == 0 ? nan : double(rng() % 4) - 1.5);
      case 1: return AttributeValue::Int64(int64_t(rng() % 4) - 2);
      case 2: return AttributeValue::String(std::string(rng() % 3, 'a'));
      case 3: return AttributeValue::Float(rng() % 2 ? -0.0f : 0.0f);
      default: return AttributeValue::Bool(rng() % 2);
    }
  };
  for (int round = 0; round < 20; ++round) {
    SortDirections d;
    d.primary_ascending = round % 2;
    d.secondary_ascending = round % 4 < 2;
    std::vector<SortEntry> entries;
    for (int i = 0; i < 30; ++i) entries.push_back(Entry(random_value(), random_value()));
    auto lt = [&](const SortEntry& a, const SortEntry& b) {
      return QueryScan::SortByCompare(d, a, b);
    };
    auto eq = [&](const SortEntry& a, const SortEntry& b) { return !lt(a, b) && !lt(b, a); };
    for (const SortEntry& a : entries) {
      EXPECT_FALSE(lt(a, a));
      for (const SortEntry& b : entries) {
        EXPECT_FALSE(lt(a, b) && lt(b, a));
        for (const SortEntry& c : entries) {
          EXPECT_TRUE(!(lt(a, b) && lt(b, c)) || lt(a, c));
          EXPECT_TRUE(!(eq(a, b) && eq(b, c)) || eq(a, c));
        }
      }
    }
  }
}

TEST_F(QueryScanTest, ComputesSortKeysFromLeavesNestedFieldsAndSelf) {
  const QueryScan scan(&schema_, db_.get());
  const std::string op_type = schema_.op_messages().GetOpMsgTypeName(kDevice);
  MessagePtr device = Msg(schema_, kDevice,
                          "hostname: 'h' location { site: 's1' position: 4 } modules { slot: 2 }");
  auto key = [&](const std::string& sort, bool primary, AttributeValue* out, bool* ascending) {
    return scan.ComputeSortKey(*Msg(schema_, op_type, sort), *device, device->GetDescriptor(),
                               primary, out, ascending);
  };
  AttributeValue value = AttributeValue::Bool(true);
  bool ascending = true;
  EXPECT_TRUE(key("hostname { op: DESCENDING }", true, &value, &ascending));
  EXPECT_EQ(value, AttributeValue::String("h"));
  EXPECT_FALSE(ascending);
  EXPECT_TRUE(key("location { position { op: SECONDARY_ASCENDING } }", false, &value, &ascending));
  EXPECT_EQ(value, AttributeValue::Uint32(4));
  EXPECT_TRUE(ascending);
  EXPECT_TRUE(key("location { self { op: ASCENDING } }", true, &value, &ascending));
  EXPECT_EQ(value, AttributeValue::String("site: \"s1\" position: 4"));
  // No secondary operation: the key is left alone, the answer false.
  value = AttributeValue::Bool(true);
  EXPECT_FALSE(key("hostname { op: ASCENDING }", false, &value, &ascending));
  EXPECT_EQ(value, AttributeValue::Bool(true));
  // No set field at all: int32 0.
  EXPECT_TRUE(key("", true, &value, &ascending));
  EXPECT_EQ(value, AttributeValue());

  // A sub-message the object lacks reads as its defaults.
  device = Msg(schema_, kDevice, "hostname: 'h'");
  EXPECT_TRUE(key("location { site { op: ASCENDING } }", true, &value, &ascending));
  EXPECT_EQ(value, AttributeValue::String(""));
}

TEST_F(QueryScanTest, SortsByPrimaryThenSecondaryKey) {
  StoreFlow("flow_id: 1 src_ip: 'b' byte_count: 10");
  StoreFlow("flow_id: 2 src_ip: 'a' byte_count: 30");
  StoreFlow("flow_id: 3 src_ip: 'c' byte_count: 10");
  StoreFlow("flow_id: 4 src_ip: 'a' byte_count: 10");
  StoreFlow("flow_id: 5 src_ip: 'z' byte_count: 20", {2});  // another vdb
  EXPECT_EQ(Flows("", "", "byte_count { op: DESCENDING } src_ip { op: SECONDARY_ASCENDING }"),
            (Texts{"flow_id: 2 src_ip: \"a\" byte_count: 30",
                   "flow_id: 4 src_ip: \"a\" byte_count: 10",
                   "flow_id: 1 src_ip: \"b\" byte_count: 10",
                   "flow_id: 3 src_ip: \"c\" byte_count: 10"}));
  EXPECT_EQ(Flows("", "", "src_ip { op: SECONDARY_DESCENDING } byte_count { op: ASCENDING }"),
            (Texts{"flow_id: 3 src_ip: \"c\" byte_count: 10",
                   "flow_id: 1 src_ip: \"b\" byte_count: 10",
                   "flow_id: 4 src_ip: \"a\" byte_count: 10",
                   "flow_id: 2 src_ip: \"a\" byte_count: 30"}));
  // The where clause filters before the sort.
  EXPECT_EQ(Flows("src_ip { op: EQUALS }", "src_ip: 'a'", "byte_count { op: ASCENDING }"),
            (Texts{"flow_id: 4 src_ip: \"a\" byte_count: 10",
                   "flow_id: 2 src_ip: \"a\" byte_count: 30"}));
}

TEST_F(QueryScanTest, SortsNaNAfterNumbersAscendingAndBeforeThemDescending) {
  const char* readings[] = {"key { a: 'k1' } f: 1 label: 'p'", "key { a: 'k2' } f: nan label: 'y'",
                            "key { a: 'k3' } f: -2 label: 'q'", "key { a: 'k4' } f: nan label: 'x'",
                            "key { a: 'k5' } f: 3 label: 'r'"};
  for (const char* text : readings) Store(scan_schema_, kReading, text);
  auto labels = [&](const char* sort) {
    std::string out;
    for (const std::string& text : Scan(scan_schema_, kReading, "", "", sort)) {
      out += text.substr(text.find("label: \"") + 8, 1);
    }
    return out;
  };
  // Equal NaNs fall through to the secondary key.
  EXPECT_EQ(labels("f { op: ASCENDING } label { op: SECONDARY_ASCENDING }"), "qprxy");
  EXPECT_EQ(labels("f { op: DESCENDING } label { op: SECONDARY_ASCENDING }"), "xyrpq");
  EXPECT_EQ(labels("f { op: DESCENDING } label { op: SECONDARY_DESCENDING }"), "yxrpq");
}

TEST_F(QueryScanTest, TellsKeyLookupsFromTypeScans) {
  const QueryScan scan(&schema_, db_.get());
  auto lookup = [&](const Schema& schema, const std::string& type, const std::string& op) {
    return scan.IsKeyLookup(*Msg(schema, schema.op_messages().GetOpMsgTypeName(type), op),
                            *Msg(schema, type, ""));
  };
  EXPECT_TRUE(lookup(schema_, kFlow, "flow_id { op: EQUALS }"));
  EXPECT_FALSE(lookup(schema_, kFlow, "flow_id { op: NOT_EQUALS }"));
  EXPECT_FALSE(lookup(schema_, kFlow, "flow_id { op: EQUALS } src_ip { op: EQUALS }"));
  EXPECT_FALSE(lookup(schema_, kFlow, "src_ip { op: EQUALS }"));
  EXPECT_FALSE(lookup(schema_, kFlow, ""));
  // A message key: through the nested op message's "self".
  EXPECT_TRUE(lookup(schema_, kDevice, "id { self { op: EQUALS } }"));
  EXPECT_FALSE(lookup(schema_, kDevice, "id { left { op: EQUALS } }"));
  // Its op type without "self": a type scan, and no abort.
  const QueryScan reading_scan(&scan_schema_, db_.get());
  EXPECT_FALSE(reading_scan.IsKeyLookup(
      *Msg(scan_schema_, "scan.test.ReadingOpMsg", "key { a { op: EQUALS } }"),
      *Msg(scan_schema_, kReading, "key { a: 'k' }")));
}

TEST_F(QueryScanTest, KeyLookupReadsTheFirstRecordTheVdbSeesWithoutMatching) {
  // The record of id 7 in vdbs 2 and 3 holds a body that names id 8: only a
  // key lookup returns it.
  const std::string body = Msg(schema_, kFlow, "flow_id: 8 src_ip: 'odd'")->SerializeAsString();
  std::string key;
  ASSERT_TRUE(MakeObjectRecordKey(schema_, kFlow,
                                  schema_.keys().GetKeyFromSerialized(kFlow, "\x08\x07"), &key));
  PutAll(db_.get(), {{key + EncodeVdbIdSet({2, 3}), body}});
  StoreFlow("flow_id: 7 src_ip: 'main'");
  const char* sort = "src_ip { op: DESCENDING }";  // ignored by a lookup
  EXPECT_EQ(Flows("flow_id { op: EQUALS }", "flow_id: 7", sort, nullptr, 3),
            (Texts{"flow_id: 8 src_ip: \"odd\""}));
  EXPECT_EQ(Flows("flow_id { op: EQUALS }", "flow_id: 7", sort),
            (Texts{"flow_id: 7 src_ip: \"main\""}));
  EXPECT_EQ(Flows("flow_id { op: EQUALS }", "flow_id: 7", sort, nullptr, 4), Texts{});
  // A type scan matches the bodies.
  EXPECT_EQ(Flows("flow_id { op: EQUALS } src_ip { op: NOT_EQUALS }", "flow_id: 7 src_ip: 'x'",
                  nullptr, nullptr, 3),
            Texts{});
  EXPECT_EQ(Flows("flow_id { op: EQUALS }", ""),
            Texts{"INVALID_ARGUMENT: object id missing from value"});
}

TEST_F(QueryScanTest, TypeScanReturnsWhatTheVdbSeesInKeyOrder) {
  StoreFlow("flow_id: 300 src_ip: 'main'");  // no suffix: vdb 1 alone
  StoreFlow("flow_id: 1 src_ip: 'both'", {1, 2});
  StoreFlow("flow_id: 2 src_ip: 'two'", {2});
  StoreFlow("flow_id: 2 src_ip: 'one'", {1});
  Store(schema_, "caldek.orv.tarnix.AlarmMsg", "alarm_id: 1", {1, 2});  // another type
  EXPECT_EQ(Flows("", ""), (Texts{"flow_id: 1 src_ip: \"both\"", "flow_id: 2 src_ip: \"one\"",
                                  "flow_id: 300 src_ip: \"main\""}));
  EXPECT_EQ(Flows("", "", nullptr, nullptr, 2),
            (Texts{"flow_id: 1 src_ip: \"both\"", "flow_id: 2 src_ip: \"two\""}));
  EXPECT_EQ(Flows("", "", nullptr, nullptr, 3), Texts{});
}

TEST_F(QueryScanTest, AppliesTheSelectionAndLeavesOutObjectsItEmpties) {
  StoreFlow("flow_id: 1 src_ip: 'a' dst_ip: 'b' protocol: 6");
  StoreFlow("flow_id: 2 protocol: 17");
  EXPECT_EQ(Flows("", "", nullptr, "src_ip { op: SELECT }"),
            (Texts{"flow_id: 1 src_ip: \"a\""}));
  ASSERT_EQ(last_ops_.size(), 1u);
  EXPECT_EQ(Text(*MessagePtr(schema_.types().ParseMessage(
                schema_.op_messages().GetOpMsgTypeName(kFlow), last_ops_[0]))),
            "src_ip { op: SET }");
  // "self" and no selection send the stored bytes whole.
  EXPECT_EQ(Flows("", "", nullptr, "self { op: SELECT }").size(), 2u);
  EXPECT_EQ(Flows("protocol { op: EQUALS }", "protocol: 17"), (Texts{"flow_id: 2 protocol: 17"}));
}

TEST_F(QueryScanTest, SkipsRecordsThatDoNotDecodeAndReadsMarkedValues) {
  StoreFlow("flow_id: 1 src_ip: 'a'");
  std::string prefix, key;
  ASSERT_TRUE(MakeObjectTypeKeyPrefix(schema_, kFlow, &prefix));
  const std::string marked = Msg(schema_, kFlow, "flow_id: 2 src_ip: 'm'")->SerializeAsString();
  ASSERT_TRUE(MakeObjectRecordKey(schema_, kFlow,
                                  schema_.keys().GetKeyFromSerialized(kFlow, marked), &key));
  PutAll(db_.get(), {{prefix + "\x09" "ab", "torn key"},
                     {key, std::string(1, '\0') + marked},
                     {prefix + "\x01" "z", "\xff\xff"}});
  EXPECT_EQ(Flows("", ""), (Texts{"flow_id: 1 src_ip: \"a\"", "flow_id: 2 src_ip: \"m\""}));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Malformed object record key (5 bytes): 0005096162"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Unable to parse data into " + std::string(kFlow) +
                                              " message"));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203",
                      "Unable to decode caldek.orv.tarnix.FlowMsg id 7a from record key 0005017a  "
                      ":: Encoded record value (base64: size) = (//8= : '4') :: valmsg type "
                      "caldek.orv.tarnix.FlowMsg :: Prefix filter (value: size) = ( : '2')"));
  // The marker byte is not part of what is sent.
  std::vector<QueryResultRecord> results;
  MessagePtr op =
      Msg(schema_, schema_.op_messages().GetOpMsgTypeName(kFlow), "src_ip { op: EQUALS }");
  ASSERT_TRUE(QueryScan(&schema_, db_.get())
                  .ExecuteQueryScan(nullptr, *op, *Msg(schema_, kFlow, "src_ip: 'm'"), nullptr, 1,
                                    DbAccess::SnapshotHolder(), &results)
                  .ok());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].object, marked);
}

TEST_F(QueryScanTest, ReadsTheSnapshotItIsGiven) {
  StoreFlow("flow_id: 1 src_ip: 'a'");
  const DbAccess::SnapshotHolder snapshot = db_->GetSnapshot();
  StoreFlow("flow_id: 2 src_ip: 'a'");
  const QueryScan scan(&schema_, db_.get());
  // A type scan, then a key lookup.
  for (const auto& [op_text, value] : {std::pair<const char*, const char*>{"src_ip { op: EQUALS }",
                                                                          "src_ip: 'a'"},
                                      {"flow_id { op: EQUALS }", "flow_id: 2"}}) {
    SCOPED_TRACE(op_text);
    MessagePtr op = Msg(schema_, schema_.op_messages().GetOpMsgTypeName(kFlow), op_text);
    std::vector<QueryResultRecord> then, now;
    ASSERT_TRUE(
        scan.ExecuteQueryScan(nullptr, *op, *Msg(schema_, kFlow, value), nullptr, 1, snapshot, &then)
            .ok());
    ASSERT_TRUE(scan.ExecuteQueryScan(nullptr, *op, *Msg(schema_, kFlow, value), nullptr, 1,
                                      DbAccess::SnapshotHolder(), &now)
                    .ok());
    EXPECT_EQ(then.size() + 1, now.size());
  }
}

TEST_F(QueryScanTest, AStorageFailureAppendsNothing) {
  // Many blocks of a table file, so that the read fails half-way.
  const std::string padding(200, 'p');
  for (int i = 1; i <= 500; ++i) {
    StoreFlow("flow_id: " + std::to_string(i) + " src_ip: '" + padding + "'");
  }
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // recovery moves the records into a table file
  env.FailOneReadAfter(8, leveldb::Status::Corruption("injected"));
  std::vector<QueryResultRecord> results(1);
  MessagePtr op = Msg(schema_, schema_.op_messages().GetOpMsgTypeName(kFlow), "");
  const Status status = QueryScan(&schema_, db_.get())
                            .ExecuteQueryScan(nullptr, *op, *Msg(schema_, kFlow, ""), nullptr, 1,
                                              DbAccess::SnapshotHolder(), &results);
  EXPECT_EQ(status.code(), Status::kDataLoss);
  EXPECT_EQ(status.message().rfind("LevelDB error: ", 0), 0u);
  EXPECT_EQ(results.size(), 1u);
  env.FailReadsAfter(-1, leveldb::Status::OK());
  db_.reset();  // before `env` goes
}

// Random flows in random vdbs, random where clauses of EQUALS and
// NOT_EQUALS on scalar fields (or the key), with or without a sort order:
// the scan returns exactly what a filter over the objects in memory does.
TEST_F(QueryScanTest, MatchesABruteForceFilterOverRandomObjects) {
  const char* ips[] = {"a", "b", "c"};
  const char* fields[] = {"protocol", "byte_count", "src_ip"};
  for (unsigned seed : {1u, 2u, 3u}) {
    ASSERT_TRUE(db_->DeleteByPrefixes({std::string(1, '\0')}, false).ok());
    std::mt19937 rng(seed);
    struct Flow {
      int64_t id;
      uint32_t protocol;
      uint64_t bytes;
      std::string ip;
      std::string key;  // record key without vdb suffix: the scan's order
    };
    std::map<VdbId, std::vector<Flow>> by_vdb;
    DbAccess::Records stored;
    for (int64_t id = 1; id <= 120; ++id) {
      // One record, or two in disjoint vdbs.
      std::vector<VdbIdSet> sets;
      const VdbIdSet all = {1, 2, 3};
      VdbIdSet first;
      for (VdbId v : all) {
        if (rng() % 2) first.insert(v);
      }
      if (first.empty()) continue;
      sets.push_back(first);
      VdbIdSet rest;
      for (VdbId v : all) {
        if (first.count(v) == 0 && rng() % 2) rest.insert(v);
      }
      if (!rest.empty()) sets.push_back(rest);
      for (const VdbIdSet& vdbs : sets) {
        Flow flow{id, static_cast<uint32_t>(rng() % 3), rng() % 4, ips[rng() % 3], ""};
        const std::string body =
            Msg(schema_, kFlow,
                "flow_id: " + std::to_string(id) + " protocol: " + std::to_string(flow.protocol) +
                    " byte_count: " + std::to_string(flow.bytes) + " src_ip: '" + flow.ip + "'")
                ->SerializeAsString();
        flow.key = Key(schema_, kFlow, body, {});
        // The main vdb alone is stored without suffix, as writes do.
        stored.emplace_back(vdbs == VdbIdSet{1} ? flow.key : Key(schema_, kFlow, body, vdbs),
                            body);
        for (VdbId v : vdbs) by_vdb[v].push_back(flow);
      }
    }
    PutAll(db_.get(), stored);

    for (int round = 0; round < 60; ++round) {
      const VdbId vdb = 1 + rng() % 3;
      std::string op, value;
      std::vector<std::function<bool(const Flow&)>> tests;
      const bool lookup = rng() % 6 == 0;
      if (lookup) {
        const int64_t id = 1 + rng() % 120;
        op = "flow_id { op: EQUALS }";
        value = "flow_id: " + std::to_string(id);
        tests.push_back([id](const Flow& f) { return f.id == id; });
      }
      for (int i = lookup ? 2 : rng() % 3; i < 2; ++i) {
        const int field = rng() % 3;
        const bool equals = rng() % 2;
        op += std::string(" ") + fields[field] + (equals ? " { op: EQUALS }" : " { op: NOT_EQUALS }");
        const uint64_t n = rng() % 4;
        const std::string ip = ips[rng() % 3];
        if (value.find(fields[field]) != std::string::npos) {
          op.erase(op.rfind(' ' + std::string(fields[field])));
          continue;
        }
        value += field == 2 ? " src_ip: '" + ip + "'"
                            : std::string(" ") + fields[field] + ": " + std::to_string(n);
        tests.push_back([=](const Flow& f) {
          const bool same = field == 0 ? f.protocol == n : field == 1 ? f.bytes == n : f.ip == ip;
          return same == equals;
        });
      }
      const int sort = lookup ? 0 : rng() % 3;
      const char* sort_text = sort == 0   ? nullptr
                              : sort == 1 ? "byte_count { op: ASCENDING } flow_id { op: "
                                            "SECONDARY_DESCENDING }"
                                          : "src_ip { op: DESCENDING } flow_id { op: "
                                            "SECONDARY_ASCENDING }";
      std::vector<Flow> expected;
      for (const Flow& flow : by_vdb[vdb]) {
        bool match = true;
        for (const auto& test : tests) match = match && test(flow);
        if (match) expected.push_back(flow);
      }
      std::sort(expected.begin(), expected.end(), [sort](const Flow& a, const Flow& b) {
        if (sort == 1) return a.bytes != b.bytes ? a.bytes < b.bytes : a.id > b.id;
        if (sort == 2) return a.ip != b.ip ? a.ip > b.ip : a.id < b.id;
        return a.key < b.key;
      });
      Texts want;
      for (const Flow& f : expected) {
        want.push_back(Text(*Msg(schema_, kFlow,
                                 "flow_id: " + std::to_string(f.id) + " src_ip: '" + f.ip +
                                     "' protocol: " + std::to_string(f.protocol) +
                                     " byte_count: " + std::to_string(f.bytes))));
      }
      ASSERT_EQ(Flows(op, value, sort_text, nullptr, vdb), want)
          << "seed " << seed << " round " << round << " vdb " << vdb << ": " << op << " / "
          << value;
    }
  }
}

}  // namespace
}  // namespace tarnix

// Monitors on the fixture schema of the subscription tests adding and
// dropping where clauses, moving to other vdbs and going away, in the order
// the input gives, on the monitor engine and on the brute-force model of
// subscription_model.h at once. After every step, objects from the input
// must be matched to the same monitors by both; at the end nothing may stay
// behind. Clauses and objects are built field by field from the input, with
// few distinct values so that they meet, or taken as raw bytes.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>

#include "metrics/metric.h"
#include "monitor/monitor_engine.h"
#include "monitor/subscription_check.h"
#include "monitor/subscription_model.h"
#include "platform/metrics/metric_registry.h"
#include "schema/object.h"
#include "schema/schema.h"
#include "util/fuzz_support.h"

namespace tarnix {
namespace subscription_test {
namespace {

namespace pb = google::protobuf;

constexpr char kWatched[] = "monitor.test.WatchedMsg";
constexpr char kOther[] = "monitor.test.OtherMsg";
const char* const kTypes[] = {kWatched, kOther};
const char* const kMonitors[] = {"m0", "m1", "m2", "m3"};
constexpr size_t kMaxSteps = 64;

Schema& WatchSchema() {
  static Schema* schema = LoadWatchSchema().release();
  return *schema;
}

// One byte per field: bit 0 sets it, the rest picks its value (and for a
// repeated field the number of elements, each with a byte of its own).
void Fill(FuzzInput* in, pb::Message* message, int depth) {
  static const double kFloats[] = {
      0.0, -0.0, 1.5, std::numeric_limits<double>::quiet_NaN(), 1.0000001, 1.0000002};
  static const char* const kStrings[] = {"", "a", "b", "a b"};
  const pb::Descriptor* type = message->GetDescriptor();
  const pb::Reflection* r = message->GetReflection();
  for (int i = 0; i < type->field_count(); ++i) {
    const pb::FieldDescriptor* field = type->field(i);
    const uint8_t choice = in->Byte();
    if ((choice & 1) == 0) continue;
    const bool repeated = field->is_repeated();
    const int count = repeated ? (choice >> 1) % 4 : 1;
    for (int n = 0; n < count; ++n) {
      const uint8_t pick = repeated ? in->Byte() : static_cast<uint8_t>(choice >> 1);
      const int small = pick % 4 - 1;
      switch (field->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_INT32:
          repeated ? r->AddInt32(message, field, small) : r->SetInt32(message, field, small);
          break;
        case pb::FieldDescriptor::CPPTYPE_INT64:
          repeated ? r->AddInt64(message, field, small) : r->SetInt64(message, field, small);
          break;
        case pb::FieldDescriptor::CPPTYPE_UINT32:
          repeated ? r->AddUInt32(message, field, small + 1)
                   : r->SetUInt32(message, field, small + 1);
          break;
        case pb::FieldDescriptor::CPPTYPE_UINT64:
          repeated ? r->AddUInt64(message, field, small + 1)
                   : r->SetUInt64(message, field, small + 1);
          break;
        case pb::FieldDescriptor::CPPTYPE_FLOAT: {
          const float v = static_cast<float>(kFloats[pick % 4]);
          repeated ? r->AddFloat(message, field, v) : r->SetFloat(message, field, v);
          break;
        }
        case pb::FieldDescriptor::CPPTYPE_DOUBLE: {
          const double v = kFloats[pick % 6];
          repeated ? r->AddDouble(message, field, v) : r->SetDouble(message, field, v);
          break;
        }
        case pb::FieldDescriptor::CPPTYPE_BOOL:
          repeated ? r->AddBool(message, field, pick & 1) : r->SetBool(message, field, pick & 1);
          break;
        case pb::FieldDescriptor::CPPTYPE_ENUM:
          repeated ? r->AddEnumValue(message, field, pick % 3)
                   : r->SetEnumValue(message, field, pick % 3);
          break;
        case pb::FieldDescriptor::CPPTYPE_STRING: {
          const std::string v = kStrings[pick % 4];
          repeated ? r->AddString(message, field, v) : r->SetString(message, field, v);
          break;
        }
        case pb::FieldDescriptor::CPPTYPE_MESSAGE:
          if (depth < 3) {
            Fill(in, repeated ? r->AddMessage(message, field) : r->MutableMessage(message, field),
                 depth + 1);
          }
          break;
      }
    }
  }
}

// A body of `type`: built field by field, or raw bytes.
std::string Body(FuzzInput* in, const std::string& type) {
  if (in->Byte() & 1) return in->String();
  std::unique_ptr<pb::Message> message(WatchSchema().types().NewMessage(type));
  Fill(in, message.get(), 0);
  return message->SerializeAsString();
}

// An op message of `type`: one predicate of a path and an operation from the
// input (the tree's shapes and some it cannot watch), or raw bytes.
std::string OpBody(FuzzInput* in, const std::string& type) {
  static const char* const kOperations[] = {"EQUALS",       "NOT_EQUALS", "CONTAINS_ANY",
                                            "CONTAINS_ALL", "EXISTS",     "SELECT"};
  // clang-format off
  static const char* const kPaths[] = {
      "i32", "i64", "u64", "f", "d", "b", "shade", "s", "raw", "id",
      "tags", "nums", "fs", "ds", "shades",
      "spot.city", "spot.point.x", "spot.point.label", "spot.point.marks",
      "spot.self", "spot.point.self", "spots.self", "point",
      "spots.city", "u32.x", "ghost", "self",
  };
  // clang-format on
  const uint8_t shape = in->Byte();
  if (shape % 8 == 7) return in->String();
  const uint8_t pick = in->Byte();
  const std::string leaf =
      pick % 16 == 15 ? "{ }" : "{ op: " + std::string(kOperations[pick % 6]) + " }";
  std::string text;
  if (type == kOther) {
    text = shape % 3 == 0 ? "" : std::string(shape % 3 == 1 ? "n " : "id ") + leaf;
  } else if (shape % 8 == 6) {
    text = "i32 " + leaf + " s " + leaf;  // two attributes
  } else {
    std::string path = kPaths[in->Byte() % (sizeof kPaths / sizeof *kPaths)];
    int depth = 0;
    for (size_t dot; (dot = path.find('.')) != std::string::npos; ++depth) {
      text += path.substr(0, dot) + " { ";
      path = path.substr(dot + 1);
    }
    text += path + " " + leaf;
    while (depth-- > 0) text += " }";
  }
  std::unique_ptr<pb::Message> op(
      WatchSchema().types().NewMessage(WatchSchema().op_messages().GetOpMsgTypeName(type)));
  TARNIX_FUZZ_CHECK(pb::TextFormat::ParseFromString(text, op.get()));
  return op->SerializeAsString();
}

uint64_t Gauge(orv::metrics::MetricRegistry* registry, const std::string& name, VdbId vdb,
               const std::string& type) {
  const std::string path = "server/monitor/" + std::to_string(vdb) + "/" + type + "/" + name;
  if (registry->find_key(path) == nullptr) return 0;
  return metrics::UnitMetric(*registry, path)->window(true).last;
}

class Run {
 public:
  explicit Run(FuzzInput* in) : in_(in) {}

  void Steps() {
    for (size_t step = 0; step < kMaxSteps && !in_->empty(); ++step) {
      Step();
      const size_t probes = 1 + in_->Byte() % 3;
      for (size_t i = 0; i < probes; ++i) Probe();
    }
    for (const std::string& monitor : model_.Monitors()) engine_.DeleteSubscriptions(monitor, "");
    TARNIX_FUZZ_CHECK(!engine_.HasSubscriptions());
    for (VdbId vdb = 1; vdb <= 3; ++vdb) {
      for (const char* type : kTypes) {
        TARNIX_FUZZ_CHECK(Gauge(&registry_, "by_type", vdb, type) == 0);
        TARNIX_FUZZ_CHECK(Gauge(&registry_, "by_attribute", vdb, type) == 0);
      }
    }
  }

 private:
  void Step() {
    const Schema& schema = WatchSchema();
    const std::string monitor = kMonitors[in_->Byte() % 4];
    const uint8_t action = in_->Byte();
    const VdbId vdb = static_cast<VdbId>(1 + action / 16 % 3);
    const std::vector<std::string> live = model_.Monitors();
    if (std::find(live.begin(), live.end(), monitor) == live.end()) {
      engine_.AddMonitor(monitor, vdb);
      model_.AddMonitor(monitor, vdb);
      return;
    }
    switch (action % 8) {
      case 0:
      case 1:
      case 2:
      case 3: {
        const std::string type = kTypes[action / 64 % 2];
        const TarnixObject op(schema.op_messages().GetOpMsgTypeName(type), OpBody(in_, type));
        const TarnixObject value(type, Body(in_, type));
        // Callers add only what the check accepts.
        if (!CheckSubscription(schema, type, op, value).ok()) return;
        TARNIX_FUZZ_CHECK(engine_.AddSubscription(monitor, type, op, value));
        model_.AddClause(monitor, {type, *op.body_ptr(), *value.body_ptr()});
        return;
      }
      case 4: {
        // A monitor that moved shares keys between its vdbs' clauses: it
        // only drops whole types or goes.
        const auto clauses = model_.Clauses(monitor);
        if (clauses.empty() || moved_.count(monitor) > 0) return;
        const auto& clause = clauses[in_->Byte() % clauses.size()];
        const auto& [type, op_body, value_body] = clause;
        TARNIX_FUZZ_CHECK(engine_.DeleteSubscription(
            monitor, type, TarnixObject(schema.op_messages().GetOpMsgTypeName(type), op_body),
            TarnixObject(type, value_body)));
        model_.RemoveClause(monitor, clause);
        return;
      }
      case 5:
        engine_.AddMonitor(monitor, vdb);
        model_.MoveMonitor(monitor, vdb);
        moved_.insert(monitor);
        return;
      case 6: {
        const std::string type = kTypes[action / 64 % 2];
        engine_.DeleteSubscriptions(monitor, type);
        model_.RemoveType(monitor, type);
        return;
      }
      default:
        engine_.DeleteSubscriptions(monitor, "");
        model_.RemoveMonitor(monitor);
        moved_.erase(monitor);
        return;
    }
  }

  void Probe() {
    const uint8_t pick = in_->Byte();
    const std::string type = kTypes[pick % 2];
    std::unique_ptr<pb::Message> object(WatchSchema().types().ParseMessage(type, Body(in_, type)));
    if (object == nullptr) return;
    VdbIdSet vdbs;
    for (VdbId vdb = 1; vdb <= 3; ++vdb) {
      if (pick >> vdb & 1) vdbs.insert(vdb);
    }
    MonitorIdSet matched;
    engine_.MatchObjectSubscriptions(type, object.get(), vdbs, &matched);
    TARNIX_FUZZ_CHECK(matched == model_.Match(type, *object, vdbs));
  }

  FuzzInput* const in_;
  orv::metrics::MetricRegistry registry_;
  MonitorEngine engine_{&WatchSchema(), &registry_};
  SubscriptionModel model_{&WatchSchema()};
  std::set<std::string> moved_;
};

// ---- Seeds, written in the input's layout ----

class Seed {
 public:
  // A monitor not yet registered registers on `vdb` (1 to 3).
  Seed& Register(int monitor, int vdb) { return Step(monitor, 16 * (vdb - 1)); }
  // A clause on kTypes[type]: `path` of the op paths with operation
  // `operation`, and a value given as text.
  Seed& Add(int monitor, int type, int operation, int path, const std::string& value) {
    Step(monitor, 64 * type);
    if (type == 1) {
      Byte(path == 0 ? 2 : 1).Byte(operation);  // 2: "id", 1: "n"
    } else {
      Byte(0).Byte(operation).Byte(path);
    }
    return Raw(kTypes[type], value);
  }
  // The same on kWatched with a value built field by field: `choices` the
  // bytes of its first fields, the others left unset.
  Seed& AddBuilt(int monitor, int operation, int path, const std::string& choices) {
    Step(monitor, 0).Byte(0).Byte(operation).Byte(path).Byte(0);
    const size_t fields = WatchSchema().types().FindMessageTypeByName(kWatched)->field_count();
    out_ += choices + std::string(fields - choices.size(), '\0');
    return *this;
  }
  Seed& Drop(int monitor) { return Step(monitor, 4).Byte(0); }
  Seed& Move(int monitor, int vdb) { return Step(monitor, 5 + 16 * (vdb - 1)); }
  Seed& DropType(int monitor, int type) { return Step(monitor, 6 + 64 * type); }
  Seed& Leave(int monitor) { return Step(monitor, 7); }
  // The probes after a step: objects of kTypes[type] given as text, in the
  // vdbs of bits 1 to 3 of `vdbs`.
  Seed& Probes(const std::vector<std::tuple<int, int, std::string>>& objects) {
    Byte(static_cast<uint8_t>(objects.size() - 1));
    for (const auto& [type, vdbs, text] : objects) {
      Byte(static_cast<uint8_t>(type | vdbs));
      Raw(kTypes[type], text);
    }
    return *this;
  }
  const std::string& bytes() const { return out_; }

 private:
  Seed& Byte(uint8_t b) {
    out_.push_back(static_cast<char>(b));
    return *this;
  }
  Seed& Step(int monitor, int action) { return Byte(monitor).Byte(action); }
  Seed& Raw(const std::string& type, const std::string& text) {
    std::unique_ptr<pb::Message> message(WatchSchema().types().NewMessage(type));
    TARNIX_FUZZ_CHECK(pb::TextFormat::ParseFromString(text, message.get()));
    const std::string bytes = message->SerializeAsString();
    TARNIX_FUZZ_CHECK(bytes.size() < 256);
    Byte(1).Byte(static_cast<uint8_t>(bytes.size()));
    out_ += bytes;
    return *this;
  }

  std::string out_;
};

std::vector<std::string> Seeds() {
  constexpr int kIn1 = 2, kIn2 = 4, kInAll = 14;  // vdb bits of a probe
  std::vector<std::string> seeds;
  seeds.push_back(Seed()
                      .Register(0, 1).Probes({{0, kIn1, "i32: 1"}})
                      .Add(0, 0, 0, 0, "i32: 1").Probes({{0, kIn1, "i32: 1"}, {0, kIn1, "i32: 2"}})
                      .Register(1, 2).Probes({{0, kIn2, "tags: 'a'"}})
                      .Add(1, 0, 2, 10, "tags: 'a' tags: 'b'")
                      .Probes({{0, kInAll, "tags: 'b'"}, {0, kIn2, "tags: 'c'"}})
                      .Drop(0).Probes({{0, kIn1, "i32: 1"}})
                      .Move(1, 3).Probes({{0, kInAll, "tags: 'a'"}})
                      .DropType(1, 0).Probes({{0, kInAll, "tags: 'a'"}})
                      .Leave(1).Probes({{0, kInAll, ""}})
                      .bytes());
  seeds.push_back(Seed()
                      .Register(2, 1).Probes({{1, kIn1, "n: 1"}})
                      .Add(2, 1, 4, 1, "").Probes({{1, kIn1, "n: 1"}, {1, kIn1, "id: 'x'"}})
                      .Add(2, 1, 0, 0, "id: 'x'").Probes({{1, kIn1, "id: 'x'"}})
                      .Add(2, 0, 1, 16, "spot { point { x: 0 } }")
                      .Probes({{0, kIn1, "spot { point { x: 1 } }"}, {0, kIn1, "spot { }"}})
                      .Add(2, 0, 0, 19, "spot { city: 'a' }")
                      .Probes({{0, kIn1, "spot { city: 'a' }"}, {0, kIn1, "spot { city: 'b' }"}})
                      .Leave(2).Probes({{0, kIn1, "spot { city: 'a' }"}})
                      .bytes());
  seeds.push_back(Seed()
                      .Register(3, 2).Probes({{0, kIn2, "d: 1.5"}})
                      .Add(3, 0, 0, 4, "d: 1.5").Probes({{0, kIn2, "d: 1.5"}, {0, kIn2, "d: nan"}})
                      .Add(3, 0, 3, 12, "fs: 0 fs: 1.5").Probes({{0, kIn2, "fs: 1.5 fs: 0 fs: 0"}})
                      .Add(3, 0, 4, 22, "").Probes({{0, kIn2, "point { }"}})
                      .Add(3, 0, 1, 21, "spots { city: 'a' }")
                      .Probes({{0, kIn2, "spots { city: 'a' }"}, {0, kIn2, "spots { }"}})
                      .Move(3, 1).Probes({{0, kInAll, "d: 1.5"}})
                      .Add(3, 0, 0, 7, "s: 'a b'").Probes({{0, kIn1, "s: 'a b'"}})
                      .DropType(3, 0).Probes({{0, kInAll, "d: 1.5 s: 'a b'"}})
                      .bytes());
  // Values built field by field: i32 = 0, then i64 = 1.
  seeds.push_back(Seed()
                      .Register(0, 1).Probes({{0, kIn1, "i32: 0"}})
                      .AddBuilt(0, 0, 0, std::string("\x00\x03", 2))
                      .Probes({{0, kIn1, "i32: 0"}, {0, kIn1, "i32: 1"}})
                      .AddBuilt(0, 1, 1, std::string("\x00\x00\x05", 3))
                      .Probes({{0, kIn1, "i64: 2"}, {0, kIn1, "i64: 1"}})
                      .bytes());
  // A monitor that moved and subscribed the same clause again drops the
  // type: the clause goes from both vdbs.
  seeds.push_back(Seed()
                      .Register(1, 2).Probes({{0, kIn2, "i32: 1"}})
                      .Add(1, 0, 0, 0, "i32: 1").Probes({{0, kIn2, "i32: 1"}})
                      .Move(1, 3).Probes({{0, kInAll, "i32: 1"}})
                      .Add(1, 0, 0, 0, "i32: 1").Probes({{0, kInAll, "i32: 1"}})
                      .DropType(1, 0).Probes({{0, kIn2, "i32: 1"}, {0, kInAll, "i32: 1"}})
                      .bytes());
  return seeds;
}

}  // namespace
}  // namespace subscription_test
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnix::SilenceLogs();
  TARNIX_FUZZ_CHECK(tarnix::subscription_test::WatchSchema().types().HasObjectTypes());
  tarnix::SeedEmptyCorpus(*argc, *argv, tarnix::subscription_test::Seeds());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::FuzzInput in(data, size);
  tarnix::subscription_test::Run(&in).Steps();
  return 0;
}

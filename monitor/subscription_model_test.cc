// Random monitors, clauses and objects: the engine against the brute-force
// model, and the model against Query's where matcher.
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "monitor/engine_test_util.h"
#include "monitor/subscription_check.h"
#include "query/op_msg_fields.h"
#include "query/where_matcher.h"
#include "schema/field_values.h"

namespace tarnix {
namespace subscription_test {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;

constexpr char kOther[] = "monitor.test.OtherMsg";

class RandomClauses {
 public:
  RandomClauses(const Schema& schema, uint32_t seed) : schema_(schema), random_(seed) {}

  size_t Below(size_t n) { return random_() % n; }
  bool OneIn(size_t n) { return Below(n) == 0; }

  // An object of `type` whose fields hold few distinct values, so that
  // clauses and objects meet often.
  std::unique_ptr<pb::Message> Object(const std::string& type) {
    std::unique_ptr<pb::Message> message(schema_.types().NewMessage(type));
    Fill(message.get(), 0);
    return message;
  }

  // The text of an op message of WatchedMsg or OtherMsg: mostly one
  // predicate the tree watches, sometimes a shape it cannot.
  std::string OpText(const std::string& type) {
    static const char* kOperations[] = {"EQUALS",       "NOT_EQUALS", "CONTAINS_ANY",
                                        "CONTAINS_ALL", "EXISTS",     "SELECT"};
    const std::string operation = kOperations[Below(OneIn(10) ? 6 : 5)];
    const std::string leaf = OneIn(30) ? "{ }" : "{ op: " + operation + " }";
    if (type == kOther) return OneIn(3) ? "" : std::string(OneIn(2) ? "n " : "id ") + leaf;
    // clang-format off
    static const char* kPaths[] = {
        "i32", "i64", "u64", "f", "d", "b", "shade", "s", "raw", "id",
        "tags", "nums", "fs", "ds", "shades",
        "spot.city", "spot.point.x", "spot.point.label", "spot.point.marks",
        "spot.self", "spot.point.self", "spots.self", "point",
        // Shapes no subscription can watch.
        "spots.city", "u32.x", "ghost", "self",
    };
    // clang-format on
    if (OneIn(12)) return "";
    if (OneIn(25)) return "i32 " + leaf + " s " + leaf;
    std::string path = kPaths[Below(sizeof kPaths / sizeof *kPaths)];
    std::string text;
    int depth = 0;
    for (size_t dot; (dot = path.find('.')) != std::string::npos; ++depth) {
      text += path.substr(0, dot) + " { ";
      path = path.substr(dot + 1);
    }
    text += path + " " + leaf;
    while (depth-- > 0) text += " }";
    return text;
  }

 private:
  void Fill(pb::Message* message, int depth) {
    const pb::Descriptor* type = message->GetDescriptor();
    const pb::Reflection* r = message->GetReflection();
    for (int i = 0; i < type->field_count(); ++i) {
      const pb::FieldDescriptor* field = type->field(i);
      if (!OneIn(2)) continue;
      const int count = field->is_repeated() ? static_cast<int>(Below(4)) : 1;
      for (int n = 0; n < count; ++n) SetOne(message, r, field, depth);
    }
  }

  void SetOne(pb::Message* message, const pb::Reflection* r, const pb::FieldDescriptor* field,
              int depth) {
    static const double kFloats[] = {
        0.0, -0.0, 1.5, std::numeric_limits<double>::quiet_NaN(), 1.0000001, 1.0000002};
    static const char* kStrings[] = {"", "a", "b", "a b"};
    const bool repeated = field->is_repeated();
    const int small = static_cast<int>(Below(4)) - 1;
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
        const float v = static_cast<float>(kFloats[Below(4)]);
        repeated ? r->AddFloat(message, field, v) : r->SetFloat(message, field, v);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_DOUBLE: {
        const double v = kFloats[Below(6)];
        repeated ? r->AddDouble(message, field, v) : r->SetDouble(message, field, v);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_BOOL:
        repeated ? r->AddBool(message, field, OneIn(2)) : r->SetBool(message, field, OneIn(2));
        break;
      case pb::FieldDescriptor::CPPTYPE_ENUM: {
        const int v = static_cast<int>(Below(3));
        repeated ? r->AddEnumValue(message, field, v) : r->SetEnumValue(message, field, v);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_STRING: {
        const std::string v = kStrings[Below(4)];
        repeated ? r->AddString(message, field, v) : r->SetString(message, field, v);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_MESSAGE:
        if (depth < 3) {
          Fill(repeated ? r->AddMessage(message, field) : r->MutableMessage(message, field),
               depth + 1);
        }
        break;
    }
  }

  const Schema& schema_;
  std::mt19937 random_;
};

std::string Describe(const pb::Message& message) {
  std::string text = message.ShortDebugString();
  return text.empty() ? "{}" : text;
}

class SubscriptionModelTest : public EngineTest {
 protected:
  // One round: random monitors on vdbs 1 to 3 add and drop clauses, move
  // to other vdbs now and then, and go away; after every step, random
  // objects are matched by both.
  void RunRound(uint32_t seed) {
    RandomClauses random(*schema_, seed);
    SubscriptionModel model(schema_.get());
    const std::string types[] = {kWatched, kOther};
    const std::string monitors[] = {"m0", "m1", "m2", "m3", "m4", "m5"};
    // Monitors that moved: the clauses they added on their earlier vdbs
    // stay there and share keys with the later ones, so they only drop
    // whole types or go.
    std::set<std::string> moved;
    std::ostringstream history;
    for (int step = 0; step < 60; ++step) {
      const std::string& monitor = monitors[random.Below(6)];
      const std::vector<std::string> live = model.Monitors();
      const bool registered = std::find(live.begin(), live.end(), monitor) != live.end();
      const size_t action = random.Below(20);
      const VdbId vdb = static_cast<VdbId>(1 + random.Below(3));
      if (!registered) {
        engine_.AddMonitor(monitor, vdb);
        model.AddMonitor(monitor, vdb);
        history << "add monitor " << monitor << " on " << vdb << "\n";
      } else if (action < 13) {
        const std::string& type = types[random.OneIn(5) ? 1 : 0];
        const std::string op_text = random.OpText(type);
        auto value = random.Object(type);
        ClauseObjects clause = Clause(op_text, "", type);
        clause.value = TarnixObject(type, value->SerializeAsString());
        history << monitor << " adds " << type << " [" << op_text << "] " << Describe(*value)
                << "\n";
        if (!CheckSubscription(*schema_, type, clause.op, clause.value).ok()) continue;
        ASSERT_TRUE(engine_.AddSubscription(monitor, type, clause.op, clause.value))
            << history.str();
        model.AddClause(monitor, {type, *clause.op.body_ptr(), *clause.value.body_ptr()});
        CompareWithQuery(random, type, clause, history.str());
      } else if (action < 16) {
        const auto clauses = model.Clauses(monitor);
        if (clauses.empty() || moved.count(monitor) > 0) continue;
        const auto& clause = clauses[random.Below(clauses.size())];
        const auto& [type, op_body, value_body] = clause;
        history << monitor << " drops a clause of " << type << "\n";
        const TarnixObject op(schema_->op_messages().GetOpMsgTypeName(type), op_body);
        ASSERT_TRUE(engine_.DeleteSubscription(monitor, type, op, TarnixObject(type, value_body)))
            << history.str();
        model.RemoveClause(monitor, clause);
      } else if (action < 17) {
        engine_.AddMonitor(monitor, vdb);
        model.MoveMonitor(monitor, vdb);
        moved.insert(monitor);
        history << monitor << " moves to " << vdb << "\n";
      } else if (action < 18) {
        const std::string& type = types[random.Below(2)];
        history << monitor << " drops " << type << "\n";
        engine_.DeleteSubscriptions(monitor, type);
        model.RemoveType(monitor, type);
      } else {
        history << monitor << " goes away\n";
        engine_.DeleteSubscriptions(monitor, "");
        model.RemoveMonitor(monitor);
        moved.erase(monitor);
      }
      for (int probe = 0; probe < 8; ++probe) {
        const std::string& type = types[random.OneIn(4) ? 1 : 0];
        auto object = random.Object(type);
        VdbIdSet vdbs;
        for (VdbId vdb = 1; vdb <= 3; ++vdb) {
          if (random.OneIn(2)) vdbs.insert(vdb);
        }
        MonitorIdSet matched;
        engine_.MatchObjectSubscriptions(type, object.get(), vdbs, &matched);
        ASSERT_EQ(matched, model.Match(type, *object, vdbs))
            << "seed " << seed << ", object " << Describe(*object) << "\n"
            << history.str();
      }
    }
    for (const std::string& monitor : model.Monitors()) engine_.DeleteSubscriptions(monitor, "");
    EXPECT_FALSE(engine_.HasSubscriptions()) << history.str();
    for (VdbId vdb = 1; vdb <= 3; ++vdb) {
      for (const std::string& type : types) {
        EXPECT_EQ(GaugeIfAny("by_type", vdb, type), 0u);
        EXPECT_EQ(GaugeIfAny("by_attribute", vdb, type), 0u);
      }
    }
  }

  // The model agrees with Query's where matcher on every accepted clause
  // but in two cases, both as subscriptions are meant to work:
  // - a CONTAINS_ALL that names more elements than the object holds, even
  //   as repeats: Query refuses it at once, a subscription compares sets;
  // - a "self" NOT_EQUALS on a message the object does not hold: Query
  //   finds the absent message unequal, a subscription visits only the
  //   attributes an object holds.
  void CompareWithQuery(RandomClauses& random, const std::string& type, const ClauseObjects& clause,
                        const std::string& history) {
    const auto op = clause.op.GetMessage(*schema_);
    const auto value = clause.value.GetMessage(*schema_);
    for (int probe = 0; probe < 8; ++probe) {
      auto object = random.Object(type);
      const bool watched = ClauseMatches(*schema_, op.get(), value.get(), *object);
      const bool queried =
          matcher_.MatchOpMsg(op.get(), value.get(), object.get(), object->GetDescriptor());
      if (watched == queried) continue;
      bool meant = false;
      if (!SetFields(*op).empty()) {
        const ClauseLeaf leaf = FindClauseLeaf(*schema_, *op, *value, *object);
        const bool held = IsFieldSet(leaf.object, leaf.field);
        auto size = [&](const pb::Message* message) {
          return message->GetReflection()->FieldSize(*message, leaf.field);
        };
        meant = (leaf.operation == OpMsg::CONTAINS_ALL && watched && held &&
                 size(leaf.value) > size(leaf.object)) ||
                (leaf.through_self && leaf.operation == OpMsg::NOT_EQUALS && queried && !held);
      }
      EXPECT_TRUE(meant) << "clause " << Describe(*op) << " value " << Describe(*value)
                         << " object " << Describe(*object) << "\n"
                         << history;
    }
  }

  WhereMatcher matcher_{schema_.get()};
};

TEST_F(SubscriptionModelTest, EngineMatchesTheModelOverManySeeds) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    RunRound(seed);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace subscription_test
}  // namespace tarnix

#include "query/where_matcher.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "query/match_fixture.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using match_test::MessagePtr;

class WhereMatcherTest : public ::testing::Test {
 protected:
  MessagePtr Op(const std::string& text) { return match_test::Msg(*schema_, "ThingOpMsg", text); }
  MessagePtr Thing(const std::string& text) {
    return match_test::Msg(*schema_, "ThingMsg", text);
  }
  const pb::Descriptor* ThingType() {
    return schema_->types().FindMessageTypeByName("match.test.ThingMsg");
  }
  // Where clause `op` with value `value` against `object` (text of ThingMsg).
  bool Match(const std::string& op, const std::string& value, const std::string& object) {
    MessagePtr op_msg = Op(op);
    MessagePtr value_msg = Thing(value);
    MessagePtr object_msg = Thing(object);
    return matcher_.MatchOpMsg(op_msg.get(), value_msg.get(), object_msg.get(), ThingType());
  }

  std::unique_ptr<Schema> schema_ = match_test::LoadMatchSchema();
  WhereMatcher matcher_{schema_.get()};
};

TEST_F(WhereMatcherTest, EmptyOpMessageMatchesEveryObjectAndAbsentOneNone) {
  EXPECT_TRUE(Match("", "", ""));
  EXPECT_TRUE(Match("", "count: 1", "id: 'a' count: 2 tags: 'x'"));
  MessagePtr op = Op("");
  EXPECT_TRUE(matcher_.MatchOpMsg(op.get(), nullptr, nullptr, ThingType()));

  orv::LogCapture capture;
  MessagePtr object = Thing("id: 'a'");
  EXPECT_FALSE(matcher_.MatchOpMsg(nullptr, object.get(), object.get(), ThingType()));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0002", "opmsg is nullptr"));
}

TEST_F(WhereMatcherTest, EqualsOnSingularFieldWithAbsentSides) {
  const std::string op = "count { op: EQUALS }";
  EXPECT_TRUE(Match(op, "", "id: 'a'"));                   // held by neither
  EXPECT_FALSE(Match(op, "count: 3", "id: 'a'"));          // only by the value
  EXPECT_FALSE(Match(op, "", "count: 3"));                 // only by the object
  EXPECT_TRUE(Match(op, "count: 3", "count: 3"));
  EXPECT_FALSE(Match(op, "count: 3", "count: 4"));
  EXPECT_TRUE(Match(op, "count: 0", "count: 0"));          // set to the default
  EXPECT_FALSE(Match(op, "count: 0", "id: 'a'"));
  EXPECT_TRUE(Match("label { op: EQUALS }", "label: 'x'", "label: 'x' count: 1"));
}

TEST_F(WhereMatcherTest, NotEqualsOnLeafFieldNeedsBothSides) {
  const std::string op = "count { op: NOT_EQUALS }";
  EXPECT_TRUE(Match(op, "count: 3", "count: 4"));
  EXPECT_FALSE(Match(op, "count: 3", "count: 3"));
  EXPECT_FALSE(Match(op, "count: 3", "id: 'a'"));
  EXPECT_FALSE(Match(op, "", "count: 4"));
  EXPECT_FALSE(Match(op, "", ""));
}

TEST_F(WhereMatcherTest, ExistsLooksAtTheObjectOnly) {
  EXPECT_TRUE(Match("label { op: EXISTS }", "", "label: ''"));
  EXPECT_TRUE(Match("label { op: EXISTS }", "label: 'other'", "label: 'x'"));
  EXPECT_FALSE(Match("label { op: EXISTS }", "label: 'x'", "count: 1"));
  EXPECT_TRUE(Match("tags { op: EXISTS }", "", "tags: 'a'"));
  EXPECT_FALSE(Match("tags { op: EXISTS }", "tags: 'a'", "id: 'a'"));
  EXPECT_TRUE(Match("part { self { op: EXISTS } }", "", "part { }"));
  EXPECT_FALSE(Match("part { self { op: EXISTS } }", "part { }", "id: 'a'"));
}

TEST_F(WhereMatcherTest, EqualsOnRepeatedFieldIsOrderAndLengthSensitive) {
  const std::string op = "tags { op: EQUALS }";
  EXPECT_TRUE(Match(op, "tags: ['a', 'b']", "tags: ['a', 'b']"));
  EXPECT_FALSE(Match(op, "tags: ['a', 'b']", "tags: ['b', 'a']"));
  EXPECT_FALSE(Match(op, "tags: ['a', 'b']", "tags: ['a', 'b', 'b']"));
  EXPECT_TRUE(Match(op, "", ""));  // an empty list is not held
  EXPECT_FALSE(Match(op, "tags: 'a'", ""));
  EXPECT_FALSE(Match(op, "", "tags: 'a'"));
  EXPECT_TRUE(Match("tags { op: NOT_EQUALS }", "tags: ['a', 'b']", "tags: ['b', 'a']"));
  EXPECT_FALSE(Match("tags { op: NOT_EQUALS }", "tags: ['a', 'b']", "tags: ['a', 'b']"));
  EXPECT_FALSE(Match("tags { op: NOT_EQUALS }", "tags: ['a']", ""));
}

TEST_F(WhereMatcherTest, ContainsAllAndAnyCompareDistinctElements) {
  const std::string all = "tags { op: CONTAINS_ALL }";
  const std::string any = "tags { op: CONTAINS_ANY }";
  EXPECT_FALSE(Match(all, "tags: ['a', 'a']", "tags: ['a']"));  // more entries
  EXPECT_TRUE(Match(all, "tags: ['a', 'a']", "tags: ['a', 'b']"));
  EXPECT_TRUE(Match(all, "tags: ['b', 'a']", "tags: ['a', 'c', 'b']"));
  EXPECT_FALSE(Match(all, "tags: ['a', 'd']", "tags: ['a', 'c', 'b']"));
  EXPECT_TRUE(Match(any, "tags: ['x', 'b']", "tags: ['a', 'b']"));
  EXPECT_FALSE(Match(any, "tags: ['x', 'b']", "tags: ['a']"));
  EXPECT_TRUE(Match(any, "tags: ['a', 'a', 'a']", "tags: ['a']"));
  // An empty list on either side is not held: the test fails.
  EXPECT_FALSE(Match(any, "", "tags: ['a']"));
  EXPECT_FALSE(Match(all, "", "tags: ['a']"));
  EXPECT_FALSE(Match(any, "tags: ['a']", ""));
}

// A scan builds each operand set once and matches every object against it.
TEST_F(WhereMatcherTest, AScanBuildsItsOperandSetsOnce) {
  WhereMatcher::OperandSets operands;
  const WhereMatcher scan(schema_.get(), &operands);
  MessagePtr all = Op("tags { op: CONTAINS_ALL }");
  MessagePtr any = Op("tags { op: CONTAINS_ANY }");
  MessagePtr value = Thing("tags: ['a', 'b', 'b']");
  const std::vector<std::pair<std::string, std::pair<bool, bool>>> objects = {
      {"tags: ['b', 'c', 'a']", {true, true}},
      {"tags: ['b', 'b', 'b']", {false, true}},
      {"tags: ['c']", {false, false}},
  };
  for (const auto& [text, expected] : objects) {
    MessagePtr object = Thing(text);
    EXPECT_EQ(scan.MatchOpMsg(all.get(), value.get(), object.get(), ThingType()), expected.first)
        << text;
    EXPECT_EQ(scan.MatchOpMsg(any.get(), value.get(), object.get(), ThingType()), expected.second)
        << text;
  }
  ASSERT_EQ(operands.size(), 1u);
  EXPECT_EQ(operands.begin()->second.size(), 2u);  // the distinct operands, kept
}

TEST_F(WhereMatcherTest, FloatElementsUseIeeeEquality) {
  MessagePtr op = Op("weights { op: EQUALS }");
  MessagePtr zero = Thing("weights: 0.0");
  MessagePtr negative_zero = Thing("weights: -0.0");
  EXPECT_TRUE(matcher_.MatchOpMsg(op.get(), zero.get(), negative_zero.get(), ThingType()));

  const float nan = std::numeric_limits<float>::quiet_NaN();
  MessagePtr with_nan = Thing("weights: [1.0]");
  const pb::FieldDescriptor* weights = ThingType()->FindFieldByName("weights");
  with_nan->GetReflection()->AddFloat(with_nan.get(), weights, nan);  // [1, NaN]
  for (const char* text : {"weights { op: EQUALS }", "weights { op: CONTAINS_ALL }"}) {
    MessagePtr nan_op = Op(text);
    EXPECT_FALSE(matcher_.MatchOpMsg(nan_op.get(), with_nan.get(), with_nan.get(), ThingType()))
        << text;
  }
  MessagePtr only_nan = Thing("");
  only_nan->GetReflection()->AddFloat(only_nan.get(), weights, nan);
  MessagePtr any = Op("weights { op: CONTAINS_ANY }");
  EXPECT_FALSE(matcher_.MatchOpMsg(any.get(), only_nan.get(), with_nan.get(), ThingType()));
  MessagePtr one = Thing("weights: [1.0, 7.0]");
  EXPECT_TRUE(matcher_.MatchOpMsg(any.get(), one.get(), with_nan.get(), ThingType()));
  EXPECT_TRUE(Match("scores { op: CONTAINS_ALL }", "scores: [-0.0]", "scores: [2.5, 0.0]"));
}

TEST_F(WhereMatcherTest, SetFieldsAreAConjunctionInFieldNumberOrder) {
  EXPECT_TRUE(Match("count { op: EQUALS } label { op: EQUALS }", "count: 1 label: 'x'",
                    "count: 1 label: 'x'"));
  EXPECT_FALSE(Match("count { op: EQUALS } label { op: EQUALS }", "count: 1 label: 'x'",
                     "count: 1 label: 'y'"));
  // The second field carries an operation that is logged when evaluated.
  orv::LogCapture capture;
  EXPECT_FALSE(Match("count { op: EQUALS } label { op: SELECT }", "count: 1 label: 'x'",
                     "count: 2 label: 'x'"));
  EXPECT_FALSE(capture.Contains("Unsupported op"));
  EXPECT_FALSE(Match("label { op: SELECT } count { op: EQUALS }", "count: 1 label: 'x'",
                     "count: 1 label: 'x'"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 1 for singular field label in message match.test.ThingMsg"));
}

TEST_F(WhereMatcherTest, RepeatedOpMsgIsJudgedByItsFirstElement) {
  EXPECT_TRUE(Match("tags { op: CONTAINS_ANY } tags { op: EQUALS }", "tags: ['b']",
                    "tags: ['a', 'b']"));
  EXPECT_FALSE(Match("tags { op: EQUALS } tags { op: CONTAINS_ANY }", "tags: ['b']",
                     "tags: ['a', 'b']"));
}

TEST_F(WhereMatcherTest, UnsupportedOperationsAreLoggedAndDoNotMatch) {
  orv::LogCapture capture;
  EXPECT_FALSE(Match("count { op: CONTAINS_ANY }", "count: 1", "count: 1"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 3 for singular field count in message match.test.ThingMsg"));
  EXPECT_FALSE(Match("count { }", "count: 1", "count: 1"));  // op unset reads 0
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 0 for singular field count in message match.test.ThingMsg"));
  EXPECT_FALSE(Match("tags { op: ASCENDING }", "tags: 'a'", "tags: 'a'"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 13 for repeated field tags in message match.test.ThingMsg"));
  EXPECT_FALSE(Match("tags { op: SET }", "tags: 'a'", "tags: 'a'"));
  EXPECT_FALSE(Match("part { self { op: CONTAINS_ALL } }", "part { }", "part { }"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 4 for message match.test.PartMsg"));
  EXPECT_FALSE(Match("self { op: SELECT }", "", ""));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "Unsupported op 1 for message match.test.ThingMsg"));
}

TEST_F(WhereMatcherTest, SelfComparesWholeMessagesWithAbsentSides) {
  const std::string eq = "part { self { op: EQUALS } }";
  const std::string ne = "part { self { op: NOT_EQUALS } }";
  EXPECT_TRUE(Match(eq, "", "id: 'a'"));
  EXPECT_FALSE(Match(eq, "part { size: 1 }", "id: 'a'"));
  EXPECT_FALSE(Match(eq, "", "part { size: 1 }"));
  EXPECT_TRUE(Match(eq, "part { name: 'p' size: 1 }", "part { name: 'p' size: 1 }"));
  EXPECT_FALSE(Match(eq, "part { name: 'p' size: 1 }", "part { name: 'p' size: 2 }"));
  EXPECT_TRUE(Match(ne, "part { size: 1 }", "id: 'a'"));  // unlike a leaf
  EXPECT_FALSE(Match(ne, "", "id: 'a'"));
  EXPECT_TRUE(Match(ne, "", "part { size: 1 }"));
  EXPECT_TRUE(Match(ne, "part { size: 2 }", "part { size: 1 }"));
  EXPECT_FALSE(Match(ne, "part { size: 1 }", "part { size: 1 }"));

  // At the top level "self" is the whole object.
  EXPECT_TRUE(Match("self { op: EQUALS }", "id: 'a' count: 1", "id: 'a' count: 1"));
  EXPECT_FALSE(Match("self { op: EQUALS }", "id: 'a'", "id: 'a' count: 1"));
  MessagePtr self_op = Op("self { op: EXISTS }");
  MessagePtr object = Thing("");
  EXPECT_TRUE(matcher_.MatchOpMsg(self_op.get(), nullptr, object.get(), ThingType()));
  EXPECT_FALSE(matcher_.MatchOpMsg(self_op.get(), object.get(), nullptr, ThingType()));
}

TEST_F(WhereMatcherTest, NestedOpMessagesDescendIntoSubMessages) {
  // Neither side holds part: EQUALS on a sub-field still matches.
  EXPECT_TRUE(Match("part { size { op: EQUALS } }", "", "id: 'a'"));
  EXPECT_FALSE(Match("part { size { op: EQUALS } }", "part { size: 1 }", "id: 'a'"));
  EXPECT_FALSE(Match("part { size { op: EXISTS } }", "", "id: 'a'"));
  EXPECT_TRUE(Match("part { size { op: EQUALS } }", "part { size: 1 }",
                    "part { size: 1 name: 'n' }"));
  EXPECT_TRUE(Match("part { leaf { z { op: EQUALS } } }", "part { leaf { z: 'q' } }",
                    "part { leaf { z: 'q' w: 3 } }"));
  EXPECT_FALSE(Match("part { leaf { z { op: EQUALS } } }", "part { leaf { z: 'q' } }",
                     "part { leaf { z: 'r' } }"));
  EXPECT_TRUE(Match("part { leaf { w { op: NOT_EQUALS } } } count { op: EQUALS }",
                    "count: 2 part { leaf { w: 1 } }", "count: 2 part { leaf { w: 5 } }"));
  EXPECT_TRUE(Match("part { }", "", ""));  // set, with nothing inside
}

TEST_F(WhereMatcherTest, RepeatedMessageFieldTakesOnlySelf) {
  const std::string any = "parts { self { op: CONTAINS_ANY } }";
  EXPECT_TRUE(Match(any, "parts { name: 'x' } parts { name: 'b' size: 2 }",
                    "parts { name: 'a' } parts { name: 'b' size: 2 }"));
  EXPECT_FALSE(Match(any, "parts { name: 'b' }", "parts { name: 'b' size: 2 }"));
  EXPECT_TRUE(Match("parts { self { op: EQUALS } }", "parts { name: 'a' } parts { name: 'b' }",
                    "parts { name: 'a' } parts { name: 'b' }"));
  EXPECT_FALSE(Match("parts { self { op: EQUALS } }", "parts { name: 'a' } parts { name: 'b' }",
                     "parts { name: 'b' } parts { name: 'a' }"));
  EXPECT_TRUE(Match("parts { self { op: EXISTS } }", "", "parts { }"));

  orv::LogCapture capture;
  EXPECT_FALSE(Match("parts { size { op: EQUALS } }", "", ""));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207", "Repeated field query only support self op msg"));
  capture.Clear();
  EXPECT_FALSE(Match("parts { self { op: EXISTS } size { op: EQUALS } }", "", "parts { }"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207", "Repeated field query only support self op msg"));
}

TEST_F(WhereMatcherTest, OpFieldMissingFromTheTypeIsHeldByNeitherSide) {
  orv::LogCapture capture;
  EXPECT_TRUE(Match("ghost { op: EQUALS }", "", "id: 'a'"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "match.test.ThingMsg and match.test.ThingOpMsg mismatch: missing field ghost"));
  EXPECT_FALSE(Match("ghost { op: EXISTS }", "", "id: 'a'"));
  EXPECT_FALSE(Match("ghost { op: NOT_EQUALS }", "", "id: 'a'"));
  EXPECT_FALSE(Match("ghost_nested { z { op: EQUALS } }", "", "id: 'a'"));
}

// Op messages a client may send, or a schema may declare, that do not fit
// the object: logged, no match, and never an abort.
TEST_F(WhereMatcherTest, MisshapenOpMessagesAreLoggedAndDoNotMatch) {
  orv::LogCapture capture;
  EXPECT_FALSE(Match("plain { z { op: EQUALS } }", "plain: 1", "plain: 1"));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "op msg match.test.LeafOpMsg is nested, cannot apply on field plain"));

  // Nested op types without "self" on repeated fields, scalar or message.
  capture.Clear();
  EXPECT_FALSE(Match("nums { size { op: EQUALS } }", "nums: 1", "nums: 1"));
  EXPECT_FALSE(Match("loose_list { name { op: EQUALS } }", "", ""));
  EXPECT_FALSE(Match("loose_list { }", "", ""));
  EXPECT_EQ(capture.Count("Repeated field query only support self op msg"), 3u);
  // ... and on a singular message field, where they are walked as usual.
  EXPECT_TRUE(Match("loose { size { op: EQUALS } }", "loose { size: 2 }", "loose { size: 2 }"));

  MessagePtr odd_self = match_test::Msg(*schema_, "OddThingOpMsg", "self { z: 'q' }");
  MessagePtr object = Thing("id: 'a'");
  capture.Clear();
  EXPECT_FALSE(matcher_.MatchOpMsg(odd_self.get(), object.get(), object.get(), ThingType()));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0207",
                     "match.test.OddThingOpMsg self field is match.test.LeafMsg, not OpMsg"));
  MessagePtr odd_count = match_test::Msg(*schema_, "OddThingOpMsg", "count: 3");
  EXPECT_FALSE(matcher_.MatchOpMsg(odd_count.get(), object.get(), object.get(), ThingType()));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0203",
                     "Unable to extract message field from the operation message"));

  // Value or object of another type than the level's.
  MessagePtr op = Op("count { op: EQUALS }");
  MessagePtr part = match_test::Msg(*schema_, "PartMsg", "size: 1");
  EXPECT_FALSE(matcher_.MatchOpMsg(op.get(), part.get(), object.get(), ThingType()));
  EXPECT_FALSE(matcher_.MatchOpMsg(op.get(), object.get(), part.get(), ThingType()));
  EXPECT_FALSE(matcher_.MatchOpMsg(op.get(), object.get(), object.get(), nullptr));
  // An OpMsg given where an op message is expected names no field here.
  const pb::Message& leaf = op->GetReflection()->GetMessage(*op, op->GetDescriptor()->field(1));
  EXPECT_TRUE(schema_->op_messages().IsOpMsg(&leaf));
  EXPECT_FALSE(matcher_.MatchOpMsg(&leaf, object.get(), object.get(), ThingType()));
  // The leaf entries checked on their own.
  const pb::FieldDescriptor* count = ThingType()->FindFieldByName("count");
  EXPECT_FALSE(matcher_.MatchSingularField(leaf, *part, *part, count));
  EXPECT_FALSE(matcher_.MatchRepeatedField(leaf, *object, *object, count));
  EXPECT_FALSE(matcher_.MatchNestedMessage(*op, object.get(), object.get(), nullptr));
}

TEST_F(WhereMatcherTest, FindSelfOpMsgNeverAborts) {
  MessagePtr part_op = match_test::Msg(*schema_, "PartOpMsg", "self { op: EQUALS }");
  const pb::Message* self = matcher_.FindSelfOpMsg(part_op.get());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(self), 2);
  MessagePtr unset = match_test::Msg(*schema_, "PartOpMsg", "size { op: EQUALS }");
  EXPECT_EQ(matcher_.FindSelfOpMsg(unset.get()), nullptr);
  MessagePtr no_self = match_test::Msg(*schema_, "NoSelfPartOpMsg", "size { op: EQUALS }");
  EXPECT_EQ(matcher_.FindSelfOpMsg(no_self.get()), nullptr);
  MessagePtr odd = match_test::Msg(*schema_, "OddThingOpMsg", "self { z: 'q' }");
  EXPECT_EQ(matcher_.FindSelfOpMsg(odd.get()), nullptr);
  EXPECT_EQ(matcher_.FindSelfOpMsg(nullptr), nullptr);
}

TEST_F(WhereMatcherTest, MessageHasSelfField) {
  EXPECT_TRUE(matcher_.MessageHasSelfField(nullptr));
  EXPECT_TRUE(matcher_.MessageHasSelfField(Op("self { op: SELECT }").get()));
  EXPECT_TRUE(matcher_.MessageHasSelfField(Op("count { op: SELECT } self { }").get()));
  EXPECT_FALSE(matcher_.MessageHasSelfField(Op("").get()));
  // Only this level counts.
  EXPECT_FALSE(matcher_.MessageHasSelfField(Op("part { self { op: SELECT } }").get()));
  MessagePtr odd = match_test::Msg(*schema_, "OddThingOpMsg", "self { }");
  EXPECT_TRUE(matcher_.MessageHasSelfField(odd.get()));
}

}  // namespace
}  // namespace tarnix

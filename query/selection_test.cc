#include "query/selection.h"

#include <string>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/log_capture.h"
#include "query/match_fixture.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;
using match_test::MessagePtr;
using match_test::Text;

class SelectionTest : public ::testing::Test {
 protected:
  MessagePtr Op(const std::string& text) { return match_test::Msg(*schema_, "ThingOpMsg", text); }
  MessagePtr Thing(const std::string& text) {
    return match_test::Msg(*schema_, "ThingMsg", text);
  }
  bool Parse(const std::string& select) { return selection_.ParseSelectMsg(Op(select).get(), false); }

  // Applies `select` (none when null) to `object` as present; returns the
  // result op message as text, the pruned object left in object_.
  std::string OnSet(const char* select, const std::string& object) {
    object_ = Thing(object);
    MessagePtr result = Op("");
    MessagePtr select_op = select != nullptr ? Op(select) : nullptr;
    selection_.ApplySelectionOnSet(select_op.get(), object_.get(), result.get());
    return Text(*result);
  }
  // As OnSet for a deleted object; the value message is left in value_.
  std::string OnDelete(const char* select, const std::string& object) {
    object_ = Thing(object);
    value_ = Thing("count: 99 label: 'stale'");
    MessagePtr result = Op("");
    MessagePtr select_op = select != nullptr ? Op(select) : nullptr;
    selection_.ApplySelectionOnDelete(false, select_op.get(), object_.get(), value_.get(),
                                      result.get());
    return Text(*result);
  }

  std::unique_ptr<Schema> schema_ = match_test::LoadMatchSchema();
  Selection selection_{schema_.get()};
  MessagePtr object_;
  MessagePtr value_;
};

TEST_F(SelectionTest, ParseSelectMsgAcceptsSelectLeavesAndSelf) {
  EXPECT_TRUE(selection_.ParseSelectMsg(nullptr, false));
  EXPECT_TRUE(Parse(""));
  EXPECT_TRUE(Parse("self { op: SELECT }"));
  EXPECT_TRUE(Parse("count { op: SELECT } tags { op: SELECT }"));
  EXPECT_TRUE(Parse("part { leaf { z { op: SELECT } } } label { op: SELECT }"));
  EXPECT_TRUE(Parse("part { self { op: SELECT } }"));
  EXPECT_TRUE(Parse("parts { self { op: SELECT } }"));
}

TEST_F(SelectionTest, ParseSelectMsgRefusesWithTheReason) {
  struct Case {
    const char* select;
    const char* code;
    const char* text;
  };
  const Case cases[] = {
      {"self { op: SELECT } count { op: SELECT }", "DRX0207",
       "Multiple fields set in addition to self field"},
      {"part { self { op: SELECT } size { op: SELECT } }", "DRX0207",
       "Multiple fields set in addition to self field"},
      {"count { op: EQUALS }", "DRX0207", "SelectMsg contains non-SELECT operation"},
      {"count { }", "DRX0207", "SelectMsg contains non-SELECT operation"},
      {"part { leaf { w { op: SET } } }", "DRX0207", "SelectMsg contains non-SELECT operation"},
      {"tags { op: SELECT } tags { op: CLEAR }", nullptr, nullptr},  // first element only
      {"self { op: ASCENDING }", "DRX0207", "SelectMsg contains non-SELECT operation"},
      {"parts { size { op: SELECT } }", "DRX0207",
       "Only self is allowed to be selected for complex repeated fields"},
      {"parts { self { op: SELECT } } parts { size { op: SELECT } }", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    orv::LogCapture capture;
    const bool accepted = Parse(c.select);
    EXPECT_EQ(accepted, c.text == nullptr) << c.select;
    if (c.text != nullptr) {
      EXPECT_TRUE(Logged(capture, "ERROR", c.code, c.text)) << c.select;
    }
  }
  orv::LogCapture capture;
  MessagePtr odd = match_test::Msg(*schema_, "OddThingOpMsg", "count: 1");
  EXPECT_FALSE(selection_.ParseSelectMsg(odd.get(), false));
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0203",
                     "Unable to extract message field from select op_msg message"));
}

TEST_F(SelectionTest, NoSelectionOrSelfKeepsTheWholeObject) {
  const std::string object = "id: 'k' count: 1 part { size: 2 }";
  EXPECT_EQ(OnSet(nullptr, object), "self { op: SET }");
  EXPECT_EQ(Text(*object_), Text(*Thing(object)));
  EXPECT_EQ(OnSet("self { op: SELECT }", object), "self { op: SET }");
  EXPECT_EQ(Text(*object_), Text(*Thing(object)));
  EXPECT_EQ(OnDelete(nullptr, object), "self { op: CLEAR }");
  EXPECT_EQ(Text(*object_), Text(*Thing(object)));
  EXPECT_EQ(Text(*value_), "id: \"k\"");
  EXPECT_EQ(OnDelete("self { op: SELECT }", object), "self { op: CLEAR }");
  EXPECT_EQ(Text(*object_), Text(*Thing(object)));
}

TEST_F(SelectionTest, SelectedFieldsAreSetAndOthersPrunedButKeys) {
  EXPECT_EQ(OnSet("count { op: SELECT }", "id: 'k' count: 1 label: 'b'"), "count { op: SET }");
  EXPECT_EQ(Text(*object_), "id: \"k\" count: 1");
  // Selected but not held: no operation, the object keeps only its key.
  EXPECT_EQ(OnSet("count { op: SELECT }", "id: 'k' label: 'b' tags: 'x'"), "");
  EXPECT_EQ(Text(*object_), "id: \"k\"");
  // A selected key is treated like any other selected field.
  EXPECT_EQ(OnSet("id { op: SELECT } tags { op: SELECT }", "id: 'k' tags: ['x', 'y'] count: 1"),
            "id { op: SET } tags { op: SET }");
  EXPECT_EQ(Text(*object_), "id: \"k\" tags: \"x\" tags: \"y\"");
  // Selecting everything prunes nothing.
  EXPECT_EQ(OnSet("id { op: SELECT } count { op: SELECT }", "id: 'k' count: 1"),
            "id { op: SET } count { op: SET }");
}

TEST_F(SelectionTest, NestedSelectionsDescendAndLeaveNoEmptySubMessages) {
  const std::string object = "id: 'k' part { name: 'p' size: 2 leaf { z: 'q' w: 3 } note: 'n' }";
  EXPECT_EQ(OnSet("part { leaf { z { op: SELECT } } }", object),
            "part { leaf { z { op: SET } } }");
  EXPECT_EQ(Text(*object_), "id: \"k\" part { name: \"p\" leaf { z: \"q\" } }");

  // The object's part holds no leaf: nothing left for part, pruned to keys.
  EXPECT_EQ(OnSet("part { leaf { z { op: SELECT } } }", "id: 'k' part { name: 'p' size: 2 }"),
            "");
  EXPECT_EQ(Text(*object_), "id: \"k\" part { name: \"p\" }");
  // The object has no part at all.
  EXPECT_EQ(OnSet("part { size { op: SELECT } } count { op: SELECT }", "id: 'k' count: 4"),
            "count { op: SET }");
  EXPECT_EQ(Text(*object_), "id: \"k\" count: 4");
  // "self" in the nested selection takes the sub-message whole.
  EXPECT_EQ(OnSet("part { self { op: SELECT } }", object), "part { self { op: SET } }");
  EXPECT_EQ(Text(*object_), Text(*Thing(object)));
}

TEST_F(SelectionTest, RepeatedMessageFieldGetsOneSelfElementAndStaysWhole) {
  const std::string object = "id: 'k' parts { name: 'a' size: 1 } parts { name: 'b' } count: 1";
  EXPECT_EQ(OnSet("parts { self { op: SELECT } }", object), "parts { self { op: SET } }");
  EXPECT_EQ(Text(*object_), "id: \"k\" parts { name: \"a\" size: 1 } parts { name: \"b\" }");
  EXPECT_EQ(OnDelete("parts { self { op: SELECT } }", object), "parts { self { op: CLEAR } }");
}

TEST_F(SelectionTest, DeleteMarksClearAndValueHoldsOnlyKeys) {
  const std::string object = "id: 'k' count: 1 label: 'b' part { name: 'p' leaf { z: 'q' } }";
  EXPECT_EQ(OnDelete("count { op: SELECT } part { leaf { z { op: SELECT } } }", object),
            "count { op: CLEAR } part { leaf { z { op: CLEAR } } }");
  EXPECT_EQ(Text(*value_), "id: \"k\"");
  EXPECT_EQ(Text(*object_), "id: \"k\" count: 1 part { name: \"p\" leaf { z: \"q\" } }");
  EXPECT_EQ(OnDelete("tags { op: SELECT }", object), "");
  EXPECT_EQ(Text(*value_), "id: \"k\"");
}

TEST_F(SelectionTest, ExampleDeviceKeepsItsMessageKey) {
  Schema schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  Selection selection(&schema);
  MessagePtr device = match_test::Msg(
      schema, "caldek.orv.tarnix.DeviceMsg",
      "id { left: 1 right: 2 } hostname: 'h' model: 'm' location { site: 's' rack: 'r' }");
  MessagePtr select = match_test::Msg(schema, "caldek.orv.tarnix.DeviceOpMsg",
                                      "hostname { op: SELECT } location { rack { op: SELECT } }");
  MessagePtr result = match_test::Msg(schema, "caldek.orv.tarnix.DeviceOpMsg", "");
  ASSERT_TRUE(selection.ParseSelectMsg(select.get(), false));
  selection.ApplySelectionOnSet(select.get(), device.get(), result.get());
  EXPECT_EQ(Text(*result), "hostname { op: SET } location { rack { op: SET } }");
  EXPECT_EQ(Text(*device), "id { left: 1 right: 2 } hostname: \"h\" location { rack: \"r\" }");
}

// Selections that do not fit the object: nothing aborts, nothing crashes.
TEST_F(SelectionTest, MisshapenSelectionsDoNotAbort) {
  orv::LogCapture capture;
  // A nested selection on a scalar field, a nested op type without "self".
  EXPECT_EQ(OnSet("plain { z { op: SELECT } }", "id: 'k' plain: 1 count: 2"),
            "plain { self { op: SET } }");
  EXPECT_EQ(Text(*object_), "id: \"k\" plain: 1");
  EXPECT_EQ(OnSet("loose { size { op: SELECT } }", "id: 'k' loose { name: 'l' size: 1 note: 'n' }"),
            "loose { size { op: SET } }");
  EXPECT_EQ(Text(*object_), "id: \"k\" loose { name: \"l\" size: 1 }");
  EXPECT_EQ(OnSet("loose_list { size { op: SELECT } }", "id: 'k' loose_list { name: 'l' }"), "");
  EXPECT_EQ(OnSet("nums { size { op: SELECT } }", "id: 'k' nums: 3"), "");

  // "self" that is not an OpMsg, and a selection of another op type.
  MessagePtr object = Thing("id: 'k' count: 1");
  MessagePtr odd = match_test::Msg(*schema_, "OddThingOpMsg", "self { z: 'q' } count: 1");
  MessagePtr odd_result = match_test::Msg(*schema_, "OddThingOpMsg", "");
  selection_.ApplySelectionOnSet(odd.get(), object.get(), odd_result.get());
  EXPECT_EQ(Text(*odd_result), "");
  MessagePtr result = Op("");
  MessagePtr part_select = match_test::Msg(*schema_, "PartOpMsg", "leaf { z { op: SELECT } }");
  MessagePtr part_object = match_test::Msg(*schema_, "PartMsg", "leaf { z: 'q' }");
  EXPECT_FALSE(selection_.ApplyOpToNestedSelfFields(part_select.get(), OpMsg::SET,
                                                    part_object.get(), result.get()));
  EXPECT_EQ(Text(*result), "");
  MessagePtr part = match_test::Msg(*schema_, "PartMsg", "name: 'p'");
  selection_.ApplySelectionOnDelete(true, nullptr, object.get(), part.get(), result.get());
  EXPECT_EQ(Text(*part), "");
  selection_.ApplySelectionOnSet(nullptr, nullptr, nullptr);
  selection_.ApplySelectionOnDelete(false, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
}  // namespace tarnix

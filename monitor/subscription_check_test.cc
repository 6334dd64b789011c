#include <gtest/gtest.h>

#include "monitor/engine_test_util.h"
#include "monitor/subscription_check.h"

namespace tarnix {
namespace subscription_test {
namespace {

class SubscriptionCheckTest : public EngineTest {
 protected:
  Status Check(const std::string& op_text, const std::string& value_text,
               const std::string& type = kWatched) {
    ClauseObjects clause = Clause(op_text, value_text, type);
    return CheckSubscription(*schema_, type, clause.op, clause.value);
  }
};

TEST_F(SubscriptionCheckTest, ClausesTheTreeWatchesPass) {
  const std::pair<const char*, const char*> accepted[] = {
      {"", ""},
      {"i32 { op: EXISTS }", ""},
      {"i32 { op: EQUALS }", "i32: 0"},
      {"raw { op: NOT_EQUALS }", "raw: ''"},
      {"tags { op: CONTAINS_ALL }", "tags: 'a'"},
      {"shades { op: CONTAINS_ANY }", "shades: DARK"},
      {"spot { point { marks { op: EQUALS } } }", "spot { point { marks: 'm' } }"},
      {"spot { point { x { op: EXISTS } } }", ""},  // the value need not hold it
      {"spot { self { op: EQUALS } }", "spot { }"},
      {"spots { self { op: CONTAINS_ALL } }", "spots { }"},
      {"spots { self { op: EXISTS } }", ""},
      {"point { op: EXISTS }", ""},
  };
  for (const auto& [op, value] : accepted) {
    EXPECT_TRUE(Check(op, value).ok()) << op << ": " << Check(op, value).ToString();
  }
}

TEST_F(SubscriptionCheckTest, ClausesTheTreeCannotWatchAreRefusedByName) {
  struct Case {
    const char* op;
    const char* value;
    const char* text;
  };
  const Case refused[] = {
      {"nums { op: CONTAINS_ALL }", "",
       "Where clause on nums of monitor.test.WatchedMsg: CONTAINS_ALL needs an operand, which "
       "the value message does not hold"},
      {"i32 { op: EQUALS }", "s: 'a'",
       "Where clause on i32 of monitor.test.WatchedMsg: EQUALS needs an operand"},
      {"spot { self { op: NOT_EQUALS } }", "", "on spot of monitor.test.WatchedMsg: NOT_EQUALS"},
      {"i32 { op: CONTAINS_ANY }", "i32: 1", "CONTAINS_ANY needs a repeated attribute"},
      {"spot { self { op: CONTAINS_ALL } }", "spot { }", "CONTAINS_ALL needs a repeated"},
      {"i32 { op: SELECT }", "i32: 1", "on i32 of monitor.test.WatchedMsg: operation 1 cannot"},
      {"i32 { }", "i32: 1", "operation 0 cannot be watched"},
      {"spots { city { op: EQUALS } }", "spots { city: 'x' }",
       "on spots of monitor.test.WatchedMsg: a predicate on a repeated message attribute must "
       "be on 'self'"},
      {"u32 { x { op: EQUALS } }", "u32: 1", "a nested op message on an attribute that is no"},
      {"ghost { op: EXISTS }", "", "on ghost of monitor.test.WatchedMsg: no such field"},
      {"self { op: EXISTS }", "", "cannot be watched on the whole object"},
      {"i32 { op: EQUALS } s { op: EQUALS }", "i32: 1 s: 'a'",
       "Where clause of monitor.test.WatchedMsg: more than one attribute set"},
      {"spot { city { op: EQUALS } point { x { op: EQUALS } } }", "spot { city: 'a' }",
       "more than one attribute set in spot"},
      {"spot { }", "", "no attribute set in spot"},
      {"point { op: EQUALS }", "point { x: 1 }",
       "on point of monitor.test.WatchedMsg: EQUALS on a message attribute needs 'self'"},
  };
  for (const Case& c : refused) {
    const Status status = Check(c.op, c.value);
    EXPECT_EQ(status.code(), Status::kInvalidArgument) << c.op;
    EXPECT_NE(status.message().find(c.text), std::string::npos) << c.op << ": " << status.message();
  }
}

TEST_F(SubscriptionCheckTest, OperandsOfAnotherTypeOrMissingAreRefused) {
  ClauseObjects other = Clause("n { op: EXISTS }", "n: 1", "monitor.test.OtherMsg");
  ClauseObjects watched = Clause("i32 { op: EXISTS }", "i32: 1");
  EXPECT_EQ(CheckSubscription(*schema_, kWatched, other.op, watched.value).code(),
            Status::kInvalidArgument);
  EXPECT_EQ(CheckSubscription(*schema_, kWatched, watched.op, other.value).code(),
            Status::kInvalidArgument);
  EXPECT_EQ(CheckSubscription(*schema_, kWatched, watched.op, TarnixObject()).code(),
            Status::kInvalidArgument);
  EXPECT_EQ(CheckSubscription(*schema_, "monitor.test.NoSuchMsg", TarnixObject(), TarnixObject())
                .message(),
            "Where clause of monitor.test.NoSuchMsg: unknown object type");
  const TarnixObject garbage(schema_->op_messages().GetOpMsgTypeName(kWatched),
                             std::string("\xff\xff", 2));
  EXPECT_EQ(CheckSubscription(*schema_, kWatched, garbage, watched.value).code(),
            Status::kInvalidArgument);
  EXPECT_TRUE(CheckSubscription(*schema_, kWatched, TarnixObject(), TarnixObject()).ok());
}

// Without the check the tree takes some of these and watches nothing.
TEST_F(SubscriptionCheckTest, TheTreeAloneAcceptsSomeRefusedClausesAndStoresNothing) {
  engine_.AddMonitor("m", 1);
  EXPECT_TRUE(Add("m", "nums { op: CONTAINS_ALL }", ""));
  EXPECT_TRUE(Add("m", "tags { op: CONTAINS_ANY }", ""));
  EXPECT_FALSE(engine_.HasSubscriptions());
  EXPECT_EQ(Match("nums: 1 tags: 'a'"), MonitorIdSet{});
  EXPECT_FALSE(Add("m", "i32 { op: EQUALS } s { op: EQUALS }", "i32: 1 s: 'a'"));
  EXPECT_FALSE(Add("m", "spots { city { op: EQUALS } }", "spots { city: 'x' }"));
  EXPECT_FALSE(engine_.HasSubscriptions());
}

}  // namespace
}  // namespace subscription_test
}  // namespace tarnix

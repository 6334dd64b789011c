#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/schema.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

namespace pb = ::google::protobuf;
using Names = ParentTypes::TypeNameSet;

class ParentTypesTest : public ::testing::Test {
 protected:
  ParentTypesTest() : schema_(FixturePath("parent_types"), "pt") {}

  const pb::Descriptor* Type(const std::string& name) {
    const pb::Descriptor* type = schema_.types().FindMessageTypeByName("pt." + name);
    EXPECT_NE(type, nullptr) << name;
    return type;
  }
  std::vector<std::string> ParentKeyFieldNames(const std::string& name) {
    std::vector<std::string> names;
    for (const pb::FieldDescriptor* field : schema_.parents().GetParentKeyFields(Type(name))) {
      names.push_back(field->name());
    }
    return names;
  }

  Schema schema_;
};

TEST_F(ParentTypesTest, ParentAndChildTables) {
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.RootMsg"), Names{});
  // Three messages deep, reached through two fields.
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.DeepMsg"), Names{"pt.RootMsg"});
  // A message field with parent_key gives its string; its message is not
  // searched.
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.HeldMsg"), Names{"pt.OtherRootMsg"});
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.LoopingMsg"), Names{"pt.RootMsg"});
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.RecursiveMsg"), Names{});
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.SelfParentMsg"), Names{"pt.SelfParentMsg"});
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.OrphanMsg"),
            (Names{"pt.GhostMsg", "pt.RootMsg"}));

  EXPECT_EQ(schema_.parents().LookupChildTypes("pt.RootMsg"),
            (Names{"pt.DeepMsg", "pt.LoopingMsg", "pt.OrphanMsg"}));
  EXPECT_EQ(schema_.parents().LookupChildTypes("pt.SelfParentMsg"), Names{"pt.SelfParentMsg"});
  // Parents outside the ObjectType enum, or no object type at all.
  EXPECT_EQ(schema_.parents().LookupChildTypes("pt.OtherRootMsg"), Names{"pt.HeldMsg"});
  EXPECT_EQ(schema_.parents().LookupChildTypes("pt.GhostMsg"), Names{"pt.OrphanMsg"});
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.GhostMsg"), Names{});
  EXPECT_EQ(schema_.parents().LookupChildTypes("pt.DeepMsg"), Names{});
  // Nested messages are never object types, whatever their options.
  EXPECT_EQ(schema_.parents().LookupParentTypes("pt.Outer.InnerObjectMsg"), Names{});
}

// Without an id no record of the type can be built, so a delete must not
// cascade to it: it is left out of RootMsg's children above, and logged.
TEST(ParentTypesLoadTest, TypeWithoutObjectTypeValueIsNobodysChild) {
  orv::LogCapture capture;
  Schema schema(FixturePath("parent_types"), "pt");
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0204",
                     "Message type pt.UnlistedMsg has the object_type_id option "
                     "but no ObjectType value"));
}

TEST_F(ParentTypesTest, ParentKeyFields) {
  EXPECT_EQ(ParentKeyFieldNames("DeepMsg"),
            (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(ParentKeyFieldNames("Level2"), std::vector<std::string>{"inner"});
  EXPECT_EQ(ParentKeyFieldNames("Level3"), std::vector<std::string>{"root"});
  EXPECT_EQ(ParentKeyFieldNames("HeldMsg"), std::vector<std::string>{"holder"});
  EXPECT_EQ(ParentKeyFieldNames("LoopNode"),
            (std::vector<std::string>{"next", "owner"}));
  EXPECT_EQ(ParentKeyFieldNames("LoopingMsg"), std::vector<std::string>{"head"});
  EXPECT_TRUE(ParentKeyFieldNames("RecursiveMsg").empty());
  EXPECT_TRUE(ParentKeyFieldNames("RootMsg").empty());
  EXPECT_TRUE(schema_.parents().GetParentKeyFields(nullptr).empty());
}

TEST_F(ParentTypesTest, HasParentKeyOptionEndsOnRecursiveTypes) {
  EXPECT_FALSE(schema_.parents().HasParentKeyOption(nullptr));
  EXPECT_TRUE(schema_.parents().HasParentKeyOption(Type("Level1")));
  EXPECT_TRUE(schema_.parents().HasParentKeyOption(Type("LoopNode")));
  EXPECT_FALSE(schema_.parents().HasParentKeyOption(Type("TreeNode")));
}

}  // namespace
}  // namespace tarnix

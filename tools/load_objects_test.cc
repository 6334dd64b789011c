#include "tools/load_objects.h"

#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>

#include "schema/schema.h"

namespace tarnix {
namespace load {
namespace {

namespace pb = ::google::protobuf;

// Sizes around the points where the text's length prefix grows.
TEST(LoadObjectBodyTest, PaddedToTheRequestedSize) {
  const uint64_t sequence = uint64_t{1} << 62;  // a ten-byte key field
  for (uint32_t size : {13u, 14u, 100u, 140u, 141u, 142u, 200u, 16400u, 100000u}) {
    const std::string body = LoadObjectBody(sequence, size);
    EXPECT_LE(body.size(), size) << size;
    EXPECT_GE(body.size() + 1, size) << size;
  }
  EXPECT_EQ(LoadObjectBody(sequence, 100).size(), 100u);
  // Too small for a text: the key alone.
  EXPECT_EQ(LoadObjectBody(sequence, 0).size(), 10u);
  EXPECT_EQ(LoadObjectBody(sequence, 12).size(), 10u);
}

// The daemon finds the type and the key where the example schema puts them.
TEST(LoadObjectBodyTest, ReadsAsTheExampleSchemaType) {
  Schema schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  caldek::orv::tarnix::TypedObjectMsg object;
  SetLoadObject(300, 64, &object);
  EXPECT_EQ(schema.types().GetObjectType(&object), kLoadTypeName);
  EXPECT_EQ(object.object_body().size(), 64u);
  SetLoadObject(301, 0, &object);
  EXPECT_EQ(schema.keys().GetKeyFromSerialized(kLoadTypeName, object.object_body()),
            schema.keys().GetKeyFromSerialized(kLoadTypeName, LoadObjectBody(301, 64)));
  EXPECT_NE(schema.keys().GetKeyFromSerialized(kLoadTypeName, LoadObjectBody(300, 64)),
            schema.keys().GetKeyFromSerialized(kLoadTypeName, LoadObjectBody(301, 64)));
  pb::UnknownFieldSet fields;
  ASSERT_TRUE(fields.ParseFromString(LoadObjectBody(302, 64)));
  ASSERT_EQ(fields.field_count(), 2);
  EXPECT_EQ(fields.field(0).number(), 1);
  EXPECT_EQ(fields.field(0).varint(), 302u);
  EXPECT_EQ(fields.field(1).number(), 3);

  // A monitor reads the key back from the bodies it receives.
  uint64_t sequence = 0;
  EXPECT_TRUE(ReadLoadObjectSequence(LoadObjectBody(uint64_t{1} << 40, 200), &sequence));
  EXPECT_EQ(sequence, uint64_t{1} << 40);
  EXPECT_FALSE(ReadLoadObjectSequence("", &sequence));
  EXPECT_FALSE(ReadLoadObjectSequence(std::string("\x1a\x01x", 3), &sequence));  // no key
}

// A Query finds a group by its action text: equal within a group, unequal
// across groups.
TEST(LoadObjectBodyTest, ActionTextNamesTheQueryGroup) {
  const uint64_t first = uint64_t{1} << 40;
  auto action = [](uint64_t sequence) {
    pb::UnknownFieldSet fields;
    EXPECT_TRUE(fields.ParseFromString(LoadObjectBody(sequence, 64)));
    return fields.field_count() == 2 ? fields.field(1).length_delimited() : std::string();
  };
  EXPECT_EQ(action(first + 3), action(first + 3 + kQueryGroups));
  EXPECT_NE(action(first + 3), action(first + 4));
  EXPECT_NE(action(first), action(first + kQueryGroups - 1));
}

}  // namespace
}  // namespace load
}  // namespace tarnix

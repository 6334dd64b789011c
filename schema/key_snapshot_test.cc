#include "schema/key_snapshot.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "schema/enc_test_util.h"
#include "schema/key_reader.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr char kStr[] = "enc.test.StrKeyMsg";
constexpr char kInt[] = "enc.test.Int32KeyMsg";

std::string StrBody(const std::string& name) {
  return std::string("\x0a", 1) + static_cast<char>(name.size()) + name;
}

tx::TypedObjectMsg Object(const Schema& schema, const std::string& type, const std::string& body) {
  tx::TypedObjectMsg object;
  schema.types().SetObjectType(type, &object);
  object.set_object_body(body);
  return object;
}

// Whatever the snapshot reads, the loop would read the same; what it cannot
// read it leaves alone.
TEST(KeySnapshotTest, ReadsWhatTheSchemaReadsAndNothingElse) {
  const std::unique_ptr<Schema> schema = enc_test::LoadEncSchema();
  const std::shared_ptr<const KeySnapshot> snapshot = schema->keys().key_snapshot();
  ASSERT_NE(snapshot, nullptr);
  const struct {
    const char* type;
    std::string body;
  } cases[] = {
      {kStr, StrBody("n1")},
      {kStr, std::string("\x12\x01x", 3)},  // no key
      {kStr, std::string("\x0a\x09", 2)},   // truncated
      {kInt, std::string("\x08\x05", 2)},
      {kInt, std::string("\x10\x01", 2)},  // no key
      {kInt, std::string("\x08\xff\xff\xff\xff\x0f", 6)},
      {"enc.test.Uint32KeyMsg", std::string("\x08\x81\x01", 3)},
      {"enc.test.Uint64KeyMsg", std::string("\x08\x07", 2)},
      {"enc.test.ChildMsg", std::string("\x0a\x01z", 3)},  // a repeated key
      {"enc.test.Type300Msg", std::string("\x0a\x02id", 4)},
  };
  std::unique_ptr<google::protobuf::Message> scratch;
  for (const auto& c : cases) {
    const tx::TypedObjectMsg object = Object(*schema, c.type, c.body);
    const KeySnapshot::Type* type = snapshot->TypeOf(object);
    ASSERT_NE(type, nullptr) << c.type;
    EXPECT_EQ(type->name, c.type);
    const std::string expected = schema->keys().GetKeyFromSerialized(c.type, c.body);
    std::string key;
    EXPECT_EQ(snapshot->ReadKey(*type, c.body, &scratch, &key), !expected.empty()) << c.type;
    if (!expected.empty()) {
      EXPECT_EQ(key, expected) << c.type;
    }
  }

  tx::TypedObjectMsg untyped;
  untyped.set_object_body(StrBody("n1"));
  EXPECT_EQ(snapshot->TypeOf(untyped), nullptr);
  tx::TypedObjectMsg unknown_id = untyped;
  unknown_id.mutable_unknown_fields()->AddVarint(1, 77);
  EXPECT_EQ(snapshot->TypeOf(unknown_id), nullptr);
}

TEST(KeySnapshotTest, EachLoadMakesANewSnapshotAndOldOnesStayReadable) {
  const std::unique_ptr<Schema> schema = enc_test::LoadEncSchema();
  const std::shared_ptr<const KeySnapshot> before = schema->keys().key_snapshot();
  EXPECT_EQ(before.get(), schema->keys().current_key_snapshot());
  ASSERT_TRUE(schema->LoadSchema(schema->types().GetSchemaPath()).ok());
  EXPECT_NE(before.get(), schema->keys().current_key_snapshot());
  EXPECT_EQ(schema->keys().key_snapshot().get(), schema->keys().current_key_snapshot());

  const KeySnapshot::Type* type = before->TypeOf(Object(*schema, kStr, StrBody("n1")));
  ASSERT_NE(type, nullptr);
  std::unique_ptr<google::protobuf::Message> scratch;
  std::string key;
  EXPECT_TRUE(before->ReadKey(*type, StrBody("n1"), &scratch, &key));
  EXPECT_EQ(key, "n1");
}

// An offered key is taken only while its snapshot is the schema's and its
// type is the one asked for, and by one Read only.
TEST(KeySnapshotTest, AReaderTakesAnOfferedKeyOnlyWhileItHolds) {
  const std::unique_ptr<Schema> schema = enc_test::LoadEncSchema();
  const std::shared_ptr<const KeySnapshot> snapshot = schema->keys().key_snapshot();
  const KeySnapshot::Type* str = snapshot->TypeOf(Object(*schema, kStr, ""));
  ASSERT_NE(str, nullptr);
  KeyReader reader(&schema->types(), &schema->keys());

  // A key unlike the body's shows which one was taken.
  PreparedKey offered{&str->name, "offered"};
  reader.Offer(snapshot.get(), &offered);
  EXPECT_EQ(reader.Read(kStr, StrBody("n1")), "offered");
  EXPECT_EQ(reader.Read(kStr, StrBody("n2")), "n2");

  offered = {&str->name, "offered"};
  reader.Offer(snapshot.get(), &offered);
  EXPECT_EQ(reader.Read(kInt, std::string("\x08\x05", 2)), "\x0a");
  EXPECT_EQ(reader.Read(kStr, StrBody("n3")), "n3");

  PreparedKey nothing_read;
  reader.Offer(snapshot.get(), &nothing_read);
  EXPECT_EQ(reader.Read(kStr, StrBody("n4")), "n4");

  ASSERT_TRUE(schema->LoadSchema(schema->types().GetSchemaPath()).ok());
  offered = {&str->name, "offered"};
  reader.Offer(snapshot.get(), &offered);
  EXPECT_EQ(reader.Read(kStr, StrBody("n5")), "n5");
}

}  // namespace
}  // namespace tarnix

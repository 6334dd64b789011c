#include "schema/key_reader.h"

#include <string>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

constexpr char kStr[] = "enc.test.StrKeyMsg";
constexpr char kInt[] = "enc.test.Int32KeyMsg";

// A StrKeyMsg with `name` (field 1) and one tag (field 2).
std::string StrBody(const std::string& name, const std::string& tag) {
  std::string body;
  if (!name.empty()) body += std::string("\x0a", 1) + static_cast<char>(name.size()) + name;
  body += std::string("\x12", 1) + static_cast<char>(tag.size()) + tag;
  return body;
}

TEST(KeyReaderTest, ReadsEachBodyAsAFreshParseWould) {
  const std::unique_ptr<Schema> schema = enc_test::LoadEncSchema();
  KeyReader reader(&schema->types(), &schema->keys());
  const struct {
    const char* type;
    std::string body;
    std::string key;
  } cases[] = {
      {kStr, StrBody("n1", "a"), "n1"},
      // The message kept from the body before holds nothing of it.
      {kStr, StrBody("", "b"), ""},
      {kInt, std::string("\x08\x05", 2), "\x0a"},
      {kStr, StrBody("n2", "c"), "n2"},
      {kStr, std::string("\x0a\x09", 2), ""},  // truncated
      {kStr, StrBody("", "d"), ""},
      {"enc.test.NoSuchMsg", StrBody("n3", "e"), ""},
      {kInt, std::string("\x10\x01", 2), ""},
      {kStr, StrBody("n4", ""), "n4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reader.Read(c.type, c.body), c.key) << c.type << " " << c.body;
    EXPECT_EQ(schema->keys().GetKeyFromSerialized(c.type, c.body), c.key)
        << c.type << " " << c.body;
  }
}

TEST(KeyReaderTest, RefusedBodiesLogAsAFreshParseWould) {
  const std::unique_ptr<Schema> schema = enc_test::LoadEncSchema();
  KeyReader reader(&schema->types(), &schema->keys());
  ASSERT_EQ(reader.Read(kStr, StrBody("n1", "a")), "n1");
  {
    orv::LogCapture capture;
    EXPECT_EQ(reader.Read(kStr, std::string("\x0a\x09", 2)), "");
    EXPECT_TRUE(capture.Contains("DRX0203"));
    EXPECT_TRUE(capture.Contains("Unable to parse data into enc.test.StrKeyMsg message"));
    EXPECT_TRUE(capture.Contains("Unable to deserialize Object"));
  }
  {
    orv::LogCapture capture;
    EXPECT_EQ(reader.Read(kStr, StrBody("", "b")), "");
    EXPECT_TRUE(capture.Contains("DRX0206"));
    EXPECT_TRUE(capture.Contains("Object does not have a key: "));
    EXPECT_FALSE(capture.Contains("Unable to deserialize Object"));
  }
  {
    orv::LogCapture capture;
    EXPECT_EQ(reader.Read("enc.test.NoSuchMsg", StrBody("n1", "a")), "");
    EXPECT_TRUE(capture.Contains("Unable to deserialize Object"));
  }
}

}  // namespace
}  // namespace tarnix

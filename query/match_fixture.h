#ifndef TARNIX_QUERY_MATCH_FIXTURE_H_
#define TARNIX_QUERY_MATCH_FIXTURE_H_

// Test-only: the schema of testdata/match_schema.proto and messages of its
// types written in protobuf text format.

#include <memory>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "schema/schema.h"

namespace tarnix {
namespace match_test {

using MessagePtr = std::unique_ptr<google::protobuf::Message>;

inline std::unique_ptr<Schema> LoadMatchSchema() {
  auto schema = std::make_unique<Schema>(
      std::string(TARNIX_TEST_DATA_DIR) + "/testdata/match_schema.pb", "match.test");
  EXPECT_FALSE(schema->types().GetSchemaPath().empty()) << "fixture schema did not load";
  return schema;
}

// A message of `type` ("match.test." prepended unless it holds a dot) parsed
// from `text`.
inline MessagePtr Msg(const Schema& schema, const std::string& type, const std::string& text) {
  const std::string name = type.find('.') == std::string::npos ? "match.test." + type : type;
  MessagePtr message(schema.types().NewMessage(name));
  EXPECT_TRUE(message != nullptr) << name;
  if (message == nullptr) return message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, message.get())) << text;
  return message;
}

inline std::string Text(const google::protobuf::Message& message) {
  std::string text;
  google::protobuf::TextFormat::Printer printer;
  printer.SetSingleLineMode(true);
  printer.PrintToString(message, &text);
  if (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace match_test
}  // namespace tarnix

#endif  // TARNIX_QUERY_MATCH_FIXTURE_H_

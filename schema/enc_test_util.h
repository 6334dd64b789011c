#ifndef TARNIX_SCHEMA_ENC_TEST_UTIL_H_
#define TARNIX_SCHEMA_ENC_TEST_UTIL_H_

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "schema/schema.h"

namespace tarnix {
namespace enc_test {

// "01 40 80" <-> bytes.
inline std::string Bytes(const std::string& hex) {
  std::istringstream in(hex);
  std::string out;
  unsigned int byte = 0;
  while (in >> std::hex >> byte) out.push_back(static_cast<char>(byte));
  return out;
}

inline std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof(buf), out.empty() ? "%02X" : " %02X", c);
    out += buf;
  }
  return out;
}

// The fixture schema of testdata/enc_schema.proto, package prefix "enc.test".
inline std::unique_ptr<Schema> LoadEncSchema() {
  auto schema = std::make_unique<Schema>(
      std::string(TARNIX_TEST_DATA_DIR) + "/testdata/enc_schema.pb", "enc.test");
  EXPECT_FALSE(schema->types().GetSchemaPath().empty()) << "fixture schema did not load";
  return schema;
}

// A new empty message of a fixture type ("enc.test." is prepended).
inline std::unique_ptr<google::protobuf::Message> NewMsg(const Schema& schema,
                                                         const std::string& name) {
  std::unique_ptr<google::protobuf::Message> message(schema.types().NewMessage("enc.test." + name));
  EXPECT_TRUE(message != nullptr) << name;
  return message;
}

inline const google::protobuf::FieldDescriptor* Field(const google::protobuf::Message& message,
                                                      const std::string& name) {
  const google::protobuf::FieldDescriptor* field =
      message.GetDescriptor()->FindFieldByName(name);
  EXPECT_TRUE(field != nullptr) << name;
  return field;
}

}  // namespace enc_test
}  // namespace tarnix

#endif  // TARNIX_SCHEMA_ENC_TEST_UTIL_H_

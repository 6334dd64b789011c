#include "schema/object.h"

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

using enc_test::Field;
using enc_test::NewMsg;

class TarnixObjectTest : public ::testing::Test {
 protected:
  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(TarnixObjectTest, DecodesOnceAndSharesTheMessage) {
  auto message = NewMsg(*schema_, "StrKeyMsg");
  message->GetReflection()->SetString(message.get(), Field(*message, "name"), "n1");
  const TarnixObject object("enc.test.StrKeyMsg", "id-1",
                            std::make_shared<const std::string>(message->SerializeAsString()));
  auto decoded = object.GetMessage(*schema_);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(schema_->keys().GetKey(decoded.get()), "n1");
  EXPECT_EQ(object.GetMessage(*schema_).get(), decoded.get());
  const TarnixObject copy = object;
  EXPECT_EQ(copy.GetMessage(*schema_).get(), decoded.get());
  EXPECT_EQ(object.DebugString(*schema_), "name: \"n1\"\n");

  // An empty body decodes to an empty message.
  const TarnixObject empty("enc.test.StrKeyMsg", std::string());
  ASSERT_TRUE(empty.GetMessage(*schema_));
  EXPECT_EQ(empty.GetMessage(*schema_)->ByteSizeLong(), 0u);
}

TEST_F(TarnixObjectTest, UndecodableBodiesAreRetried) {
  const TarnixObject bad("enc.test.StrKeyMsg", std::string("\x0a\x09"));
  orv::LogCapture capture;
  EXPECT_FALSE(bad.GetMessage(*schema_));
  EXPECT_FALSE(bad.GetMessage(*schema_));
  EXPECT_EQ(capture.Count("DRX0203"), 2u);
  EXPECT_EQ(bad.DebugString(*schema_), "");
}

TEST_F(TarnixObjectTest, BodyWithoutTypeReadsEmpty) {
  orv::LogCapture capture;
  const TarnixObject none;
  EXPECT_FALSE(none.HasObjectType());
  EXPECT_FALSE(none.GetMessage(*schema_));
  EXPECT_EQ(capture.lines().size(), 0u);

  const TarnixObject untyped(std::make_shared<const std::string>("raw"));
  EXPECT_FALSE(untyped.HasObjectType());
  EXPECT_EQ(untyped.object_type(), "");
  EXPECT_EQ(untyped.object_body(), "");
  EXPECT_FALSE(untyped.GetMessage(*schema_));
  EXPECT_EQ(untyped.DebugString(*schema_), "");
  EXPECT_EQ(capture.Count("TarnixObject: object_type_ not set but object_body_ is set to raw"), 4u);
}

}  // namespace
}  // namespace tarnix

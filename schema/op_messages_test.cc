#include <cstdio>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/log_capture.h"
#include "logging/log_sink.h"
#include "schema/enc_test_util.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;
using enc_test::Field;
using enc_test::NewMsg;

class OpMessagesTest : public ::testing::Test {
 protected:
  // The set self op of a nested op message of a valid op type, or null.
  const pb::Message* SelfOf(const pb::Message* nested_op) {
    const pb::Message* self = nullptr;
    EXPECT_TRUE(schema_->op_messages().GetSelfOpMsg(nested_op, &self).ok());
    return self;
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(OpMessagesTest, OpMsgPartsAndTypeNames) {
  auto op_type = NewMsg(*schema_, "StrKeyOpMsg");
  const pb::Message* name_op =
      &op_type->GetReflection()->GetMessage(*op_type, Field(*op_type, "name"));
  EXPECT_TRUE(schema_->op_messages().IsOpMsg(name_op));
  EXPECT_FALSE(schema_->op_messages().IsOpMsg(op_type.get()));
  EXPECT_FALSE(schema_->op_messages().IsOpMsg(nullptr));
  EXPECT_FALSE(schema_->op_messages().IsOpMsgType(nullptr));
  // The compiled OpMsg is not the schema's.
  OpMsg compiled;
  EXPECT_FALSE(schema_->op_messages().IsOpMsg(&compiled));
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(name_op), 0);
  EXPECT_EQ(schema_->op_messages().GetOpMsgIndex(name_op), 0xFFFFFFFFu);

  EXPECT_EQ(schema_->op_messages().GetOpMsgTypeName("enc.test.StrKeyMsg"), "enc.test.StrKeyOpMsg");
  EXPECT_EQ(schema_->op_messages().GetOpMsgTypeName("Msg"), "OpMsg");
  orv::LogCapture capture;
  EXPECT_EQ(schema_->op_messages().GetOpMsgTypeName("ab"), "");
  EXPECT_EQ(schema_->op_messages().GetOpMsgTypeNameOf(nullptr), "");
  EXPECT_TRUE(capture.Contains("Descriptor is nullptr"));
  EXPECT_EQ(capture.Count("DRX0204"), 1u);
}

TEST_F(OpMessagesTest, OpWritersReachEveryKindOfField) {
  auto op = NewMsg(*schema_, "StrKeyOpMsg");
  const pb::Reflection* r = op->GetReflection();
  schema_->op_messages().SetOperation(Field(*op, "name"), OpMsg::SET, op.get());
  schema_->op_messages().SetOperation(Field(*op, "tags"), OpMsg::CONTAINS_ALL, op.get());
  schema_->op_messages().SetOperation(Field(*op, "items"), OpMsg::EXISTS, op.get());
  schema_->op_messages().AddRepeatedFieldOp(Field(*op, "tags"), OpMsg::INSERT, op.get(),
                                            OpMessages::kNoOpIndex);
  schema_->op_messages().AddRepeatedFieldOp(Field(*op, "items"), OpMsg::UPDATE, op.get(), 0);
  const auto tag = [&](int i) { return &r->GetRepeatedMessage(*op, Field(*op, "tags"), i); };
  const auto item_self = [&](int i) {
    return SelfOf(&r->GetRepeatedMessage(*op, Field(*op, "items"), i));
  };
  const pb::Message* name = &r->GetMessage(*op, Field(*op, "name"));
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(name), OpMsg::SET);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(tag(0)), OpMsg::CONTAINS_ALL);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(tag(1)), OpMsg::INSERT);
  EXPECT_EQ(schema_->op_messages().GetOpMsgIndex(tag(1)), 0xFFFFFFFFu);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(item_self(0)), OpMsg::EXISTS);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(item_self(1)), OpMsg::UPDATE);
  EXPECT_EQ(schema_->op_messages().GetOpMsgIndex(item_self(1)), 0u);
  // "self" unset: no op.
  auto empty_item = NewMsg(*schema_, "ItemOpMsg");
  EXPECT_EQ(SelfOf(empty_item.get()), nullptr);

  orv::LogCapture capture;
  schema_->op_messages().AddRepeatedFieldOp(Field(*op, "name"), OpMsg::REMOVE, op.get(), 1);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(name), OpMsg::SET);
  EXPECT_TRUE(capture.Contains("Provided field is not a repeated field"));
}

TEST_F(OpMessagesTest, BadOpTargetsChangeNothing) {
  auto holder = NewMsg(*schema_, "BrokenOpHolderMsg");
  auto op = NewMsg(*schema_, "StrKeyOpMsg");
  orv::LogCapture capture;
  schema_->op_messages().SetOperation(Field(*holder, "no_self"), OpMsg::EQUALS, holder.get());
  schema_->op_messages().AddRepeatedFieldOp(Field(*holder, "wrong_self"), OpMsg::EQUALS,
                                            holder.get(), 1);
  schema_->op_messages().SetOperation(
      Field(*op, "name"), static_cast<caldek::orv::tarnix::OpMsg_Operation>(99), op.get());
  schema_->op_messages().SetOperation(Field(*holder, "no_self"), OpMsg::EQUALS,
                                      op.get());  // wrong message
  EXPECT_EQ(holder->ByteSizeLong(), 0u);
  EXPECT_EQ(op->ByteSizeLong(), 0u);
  EXPECT_TRUE(capture.Contains("Nested op message enc.test.NoSelfOpMsg does not have self field"));
  EXPECT_TRUE(capture.Contains("Nested op message enc.test.WrongSelfOpMsg self field is"));
  EXPECT_EQ(capture.Count("DRX0207"), 3u);
  EXPECT_EQ(capture.Count("DRX0208"), 1u);
}

// Monitors hold op messages across schema reloads; they must still read as
// op messages, and GetSelfOpMsg must not take them for an invalid schema.
TEST_F(OpMessagesTest, MessagesDecodedBeforeAReloadKeepWorking) {
  auto op = NewMsg(*schema_, "StrKeyOpMsg");
  schema_->op_messages().SetOperation(Field(*op, "item"), OpMsg::EQUALS, op.get());
  schema_->op_messages().AddRepeatedFieldOp(Field(*op, "tags"), OpMsg::REMOVE, op.get(), 3);
  auto child = NewMsg(*schema_, "ChildMsg");
  child->GetReflection()->AddString(child.get(), Field(*child, "parents"), "p");
  ASSERT_TRUE(schema_->LoadSchema(schema_->types().GetSchemaPath()).ok());

  const pb::Reflection* r = op->GetReflection();
  const pb::FieldDescriptor* tags = Field(*op, "tags");
  const pb::Message& tag = r->GetRepeatedMessage(*op, tags, 0);
  ASSERT_TRUE(schema_->op_messages().IsOpMsg(&tag));
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(&tag), OpMsg::REMOVE);
  EXPECT_EQ(schema_->op_messages().GetOpMsgIndex(&tag), 3u);
  const pb::Message* self = SelfOf(&r->GetMessage(*op, Field(*op, "item")));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(self), OpMsg::EQUALS);
  schema_->op_messages().AddRepeatedFieldOp(tags, OpMsg::INSERT, op.get(), 1);
  ASSERT_EQ(r->FieldSize(*op, tags), 2);
  EXPECT_EQ(schema_->op_messages().GetOpMsgOperation(&r->GetRepeatedMessage(*op, tags, 1)),
            OpMsg::INSERT);

  ASSERT_NE(schema_->keys().GetKeyField(child->GetDescriptor()), nullptr);
  EXPECT_EQ(schema_->keys().GetKeyField(child->GetDescriptor())->name(), "ids");
  ObjectKeys::ParentKeyMap keys;
  schema_->keys().GetParentKeys(child.get(), &keys);
  EXPECT_EQ(keys["enc.test.StrKeyMsg"], std::vector<std::string>{"p"});
}

// An op type without a usable "self" is an invalid schema: refused and
// logged, never taken for an op.
TEST_F(OpMessagesTest, SelfOfAnInvalidOpTypeIsRefused) {
  auto no_self = NewMsg(*schema_, "NoSelfOpMsg");
  auto wrong_self = NewMsg(*schema_, "WrongSelfOpMsg");
  orv::LogCapture capture;
  const pb::Message* self = no_self.get();
  Status status = schema_->op_messages().GetSelfOpMsg(no_self.get(), &self);
  EXPECT_EQ(status.code(), Status::kFailedPrecondition);
  EXPECT_EQ(status.message(), "Nested op message enc.test.NoSelfOpMsg does not have self field");
  EXPECT_EQ(self, nullptr);
  EXPECT_TRUE(capture.Contains("NoSelfOpMsg does not have self field"));
  self = wrong_self.get();
  status = schema_->op_messages().GetSelfOpMsg(wrong_self.get(), &self);
  EXPECT_EQ(status.code(), Status::kFailedPrecondition);
  EXPECT_EQ(self, nullptr);
  EXPECT_TRUE(capture.Contains("WrongSelfOpMsg self field is "));
  EXPECT_TRUE(capture.Contains(", not OpMsg"));
  EXPECT_EQ(capture.Count("DRX0207"), 2u);
}

}  // namespace
}  // namespace tarnix

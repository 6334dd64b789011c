#include <cstdio>

#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "logging/log_capture.h"
#include "logging/log_sink.h"
#include "schema/enc_test_util.h"
#include "schema/field_editing.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using caldek::orv::tarnix::OpMsg;
using enc_test::Field;
using enc_test::NewMsg;

class SchemaOpMsgTest : public ::testing::Test {
 protected:
  // The set self op of a nested op message of a valid op type, or null.
  const pb::Message* SelfOf(const pb::Message* nested_op) {
    const pb::Message* self = nullptr;
    EXPECT_TRUE(schema_->op_messages().GetSelfOpMsg(nested_op, &self).ok());
    return self;
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

TEST_F(SchemaOpMsgTest, OpMsgPartsAndTypeNames) {
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

TEST_F(SchemaOpMsgTest, OpWritersReachEveryKindOfField) {
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

TEST_F(SchemaOpMsgTest, BadOpTargetsChangeNothing) {
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
TEST_F(SchemaOpMsgTest, MessagesDecodedBeforeAReloadKeepWorking) {
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
TEST_F(SchemaOpMsgTest, SelfOfAnInvalidOpTypeIsRefused) {
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

// Repeated-field editing on string, enum and message elements alike.
class RepeatedEditTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dst_ = NewMsg(*schema_, "StrKeyMsg");
    src_ = NewMsg(*schema_, "StrKeyMsg");
    field_ = Field(*dst_, GetParam());
    Fill(dst_.get(), {1, 2, 3});  // a b c
    Fill(src_.get(), {-3});       // x (a valid enum value too)
  }

  // Element i holds number n: "n" for tags, enum value n for colors, v = "n"
  // for items.
  void Add(pb::Message* message, int n) {
    const pb::Reflection* r = message->GetReflection();
    switch (field_->cpp_type()) {
      case pb::FieldDescriptor::CPPTYPE_STRING:
        r->AddString(message, field_, std::to_string(n));
        break;
      case pb::FieldDescriptor::CPPTYPE_ENUM:
        r->AddEnumValue(message, field_, n);
        break;
      default: {
        pb::Message* item = r->AddMessage(message, field_);
        item->GetReflection()->SetString(item, Field(*item, "v"), std::to_string(n));
      }
    }
  }
  void Fill(pb::Message* message, std::initializer_list<int> values) {
    for (int n : values) Add(message, n);
  }
  std::string Elements(const pb::Message& message) {
    const pb::Reflection* r = message.GetReflection();
    std::string out;
    for (int i = 0; i < r->FieldSize(message, field_); ++i) {
      switch (field_->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_STRING:
          out += r->GetRepeatedString(message, field_, i);
          break;
        case pb::FieldDescriptor::CPPTYPE_ENUM:
          out += std::to_string(r->GetRepeatedEnumValue(message, field_, i));
          break;
        default: {
          const pb::Message& item = r->GetRepeatedMessage(message, field_, i);
          out += item.GetReflection()->GetString(item, Field(item, "v"));
        }
      }
    }
    return out;
  }

  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
  std::unique_ptr<pb::Message> dst_;
  std::unique_ptr<pb::Message> src_;
  const pb::FieldDescriptor* field_ = nullptr;
};

TEST_P(RepeatedEditTest, InsertAtEveryEdge) {
  for (const auto& [at, expected] :
       std::vector<std::pair<int, std::string>>{{0, "-3123"}, {1, "1-323"}, {3, "123-3"}}) {
    SetUp();
    InsertRepeatedField(src_.get(), field_, 0, at, dst_.get());
    EXPECT_EQ(Elements(*dst_), expected) << at;
  }
  SetUp();
  orv::LogCapture capture;
  InsertRepeatedField(src_.get(), field_, 0, 4, dst_.get());
  InsertRepeatedField(src_.get(), field_, 0, -1, dst_.get());
  InsertRepeatedField(src_.get(), field_, 1, 0, dst_.get());
  EXPECT_EQ(Elements(*dst_), "123");
  EXPECT_EQ(capture.Count("Dst index provided in InsertRepeatedField is greater than field size"), 2u);
  EXPECT_EQ(capture.Count("Src index provided in InsertRepeatedField is greater than field size"), 1u);
  // From the message itself: the element as it was before the insert.
  InsertRepeatedField(dst_.get(), field_, 2, 0, dst_.get());
  EXPECT_EQ(Elements(*dst_), "3123");
}

TEST_P(RepeatedEditTest, RemoveAtEveryEdge) {
  RemoveRepeatedField(field_, 0, dst_.get());
  EXPECT_EQ(Elements(*dst_), "23");
  RemoveRepeatedField(field_, 1, dst_.get());
  EXPECT_EQ(Elements(*dst_), "2");
  orv::LogCapture capture;
  RemoveRepeatedField(field_, 1, dst_.get());
  RemoveRepeatedField(field_, -1, dst_.get());
  EXPECT_EQ(Elements(*dst_), "2");
  EXPECT_EQ(capture.Count("Index provided in RemoveRepeatedField is greater than field size"), 2u);
  RemoveRepeatedField(field_, 0, dst_.get());
  EXPECT_EQ(Elements(*dst_), "");
}

TEST_P(RepeatedEditTest, UpdateAndCopyElements) {
  UpdateRepeatedField(src_.get(), field_, 0, 2, dst_.get());
  EXPECT_EQ(Elements(*dst_), "12-3");
  orv::LogCapture capture;
  UpdateRepeatedField(src_.get(), field_, 0, 3, dst_.get());
  UpdateRepeatedField(src_.get(), field_, 1, 0, dst_.get());
  EXPECT_EQ(Elements(*dst_), "12-3");
  EXPECT_EQ(capture.Count("Index provided in UpdateRepeatedField is greater than field size"), 2u);

  CopyRepeatedFieldElement(dst_.get(), field_, 1, src_.get());
  EXPECT_EQ(Elements(*src_), "-32");
  CopyRepeatedFieldElement(dst_.get(), field_, 3, src_.get());
  EXPECT_EQ(Elements(*src_), "-32");
  CopyField(dst_.get(), field_, src_.get());
  EXPECT_EQ(Elements(*src_), "-3212-3");
}

TEST_P(RepeatedEditTest, SingularFieldsAreRefused) {
  const pb::FieldDescriptor* repeated = field_;
  const pb::FieldDescriptor* singular = Field(*dst_, "item");
  const std::string before = dst_->SerializeAsString();
  orv::LogCapture capture;
  InsertRepeatedField(src_.get(), singular, 0, 0, dst_.get());
  RemoveRepeatedField(singular, 0, dst_.get());
  UpdateRepeatedField(src_.get(), singular, 0, 0, dst_.get());
  CopyRepeatedFieldElement(src_.get(), singular, 0, dst_.get());
  EXPECT_EQ(capture.Count("Provided field is not a repeated field"), 4u);
  auto other = NewMsg(*schema_, "KindsMsg");
  RemoveRepeatedField(repeated, 0, other.get());
  CopyField(src_.get(), repeated, other.get());
  EXPECT_EQ(capture.Count("DRX0208"), 6u);
  EXPECT_EQ(dst_->SerializeAsString(), before);
  EXPECT_EQ(other->ByteSizeLong(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RepeatedEditTest, ::testing::Values("tags", "colors", "items"));

TEST_F(SchemaOpMsgTest, CopyFieldCopiesSingularFields) {
  auto from = NewMsg(*schema_, "StrKeyMsg");
  auto to = NewMsg(*schema_, "StrKeyMsg");
  from->GetReflection()->SetString(from.get(), Field(*from, "name"), "n");
  pb::Message* item = from->GetReflection()->MutableMessage(from.get(), Field(*from, "item"));
  item->GetReflection()->SetInt32(item, Field(*item, "n"), 4);
  CopyField(from.get(), Field(*from, "name"), to.get());
  CopyField(from.get(), Field(*from, "item"), to.get());
  EXPECT_EQ(to->SerializeAsString(), from->SerializeAsString());
  // An unset source field is copied as unset.
  auto empty = NewMsg(*schema_, "StrKeyMsg");
  CopyField(empty.get(), Field(*from, "name"), to.get());
  EXPECT_FALSE(to->GetReflection()->HasField(*to, Field(*to, "name")));
}

}  // namespace
}  // namespace tarnix

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "schema/enc_test_util.h"
#include "schema/field_editing.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;
using enc_test::Field;
using enc_test::NewMsg;

class FieldEditingTest : public ::testing::Test {
 protected:
  std::unique_ptr<Schema> schema_ = enc_test::LoadEncSchema();
};

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

TEST_F(FieldEditingTest, CopyFieldCopiesSingularFields) {
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

#include <memory>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "query/selection.h"
#include "query/update_delta.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kDeviceOp[] = "caldek.orv.tarnix.DeviceOpMsg";
constexpr char kDeviceId[] = "device-1";

using Message = std::unique_ptr<pb::Message>;

class SelectionOnUpdateTest : public ::testing::Test {
 protected:
  SelectionOnUpdateTest() { orv::Logger::logLevel = orv::INFO; }

  Message Parse(const std::string& type, const std::string& text) {
    Message message(schema_.types().NewMessage(type));
    EXPECT_NE(message, nullptr) << type;
    if (message != nullptr) {
      EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    }
    return message;
  }

  // Applies `select` (op-message text, or null for none) to the update
  // old -> new; returns the result op message and leaves the pruned
  // objects in old_ and new_.
  std::string Update(const Selection& selection, const char* select,
                     const TransactionRequestTable* requests = nullptr) {
    Message select_op = select != nullptr ? Parse(kDeviceOp, select) : nullptr;
    Message result = Parse(kDeviceOp, "");
    selection.ApplySelectionOnUpdate(kDevice, kDeviceId, false, select_op.get(), old_.get(),
                                     new_.get(), result.get(), requests);
    return result->ShortDebugString();
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  orv::metrics::MetricRegistry registry_;
  orv::LogCapture capture_;
  UpdateDelta deltas_{&schema_, registry_};
  Selection selection_{&schema_, &deltas_};
  Message old_ = Parse(kDevice, "id { left: 1 } hostname: 'a' model: 'm' tags: 'x'");
  Message new_ = Parse(kDevice, "id { left: 1 } hostname: 'b' model: 'm' tags: 'x' tags: 'y'");
};

TEST_F(SelectionOnUpdateTest, NoSelectionOrSelfMarksTheWholeObjectAndKeepsBothWhole) {
  const std::string old_text = old_->ShortDebugString();
  const std::string new_text = new_->ShortDebugString();
  for (const char* select : {static_cast<const char*>(nullptr), "self { op: SELECT }"}) {
    SCOPED_TRACE(select != nullptr ? select : "no selection");
    EXPECT_EQ(Update(selection_, select), "self { op: SET }");
    EXPECT_EQ(old_->ShortDebugString(), old_text);
    EXPECT_EQ(new_->ShortDebugString(), new_text);
  }
}

TEST_F(SelectionOnUpdateTest, ASelectionOfFieldsGetsTheDeltaOfThoseFieldsAndKeepsKeys) {
  EXPECT_EQ(Update(selection_, "hostname { op: SELECT } model { op: SELECT }"),
            "hostname { op: SET }");
  EXPECT_EQ(old_->ShortDebugString(), "id { left: 1 } hostname: \"a\"");
  EXPECT_EQ(new_->ShortDebugString(), "id { left: 1 } hostname: \"b\"");
}

TEST_F(SelectionOnUpdateTest, TheObjectIsLookedUpInThePendingRequestsByTypeAndId) {
  PendingOperation patch;
  patch.vdb_ids = {1};
  patch.request.type = UpdateRequest::PATCH;
  patch.request.patch_ops.emplace_back(
      Parse(kDevice, "tags: 'y'")->SerializeAsString(),
      Parse(kDeviceOp, "tags { op: APPEND }")->SerializeAsString());
  TransactionRequestTable requests;
  requests[ObjectKey(kDevice, "another-device")] = {patch};
  // Not this object's requests: the edit-distance road.
  EXPECT_EQ(Update(selection_, "tags { op: SELECT }", &requests), "tags { op: APPEND }");
  EXPECT_FALSE(capture_.Contains("ExtractRepeatedDelta (Patch Op)"));

  old_ = Parse(kDevice, "id { left: 1 } tags: 'x'");
  new_ = Parse(kDevice, "id { left: 1 } tags: 'x' tags: 'y'");
  requests[ObjectKey(kDevice, kDeviceId)] = {patch};
  EXPECT_EQ(Update(selection_, "tags { op: SELECT }", &requests), "tags { op: APPEND }");
  EXPECT_TRUE(capture_.Contains("ExtractRepeatedDelta (Patch Op): tags { op: APPEND }"));
  EXPECT_EQ(new_->ShortDebugString(), "id { left: 1 } tags: \"y\"");
}

TEST_F(SelectionOnUpdateTest, WithoutDeltaComputationTheWholeObjectIsMarked) {
  const Selection plain(&schema_);
  EXPECT_EQ(Update(plain, "hostname { op: SELECT }"), "self { op: SET }");
  EXPECT_TRUE(
      capture_.Contains("No delta computation for the update of caldek.orv.tarnix.DeviceMsg"));
}

}  // namespace
}  // namespace tarnix

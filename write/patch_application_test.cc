// Applying op messages to objects, alone and within a transaction.
#include "write/patch_application.h"

#include "write/request_processor_test_util.h"

namespace tarnix {
namespace {

constexpr char kInterface[] = "caldek.orv.tarnix.InterfaceMsg";
constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";

class ObjectPatcherTest : public RequestProcessorTest {
 protected:
  // Patches the object given as text; *result gets the patched text form.
  Status Patch(const std::string& type, const std::string& object, const std::string& value,
               const std::string& op) {
    std::string patched;
    const Status status = ObjectPatcher(schema_).Apply(
        type, "id1", Text(type, object), Text(type, value),
        Text(schema_.op_messages().GetOpMsgTypeName(type), op), &patched);
    result_ = patched;
    return status;
  }
  void ExpectResult(const std::string& type, const std::string& text) {
    EXPECT_EQ(result_, Text(type, text));
  }
  void ExpectRefused(const Status& status, const std::string& text) {
    EXPECT_EQ(status.code(), Status::kInvalidArgument);
    EXPECT_EQ(status.message(), text);
  }

  std::string result_;
  orv::LogCapture capture_;
};

TEST_F(ObjectPatcherTest, SingularFieldsAndNestedMessages) {
  const std::string object = "ip: \"a\" prefix_length: 8 binding { primary: false }";
  ASSERT_TRUE(Patch(kAddress, object, "prefix_length: 24 binding { primary: true }",
                    "prefix_length { op: SET } binding { primary { op: SET } }")
                  .ok());
  ExpectResult(kAddress, "ip: \"a\" prefix_length: 24 binding { primary: true }");
  // SET of a field the value leaves unset clears it; a nested self CLEAR
  // removes the sub-message.
  ASSERT_TRUE(Patch(kAddress, object, "", "prefix_length { op: SET } binding { self { op: CLEAR } }")
                  .ok());
  ExpectResult(kAddress, "ip: \"a\"");
  ExpectRefused(Patch(kAddress, object, "", "prefix_length { op: APPEND }"),
                "Invalid operation 10 on field prefix_length in message " +
                    std::string(kAddress));
}

TEST_F(ObjectPatcherTest, WholeObjectAndKeyField) {
  const std::string object = "ip: \"a\" prefix_length: 8";
  ASSERT_TRUE(Patch(kAddress, object, "ip: \"b\" dns_names: \"x\"", "self { op: SET }").ok());
  ExpectResult(kAddress, "ip: \"b\" dns_names: \"x\"");
  ExpectRefused(Patch(kAddress, object, "", "self { op: CLEAR }"),
                "Cannot clear top level message " + std::string(kAddress));
  ExpectRefused(Patch(kAddress, object, "ip: \"b\"", "ip { op: SET }"),
                "Cannot patch key field ip of type " + std::string(kAddress));
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0207",
                     "Cannot patch key field ip of type " + std::string(kAddress)));
  EXPECT_TRUE(Logged(capture_, "ERROR", "DRX0204",
                     "Failed to patch " + std::string(kAddress) +
                         " id1: INVALID_ARGUMENT: Cannot patch key field ip of type " + kAddress));
}

TEST_F(ObjectPatcherTest, RepeatedFieldOperations) {
  const std::string tags = "tags: \"a\" tags: \"b\"";
  ASSERT_TRUE(Patch(kDevice, tags, "tags: \"c\"", "tags { op: INSERT index: 2 }").ok());
  ExpectResult(kDevice, tags + " tags: \"c\"");
  ASSERT_TRUE(Patch(kDevice, tags, "tags: \"c\"", "tags { op: UPDATE index: 1 }").ok());
  ExpectResult(kDevice, "tags: \"a\" tags: \"c\"");
  ASSERT_TRUE(Patch(kDevice, tags, "tags: \"c\" tags: \"d\"", "tags { op: SET }").ok());
  ExpectResult(kDevice, "tags: \"c\" tags: \"d\"");
  ASSERT_TRUE(Patch(kDevice, tags, "", "tags { op: APPEND }").ok());
  ExpectResult(kDevice, tags);
  ASSERT_TRUE(Patch(kInterface, "vlan_ids: 5 vlan_ids: 3 vlan_ids: 5", "vlan_ids: 5",
                    "vlan_ids { op: REMOVE }")
                  .ok());
  ExpectResult(kInterface, "vlan_ids: 3 vlan_ids: 5");

  ExpectRefused(Patch(kDevice, tags, "tags: \"c\"", "tags { op: INSERT index: 3 }"),
                "Index provided is greater than one beyond the last item in the repeated field");
  ExpectRefused(Patch(kDevice, tags, "tags: \"c\" tags: \"d\"", "tags { op: INSERT }"),
                "Missing index in OpMsg");
  ExpectRefused(Patch(kDevice, tags, "tags: \"c\" tags: \"d\"", "tags { op: UPDATE index: 0 }"),
                "Value must contain exactly 1 element");
  ExpectRefused(Patch(kDevice, tags, "tags: \"c\"", "tags { op: UPDATE index: 2 }"),
                "Index provided is greater than the size of the repeated field");
  ExpectRefused(Patch(kDevice, tags, "", "tags { op: REMOVE }"),
                "Value to be removed not provided");
  // Operations that have no meaning on a list are refused, not ignored.
  ExpectRefused(Patch(kDevice, tags, "tags: \"c\"", "tags { op: SELECT }"),
                "Invalid operation 1 on field tags in message " + std::string(kDevice));
}

TEST_F(ObjectPatcherTest, RepeatedMessageFieldTakesOnlyALoneSelf) {
  const std::string modules = "modules { slot: 1 }";
  ASSERT_TRUE(Patch(kDevice, modules, "modules { slot: 2 }", "modules { self { op: APPEND } }")
                  .ok());
  ExpectResult(kDevice, "modules { slot: 1 } modules { slot: 2 }");
  ExpectRefused(Patch(kDevice, modules, "modules { slot: 2 }",
                      "modules { slot { op: SET } self { op: APPEND } }"),
                "Repeated field patch must contain exactly one op msg");
  ExpectRefused(Patch(kDevice, modules, "modules { slot: 2 }", "modules { slot { op: SET } }"),
                "Repeated field patch only supports self op msg");
}

TEST_F(ObjectPatcherTest, UndecodableBody) {
  std::string patched;
  ExpectRefused(ObjectPatcher(schema_).Apply(kAddress, "id1", "\xff", "", "", &patched),
                "Failed to decode object body of type=" + std::string(kAddress) + " and id=id1");
}

// Refusals of the walk, each with its text as the status and as an ERROR
// line. The op message and the target need not be of matching types when
// the walk is entered directly.
TEST_F(ObjectPatcherTest, RefusalsNameWhatWasWrong) {
  const std::string address = Text(kAddress, "ip: \"a\"");
  const std::string address_op = schema_.op_messages().GetOpMsgTypeName(kAddress);
  const ObjectPatcher patcher(schema_);
  const auto walk = [&](const std::string& op_type, const std::string& op,
                        const std::string& target_type) {
    std::unique_ptr<google::protobuf::Message> op_msg(
        schema_.types().ParseMessage(op_type, Text(op_type, op)));
    std::unique_ptr<google::protobuf::Message> target(schema_.types().NewMessage(target_type));
    return patcher.PatchNestedMessage(*op_msg, nullptr, target.get(), nullptr, nullptr);
  };
  std::string patched;
  const std::vector<std::tuple<Status, std::string, std::string>> cases = {
      {patcher.Apply(kAddress, "id1", address, "\xff", "", &patched), "DRX0203",
       "Failed to decode patch body of type " + std::string(kAddress) + " and id id1"},
      {patcher.Apply(kAddress, "id1", address, "", "\xff", &patched), "DRX0203",
       "Failed to decode patch op of type " + address_op + " and id id1"},
      {Patch(kAddress, "ip: \"a\"", "", "self { op: APPEND }"), "DRX0207",
       "Invalid operation 10 for msg type " + std::string(kAddress)},
      {walk(address_op, "prefix_length { op: SET }", "caldek.orv.tarnix.InterfaceMsg"), "DRX0207",
       "caldek.orv.tarnix.InterfaceMsg and " + address_op +
           " mismatch: missing field prefix_length"},
      {walk("caldek.orv.tarnix.InterfaceOpMsg", "name { string { op: SET } }",
            "caldek.orv.tarnix.VlanMsg"),
       "DRX0207", "op msg caldek.orv.tarnix.StringOpMsg is nested, cannot apply on field name"},
  };
  for (const auto& c : cases) {
    ExpectRefused(std::get<0>(c), std::get<2>(c));
    EXPECT_TRUE(Logged(capture_, "ERROR", std::get<1>(c), std::get<2>(c))) << std::get<2>(c);
  }
}

// --- Patches within a transaction ---

class PatchBuildTest : public RequestProcessorTest {
 protected:
  Status AddPatch(const VdbIdSet& vdbs, const std::string& value, const std::string& op) {
    return processor_->AddPatch(kAddress, AddressId(1), Text(kAddress, value),
                                Text(schema_.op_messages().GetOpMsgTypeName(kAddress), op), vdbs,
                                nullptr);
  }
  std::vector<std::pair<std::string, std::string>> Updates() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const UpdateRecord& r : updates_) {
      out.emplace_back(*r.new_object().body_ptr(), *r.old_object().body_ptr());
    }
    return out;
  }
  std::string WithDns(int prefix_length, const std::string& dns) {
    return Text(kAddress, "ip: \"10.0.0.1\" prefix_length: " + std::to_string(prefix_length) +
                              " dns_names: \"" + dns + "\"");
  }
};

TEST_F(PatchBuildTest, EachBodyOfTheObjectIsPatchedOnItsOwn) {
  Store(1, {1}, WithDns(8, "a"));
  Store(1, {2}, WithDns(9, "b"));
  ASSERT_TRUE(AddPatch({1, 2}, "prefix_length: 30", "prefix_length { op: SET }").ok());
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (std::vector<std::pair<std::string, std::string>>{
                        {RecordKey(1, {1}), WithDns(30, "a")},
                        {RecordKey(1, {2}), WithDns(30, "b")}}));
  EXPECT_TRUE(deletes_.empty());  // the new keys replace the old ones
  EXPECT_EQ(Updates(), (std::vector<std::pair<std::string, std::string>>{
                           {WithDns(30, "a"), WithDns(8, "a")},
                           {WithDns(30, "b"), WithDns(9, "b")}}));
}

TEST_F(PatchBuildTest, PatchedBodyEqualToAnotherJoinsItsRecord) {
  Store(1, {1}, WithDns(8, "a"));
  Store(1, {2}, WithDns(30, "a"));
  ASSERT_TRUE(AddPatch({1}, "prefix_length: 30", "prefix_length { op: SET }").ok());
  ASSERT_TRUE(Build().ok());
  EXPECT_EQ(Puts(), (std::vector<std::pair<std::string, std::string>>{
                        {RecordKey(1, {1, 2}), WithDns(30, "a")}}));
  EXPECT_EQ(deletes_, (std::vector<std::string>{RecordKey(1, {1}), RecordKey(1, {2})}));
  EXPECT_EQ(Updates(), (std::vector<std::pair<std::string, std::string>>{
                           {WithDns(30, "a"), WithDns(8, "a")}}));
}

TEST_F(PatchBuildTest, PatchOnTopOfAPutAndUnchangedResult) {
  Put(1, WithDns(8, "a"), {1});
  ASSERT_TRUE(AddPatch({1, 2}, "prefix_length: 8", "prefix_length { op: SET }").ok());
  EXPECT_EQ(Build().code(), Status::kNotFound);  // vdb 2 has no object

  processor_.reset(new RequestProcessor(&schema_, db_.get()));
  Store(1, {1}, WithDns(8, "a"));
  ASSERT_TRUE(AddPatch({1}, "prefix_length: 8", "prefix_length { op: SET }").ok());
  ASSERT_TRUE(Build().ok());
  EXPECT_TRUE(puts_.empty());
  EXPECT_TRUE(deletes_.empty());
  EXPECT_TRUE(updates_.empty());
  EXPECT_TRUE(logged_only_.empty());
}

TEST_F(PatchBuildTest, MissingVdbAndEmptyBodyFail) {
  orv::LogCapture capture;
  Store(1, {1}, WithDns(8, "a"));
  ASSERT_TRUE(AddPatch({1, 3}, "prefix_length: 30", "prefix_length { op: SET }").ok());
  Status status = Build();
  EXPECT_EQ(status.code(), Status::kNotFound);
  EXPECT_EQ(status.message(), "Patch operation failed: object with type = " +
                                  std::string(kAddress) + " and id = " + AddressId(1) +
                                  " not found in vdbs 3");

  processor_.reset(new RequestProcessor(&schema_, db_.get()));
  Store(1, {2}, "");
  ASSERT_TRUE(AddPatch({2}, "prefix_length: 30", "prefix_length { op: SET }").ok());
  status = Build();
  EXPECT_EQ(status.code(), Status::kInvalidArgument);
  EXPECT_EQ(status.message(), "PATCH type=" + std::string(kAddress) + " id=" + AddressId(1) +
                                  " has no object body");
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0208", status.message()));
}

}  // namespace
}  // namespace tarnix

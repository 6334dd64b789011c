#include "query/update_delta.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "schema/schema.h"
#include "write/patch_application.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr char kDevice[] = "caldek.orv.tarnix.DeviceMsg";
constexpr char kDeviceOp[] = "caldek.orv.tarnix.DeviceOpMsg";
constexpr char kInterface[] = "caldek.orv.tarnix.InterfaceMsg";
constexpr char kInterfaceOp[] = "caldek.orv.tarnix.InterfaceOpMsg";
constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";
constexpr char kAddressOp[] = "caldek.orv.tarnix.AddressOpMsg";
constexpr char kDeviceId[] = "device-1";

using List = std::vector<std::string>;
using Message = std::unique_ptr<pb::Message>;

// One edit of a list delta: "UPDATE@3", "APPEND", "REMOVE" (no index).
struct Edit {
  std::string operation;
  int64_t index;  // -1: none
  std::string ToString() const {
    return index < 0 ? operation : operation + "@" + std::to_string(index);
  }
};

class UpdateDeltaTest : public ::testing::Test {
 protected:
  UpdateDeltaTest() { orv::Logger::logLevel = orv::INFO; }
  ~UpdateDeltaTest() override { orv::Logger::logLevel = orv::INFO; }

  Message Parse(const std::string& type, const std::string& text) {
    Message message(schema_.types().NewMessage(type));
    EXPECT_NE(message, nullptr) << type;
    if (message != nullptr) {
      EXPECT_TRUE(pb::TextFormat::ParseFromString(text, message.get())) << text;
    }
    return message;
  }
  static Message Copy(const pb::Message& message) {
    Message copy(message.New());
    copy->CopyFrom(message);
    return copy;
  }
  static const pb::FieldDescriptor* FieldOf(const pb::Message& message, const char* name) {
    const pb::FieldDescriptor* field = message.GetDescriptor()->FindFieldByName(name);
    EXPECT_NE(field, nullptr) << name;
    return field;
  }
  // The elements of a list as text ("a" for a string element).
  static List Elements(const pb::Message& message, const char* name) {
    const pb::FieldDescriptor* field = FieldOf(message, name);
    List out;
    const int size = message.GetReflection()->FieldSize(message, field);
    for (int i = 0; i < size; ++i) {
      std::string text;
      pb::TextFormat::PrintFieldValueToString(message, field, i, &text);
      if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING) {
        text = message.GetReflection()->GetRepeatedString(message, field, i);
      }
      out.push_back(text);
    }
    return out;
  }
  // The edits of op field `name` of a result op message.
  static std::vector<Edit> Edits(const pb::Message& result, const char* name) {
    const pb::FieldDescriptor* field = FieldOf(result, name);
    std::vector<Edit> out;
    const int size = result.GetReflection()->FieldSize(result, field);
    for (int i = 0; i < size; ++i) {
      const pb::Message* op = &result.GetReflection()->GetRepeatedMessage(result, field, i);
      const pb::FieldDescriptor* self = op->GetDescriptor()->FindFieldByName("self");
      if (self != nullptr) op = &op->GetReflection()->GetMessage(*op, self);
      const pb::Reflection* r = op->GetReflection();
      const pb::FieldDescriptor* operation = op->GetDescriptor()->FindFieldByName("op");
      const pb::FieldDescriptor* index = op->GetDescriptor()->FindFieldByName("index");
      out.push_back({r->GetEnum(*op, operation)->name(),
                     r->HasField(*op, index) ? int64_t{r->GetUInt32(*op, index)} : -1});
    }
    return out;
  }
  static std::string EditText(const std::vector<Edit>& edits) {
    std::string out;
    for (const Edit& e : edits) out += (out.empty() ? "" : " ") + e.ToString();
    return out;
  }

  // Applies a list delta to `list` as a monitor client would: each edit
  // takes the next operand (SET all of them, CLEAR none), each UPDATE the
  // next replaced element, which must be the one it replaces, as the
  // operand of an indexed REMOVE must be the element it removes. An index-
  // less REMOVE removes the first equal element.
  // A replayed delta names no replaced elements: `replaced` is null then.
  static List Apply(List list, const std::vector<Edit>& edits, const List& operands,
                    const List* replaced) {
    size_t next = 0, next_replaced = 0;
    for (const Edit& e : edits) {
      SCOPED_TRACE(e.ToString());
      const size_t k = static_cast<size_t>(e.index);
      if (e.operation == "SET") {
        EXPECT_EQ(edits.size(), 1u);
        list.assign(operands.begin() + next, operands.end());
        next = operands.size();
        continue;
      }
      if (e.operation == "CLEAR") {
        list.clear();
        continue;
      }
      if (next >= operands.size()) {
        ADD_FAILURE() << "no operand left";
        return list;
      }
      const std::string& operand = operands[next++];
      if (e.operation == "APPEND" && e.index < 0) {
        list.push_back(operand);
      } else if (e.operation == "INSERT" && e.index >= 0 && k <= list.size()) {
        list.insert(list.begin() + k, operand);
      } else if (e.operation == "UPDATE" && e.index >= 0 && k < list.size() &&
                 (replaced == nullptr || next_replaced < replaced->size())) {
        if (replaced != nullptr) {
          EXPECT_EQ(list[k], (*replaced)[next_replaced++]);
        }
        list[k] = operand;
      } else if (e.operation == "REMOVE" && e.index >= 0 && k < list.size()) {
        EXPECT_EQ(list[k], operand);
        list.erase(list.begin() + k);
      } else if (e.operation == "REMOVE" && e.index < 0) {
        auto found = std::find(list.begin(), list.end(), operand);
        if (found != list.end()) list.erase(found);
      } else {
        ADD_FAILURE() << "edit does not fit a list of " << list.size();
        return list;
      }
    }
    EXPECT_EQ(next, operands.size()) << "operands left over";
    if (replaced != nullptr) {
      EXPECT_EQ(next_replaced, replaced->size()) << "replaced elements left over";
    }
    return list;
  }

  static std::string Device(const List& tags) {
    std::string text = "id { left: 1 } hostname: 'h'";
    for (const std::string& t : tags) text += " tags: '" + t + "'";
    return text;
  }

  // Runs the edit-distance road on the tags of two devices.
  struct Outcome {
    std::string edits;
    List new_list;
    List old_list;
    std::vector<Edit> edit_list;
  };
  Outcome TagsDelta(const List& old_tags, const List& new_tags) {
    Message old_device = Parse(kDevice, Device(old_tags));
    Message new_device = Parse(kDevice, Device(new_tags));
    Message result = ListDelta("tags", kDeviceOp, old_device.get(), new_device.get());
    return {EditText(Edits(*result, "tags")), Elements(*new_device, "tags"),
            Elements(*old_device, "tags"), Edits(*result, "tags")};
  }
  // The edit-distance delta of list `name` between two objects, as an op
  // message of `op_type`; the objects are pruned as the delta leaves them.
  Message ListDelta(const char* name, const char* op_type, pb::Message* old_object,
                    pb::Message* new_object) {
    Message result = Parse(op_type, "");
    delta_.ComputeRepeatedFieldDelta(false, FieldOf(*new_object, name), FieldOf(*result, name),
                                     old_object, new_object, result.get());
    return result;
  }

  bool HasLine(const std::string& text) const {
    for (const std::string& line : capture_.lines()) {
      if (line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0) {
        return true;
      }
    }
    return false;
  }

  Schema schema_{TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix"};
  orv::metrics::MetricRegistry registry_;
  orv::LogCapture capture_;
  UpdateDelta delta_{&schema_, registry_};
};

// ---- Edit distance ----

TEST_F(UpdateDeltaTest, EditDistanceEdgeCases) {
  struct Case {
    List old_tags, new_tags;
    std::string edits;
    List new_list, old_list;
  };
  const Case cases[] = {
      {{"a", "b", "c"}, {"a", "c"}, "REMOVE@1", {"b"}, {}},
      {{"a"}, {"a", "b"}, "APPEND", {"b"}, {}},
      {{"b"}, {"a", "b"}, "INSERT@0", {"a"}, {}},
      {{"a"}, {"b"}, "UPDATE@0", {"b"}, {"a"}},
      // Two substitutions, not a move.
      {{"a", "b"}, {"b", "a"}, "UPDATE@0 UPDATE@1", {"b", "a"}, {"a", "b"}},
      // At the last cell diag and up tie: diag wins.
      {{"a", "b"}, {"c"}, "REMOVE@0 UPDATE@0", {"a", "c"}, {"b"}},
      {{"a"}, {"b", "c"}, "INSERT@0 UPDATE@1", {"b", "c"}, {"a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.old_tags) + " -> " +
                 ::testing::PrintToString(c.new_tags));
    const Outcome got = TagsDelta(c.old_tags, c.new_tags);
    EXPECT_EQ(got.edits, c.edits);
    EXPECT_EQ(got.new_list, c.new_list);
    EXPECT_EQ(got.old_list, c.old_list);
  }
}

// Levenshtein distance, the length of the shortest edit script.
size_t Distance(const List& a, const List& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = a[i - 1] == b[j - 1] ? diag : 1 + std::min({up, row[j - 1], diag});
      diag = up;
    }
  }
  return row[b.size()];
}

TEST_F(UpdateDeltaTest, EditScriptTurnsOldListIntoNewWithFewestEdits) {
  orv::Logger::logLevel = orv::WARNING;
  for (uint32_t seed : {1u, 7u, 2024u}) {
    std::mt19937 rng(seed);
    auto random_list = [&](const char* alphabet, int letters) {
      List out(1 + rng() % 8);
      for (std::string& e : out) e = std::string(1, alphabet[rng() % letters]);
      return out;
    };
    for (int round = 0; round < 1500; ++round) {
      const bool messages = round % 3 == 0;  // a list of sub-messages
      const List old_keys = random_list("abcd", 2 + round % 3);
      const List new_keys = random_list("abcd", 2 + round % 3);
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " round " << round << " "
                                        << ::testing::PrintToString(old_keys) << " -> "
                                        << ::testing::PrintToString(new_keys));
      auto build = [&](const List& keys) {
        std::string text = "id { left: 1 }";
        for (const std::string& k : keys) {
          text += messages ? " modules { slot: " + std::to_string(k[0] - 'a') + " }"
                           : " tags: '" + k + "'";
        }
        return Parse(kDevice, text);
      };
      const char* name = messages ? "modules" : "tags";
      Message old_device = build(old_keys);
      Message new_device = build(new_keys);
      const List old_list = Elements(*old_device, name);
      const List new_list = Elements(*new_device, name);
      Message result = ListDelta(name, kDeviceOp, old_device.get(), new_device.get());
      const std::vector<Edit> edits = Edits(*result, name);
      const List replaced = Elements(*old_device, name);
      EXPECT_EQ(Apply(old_list, edits, Elements(*new_device, name), &replaced), new_list);
      EXPECT_EQ(edits.size(), Distance(old_list, new_list));
      if (HasFailure()) return;
    }
  }
}

TEST_F(UpdateDeltaTest, EditTableSizeIsCappedAndOverflowChecked) {
  size_t cells = 0;
  EXPECT_TRUE(UpdateDelta::EditTableFits(4095, 4095, &cells));
  EXPECT_EQ(cells, size_t{16} * 1024 * 1024);
  EXPECT_FALSE(UpdateDelta::EditTableFits(4095, 4096, &cells));
  EXPECT_FALSE(UpdateDelta::EditTableFits(0, UpdateDelta::kMaxEditCells, &cells));
  EXPECT_TRUE(UpdateDelta::EditTableFits(0, UpdateDelta::kMaxEditCells - 1, &cells));
  // (n + 1) * (m + 1) wraps around to a small number in size_t.
  EXPECT_FALSE(UpdateDelta::EditTableFits(SIZE_MAX, 0, &cells));
  EXPECT_FALSE(UpdateDelta::EditTableFits(SIZE_MAX / 2, 1, &cells));
  EXPECT_FALSE(UpdateDelta::EditTableFits(size_t{1} << 32, (size_t{1} << 32) - 1, &cells));
}

TEST_F(UpdateDeltaTest, ListsBeyondTheCapGetOneSetOfTheWholeNewList) {
  orv::Logger::logLevel = orv::WARNING;
  auto interface = [&](int size, int changed) {
    Message m = Parse(kInterface, "name { string: 'eth0' }");
    const pb::FieldDescriptor* vlans = FieldOf(*m, "vlan_ids");
    for (int i = 0; i < size; ++i)
      m->GetReflection()->AddInt32(m.get(), vlans, i == changed ? -1 : i);
    return m;
  };
  {
    // Exactly 16 M cells: aligned.
    Message old_object = interface(4095, -1);
    Message new_object = interface(4095, 7);
    Message result = ListDelta("vlan_ids", kInterfaceOp, old_object.get(), new_object.get());
    EXPECT_EQ(EditText(Edits(*result, "vlan_ids")), "UPDATE@7");
    EXPECT_EQ(Elements(*new_object, "vlan_ids"), List{"-1"});
    EXPECT_EQ(Elements(*old_object, "vlan_ids"), List{"7"});
  }
  {
    // One column more: no table, the whole new list.
    Message old_object = interface(4095, -1);
    Message new_object = interface(4096, 7);
    const std::string new_bytes = new_object->SerializeAsString();
    const std::string old_bytes = old_object->SerializeAsString();
    Message result = ListDelta("vlan_ids", kInterfaceOp, old_object.get(), new_object.get());
    EXPECT_EQ(EditText(Edits(*result, "vlan_ids")), "SET");
    EXPECT_EQ(new_object->SerializeAsString(), new_bytes);
    EXPECT_EQ(old_object->SerializeAsString(), old_bytes);
  }
}

TEST_F(UpdateDeltaTest, LargeNewListsLogAWarning) {
  const std::string warning =
      "] The persisted message (caldek.orv.tarnix.InterfaceMsg) contains a large number of "
      "repeated entries (3001). This will lead to performance related issues.";
  for (int size : {2999, 3000}) {
    capture_.Clear();
    Message old_object = Parse(kInterface, "vlan_ids: 1");
    Message new_object = Parse(kInterface, "");
    for (int i = 0; i < size; ++i) {
      new_object->GetReflection()->AddInt32(new_object.get(), FieldOf(*new_object, "vlan_ids"), i);
    }
    ListDelta("vlan_ids", kInterfaceOp, old_object.get(), new_object.get());
    EXPECT_EQ(capture_.Contains("contains a large number of repeated entries"), size == 3000);
    if (size == 3000) {
      EXPECT_TRUE(HasLine(warning));
    }
  }
}

// ---- ComputeDelta ----

TEST_F(UpdateDeltaTest, FieldsOutsideTheChangeOrSelectionAreClearedButKeysStay) {
  Message old_device = Parse(kDevice, "id { left: 1 } hostname: 'a' model: 'm1' tags: 'x'");
  Message new_device = Parse(kDevice, "id { left: 1 } hostname: 'b' model: 'm2' tags: 'x'");
  // hostname and tags selected, model changed but not selected, tags unchanged.
  Message select = Parse(kDeviceOp, "hostname { op: SELECT } tags { op: SELECT }");
  Message result = Parse(kDeviceOp, "");
  EXPECT_TRUE(delta_.ComputeDelta(kDevice, kDeviceId, false, select.get(), old_device.get(),
                                  new_device.get(), result.get(), {}, {}, nullptr));
  EXPECT_EQ(result->ShortDebugString(), "hostname { op: SET }");
  EXPECT_EQ(new_device->ShortDebugString(), "id { left: 1 } hostname: \"b\"");
  EXPECT_EQ(old_device->ShortDebugString(), "id { left: 1 } hostname: \"a\"");
}

TEST_F(UpdateDeltaTest, ListsThatWereOrBecameEmptyAndClearedFieldsTakeSetOrClear) {
  Message select = Parse(kDeviceOp, "hostname { op: SELECT } tags { op: SELECT }");
  {
    Message old_device = Parse(kDevice, "id { left: 1 } hostname: 'a'");
    Message new_device = Parse(kDevice, "id { left: 1 } tags: 'x' tags: 'y'");
    Message result = Parse(kDeviceOp, "");
    EXPECT_TRUE(delta_.ComputeDelta(kDevice, kDeviceId, false, select.get(), old_device.get(),
                                    new_device.get(), result.get(), {}, {}, nullptr));
    EXPECT_EQ(result->ShortDebugString(), "hostname { op: CLEAR } tags { op: SET }");
    EXPECT_EQ(Elements(*new_device, "tags"), (List{"x", "y"}));
  }
  {
    Message old_device = Parse(kDevice, "id { left: 1 } tags: 'x'");
    Message new_device = Parse(kDevice, "id { left: 1 }");
    Message result = Parse(kDeviceOp, "");
    EXPECT_TRUE(delta_.ComputeDelta(kDevice, kDeviceId, false, select.get(), old_device.get(),
                                    new_device.get(), result.get(), {}, {}, nullptr));
    EXPECT_EQ(result->ShortDebugString(), "tags { op: CLEAR }");
  }
}

TEST_F(UpdateDeltaTest, NestedChangesKeepTheIntermediateOpMessages) {
  Message select =
      Parse(kAddressOp, "binding { interface { string { op: SELECT } } primary { op: SELECT } }");
  {
    Message old_address =
        Parse(kAddress, "ip: '10.0.0.1' binding { interface { string: 'eth0' } primary: true }");
    Message new_address =
        Parse(kAddress, "ip: '10.0.0.1' binding { interface { string: 'eth1' } primary: true }");
    Message result = Parse(kAddressOp, "");
    EXPECT_TRUE(delta_.ComputeDelta(kAddress, "10.0.0.1", false, select.get(), old_address.get(),
                                    new_address.get(), result.get(), {}, {}, nullptr));
    EXPECT_EQ(result->ShortDebugString(), "binding { interface { string { op: SET } } }");
    EXPECT_EQ(new_address->ShortDebugString(),
              "ip: \"10.0.0.1\" binding { interface { string: \"eth1\" } }");
  }
  {
    // Only an unselected field under binding changed: nothing is left.
    Message old_address =
        Parse(kAddress, "ip: '10.0.0.1' prefix_length: 8 binding { primary: true }");
    Message new_address =
        Parse(kAddress, "ip: '10.0.0.1' prefix_length: 16 binding { primary: true }");
    Message result = Parse(kAddressOp, "");
    EXPECT_FALSE(delta_.ComputeDelta(kAddress, "10.0.0.1", false, select.get(), old_address.get(),
                                     new_address.get(), result.get(), {}, {}, nullptr));
    EXPECT_EQ(result->ByteSizeLong(), 0u);
  }
}

// ---- Patch replay ----

class PatchReplayTest : public UpdateDeltaTest {
 protected:
  struct Patch {
    std::string value;  // text of a DeviceMsg
    std::string op;     // text of a DeviceOpMsg
  };

  PendingOperation Pending(const Patch& patch, VdbIdSet vdbs = {1}) {
    PendingOperation pending;
    pending.vdb_ids = std::move(vdbs);
    pending.request.type = UpdateRequest::PATCH;
    pending.request.patch_ops.emplace_back(Parse(kDevice, patch.value)->SerializeAsString(),
                                           Parse(kDeviceOp, patch.op)->SerializeAsString());
    return pending;
  }
  PendingOperation Put(const std::string& body) {
    PendingOperation pending;
    pending.vdb_ids = {1};
    pending.request.type = UpdateRequest::PUT;
    pending.request.body =
        std::make_shared<std::string>(Parse(kDevice, body)->SerializeAsString());
    return pending;
  }

  // ComputeDelta of the tags of two devices with `requests` as the
  // object's pending requests (none: no table).
  Outcome Delta(const List& old_tags, const List& new_tags, const PendingRequestList* requests) {
    TransactionRequestTable table;
    if (requests != nullptr) table[ObjectKey(kDevice, kDeviceId)] = *requests;
    Message old_device = Parse(kDevice, Device(old_tags));
    Message new_device = Parse(kDevice, Device(new_tags));
    Message select = Parse(kDeviceOp, "tags { op: SELECT }");
    Message result = Parse(kDeviceOp, "");
    EXPECT_TRUE(delta_.ComputeDelta(kDevice, kDeviceId, false, select.get(), old_device.get(),
                                    new_device.get(), result.get(), {}, {},
                                    requests != nullptr ? &table : nullptr));
    return {EditText(Edits(*result, "tags")), Elements(*new_device, "tags"),
            Elements(*old_device, "tags"), Edits(*result, "tags")};
  }
};

TEST_F(PatchReplayTest, OneAppendOfTwoElementsBecomesTwoAppends) {
  const PendingRequestList requests = {Pending({"tags: 'p' tags: 'q'", "tags { op: APPEND }"})};
  const Outcome got = Delta({"a"}, {"a", "p", "q"}, &requests);
  EXPECT_EQ(got.edits, "APPEND APPEND");
  EXPECT_EQ(got.new_list, (List{"p", "q"}));
  EXPECT_EQ(got.old_list, List{"a"});  // replay leaves the old list whole
}

TEST_F(PatchReplayTest, RemovesReplayAsTheyWereSent) {
  // The edit-distance road would say REMOVE@0; the patch removed the first "a".
  const PendingRequestList requests = {Pending({"tags: 'a'", "tags { op: REMOVE }"}),
                                       Pending({"tags: 'z'", "tags { op: INSERT index: 1 }"})};
  const Outcome got = Delta({"a", "b", "a"}, {"b", "z", "a"}, &requests);
  EXPECT_EQ(got.edits, "REMOVE INSERT@1");
  EXPECT_EQ(got.new_list, (List{"a", "z"}));
}

TEST_F(PatchReplayTest, RefusedReplayTakesTheEditDistanceRoad) {
  const Outcome by_edit_distance = Delta({"a", "b"}, {"a", "c"}, nullptr);
  ASSERT_EQ(by_edit_distance.edits, "UPDATE@1");
  struct Case {
    const char* name;
    PendingRequestList requests;
    const char* line;  // logged on the way, or null
  };
  const Patch update{"tags: 'c'", "tags { op: UPDATE index: 1 }"};
  const Case cases[] = {
      {"put and patch",
       {Put(Device({"a", "b"})), Pending(update)},
       "] Delete Count: 0 Put Count: 1 Copy Count: 0 Patch Count 0"},
      {"set among several patches",
       {Pending({"tags: 'a' tags: 'x'", "tags { op: SET }"}),
        Pending({"tags: 'c'", "tags { op: UPDATE index: 1 }"})},
       "] CLEAR/SET detected in a multi-patch operation, skipping."},
      {"set of several elements", {Pending({"tags: 'a' tags: 'c'", "tags { op: SET }"})}, nullptr},
      {"different vdbs", {Pending({"", "hostname { op: CLEAR }"}, {2}), Pending(update)}, nullptr},
      {"self at the top",
       {Pending({Device({"a"}), "self { op: SET }"}),
        Pending({"tags: 'c'", "tags { op: APPEND }"})},
       nullptr},
      {"no patch on the list",
       {Pending({"hostname: 'x'", "hostname { op: SET }"})},
       "] This patch message does not have the required field."},
      {"insert of several elements",
       {Pending({"tags: 'c' tags: 'd'", "tags { op: INSERT index: 1 }"})},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture_.Clear();
    const Outcome got = Delta({"a", "b"}, {"a", "c"}, &c.requests);
    EXPECT_EQ(got.edits, by_edit_distance.edits);
    EXPECT_EQ(got.new_list, by_edit_distance.new_list);
    EXPECT_EQ(got.old_list, by_edit_distance.old_list);
    if (c.line != nullptr) {
      EXPECT_TRUE(HasLine(c.line));
    }
  }
}

TEST_F(PatchReplayTest, ReplayAtDebugLevelLogsWhereTheEditDistanceDisagrees) {
  orv::Logger::logLevel = orv::VERBOSE;
  const PendingRequestList append = {Pending({"tags: 'b'", "tags { op: APPEND }"})};
  EXPECT_EQ(Delta({"a"}, {"a", "b"}, &append).edits, "APPEND");
  EXPECT_FALSE(capture_.Contains("Paths do not match!"));

  const PendingRequestList remove = {Pending({"tags: 'a'", "tags { op: REMOVE }"})};
  const Outcome got = Delta({"a", "b"}, {"b"}, &remove);
  EXPECT_EQ(got.edits, "REMOVE");  // the replayed delta is kept
  EXPECT_TRUE(HasLine("] Paths do not match!"));
  EXPECT_TRUE(HasLine("] ComputeRepeatedFieldDelta (Op): tags { op: REMOVE index: 0 }"));
}

// Random patch sequences, applied as the write pipeline applies them: the
// replayed delta and the edit-distance delta both turn the old list into
// the new one, and a refused replay gives exactly the edit-distance delta.
TEST_F(PatchReplayTest, ReplayAgreesWithEditDistanceOnRandomPatchSequences) {
  orv::Logger::logLevel = orv::WARNING;
  const ObjectPatcher patcher(schema_);
  int replayed = 0, refused = 0;
  for (uint32_t seed : {3u, 11u, 99u}) {
    std::mt19937 rng(seed);
    auto letters = [&](size_t count) {
      std::string text;
      for (size_t i = 0; i < count; ++i)
        text += " tags: '" + std::string(1, "abcde"[rng() % 5]) + "'";
      return text;
    };
    for (int round = 0; round < 400; ++round) {
      List old_tags(1 + rng() % 5);
      for (std::string& t : old_tags) t = std::string(1, "abcde"[rng() % 5]);
      std::string body = Parse(kDevice, Device(old_tags))->SerializeAsString();
      PendingRequestList requests;
      bool replayable = true;
      bool set_or_clear = false;
      const int length = 1 + rng() % 5;
      for (int p = 0; p < length; ++p) {
        Message current(schema_.types().ParseMessage(kDevice, body));
        const int n = static_cast<int>(Elements(*current, "tags").size());
        Patch patch;
        switch (rng() % 12) {
          case 0:
          case 1:
          case 2:
            patch = {letters(rng() % 3), "tags { op: APPEND }"};
            break;
          case 3:
          case 4:
            patch = {letters(1 + rng() % 2), "tags { op: REMOVE }"};
            break;
          case 5:
          case 6:
            patch = {letters(1),
                     "tags { op: INSERT index: " + std::to_string(rng() % (n + 1)) + " }"};
            break;
          case 7:
          case 8:
            if (n == 0) continue;
            patch = {letters(1), "tags { op: UPDATE index: " + std::to_string(rng() % n) + " }"};
            break;
          case 9:
            patch = {letters(1 + rng() % 2), "tags { op: SET }"};
            break;
          case 10:
            patch = {"", "model { op: CLEAR }"};  // does not touch the list
            break;
          default:
            patch = {Device(old_tags) + letters(1), "self { op: SET }"};
            break;
        }
        std::string patched;
        if (!patcher
                 .Apply(kDevice, kDeviceId, body, Parse(kDevice, patch.value)->SerializeAsString(),
                        Parse(kDeviceOp, patch.op)->SerializeAsString(), &patched)
                 .ok()) {
          continue;  // refused by the writer: never committed
        }
        body = patched;
        requests.push_back(Pending(patch));
        if (patch.op.find("self") != std::string::npos) replayable = false;
        if (patch.op == "tags { op: SET }") {
          set_or_clear = true;
          if (Elements(*Parse(kDevice, patch.value), "tags").size() != 1) replayable = false;
        }
      }
      if (set_or_clear && requests.size() > 1) replayable = false;
      switch (rng() % 8) {
        case 0:
          if (!requests.empty()) requests.back().vdb_ids = {1, 2};
          if (requests.size() > 1) replayable = false;
          break;
        case 1:
          requests.insert(requests.begin(), Put(Device(old_tags)));  // puts the object as it was
          replayable = false;
          break;
        default:
          break;
      }
      const List new_tags = Elements(*Message(schema_.types().ParseMessage(kDevice, body)), "tags");
      if (new_tags.empty() || new_tags == old_tags) continue;  // not a list edit
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " round " << round << " "
                                        << ::testing::PrintToString(old_tags) << " -> "
                                        << ::testing::PrintToString(new_tags));

      TransactionRequestTable table;
      table[ObjectKey(kDevice, kDeviceId)] = requests;
      Message new_device = Parse(kDevice, Device(new_tags));
      Message result = Parse(kDeviceOp, "");
      const bool accepted = delta_.ExtractRepeatedDelta(
          kDevice, kDeviceId, FieldOf(*new_device, "tags"), FieldOf(*result, "tags"),
          new_device.get(), result.get(), {}, {}, &table);
      bool touched = false;
      for (const PendingOperation& r : requests) {
        for (const UpdateRequest::Patch& p : r.request.patches()) {
          Message op(schema_.types().ParseMessage(kDeviceOp, p.second));
          touched |= op->GetReflection()->FieldSize(*op, FieldOf(*op, "tags")) > 0;
        }
      }
      EXPECT_EQ(accepted, replayable && touched);
      if (accepted) {
        ++replayed;
        EXPECT_EQ(Apply(old_tags, Edits(*result, "tags"), Elements(*new_device, "tags"), nullptr),
                  new_tags)
            << EditText(Edits(*result, "tags"));
      } else {
        ++refused;
        EXPECT_EQ(result->ByteSizeLong(), 0u);
        EXPECT_EQ(Elements(*new_device, "tags"), new_tags);
      }

      const Outcome by_edit_distance = Delta(old_tags, new_tags, nullptr);
      const Outcome by_compute_delta = Delta(old_tags, new_tags, &requests);
      EXPECT_EQ(Apply(old_tags, by_edit_distance.edit_list, by_edit_distance.new_list,
                      &by_edit_distance.old_list),
                new_tags);
      if (!accepted) {
        EXPECT_EQ(by_compute_delta.edits, by_edit_distance.edits);
        EXPECT_EQ(by_compute_delta.new_list, by_edit_distance.new_list);
        EXPECT_EQ(by_compute_delta.old_list, by_edit_distance.old_list);
      }
      if (HasFailure()) return;
    }
  }
  // Both roads were taken often enough to mean something.
  EXPECT_GT(replayed, 200);
  EXPECT_GT(refused, 200);
}

}  // namespace
}  // namespace tarnix

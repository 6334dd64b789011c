// What end-to-end tests rely on in the example schema, read through the
// daemon's own Schema class.

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/log_capture.h"
#include "schema/schema.h"

namespace tarnix {
namespace {

namespace pb = ::google::protobuf;
namespace tx = ::caldek::orv::tarnix;

constexpr char kPackage[] = "caldek.orv.tarnix.";

std::string FullName(const std::string& name) { return kPackage + name; }

std::string ShortName(const std::string& full_name) {
  const std::string package = kPackage;
  return full_name.compare(0, package.size(), package) == 0 ? full_name.substr(package.size())
                                                            : full_name;
}

// One object type. Frequency: 1 low, 2 medium (also when unset), 3 high.
struct TypeRow {
  int id;
  const char* name;
  const char* domain;   // "" for none
  const char* key;      // "<field> <type>"
  int frequency;
  const char* parents;  // sorted, comma-separated
  const char* flags;    // of "ephemeral", "merkle_sort", "deprecated"
};

const TypeRow kTypes[] = {
    {1, "DeviceMsg", "inventory", "id UuidMsg", 1, "", ""},
    {2, "InterfaceMsg", "inventory", "name StringMsg", 2, "DeviceMsg", ""},
    {3, "AddressMsg", "inventory", "ip string", 2, "InterfaceMsg", ""},
    {4, "VlanMsg", "network", "vlan_id int32", 2, "", "merkle_sort"},
    {5, "FlowMsg", "network_telemetry", "flow_id int64", 3, "", "ephemeral"},
    {6, "PolicyMsg", "policy", "policy_id uint32", 2, "PolicyMsg", ""},
    {7, "AlarmMsg", "network_telemetry", "alarm_id uint64", 2, "DeviceMsg,InterfaceMsg", ""},
    {8, "ThresholdMsg", "policy", "level float", 2, "", ""},
    {9, "SlaTargetMsg", "policy", "availability double", 2, "", ""},
    {10, "SystemModeMsg", "network", "maintenance bool", 2, "", ""},
    {11, "LinkStatsMsg", "network_telemetry", "state LinkState", 3, "", ""},
    {12, "LegacyDeviceMsg", "inventory", "serial string", 2, "", "deprecated"},
    {13, "AuditEntryMsg", "", "sequence uint64", 2, "", ""},
};

// Rights of one client on the types above, in id order: "r" read, "w" write.
struct ClientRow {
  const char* client_id;
  const char* rights;
  bool manage_vdbs;
};

const ClientRow kClients[] = {
    //                        Dev Ifc Adr Vln Flw Pol Alm Thr Sla Mod Lnk Leg Aud
    {"tarnix-cli",          "rw  rw  rw  rw  rw  rw  rw  rw  rw  rw  rw  rw  rw", true},
    {"inventory-agent",     "rw  rw  rw  --  --  --  --  --  --  --  --  rw  --", false},
    {"network-controller",  "r-  r-  r-  rw  rw  --  rw  --  --  rw  rw  r-  --", false},
    {"telemetry-collector", "--  --  --  --  rw  --  rw  --  --  --  rw  --  --", false},
    {"policy-engine",       "r-  r-  r-  r-  r-  rw  r-  rw  rw  r-  r-  r-  r-", false},
    {"vdb-manager",         "--  --  --  --  --  --  --  --  --  --  --  --  --", true},
    {"guest",               "--  --  --  --  --  --  --  --  --  --  --  --  --", false},
    {"flow-probe",          "r-  r-  r-  --  -w  --  -w  --  --  --  -w  r-  --", false},
};

std::string Describe(int id, const std::string& name, const std::string& domain,
                     const std::string& key, int frequency, const std::string& parents,
                     const std::string& flags) {
  return std::to_string(id) + " " + name + " domain=" + domain + " key=" + key +
         " frequency=" + std::to_string(frequency) + " parents=" + parents + " flags=" + flags;
}

std::string Describe(const TypeRow& row) {
  return Describe(row.id, row.name, row.domain, row.key, row.frequency, row.parents, row.flags);
}

std::string SortedJoin(std::vector<std::string> parts, const char* separator) {
  std::sort(parts.begin(), parts.end());
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : separator) + part;
  return joined;
}

class ExampleSchemaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    schema_ = new Schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  }
  static void TearDownTestSuite() {
    delete schema_;
    schema_ = nullptr;
  }

  static const pb::Descriptor* Type(const std::string& name) {
    return schema_->types().FindMessageTypeByName(FullName(name));
  }

  // Each row as the schema answers it; "" when the type is missing.
  static std::string Loaded(int id) {
    auto name = schema_->types().GetObjectTypeNames().find(id);
    if (name == schema_->types().GetObjectTypeNames().end()) return "";
    const pb::Descriptor* type = schema_->types().FindMessageTypeByName(name->second);
    if (type == nullptr) return "";
    const pb::FieldDescriptor* key = schema_->keys().GetKeyField(type);
    std::string key_text = "none";
    if (key != nullptr) {
      key_text = key->name() + " " +
                 (key->message_type() ? ShortName(key->message_type()->full_name())
                  : key->enum_type()  ? ShortName(key->enum_type()->full_name())
                                      : key->type_name());
    }
    // Blocks 1, 2 and 3 are the low, medium and high frequency ranges, so
    // the block id is the frequency.
    auto ranges = std::make_shared<tx::MerkleTreeBlockRangesMsg>();
    ranges->set_num_blocks(3);
    ranges->mutable_low_frequency_range()->set_first_block(1);
    ranges->mutable_low_frequency_range()->set_last_block(1);
    ranges->mutable_medium_frequency_range()->set_first_block(2);
    ranges->mutable_medium_frequency_range()->set_last_block(2);
    ranges->mutable_high_frequency_range()->set_first_block(3);
    ranges->mutable_high_frequency_range()->set_last_block(3);
    const auto frequency =
        static_cast<int>(schema_->types().ComputeBlockId(name->second, "key", ranges));

    std::vector<std::string> parents;
    for (const std::string& parent : schema_->parents().LookupParentTypes(name->second)) {
      parents.push_back(ShortName(parent));
    }
    std::vector<std::string> flags;
    const std::vector<int32_t>& ephemeral = schema_->types().GetEphemeralObjectTypes();
    if (std::count(ephemeral.begin(), ephemeral.end(), id)) flags.push_back("ephemeral");
    if (schema_->types().HasSortRepeatedFields(name->second)) flags.push_back("merkle_sort");
    const std::vector<int32_t> deprecated = schema_->types().GetDeprecatedObjectTypes();
    if (std::count(deprecated.begin(), deprecated.end(), id)) flags.push_back("deprecated");

    return Describe(id, ShortName(name->second), type->options().GetExtension(tx::domain),
                    key_text, frequency, SortedJoin(parents, ","), SortedJoin(flags, " "));
  }

  static Schema* schema_;
};

Schema* ExampleSchemaTest::schema_ = nullptr;

// The one domainless type is logged as such; nothing else is wrong.
TEST(ExampleSchemaLoadTest, LoadsWithOnlyTheDomainlessTypeLogged) {
  orv::LogCapture capture;
  Schema schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix");
  ASSERT_EQ(schema.types().GetSchemaPath(), TARNIX_EXAMPLE_SCHEMA);
  EXPECT_EQ(capture.Count("errorCode"), 1u) << ::testing::PrintToString(capture.lines());
  EXPECT_TRUE(capture.Contains(
      "Unable to find domain option from message type caldek.orv.tarnix.AuditEntryMsg"));
  EXPECT_EQ(schema.types().GetVersion(), "1.4.0");
}

TEST_F(ExampleSchemaTest, ObjectTypesMatchTheTable) {
  std::set<int> ids;
  for (const TypeRow& row : kTypes) {
    ids.insert(row.id);
    EXPECT_EQ(Loaded(row.id), Describe(row));
  }
  for (const auto& entry : schema_->types().GetObjectTypeNames()) {
    EXPECT_TRUE(ids.count(entry.first)) << "not in the table: " << Loaded(entry.first);
  }
  // Address reaches its parent through a nested message.
  const ParentTypes::FieldList& address_parents =
      schema_->parents().GetParentKeyFields(Type("AddressMsg"));
  ASSERT_EQ(address_parents.size(), 1u);
  EXPECT_EQ(address_parents[0]->name(), "binding");
}

TEST_F(ExampleSchemaTest, ClientRightsMatchTheTable) {
  std::set<std::string> listed;
  for (const ClientRow& row : kClients) {
    listed.insert(row.client_id);
    std::vector<std::string> cells;
    for (const TypeRow& type : kTypes) {
      const std::string name = FullName(type.name);
      cells.push_back(
          std::string(schema_->permissions().HasReadPermission(row.client_id, name) ? "r" : "-") +
          (schema_->permissions().HasWritePermission(row.client_id, name) ? "w" : "-"));
    }
    std::string rights;
    for (const std::string& cell : cells) rights += (rights.empty() ? "" : "  ") + cell;
    EXPECT_EQ(rights, row.rights) << row.client_id;
    EXPECT_EQ(schema_->permissions().CanManageVDbs(row.client_id), row.manage_vdbs)
        << row.client_id;
  }
  const pb::EnumDescriptor* clients =
      Type("DeviceMsg")->file()->pool()->FindEnumTypeByName(FullName("ClientId"));
  ASSERT_NE(clients, nullptr);
  std::set<std::string> declared;
  for (int i = 0; i < clients->value_count(); ++i) {
    declared.insert(clients->value(i)->options().GetExtension(tx::client_id));
  }
  EXPECT_EQ(declared, listed);
}

// The type's own option holds its ObjectType number, and keys are singular.
TEST_F(ExampleSchemaTest, ObjectTypeMessagesCarryTheirIdAndASingularKey) {
  for (const TypeRow& row : kTypes) {
    const pb::Descriptor* type = Type(row.name);
    ASSERT_NE(type, nullptr) << row.name;
    EXPECT_EQ(type->containing_type(), nullptr) << row.name;
    EXPECT_EQ(type->options().GetExtension(tx::object_type_id), row.id) << row.name;
    const pb::FieldDescriptor* key = schema_->keys().GetKeyField(type);
    ASSERT_NE(key, nullptr) << row.name;
    EXPECT_FALSE(key->is_repeated()) << row.name;
  }
  // The key encoding reads these fields of the key message types.
  const pb::Descriptor* uuid = Type("UuidMsg");
  ASSERT_NE(uuid, nullptr);
  EXPECT_EQ(uuid->FindFieldByName("left")->type(), pb::FieldDescriptor::TYPE_UINT64);
  EXPECT_EQ(uuid->FindFieldByName("right")->type(), pb::FieldDescriptor::TYPE_UINT64);
  const pb::Descriptor* string_key = Type("StringMsg");
  ASSERT_NE(string_key, nullptr);
  EXPECT_EQ(string_key->FindFieldByName("string")->type(), pb::FieldDescriptor::TYPE_STRING);
}

// FooOpMsg mirrors FooMsg by field name, nested op types mirror sub-messages,
// and every op type has "self"; the engine stops the process without it.
void ExpectMirrors(const pb::Descriptor* type, const pb::Descriptor* op_type,
                   const pb::Descriptor* op_msg, std::set<const pb::Descriptor*>* seen) {
  SCOPED_TRACE(op_type->full_name());
  if (!seen->insert(op_type).second) return;
  const pb::FieldDescriptor* self = op_type->FindFieldByName("self");
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->message_type(), op_msg);
  EXPECT_FALSE(self->is_repeated());
  EXPECT_EQ(op_type->field_count(), type->field_count() + 1);
  for (int i = 0; i < type->field_count(); ++i) {
    const pb::FieldDescriptor* field = type->field(i);
    const pb::FieldDescriptor* op_field = op_type->FindFieldByName(field->name());
    ASSERT_NE(op_field, nullptr) << field->full_name();
    ASSERT_EQ(op_field->cpp_type(), pb::FieldDescriptor::CPPTYPE_MESSAGE) << field->full_name();
    EXPECT_EQ(op_field->is_repeated(), field->is_repeated()) << field->full_name();
    if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      ASSERT_NE(op_field->message_type(), op_msg) << field->full_name();
      ExpectMirrors(field->message_type(), op_field->message_type(), op_msg, seen);
    } else {
      EXPECT_EQ(op_field->message_type(), op_msg) << field->full_name();
    }
  }
}

TEST_F(ExampleSchemaTest, OpTypesMirrorObjectTypes) {
  const pb::Descriptor* op_msg = Type("OpMsg");
  ASSERT_NE(op_msg, nullptr);
  std::set<const pb::Descriptor*> seen;
  for (const TypeRow& row : kTypes) {
    const pb::Descriptor* type = Type(row.name);
    ASSERT_NE(type, nullptr) << row.name;
    const std::string name = row.name;
    const pb::Descriptor* op_type = Type(name.substr(0, name.size() - 3) + "OpMsg");
    ASSERT_NE(op_type, nullptr) << row.name;
    ExpectMirrors(type, op_type, op_msg, &seen);
  }
}

// The schema's OpMsg is the daemon's (a copy in examples/ would shadow it):
// operations are mapped by name.
TEST_F(ExampleSchemaTest, OpMsgMatchesTheCompiledOne) {
  const pb::Descriptor* op_msg = Type("OpMsg");
  ASSERT_NE(op_msg, nullptr);
  pb::DescriptorProto from_schema, compiled;
  op_msg->CopyTo(&from_schema);
  tx::OpMsg::descriptor()->CopyTo(&compiled);
  // protoc writes JSON names into descriptor sets, the compiled copy has none.
  for (pb::FieldDescriptorProto& field : *from_schema.mutable_field()) field.clear_json_name();
  EXPECT_EQ(from_schema.SerializeAsString(), compiled.SerializeAsString());
}

}  // namespace
}  // namespace tarnix

// The wire contract of the protocol files and of the example schema: what
// clients, stored records and the schema loader rely on.

#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>

#include "caldek/orv/product_version.pb.h"
#include "caldek/orv/tarnix/tarnix_common.pb.h"
#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "caldek/orv/tarnix/tarnix_monitor.pb.h"
#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "caldek/orv/tarnix/tarnix_ops.pb.h"
#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "caldek/orv/tarnix/tarnix_read.pb.h"
#include "caldek/orv/tarnix/tarnix_service.grpc.pb.h"
#include "caldek/orv/tarnix/tarnix_service.pb.h"
#include "caldek/orv/tarnix/tarnix_txn_log.pb.h"
#include "caldek/orv/tarnix/tarnix_vdb.pb.h"
#include "caldek/orv/tarnix/tarnix_workflow.pb.h"
#include "caldek/orv/tarnix/tarnix_write.pb.h"

namespace {

namespace pb = google::protobuf;
namespace tx = caldek::orv::tarnix;

// tarnix_service.proto declares no message, so nothing else pulls its
// descriptor out of the static library into this binary.
const void* volatile kServiceFileLinked =
    &descriptor_table_caldek_2forv_2ftarnix_2ftarnix_5fservice_2eproto;

const pb::DescriptorPool* Compiled() { return pb::DescriptorPool::generated_pool(); }

// Every file of ours, reached through one message (or the service) of each.
std::vector<const pb::FileDescriptor*> OurFiles() {
  EXPECT_NE(kServiceFileLinked, nullptr);
  return {tx::OpMsg::descriptor()->file(),
          tx::PermissionOptionMsg::descriptor()->file(),
          tx::TypedObjectMsg::descriptor()->file(),
          tx::PutRequestMsg::descriptor()->file(),
          tx::CreateVDbRequestMsg::descriptor()->file(),
          tx::TransactionLogUnitMsg::descriptor()->file(),
          tx::GetRequestMsg::descriptor()->file(),
          tx::MonitorResponseMsg::descriptor()->file(),
          tx::GetMerkleTreeRequestMsg::descriptor()->file(),
          tx::WorkFlowTraceConfigMsg::descriptor()->file(),
          tx::LoadSchemaRequestMsg::descriptor()->file(),
          caldek::orv::ProductVersionMsg::descriptor()->file(),
          Compiled()->FindFileByName("caldek/orv/tarnix/tarnix_service.proto")};
}

void ForEachMessage(const pb::Descriptor* type,
                    const std::function<void(const pb::Descriptor*)>& visit) {
  visit(type);
  for (int i = 0; i < type->nested_type_count(); ++i) {
    ForEachMessage(type->nested_type(i), visit);
  }
}

// --- Services ----------------------------------------------------------------

struct Rpc {
  const char* name;
  const char* request;
  const char* response;
  bool client_streaming;
  bool server_streaming;
};

void ExpectService(const std::string& full_name, const std::vector<Rpc>& rpcs) {
  const pb::ServiceDescriptor* service = Compiled()->FindServiceByName(full_name);
  ASSERT_NE(service, nullptr) << full_name;
  ASSERT_EQ(service->method_count(), static_cast<int>(rpcs.size())) << full_name;
  for (int i = 0; i < service->method_count(); ++i) {
    const pb::MethodDescriptor* method = service->method(i);
    const Rpc& rpc = rpcs[i];
    SCOPED_TRACE(method->full_name());
    EXPECT_EQ(method->name(), rpc.name);
    EXPECT_EQ(method->input_type()->full_name(), std::string("caldek.orv.tarnix.") + rpc.request);
    EXPECT_EQ(method->output_type()->full_name(), std::string("caldek.orv.tarnix.") + rpc.response);
    EXPECT_EQ(method->client_streaming(), rpc.client_streaming);
    EXPECT_EQ(method->server_streaming(), rpc.server_streaming);
  }
}

TEST(ServiceContract, TarnixHasEveryRpcWithItsStreamingKind) {
  ExpectService(tx::Tarnix::service_full_name(), {
      {"Put", "PutRequestMsg", "PutResponseMsg", true, false},
      {"Delete", "DeleteRequestMsg", "DeleteResponseMsg", true, false},
      {"Flush", "FlushRequestMsg", "FlushResponseMsg", true, false},
      {"Patch", "PatchRequestMsg", "PatchResponseMsg", true, false},
      {"Copy", "CopyRequestMsg", "CopyResponseMsg", true, false},
      {"FlushByBlockId", "FlushByBlockIdRequestMsg", "FlushByBlockIdResponseMsg", true, false},
      {"Modify", "ModifyRequestMsg", "ModifyResponseMsg", true, false},
      {"Get", "GetRequestMsg", "GetResponseMsg", false, true},
      {"Query", "QueryRequestMsg", "QueryResponseMsg", false, true},
      {"CreateVDb", "CreateVDbRequestMsg", "CreateVDbResponseMsg", false, false},
      {"DeleteVDb", "DeleteVDbRequestMsg", "DeleteVDbResponseMsg", false, false},
      {"GetVDbId", "GetVDbIdRequestMsg", "GetVDbIdResponseMsg", false, false},
      {"Monitor", "MonitorRequestMsg", "MonitorResponseMsg", false, true},
      {"ConfigureMonitor", "ConfigureMonitorRequestMsg", "ConfigureMonitorResponseMsg", false, false},
      {"GetTransactionLog", "GetTransactionLogsRequestMsg", "GetTransactionLogsResponseMsg", false, true},
      {"GetMerkleTree", "GetMerkleTreeRequestMsg", "GetMerkleTreeResponseMsg", false, false},
      {"ConfigureWorkflowTracer", "ConfigureWorkflowTracerRequestMsg",
       "ConfigureWorkflowTracerResponseMsg", false, false},
      {"GetWorkflowTracer", "GetWorkflowTracerRequestMsg", "GetWorkflowTracerResponseMsg", false, false},
  });
}

TEST(ServiceContract, TarnixOpsIsUnary) {
  ExpectService(tx::TarnixOps::service_full_name(), {
      {"LoadSchema", "LoadSchemaRequestMsg", "LoadSchemaResponseMsg", false, false},
      {"GetSchema", "GetSchemaRequestMsg", "GetSchemaResponseMsg", false, false},
      {"GetSchemaVersion", "GetSchemaVersionRequestMsg", "GetSchemaVersionResponseMsg", false, false},
      {"GetMetrics", "GetMetricsRequestMsg", "GetMetricsResponseMsg", false, false},
      {"AddClientCertificate", "AddClientCertificateRequestMsg",
       "AddClientCertificateResponseMsg", false, false},
      {"DeleteClientCertificate", "DeleteClientCertificateRequestMsg",
       "DeleteClientCertificateResponseMsg", false, false},
      {"GetClientCertificate", "GetClientCertificateRequestMsg",
       "GetClientCertificateResponseMsg", false, false},
  });
}

// --- Messages ----------------------------------------------------------------

// Field N of every message is its N-th declared field, and every file is proto2
// (field presence and closed enums).
TEST(MessageContract, FieldNumbersFollowDeclarationOrderInProto2) {
  for (const pb::FileDescriptor* file : OurFiles()) {
    ASSERT_NE(file, nullptr);
    SCOPED_TRACE(file->name());
    EXPECT_EQ(file->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);
    for (int i = 0; i < file->message_type_count(); ++i) {
      ForEachMessage(file->message_type(i), [](const pb::Descriptor* type) {
        for (int f = 0; f < type->field_count(); ++f) {
          EXPECT_EQ(type->field(f)->number(), f + 1) << type->field(f)->full_name();
        }
        EXPECT_EQ(type->oneof_decl_count(), 0) << type->full_name();
      });
    }
  }
}

// The schema finds the object type of a message as its first enum field whose
// enum name contains "ObjectType".
TEST(MessageContract, ObjectTypeFieldIsTheFirstEnumField) {
  for (const pb::Descriptor* type :
       {tx::TypedObjectMsg::descriptor(), tx::FlushMsg::descriptor(), tx::PatchMsg::descriptor(),
        tx::ObjectTypeAndIdsMsg::descriptor(), tx::StatementMsg::descriptor(),
        tx::MonitorStatementUpdateMsg::descriptor(), tx::MonitorUpdateMsg::descriptor()}) {
    SCOPED_TRACE(type->full_name());
    const pb::FieldDescriptor* field = type->field(0);
    ASSERT_EQ(field->cpp_type(), pb::FieldDescriptor::CPPTYPE_ENUM);
    EXPECT_EQ(field->enum_type()->full_name(), "caldek.orv.tarnix.ObjectType");
    EXPECT_FALSE(field->is_repeated());
  }
}

// Object type ids outside the compiled enum travel as unknown varints and
// must survive parsing, copying into a log unit and serialising.
TEST(MessageContract, UnknownObjectTypeIdSurvivesCopyAndReserialisation) {
  tx::FlushMsg flush;
  flush.mutable_unknown_fields()->AddVarint(tx::FlushMsg::kObjectTypeFieldNumber, 7);
  flush.add_vdb_ids(3);
  tx::FlushRequestMsg sent;
  *sent.add_flushes() = flush;
  tx::FlushRequestMsg request;
  ASSERT_TRUE(request.ParseFromString(sent.SerializeAsString()));
  ASSERT_EQ(request.flushes_size(), 1);
  EXPECT_FALSE(request.flushes(0).has_object_type());

  tx::TransactionLogUnitMsg unit;
  *unit.mutable_flush_request() = request;
  tx::TransactionLogUnitMsg parsed;
  ASSERT_TRUE(parsed.ParseFromString(unit.SerializeAsString()));
  const pb::UnknownFieldSet& unknown = parsed.flush_request().flushes(0).unknown_fields();
  ASSERT_EQ(unknown.field_count(), 1);
  EXPECT_EQ(unknown.field(0).number(), 1);
  ASSERT_EQ(unknown.field(0).type(), pb::UnknownField::TYPE_VARINT);
  EXPECT_EQ(unknown.field(0).varint(), 7u);

  // On the wire it is exactly the enum field: tag 0x08, value 7.
  tx::TypedObjectMsg typed;
  typed.mutable_unknown_fields()->AddVarint(tx::TypedObjectMsg::kObjectTypeFieldNumber, 7);
  EXPECT_EQ(typed.SerializeAsString(), std::string("\x08\x07", 2));
}

TEST(MessageContract, PresenceAndDefaults) {
  // A span context without its flag is a sampled one.
  tx::SpanContextMsg span;
  EXPECT_FALSE(span.has_sampled());
  EXPECT_TRUE(span.sampled());

  // Validation tests presence, not content: an empty body is a present body.
  tx::PutMsg put;
  put.mutable_object()->set_object_body("");
  tx::PutMsg put_parsed;
  ASSERT_TRUE(put_parsed.ParseFromString(put.SerializeAsString()));
  EXPECT_TRUE(put_parsed.has_object());
  EXPECT_TRUE(put_parsed.object().has_object_body());
  tx::FlushByBlockIdMsg block;
  block.set_block_id(0);
  tx::FlushByBlockIdMsg block_parsed;
  ASSERT_TRUE(block_parsed.ParseFromString(block.SerializeAsString()));
  EXPECT_TRUE(block_parsed.has_block_id());

  // Two sub-messages of one Modify entry are both kept so they can be refused.
  tx::ModifyMsg modify;
  modify.mutable_put_msg();
  modify.mutable_delete_msg();
  tx::ModifyMsg modify_parsed;
  ASSERT_TRUE(modify_parsed.ParseFromString(modify.SerializeAsString()));
  EXPECT_TRUE(modify_parsed.has_put_msg());
  EXPECT_TRUE(modify_parsed.has_delete_msg());

  // Monitor requests read vdb 1 when the field is absent.
  EXPECT_EQ(tx::MonitorRequestMsg().vdb_id(), 1u);
  EXPECT_EQ(tx::ConfigureMonitorRequestMsg().vdb_id(), 1u);
  EXPECT_FALSE(tx::MonitorStatementMsg().send_old_object_body());
}

TEST(MessageContract, OpMsgOperationNumbers) {
  const std::vector<std::pair<const char*, int>> operations = {
      {"SELECT", 1},     {"EQUALS", 2},      {"CONTAINS_ANY", 3},         {"CONTAINS_ALL", 4},
      {"EXISTS", 5},     {"NOT_EQUALS", 6},  {"SET", 7},                  {"CLEAR", 8},
      {"INSERT", 9},     {"APPEND", 10},     {"REMOVE", 11},              {"UPDATE", 12},
      {"ASCENDING", 13}, {"DESCENDING", 14}, {"SECONDARY_ASCENDING", 15}, {"SECONDARY_DESCENDING", 16}};
  const pb::EnumDescriptor* operation = tx::OpMsg::Operation_descriptor();
  EXPECT_EQ(operation->value_count(), static_cast<int>(operations.size()));
  for (const auto& [name, number] : operations) {
    const pb::EnumValueDescriptor* value = operation->FindValueByName(name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->number(), number) << name;
  }
  const pb::Descriptor* op_msg = tx::OpMsg::descriptor();
  EXPECT_EQ(op_msg->FindFieldByName("op")->enum_type(), operation);
  EXPECT_EQ(op_msg->FindFieldByName("index")->type(), pb::FieldDescriptor::TYPE_UINT32);
}

// The version and common-schema files belong to each schema, never to us.
TEST(MessageContract, SchemaOwnedFileNamesAreNotCompiledIn) {
  EXPECT_EQ(Compiled()->FindFileByName("caldek/orv/tarnix/tarnix_version.proto"), nullptr);
  EXPECT_EQ(Compiled()->FindFileByName("caldek/orv/tarnix/tarnix_schema_common.proto"), nullptr);
}

// --- Example schema ------------------------------------------------------------

class ExampleSchema : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream in(TARNIX_EXAMPLE_SCHEMA, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    pb::FileDescriptorSet set;
    ASSERT_TRUE(set.ParseFromString(bytes.str()));
    ASSERT_GT(set.file_size(), 0);
    pool_ = new pb::DescriptorPool;
    for (const pb::FileDescriptorProto& file : set.file()) {
      ASSERT_NE(pool_->BuildFile(file), nullptr) << file.name();
    }
  }
  static void TearDownTestSuite() {
    delete pool_;
    pool_ = nullptr;
  }

  // Object type name -> its message, from the ObjectType enum.
  static std::vector<std::pair<int, const pb::Descriptor*>> ObjectTypes() {
    std::vector<std::pair<int, const pb::Descriptor*>> types;
    const pb::EnumDescriptor* object_type = pool_->FindEnumTypeByName("caldek.orv.tarnix.ObjectType");
    EXPECT_NE(object_type, nullptr);
    if (object_type == nullptr) return types;
    for (int i = 0; i < object_type->value_count(); ++i) {
      const pb::EnumValueOptions& options = object_type->value(i)->options();
      if (!options.HasExtension(tx::full_qualified_name)) continue;
      const std::string& name = options.GetExtension(tx::full_qualified_name);
      const pb::Descriptor* type = pool_->FindMessageTypeByName(name);
      EXPECT_NE(type, nullptr) << name;
      if (type != nullptr) types.emplace_back(object_type->value(i)->number(), type);
    }
    return types;
  }

  static const pb::FieldDescriptor* KeyField(const pb::Descriptor* type) {
    for (int i = 0; i < type->field_count(); ++i) {
      if (type->field(i)->options().HasExtension(tx::key)) return type->field(i);
    }
    return nullptr;
  }

  static pb::DescriptorPool* pool_;
};

pb::DescriptorPool* ExampleSchema::pool_ = nullptr;

TEST_F(ExampleSchema, ObjectTypesAreCompleteAndReadThroughCompiledOptions) {
  const auto types = ObjectTypes();
  ASSERT_FALSE(types.empty());
  std::set<std::string> domains;
  for (const auto& [id, type] : types) {
    SCOPED_TRACE(type->full_name());
    EXPECT_EQ(type->containing_type(), nullptr);
    ASSERT_TRUE(type->options().HasExtension(tx::object_type_id));
    EXPECT_EQ(type->options().GetExtension(tx::object_type_id), id);
    ASSERT_TRUE(type->options().HasExtension(tx::domain));
    domains.insert(type->options().GetExtension(tx::domain));
    const pb::FieldDescriptor* key = KeyField(type);
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(key->is_repeated());
  }
  EXPECT_EQ(domains, (std::set<std::string>{"inventory", "network", "network_telemetry", "policy"}));
  // Id 0 is the compiled placeholder and never names an object type.
  for (const auto& entry : types) EXPECT_NE(entry.first, 0);
}

// The fixture promises every key kind, the parent shapes and every option.
TEST_F(ExampleSchema, CoversEveryKeyKindAndOption) {
  std::set<std::string> key_kinds;
  std::set<int> frequencies;
  int ephemeral = 0, merkle_sorted = 0, self_parents = 0;
  for (const auto& [id, type] : ObjectTypes()) {
    const pb::FieldDescriptor* key = KeyField(type);
    ASSERT_NE(key, nullptr) << type->full_name();
    key_kinds.insert(key->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE
                         ? key->message_type()->full_name()
                         : key->cpp_type_name());
    const pb::MessageOptions& options = type->options();
    if (options.HasExtension(tx::update_frequency)) {
      frequencies.insert(options.GetExtension(tx::update_frequency));
    }
    ephemeral += options.GetExtension(tx::ephemeral);
    merkle_sorted += options.GetExtension(tx::merkle_sort_repeated);
    for (int i = 0; i < type->field_count(); ++i) {
      if (type->field(i)->options().GetExtension(tx::parent_key) == type->full_name()) ++self_parents;
    }
  }
  EXPECT_EQ(key_kinds, (std::set<std::string>{"int32", "int64", "uint32", "uint64", "float", "double",
                                              "bool", "enum", "string", "caldek.orv.tarnix.UuidMsg",
                                              "caldek.orv.tarnix.StringMsg"}));
  EXPECT_EQ(frequencies, (std::set<int>{1, 2, 3}));
  EXPECT_GE(ephemeral, 1);
  EXPECT_GE(merkle_sorted, 1);
  EXPECT_GE(self_parents, 1);

  // Device <- Interface <- Address, the last through a nested message.
  const pb::FieldDescriptor* binding =
      pool_->FindMessageTypeByName("caldek.orv.tarnix.AddressMsg")->FindFieldByName("binding");
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->message_type()->FindFieldByName("interface")->options().GetExtension(tx::parent_key),
            "caldek.orv.tarnix.InterfaceMsg");
  EXPECT_EQ(pool_->FindMessageTypeByName("caldek.orv.tarnix.InterfaceMsg")
                ->FindFieldByName("device_id")->options().GetExtension(tx::parent_key),
            "caldek.orv.tarnix.DeviceMsg");

  // Key message types of the prefix, with the fields the key encoding reads.
  const pb::Descriptor* uuid = pool_->FindMessageTypeByName("caldek.orv.tarnix.UuidMsg");
  ASSERT_NE(uuid, nullptr);
  EXPECT_EQ(uuid->FindFieldByName("left")->type(), pb::FieldDescriptor::TYPE_UINT64);
  EXPECT_EQ(uuid->FindFieldByName("right")->type(), pb::FieldDescriptor::TYPE_UINT64);
  const pb::Descriptor* string_key = pool_->FindMessageTypeByName("caldek.orv.tarnix.StringMsg");
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

TEST_F(ExampleSchema, OpTypesMirrorObjectTypes) {
  const pb::Descriptor* op_msg = pool_->FindMessageTypeByName("caldek.orv.tarnix.OpMsg");
  ASSERT_NE(op_msg, nullptr);
  std::set<const pb::Descriptor*> seen;
  for (const auto& entry : ObjectTypes()) {
    const std::string& name = entry.second->full_name();
    const std::string op_name = name.substr(0, name.size() - 3) + "Op" + name.substr(name.size() - 3);
    const pb::Descriptor* op_type = pool_->FindMessageTypeByName(op_name);
    ASSERT_NE(op_type, nullptr) << op_name;
    ExpectMirrors(entry.second, op_type, op_msg, &seen);
  }
}

// The schema's OpMsg is the daemon's: operations are mapped by name.
TEST_F(ExampleSchema, OpMsgMatchesTheCompiledOne) {
  const pb::Descriptor* op_msg = pool_->FindMessageTypeByName("caldek.orv.tarnix.OpMsg");
  ASSERT_NE(op_msg, nullptr);
  pb::DescriptorProto from_schema, compiled;
  op_msg->CopyTo(&from_schema);
  tx::OpMsg::descriptor()->CopyTo(&compiled);
  // protoc writes JSON names into descriptor sets, the compiled copy has none.
  for (pb::FieldDescriptorProto& field : *from_schema.mutable_field()) field.clear_json_name();
  EXPECT_EQ(from_schema.SerializeAsString(), compiled.SerializeAsString());
}

TEST_F(ExampleSchema, ClientsVersionAndDeprecatedTypes) {
  const pb::EnumDescriptor* clients = pool_->FindEnumTypeByName("caldek.orv.tarnix.ClientId");
  ASSERT_NE(clients, nullptr);
  std::set<std::string> ids;
  bool wildcard = false, vdb_manager = false, no_permission = false;
  for (int i = 0; i < clients->value_count(); ++i) {
    const pb::EnumValueOptions& options = clients->value(i)->options();
    ASSERT_TRUE(options.HasExtension(tx::client_id)) << clients->value(i)->name();
    EXPECT_TRUE(ids.insert(options.GetExtension(tx::client_id)).second);
    if (!options.HasExtension(tx::permission)) {
      no_permission = true;
      continue;
    }
    const tx::PermissionOptionMsg& permission = options.GetExtension(tx::permission);
    for (const std::string& domain : permission.read_domains()) wildcard |= domain == "all";
    vdb_manager |= permission.manage_vdbs();
  }
  EXPECT_TRUE(ids.count("tarnix-cli"));
  EXPECT_TRUE(wildcard);
  EXPECT_TRUE(vdb_manager);
  EXPECT_TRUE(no_permission);

  const pb::FileDescriptor* version = pool_->FindFileByName("caldek/orv/tarnix/tarnix_version.proto");
  ASSERT_NE(version, nullptr);
  EXPECT_FALSE(version->options().GetExtension(tx::version).empty());

  const pb::FileDescriptor* common = pool_->FindFileByName("caldek/orv/tarnix/tarnix_schema_common.proto");
  ASSERT_NE(common, nullptr);
  ASSERT_TRUE(common->options().HasExtension(tx::deprecated_object_type_id));
  const auto& deprecated = common->options().GetExtension(tx::deprecated_object_type_id);
  ASSERT_GT(deprecated.ids_size(), 0);
  const pb::EnumDescriptor* object_type = pool_->FindEnumTypeByName("caldek.orv.tarnix.ObjectType");
  for (int id : deprecated.ids()) {
    const pb::EnumValueDescriptor* value = object_type->FindValueByNumber(id);
    ASSERT_NE(value, nullptr) << id;
    EXPECT_TRUE(value->options().HasExtension(tx::full_qualified_name)) << id;
  }
}

}  // namespace

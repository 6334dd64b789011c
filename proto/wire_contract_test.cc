// The wire contract of the protocol files: what clients, stored records and
// compiled schemas rely on.

#include <functional>
#include <set>
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

// Every field of every message of ours, and every option we declare, as
// clients, stored records and compiled schemas know them. Names are relative
// to caldek.orv.tarnix; a default is listed only when one is declared.
struct FieldRow {
  const char* message;
  const char* field;
  int number;
  const char* type;  // scalar type, or the message or enum it holds
  const char* label;
  const char* default_value;
};

const FieldRow kFields[] = {
    // caldek/orv/tarnix/tarnix_common.proto
    {"TypedObjectMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"TypedObjectMsg", "object_body", 2, "bytes", "optional", ""},
    {"SpanContextMsg", "trace_id_high", 1, "uint64", "optional", ""},
    {"SpanContextMsg", "trace_id_low", 2, "uint64", "optional", ""},
    {"SpanContextMsg", "span_id", 3, "uint64", "optional", ""},
    {"SpanContextMsg", "parent_span_id", 4, "uint64", "optional", ""},
    {"SpanContextMsg", "baggage", 5, "SpanContextMsg.BaggageItemMsg", "repeated", ""},
    {"SpanContextMsg", "sampled", 6, "bool", "optional", "true"},
    {"SpanContextMsg.BaggageItemMsg", "key", 1, "string", "optional", ""},
    {"SpanContextMsg.BaggageItemMsg", "value", 2, "string", "optional", ""},
    {"MerkleTreeBlockRangeMsg", "first_block", 1, "uint32", "optional", ""},
    {"MerkleTreeBlockRangeMsg", "last_block", 2, "uint32", "optional", ""},
    {"MerkleTreeBlockRangesMsg", "num_blocks", 1, "uint32", "optional", ""},
    {"MerkleTreeBlockRangesMsg", "low_frequency_range", 2, "MerkleTreeBlockRangeMsg", "optional", ""},
    {"MerkleTreeBlockRangesMsg", "medium_frequency_range", 3, "MerkleTreeBlockRangeMsg", "optional", ""},
    {"MerkleTreeBlockRangesMsg", "high_frequency_range", 4, "MerkleTreeBlockRangeMsg", "optional", ""},
    // caldek/orv/tarnix/tarnix_merkle.proto
    {"GetMerkleTreeRequestMsg", "vdb_id", 1, "uint32", "optional", ""},
    {"GetMerkleTreeRequestMsg", "block_ranges", 2, "MerkleTreeBlockRangesMsg", "optional", ""},
    {"MerkleTreeNodeMsg", "hash", 1, "bytes", "optional", ""},
    {"MerkleTreeNodeMsg", "left", 2, "MerkleTreeNodeMsg", "optional", ""},
    {"MerkleTreeNodeMsg", "right", 3, "MerkleTreeNodeMsg", "optional", ""},
    {"GetMerkleTreeResponseMsg", "root", 1, "MerkleTreeNodeMsg", "optional", ""},
    // caldek/orv/tarnix/tarnix_monitor.proto
    {"MonitorStatementMsg", "statement", 1, "StatementMsg", "optional", ""},
    {"MonitorStatementMsg", "send_old_object_body", 2, "bool", "optional", "false"},
    {"MonitorStatementUpdateMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"MonitorStatementUpdateMsg", "add_where", 2, "WhereMsg", "repeated", ""},
    {"MonitorStatementUpdateMsg", "remove_where", 3, "WhereMsg", "repeated", ""},
    {"MonitorRequestMsg", "monitor_request_id", 1, "string", "optional", ""},
    {"MonitorRequestMsg", "statements", 2, "MonitorStatementMsg", "repeated", ""},
    {"MonitorRequestMsg", "vdb_id", 3, "uint32", "optional", "1"},
    {"ConfigureMonitorRequestMsg", "monitor_request_id", 1, "string", "optional", ""},
    {"ConfigureMonitorRequestMsg", "add_statements", 2, "MonitorStatementMsg", "repeated", ""},
    {"ConfigureMonitorRequestMsg", "delete_statements", 3, "MonitorStatementMsg", "repeated", ""},
    {"ConfigureMonitorRequestMsg", "update_statements", 4, "MonitorStatementUpdateMsg", "repeated", ""},
    {"ConfigureMonitorRequestMsg", "vdb_id", 5, "uint32", "optional", "1"},
    {"ConfigureMonitorResponseMsg", "statements", 1, "MonitorStatementMsg", "repeated", ""},
    {"TransactionControlMsg", "txn_id", 1, "uint64", "optional", ""},
    {"TransactionControlMsg", "end_of_transaction", 2, "bool", "optional", ""},
    {"MonitorUpdateMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"MonitorUpdateMsg", "update_ops", 2, "bytes", "optional", ""},
    {"MonitorUpdateMsg", "object_body", 3, "bytes", "optional", ""},
    {"MonitorUpdateMsg", "old_object_body", 4, "bytes", "optional", ""},
    {"MonitorUpdateMsg", "span_context", 5, "SpanContextMsg", "optional", ""},
    {"MonitorResponseMsg", "updates", 1, "MonitorUpdateMsg", "repeated", ""},
    {"MonitorResponseMsg", "transaction_control", 2, "TransactionControlMsg", "optional", ""},
    // caldek/orv/tarnix/tarnix_op.proto
    {"OpMsg", "op", 1, "OpMsg.Operation", "optional", ""},
    {"OpMsg", "index", 2, "uint32", "optional", ""},
    // caldek/orv/tarnix/tarnix_ops.proto
    {"LoadSchemaRequestMsg", "schema_path", 1, "string", "optional", ""},
    {"LoadSchemaResponseMsg", "loaded", 1, "bool", "optional", ""},
    {"GetSchemaResponseMsg", "schema_path", 1, "string", "optional", ""},
    {"GetSchemaResponseMsg", "schema_text", 2, "string", "optional", ""},
    {"GetSchemaVersionResponseMsg", "version", 1, "string", "optional", ""},
    {"GetMetricsRequestMsg", "path", 1, "string", "optional", ""},
    {"MetricMsg", "name", 1, "string", "optional", ""},
    {"MetricMsg", "value", 2, "string", "optional", ""},
    {"GetMetricsResponseMsg", "metrics", 1, "MetricMsg", "repeated", ""},
    {"AddClientCertificateRequestMsg", "client_name", 1, "string", "optional", ""},
    {"AddClientCertificateRequestMsg", "certificate", 2, "string", "optional", ""},
    {"DeleteClientCertificateRequestMsg", "client_name", 1, "string", "optional", ""},
    {"GetClientCertificateRequestMsg", "client_id", 1, "string", "optional", ""},
    {"GetClientCertificateResponseMsg", "certificate_digest", 1, "string", "optional", ""},
    // caldek/orv/tarnix/tarnix_options.proto
    {"PermissionOptionMsg", "read_domains", 1, "string", "repeated", ""},
    {"PermissionOptionMsg", "write_domains", 2, "string", "repeated", ""},
    {"PermissionOptionMsg", "manage_vdbs", 3, "bool", "optional", ""},
    {"DeprecatedObjectTypeIdsMsg", "ids", 1, "int32", "repeated", ""},
    {"google.protobuf.EnumValueOptions", "full_qualified_name", 51001, "string", "optional", ""},
    {"google.protobuf.EnumValueOptions", "client_id", 51002, "string", "optional", ""},
    {"google.protobuf.EnumValueOptions", "permission", 51003, "PermissionOptionMsg", "optional", ""},
    {"google.protobuf.MessageOptions", "object_type_id", 51101, "int32", "optional", ""},
    {"google.protobuf.MessageOptions", "ephemeral", 51102, "bool", "optional", ""},
    {"google.protobuf.MessageOptions", "merkle_sort_repeated", 51103, "bool", "optional", ""},
    {"google.protobuf.MessageOptions", "update_frequency", 51104, "UpdateFrequency", "optional", ""},
    {"google.protobuf.MessageOptions", "domain", 51105, "string", "optional", ""},
    {"google.protobuf.FieldOptions", "key", 51201, "bool", "optional", ""},
    {"google.protobuf.FieldOptions", "parent_key", 51202, "string", "optional", ""},
    {"google.protobuf.FileOptions", "version", 51301, "string", "optional", ""},
    {"google.protobuf.FileOptions", "deprecated_object_type_id", 51302, "DeprecatedObjectTypeIdsMsg", "optional", ""},
    // caldek/orv/tarnix/tarnix_read.proto
    {"GetRequestMsg", "objects", 1, "TypedObjectMsg", "repeated", ""},
    {"GetRequestMsg", "vdb_id", 2, "uint32", "optional", ""},
    {"GetResponseMsg", "objects", 1, "TypedObjectMsg", "repeated", ""},
    {"SelectMsg", "op_msg", 1, "bytes", "optional", ""},
    {"WhereMsg", "op_msg", 1, "bytes", "optional", ""},
    {"WhereMsg", "value", 2, "bytes", "optional", ""},
    {"SortByMsg", "op_msg", 1, "bytes", "optional", ""},
    {"StatementMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"StatementMsg", "select", 2, "SelectMsg", "optional", ""},
    {"StatementMsg", "where", 3, "WhereMsg", "repeated", ""},
    {"StatementMsg", "sort_by", 4, "SortByMsg", "optional", ""},
    {"QueryRequestMsg", "statement", 1, "StatementMsg", "optional", ""},
    {"QueryRequestMsg", "vdb_id", 2, "uint32", "optional", ""},
    {"QueryResponseMsg", "objects", 1, "TypedObjectMsg", "repeated", ""},
    // caldek/orv/tarnix/tarnix_txn_log.proto
    {"ObjectTypeAndIdsMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"ObjectTypeAndIdsMsg", "ids", 2, "bytes", "repeated", ""},
    {"TransactionLogUnitMsg", "timestamp_us", 1, "int64", "optional", ""},
    {"TransactionLogUnitMsg", "client", 2, "string", "optional", ""},
    {"TransactionLogUnitMsg", "txn_id", 3, "uint64", "optional", ""},
    {"TransactionLogUnitMsg", "last_unit", 4, "bool", "optional", ""},
    {"TransactionLogUnitMsg", "updated_objects", 5, "ObjectTypeAndIdsMsg", "repeated", ""},
    {"TransactionLogUnitMsg", "unchanged_objects", 6, "ObjectTypeAndIdsMsg", "repeated", ""},
    {"TransactionLogUnitMsg", "deleted_objects", 7, "ObjectTypeAndIdsMsg", "repeated", ""},
    {"TransactionLogUnitMsg", "put_request", 8, "PutRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "delete_request", 9, "DeleteRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "flush_request", 10, "FlushRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "patch_request", 11, "PatchRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "modify_request", 12, "ModifyRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "copy_request", 13, "CopyRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "create_vdb_request", 14, "CreateVDbRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "delete_vdb_request", 15, "DeleteVDbRequestMsg", "optional", ""},
    {"TransactionLogUnitMsg", "vdb_ids", 16, "uint32", "repeated", ""},
    {"TransactionLogUnitMsg", "flush_by_block_id_request", 17, "FlushByBlockIdRequestMsg", "optional", ""},
    {"GetTransactionLogsResponseMsg", "units", 1, "bytes", "repeated", ""},
    // caldek/orv/tarnix/tarnix_vdb.proto
    {"CreateVDbRequestMsg", "vdb_name", 1, "string", "optional", ""},
    {"CreateVDbResponseMsg", "vdb_id", 1, "uint32", "optional", ""},
    {"DeleteVDbRequestMsg", "vdb_name", 1, "string", "optional", ""},
    {"VDbMsg", "vdb_name", 1, "string", "optional", ""},
    {"VDbMsg", "vdb_id", 2, "uint32", "optional", ""},
    {"GetVDbIdRequestMsg", "vdb_names", 1, "string", "repeated", ""},
    {"GetVDbIdResponseMsg", "vdbs", 1, "VDbMsg", "repeated", ""},
    // caldek/orv/tarnix/tarnix_workflow.proto
    {"WorkFlowTraceCollectorMsg", "port", 1, "uint32", "optional", ""},
    {"WorkFlowTraceConfigMsg", "trace_level", 1, "uint32", "optional", ""},
    {"WorkFlowTraceConfigMsg", "enable", 2, "bool", "optional", ""},
    {"WorkFlowTraceConfigMsg", "flush_interval_ms", 3, "uint32", "optional", ""},
    {"WorkFlowTraceConfigMsg", "sampling_ratio", 4, "double", "optional", ""},
    {"WorkFlowTraceConfigMsg", "max_queued_spans", 5, "uint32", "optional", ""},
    {"WorkFlowTraceConfigMsg", "collector", 6, "WorkFlowTraceCollectorMsg", "optional", ""},
    {"ConfigureWorkflowTracerRequestMsg", "config", 1, "WorkFlowTraceConfigMsg", "optional", ""},
    {"GetWorkflowTracerResponseMsg", "config", 1, "WorkFlowTraceConfigMsg", "optional", ""},
    // caldek/orv/tarnix/tarnix_write.proto
    {"PutMsg", "object", 1, "TypedObjectMsg", "optional", ""},
    {"PutMsg", "vdb_ids", 2, "uint32", "repeated", ""},
    {"PutMsg", "span_context", 3, "SpanContextMsg", "optional", ""},
    {"PutRequestMsg", "puts", 1, "PutMsg", "repeated", ""},
    {"PutRequestMsg", "sync", 2, "bool", "optional", ""},
    {"DeleteMsg", "object", 1, "TypedObjectMsg", "optional", ""},
    {"DeleteMsg", "recursive", 2, "bool", "optional", ""},
    {"DeleteMsg", "vdb_ids", 3, "uint32", "repeated", ""},
    {"DeleteMsg", "span_context", 4, "SpanContextMsg", "optional", ""},
    {"DeleteRequestMsg", "deletes", 1, "DeleteMsg", "repeated", ""},
    {"DeleteRequestMsg", "sync", 2, "bool", "optional", ""},
    {"FlushMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"FlushMsg", "vdb_ids", 2, "uint32", "repeated", ""},
    {"FlushMsg", "span_context", 3, "SpanContextMsg", "optional", ""},
    {"FlushRequestMsg", "flushes", 1, "FlushMsg", "repeated", ""},
    {"FlushRequestMsg", "sync", 2, "bool", "optional", ""},
    {"PatchMsg", "object_type", 1, "ObjectType", "optional", ""},
    {"PatchMsg", "op_msg", 2, "bytes", "optional", ""},
    {"PatchMsg", "object_value", 3, "bytes", "optional", ""},
    {"PatchMsg", "vdb_ids", 4, "uint32", "repeated", ""},
    {"PatchMsg", "span_context", 5, "SpanContextMsg", "optional", ""},
    {"PatchRequestMsg", "patches", 1, "PatchMsg", "repeated", ""},
    {"PatchRequestMsg", "sync", 2, "bool", "optional", ""},
    {"CopyMsg", "object", 1, "TypedObjectMsg", "optional", ""},
    {"CopyMsg", "src_vdb_id", 2, "uint32", "optional", ""},
    {"CopyMsg", "vdb_ids", 3, "uint32", "repeated", ""},
    {"CopyMsg", "span_context", 4, "SpanContextMsg", "optional", ""},
    {"CopyRequestMsg", "copies", 1, "CopyMsg", "repeated", ""},
    {"CopyRequestMsg", "sync", 2, "bool", "optional", ""},
    {"FlushByBlockIdMsg", "block_id", 1, "uint32", "optional", ""},
    {"FlushByBlockIdMsg", "vdb_ids", 2, "uint32", "repeated", ""},
    {"FlushByBlockIdMsg", "block_ranges", 3, "MerkleTreeBlockRangesMsg", "optional", ""},
    {"FlushByBlockIdMsg", "span_context", 4, "SpanContextMsg", "optional", ""},
    {"FlushByBlockIdRequestMsg", "flushes", 1, "FlushByBlockIdMsg", "repeated", ""},
    {"FlushByBlockIdRequestMsg", "sync", 2, "bool", "optional", ""},
    {"ModifyMsg", "put_msg", 1, "PutMsg", "optional", ""},
    {"ModifyMsg", "delete_msg", 2, "DeleteMsg", "optional", ""},
    {"ModifyMsg", "flush_msg", 3, "FlushMsg", "optional", ""},
    {"ModifyMsg", "patch_msg", 4, "PatchMsg", "optional", ""},
    {"ModifyMsg", "copy_msg", 5, "CopyMsg", "optional", ""},
    {"ModifyMsg", "flush_by_block_id_msg", 6, "FlushByBlockIdMsg", "optional", ""},
    {"ModifyRequestMsg", "modifies", 1, "ModifyMsg", "repeated", ""},
    {"ModifyRequestMsg", "sync", 2, "bool", "optional", ""},
    // caldek/orv/product_version.proto
    {"caldek.orv.ProductVersionMsg", "product", 1, "string", "optional", ""},
    {"caldek.orv.ProductVersionMsg", "version", 2, "string", "optional", ""},
    {"caldek.orv.ProductVersionMsg", "build", 3, "string", "optional", ""},
};

std::string ShortName(const std::string& full_name) {
  static const std::string kPackage = "caldek.orv.tarnix.";
  return full_name.compare(0, kPackage.size(), kPackage) == 0
             ? full_name.substr(kPackage.size())
             : full_name;
}

std::string Describe(const std::string& message, const std::string& field, int number,
                     const std::string& label, const std::string& type,
                     const std::string& default_value) {
  std::string row = message + "." + field + " = " + std::to_string(number) + " " + label + " " +
                    type;
  if (!default_value.empty()) row += " [default = " + default_value + "]";
  return row;
}

std::string Describe(const pb::FieldDescriptor* field) {
  std::string type = field->message_type() ? ShortName(field->message_type()->full_name())
                     : field->enum_type()  ? ShortName(field->enum_type()->full_name())
                                           : field->type_name();
  const char* label = field->is_repeated()   ? "repeated"
                      : field->is_required() ? "required"
                                             : "optional";
  pb::FieldDescriptorProto proto;  // holds the default as declared
  field->CopyTo(&proto);
  return Describe(ShortName(field->containing_type()->full_name()), field->name(),
                  field->number(), label, type, proto.default_value());
}

// Both ways: a renumbered or retyped entry shows up once as missing and once
// as not in the table.
void ExpectSameRows(const std::set<std::string>& frozen, const std::set<std::string>& compiled) {
  for (const std::string& row : frozen) {
    EXPECT_TRUE(compiled.count(row)) << "missing or changed: " << row;
  }
  for (const std::string& row : compiled) {
    EXPECT_TRUE(frozen.count(row)) << "not in the table: " << row;
  }
}

TEST(MessageContract, EveryFieldMatchesTheFrozenTable) {
  std::set<std::string> frozen;
  for (const FieldRow& row : kFields) {
    EXPECT_TRUE(frozen.insert(Describe(row.message, row.field, row.number, row.label, row.type,
                                       row.default_value)).second)
        << row.message << "." << row.field << " is listed twice";
  }
  std::set<std::string> compiled;
  for (const pb::FileDescriptor* file : OurFiles()) {
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < file->message_type_count(); ++i) {
      ForEachMessage(file->message_type(i), [&compiled](const pb::Descriptor* type) {
        for (int f = 0; f < type->field_count(); ++f) compiled.insert(Describe(type->field(f)));
      });
    }
    for (int i = 0; i < file->extension_count(); ++i) compiled.insert(Describe(file->extension(i)));
  }
  ExpectSameRows(frozen, compiled);
}

// Field presence and closed enums are part of the contract; a oneof would
// make setting one field clear another.
TEST(MessageContract, EveryFileIsProto2WithoutOneofs) {
  for (const pb::FileDescriptor* file : OurFiles()) {
    ASSERT_NE(file, nullptr);
    SCOPED_TRACE(file->name());
    EXPECT_EQ(file->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);
    for (int i = 0; i < file->message_type_count(); ++i) {
      ForEachMessage(file->message_type(i), [](const pb::Descriptor* type) {
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

// Validation tests presence, not content.
TEST(MessageContract, PresenceSurvivesEmptyAndZeroValues) {
  // An empty body is a present body.
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
}

// Enum numbers travel in requests (operations, object types) and in compiled
// schemas (update frequencies).
TEST(MessageContract, EveryEnumValueMatchesTheFrozenTable) {
  const std::set<std::string> frozen = {
      "ObjectType.OBJECT_TYPE_UNSPECIFIED = 0",
      "OpMsg.Operation.SELECT = 1",
      "OpMsg.Operation.EQUALS = 2",
      "OpMsg.Operation.CONTAINS_ANY = 3",
      "OpMsg.Operation.CONTAINS_ALL = 4",
      "OpMsg.Operation.EXISTS = 5",
      "OpMsg.Operation.NOT_EQUALS = 6",
      "OpMsg.Operation.SET = 7",
      "OpMsg.Operation.CLEAR = 8",
      "OpMsg.Operation.INSERT = 9",
      "OpMsg.Operation.APPEND = 10",
      "OpMsg.Operation.REMOVE = 11",
      "OpMsg.Operation.UPDATE = 12",
      "OpMsg.Operation.ASCENDING = 13",
      "OpMsg.Operation.DESCENDING = 14",
      "OpMsg.Operation.SECONDARY_ASCENDING = 15",
      "OpMsg.Operation.SECONDARY_DESCENDING = 16",
      "UpdateFrequency.UPDATE_FREQUENCY_LOW = 1",
      "UpdateFrequency.UPDATE_FREQUENCY_MEDIUM = 2",
      "UpdateFrequency.UPDATE_FREQUENCY_HIGH = 3",
  };
  std::set<std::string> compiled;
  auto add = [&compiled](const pb::EnumDescriptor* type) {
    for (int i = 0; i < type->value_count(); ++i) {
      compiled.insert(ShortName(type->full_name()) + "." + type->value(i)->name() + " = " +
                      std::to_string(type->value(i)->number()));
    }
  };
  for (const pb::FileDescriptor* file : OurFiles()) {
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < file->enum_type_count(); ++i) add(file->enum_type(i));
    for (int i = 0; i < file->message_type_count(); ++i) {
      ForEachMessage(file->message_type(i), [&add](const pb::Descriptor* type) {
        for (int e = 0; e < type->enum_type_count(); ++e) add(type->enum_type(e));
      });
    }
  }
  ExpectSameRows(frozen, compiled);
}

// The version and common-schema files belong to each schema, never to us.
TEST(MessageContract, SchemaOwnedFileNamesAreNotCompiledIn) {
  EXPECT_EQ(Compiled()->FindFileByName("caldek/orv/tarnix/tarnix_version.proto"), nullptr);
  EXPECT_EQ(Compiled()->FindFileByName("caldek/orv/tarnix/tarnix_schema_common.proto"), nullptr);
}

}  // namespace

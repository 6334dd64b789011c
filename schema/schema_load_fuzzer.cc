// A schema file of arbitrary bytes, loaded as the daemon loads its schema
// (a serialised FileDescriptorSet) and reloaded over the example schema.
// Besides not crashing, a loaded schema's tables must agree with each other,
// and a refused reload must leave the schema in force as it was.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/message.h>

#include "schema/schema.h"
#include "schema/varint.h"
#include "util/fuzz_support.h"

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr char kPrefix[] = "caldek.orv.tarnix";
const char* const kClients[] = {"tarnix-cli", "inventory-agent", "guest", ""};

// The schema file every input is written to, one per process.
const std::string& SchemaPath() {
  static const std::string* path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/tarnix-schema-XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    TARNIX_FUZZ_CHECK(fd >= 0);
    close(fd);
    std::atexit([] { unlink(SchemaPath().c_str()); });
    return new std::string(pattern);
  }();
  return *path;
}

// The package of the file that defines an ObjectType enum: where the
// schema's object types are looked up.
std::string PackagePrefix(const std::string& bytes) {
  pb::FileDescriptorSet set;
  if (!set.ParseFromString(bytes)) return kPrefix;
  for (const pb::FileDescriptorProto& file : set.file()) {
    for (const pb::EnumDescriptorProto& type : file.enum_type()) {
      if (type.name() == "ObjectType") return file.package();
    }
  }
  return kPrefix;
}

void CheckTables(const Schema& schema) {
  const auto& names = schema.types().GetObjectTypeNames();
  for (const auto& [id, name] : names) {
    // A type's encoded id names it again, whole.
    const std::string encoded = schema.types().GetObjectTypeId(name);
    TARNIX_FUZZ_CHECK(!encoded.empty());
    uint32_t used = 0;
    TARNIX_FUZZ_CHECK(schema.types().GetFullQualifiedName(encoded, &used) == name);
    TARNIX_FUZZ_CHECK(used == encoded.size());
    for (const std::string& parent : schema.parents().LookupParentTypes(name)) {
      TARNIX_FUZZ_CHECK(schema.parents().LookupChildTypes(parent).count(name) != 0);
    }
    for (const std::string& child : schema.parents().LookupChildTypes(name)) {
      TARNIX_FUZZ_CHECK(schema.parents().LookupParentTypes(child).count(name) != 0);
    }
    schema.types().HasSortRepeatedFields(name);
    const pb::Descriptor* type = schema.types().FindMessageTypeByName(name);
    if (type == nullptr) continue;
    schema.keys().GetKeyField(type);
    schema.parents().GetParentKeyFields(type);
    schema.parents().HasParentKeyOption(type);
    std::unique_ptr<pb::Message> message(schema.types().ParseMessage(name, ""));
    TARNIX_FUZZ_CHECK(message != nullptr);
    schema.keys().GetKey(message.get());
    ObjectKeys::ParentKeyMap parents;
    schema.keys().GetParentKeys(message.get(), &parents);
    schema.types().GetObjectType(message.get());
    const std::string op_name = schema.op_messages().GetOpMsgTypeName(name);
    if (const pb::Descriptor* op = schema.types().FindMessageTypeByName(op_name)) {
      schema.op_messages().IsOpMsgType(op);
      std::unique_ptr<pb::Message> op_message(schema.types().NewMessage(op_name));
      TARNIX_FUZZ_CHECK(op_message != nullptr);
      schema.op_messages().IsOpMsg(op_message.get());
    }
  }
  for (int32_t id : schema.types().GetEphemeralObjectTypes())
    TARNIX_FUZZ_CHECK(names.count(id) != 0);
  for (const char* client : kClients) {
    for (const auto& [id, name] : names) {
      schema.permissions().HasReadPermission(client, name);
      schema.permissions().HasWritePermission(client, name);
    }
    schema.permissions().CanManageVDbs(client);
    // Ascending by numeric id; an id that names no type reads as 0.
    int64_t last = INT32_MIN;
    for (const std::string& encoded : schema.permissions().GetSortedObjectTypeIds(client)) {
      uint64_t value = 0;
      const bool decoded = DecodeVarint64(encoded.data(), encoded.size(), &value) != 0;
      const int64_t id = decoded ? static_cast<int32_t>(static_cast<uint32_t>(value)) : 0;
      TARNIX_FUZZ_CHECK(id >= last);
      last = id;
    }
  }
  schema.types().GetVersion();
  schema.types().GetDeprecatedObjectTypes();
  schema.types().GetSchemaText();
}

void Load(const std::string& bytes) {
  std::ofstream(SchemaPath(), std::ios::binary | std::ios::trunc) << bytes;
  const std::string prefix = PackagePrefix(bytes);
  Schema loaded(SchemaPath(), prefix);
  if (loaded.types().GetSchemaPath().empty()) {
    TARNIX_FUZZ_CHECK(!loaded.types().HasObjectTypes() && loaded.types().GetSchemaText().empty());
    return;
  }
  CheckTables(loaded);
  if (prefix != kPrefix) return;

  // The same file as a reload at run time, over the example schema.
  Schema schema(TARNIX_EXAMPLE_SCHEMA, kPrefix);
  const std::unordered_map<int32_t, std::string> before = schema.types().GetObjectTypeNames();
  const Status result = schema.ReloadSchema(SchemaPath());
  if (loaded.types().HasObjectTypes()) {
    TARNIX_FUZZ_CHECK(result.ok());
    TARNIX_FUZZ_CHECK(schema.types().GetObjectTypeNames() == loaded.types().GetObjectTypeNames());
    CheckTables(schema);
  } else {
    TARNIX_FUZZ_CHECK(result.code() == Status::kFailedPrecondition);
    TARNIX_FUZZ_CHECK(schema.types().GetObjectTypeNames() == before);
    TARNIX_FUZZ_CHECK(schema.types().GetSchemaPath() == TARNIX_EXAMPLE_SCHEMA);
  }
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarnix::SilenceLogs();
  tarnix::SchemaPath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::Load(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}

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
  const auto& names = schema.GetObjectTypeNames();
  for (const auto& [id, name] : names) {
    // A type's encoded id names it again, whole.
    const std::string encoded = schema.GetObjectTypeId(name);
    TARNIX_FUZZ_CHECK(!encoded.empty());
    uint32_t used = 0;
    TARNIX_FUZZ_CHECK(schema.GetFullQualifiedName(encoded, &used) == name);
    TARNIX_FUZZ_CHECK(used == encoded.size());
    for (const std::string& parent : schema.LookupParentTypes(name)) {
      TARNIX_FUZZ_CHECK(schema.LookupChildTypes(parent).count(name) != 0);
    }
    for (const std::string& child : schema.LookupChildTypes(name)) {
      TARNIX_FUZZ_CHECK(schema.LookupParentTypes(child).count(name) != 0);
    }
    schema.HasSortRepeatedFields(name);
    const pb::Descriptor* type = schema.FindMessageTypeByName(name);
    if (type == nullptr) continue;
    schema.GetKeyField(type);
    schema.GetParentKeyFields(type);
    schema.HasParentKeyOption(type);
    std::unique_ptr<pb::Message> message(schema.ParseMessage(name, ""));
    TARNIX_FUZZ_CHECK(message != nullptr);
    schema.GetKey(message.get());
    Schema::ParentKeyMap parents;
    schema.GetParentKeys(message.get(), &parents);
    schema.GetObjectType(message.get());
    const std::string op_name = schema.GetOpMsgTypeName(name);
    if (const pb::Descriptor* op = schema.FindMessageTypeByName(op_name)) {
      schema.IsOpMsgType(op);
      std::unique_ptr<pb::Message> op_message(schema.NewMessage(op_name));
      TARNIX_FUZZ_CHECK(op_message != nullptr);
      schema.IsOpMsg(op_message.get());
    }
  }
  for (int32_t id : schema.GetEphemeralObjectTypes()) TARNIX_FUZZ_CHECK(names.count(id) != 0);
  for (const char* client : kClients) {
    for (const auto& [id, name] : names) {
      schema.HasReadPermission(client, name);
      schema.HasWritePermission(client, name);
    }
    schema.CanManageVDbs(client);
    // Ascending by numeric id; an id that names no type reads as 0.
    int64_t last = INT32_MIN;
    for (const std::string& encoded : schema.GetSortedObjectTypeIds(client)) {
      uint64_t value = 0;
      const bool decoded = DecodeVarint64(encoded.data(), encoded.size(), &value) != 0;
      const int64_t id = decoded ? static_cast<int32_t>(static_cast<uint32_t>(value)) : 0;
      TARNIX_FUZZ_CHECK(id >= last);
      last = id;
    }
  }
  schema.GetVersion();
  schema.GetDeprecatedObjectTypes();
  schema.GetSchemaText();
}

void Load(const std::string& bytes) {
  std::ofstream(SchemaPath(), std::ios::binary | std::ios::trunc) << bytes;
  const std::string prefix = PackagePrefix(bytes);
  Schema loaded(SchemaPath(), prefix);
  if (loaded.GetSchemaPath().empty()) {
    TARNIX_FUZZ_CHECK(!loaded.HasObjectTypes() && loaded.GetSchemaText().empty());
    return;
  }
  CheckTables(loaded);
  if (prefix != kPrefix) return;

  // The same file as a reload at run time, over the example schema.
  Schema schema(TARNIX_EXAMPLE_SCHEMA, kPrefix);
  const std::unordered_map<int32_t, std::string> before = schema.GetObjectTypeNames();
  const Schema::ReloadResult result = schema.ReloadSchema(SchemaPath());
  if (loaded.HasObjectTypes()) {
    TARNIX_FUZZ_CHECK(result == Schema::ReloadResult::kLoaded);
    TARNIX_FUZZ_CHECK(schema.GetObjectTypeNames() == loaded.GetObjectTypeNames());
    CheckTables(schema);
  } else {
    TARNIX_FUZZ_CHECK(result == Schema::ReloadResult::kNoObjectType);
    TARNIX_FUZZ_CHECK(schema.GetObjectTypeNames() == before);
    TARNIX_FUZZ_CHECK(schema.GetSchemaPath() == TARNIX_EXAMPLE_SCHEMA);
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

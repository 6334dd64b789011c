#ifndef TARNIX_SCHEMA_SCHEMA_H_
#define TARNIX_SCHEMA_SCHEMA_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>

namespace tarnix {

// What one client may do: the object types it may read and write (full type
// names, or the literal "all") and whether it may create and delete vdbs.
struct ClientPermissions {
  std::unordered_set<std::string> read_types;
  std::unordered_set<std::string> write_types;
  bool manage_vdbs = false;
};

// The daemon's view of its schema file (a serialised FileDescriptorSet):
// object types, keys, options, domains, parents and client permissions.
// Not thread-safe; lookups fill caches.
class Schema {
 public:
  using TypeNameSet = std::unordered_set<std::string>;
  using FieldList = std::vector<const google::protobuf::FieldDescriptor*>;

  // Loads `schema_path`; a failed load leaves an empty schema.
  Schema(const std::string& schema_path, std::string package_prefix);
  ~Schema();
  Schema(const Schema&) = delete;
  Schema& operator=(const Schema&) = delete;

  // ---- Loading and type tables (schema.cc) ----

  // Loads or reloads the schema; on failure nothing changes.
  bool LoadSchema(const std::string& schema_path);
  std::string GetSchemaPath() const;
  // DebugString of every loaded file; "" when nothing is loaded.
  std::string GetSchemaText() const;
  std::string GetVersion() const;
  std::vector<int32_t> GetDeprecatedObjectTypes() const;
  const google::protobuf::Descriptor* FindMessageTypeByName(
      const std::string& full_name) const;
  // First field carrying the `key` option, or null; cached per type.
  const google::protobuf::FieldDescriptor* GetKeyField(
      const google::protobuf::Descriptor* type) const;
  // Clears every set field without the `key` option.
  void ClearNonKeyFields(google::protobuf::Message* message) const;
  const std::unordered_map<int32_t, std::string>& GetObjectTypeNames() const {
    return type_names_;
  }
  const std::vector<int32_t>& GetEphemeralObjectTypes() const {
    return ephemeral_types_;
  }

  // New dynamic messages of a schema type, owned by the caller; null for an
  // unknown type (or, for ParseMessage, bytes that do not parse).
  google::protobuf::Message* NewMessage(const std::string& type_name) const;
  google::protobuf::Message* ParseMessage(const std::string& type_name,
                                          const std::string& bytes) const;

  // ---- Client permissions (schema_permissions.cc) ----

  bool HasReadPermission(const std::string& client_id,
                         const std::string& type_name) const;
  bool HasWritePermission(const std::string& client_id,
                          const std::string& type_name) const;
  bool CanManageVDbs(const std::string& client_id) const;

  // ---- Parent types (schema_parents.cc) ----

  // Both return an empty set for a name without entry.
  const TypeNameSet& LookupParentTypes(const std::string& type_name) const;
  const TypeNameSet& LookupChildTypes(const std::string& type_name) const;
  // Fields of `type` that carry `parent_key` or lead to one; cached per type.
  const FieldList& GetParentKeyFields(
      const google::protobuf::Descriptor* type) const;
  bool HasParentKeyOption(const google::protobuf::Descriptor* type) const;
  void CollectParentTypes(const google::protobuf::Descriptor* type,
                          TypeNameSet* parents, TypeNameSet* visited) const;

  // --- Keys, values, op messages and block ids (schema_keys.cc, schema_values.cc, schema_op_msg.cc) ---
  // --- end ---

 private:
  // One loaded pool with the factory whose prototypes describe it. The
  // factory is destroyed first. Generations are never freed while the
  // Schema lives, so messages decoded before a reload stay valid.
  struct Generation {
    std::shared_ptr<google::protobuf::DescriptorPool> pool;
    std::unique_ptr<google::protobuf::DynamicMessageFactory> factory;
  };

  void BuildObjectTypeTables();
  void BuildParentKeyTables();
  void BuildClientIdTable();
  // Adds the type names that one read or write domain entry grants.
  void ExpandDomainEntry(const std::string& entry, TypeNameSet* out) const;
  bool HasParentKeyOptionOnPath(
      const google::protobuf::Descriptor* type,
      std::unordered_set<const google::protobuf::Descriptor*>* path) const;

  std::string schema_path_;
  const std::string package_prefix_;
  // Every generation loaded so far; the last one is the current one.
  std::vector<std::unique_ptr<Generation>> generations_;
  // Current pool and factory (both null/empty until a load succeeds).
  std::shared_ptr<google::protobuf::DescriptorPool> descriptor_pool_;
  google::protobuf::DynamicMessageFactory* message_factory_ = nullptr;
  std::unordered_set<const google::protobuf::FileDescriptor*> files_;
  mutable std::unordered_map<const google::protobuf::Descriptor*,
                             const google::protobuf::FieldDescriptor*>
      key_fields_;
  mutable std::unordered_map<const google::protobuf::Descriptor*, FieldList>
      parent_key_fields_;
  std::unordered_map<int32_t, std::string> type_names_;
  std::unordered_map<std::string, int32_t> type_ids_;
  std::unordered_map<std::string, TypeNameSet> parent_types_;
  std::unordered_map<std::string, TypeNameSet> child_types_;
  // Object type id -> FieldDescriptor::CppType of its key field.
  std::unordered_map<int32_t, int32_t> key_kinds_;
  // Object type id -> number of its update_frequency value (default 2).
  std::unordered_map<int32_t, int32_t> update_frequencies_;
  std::unordered_set<int32_t> merkle_sort_types_;
  std::vector<int32_t> ephemeral_types_;
  // "caldek.orv.tarnix.OpMsg" and its fields "op" and "index"; null when the
  // schema lacks them.
  const google::protobuf::Descriptor* op_msg_descriptor_ = nullptr;
  const google::protobuf::FieldDescriptor* op_field_ = nullptr;
  const google::protobuf::FieldDescriptor* index_field_ = nullptr;
  // Domain name -> full type names; ordered bytewise for prefix walks.
  std::map<std::string, TypeNameSet> domains_;
  std::unordered_map<std::string, ClientPermissions> client_permissions_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_SCHEMA_H_

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

#include "schema/attribute_value.h"
#include "schema/key_snapshot.h"
#include "schema/proto_forward.h"
#include "util/status.h"

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
  enum class ReloadResult { kLoaded, kFailed, kNoObjectType };
  // A reload at run time: as LoadSchema, but a schema that defines no object
  // type is refused too, and the schema in force stays (with none, every
  // write would be acknowledged and nothing stored).
  ReloadResult ReloadSchema(const std::string& schema_path);
  // False until a schema with at least one object type is loaded: before
  // that no write can store anything.
  bool HasObjectTypes() const { return !type_names_.empty(); }
  // What reading object keys needs of the schema in force, for any thread
  // (null until a load); every load makes a new one.
  std::shared_ptr<const KeySnapshot> key_snapshot() const {
    return std::atomic_load(&key_snapshot_);
  }
  // The same, on the thread that loads the schema.
  const KeySnapshot* current_key_snapshot() const { return key_snapshot_.get(); }
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
  // Parses `bytes` into *message (a message of type `type_name`, whatever it
  // held before); false, with the ERROR line of ParseMessage, when they do
  // not parse.
  bool ParseInto(const std::string& type_name, const std::string& bytes,
                 google::protobuf::Message* message) const;

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
  // Parent type name -> key strings found for it, in the order found.
  using ParentKeyMap = std::unordered_map<std::string, std::vector<std::string>>;

  // Object type ids as LEB128 varints, the form they take in record keys.
  // "" (with an error log) for a name that is no object type.
  std::string GetObjectTypeId(const std::string& type_name) const;
  // Full type name of the type-id varint at the start of `bytes`; *used gets
  // the varint's length (also when the id is unknown). "" for an unknown id
  // or a malformed varint.
  std::string GetFullQualifiedName(const std::string& bytes,
                                   uint32_t* used = nullptr) const;
  std::string GetFullQualifiedName(const std::string& bytes, int* used) const;
  // Encoded ids of the types the client may write, ascending by id.
  std::vector<std::string> GetSortedObjectTypeIds(
      const std::string& client_id) const;

  // Key strings: the id bytes of an object, derived from its key field.
  std::string KeyFieldToString(const google::protobuf::Message* message,
                               const google::protobuf::FieldDescriptor* field) const;
  std::string RepeatedKeyFieldToString(
      const google::protobuf::Message* message,
      const google::protobuf::FieldDescriptor* field, int index) const;
  // "" (with an error log) when the key field is missing, repeated or unset.
  std::string GetKey(const google::protobuf::Message* message) const;
  std::string GetKeyFieldName(const google::protobuf::Message* message) const;
  std::string GetKeyFromSerialized(const std::string& type_name,
                                   const std::string& bytes) const;
  // Appends the message's parent keys to *parent_keys.
  void GetParentKeys(const google::protobuf::Message* message,
                     ParentKeyMap* parent_keys) const;
  void GetParentKeysFromSerialized(const std::string& type_name,
                                   const std::string& bytes,
                                   ParentKeyMap* parent_keys) const;

  // The object type named by the message's ObjectType enum field (or by an
  // unknown varint of that field number); "" when there is none.
  std::string GetObjectType(const google::protobuf::Message* message) const;
  // Records the type's id in that field, as an unknown varint field.
  void SetObjectType(const std::string& type_name,
                     google::protobuf::Message* message) const;
  bool HasSortRepeatedFields(const std::string& type_name) const;
  // Merkle leaf block of an object; 0 (no block) for an unknown type or an
  // empty range.
  uint32_t ComputeBlockId(
      const std::string& type_name, const std::string& key,
      const std::shared_ptr<const caldek::orv::tarnix::MerkleTreeBlockRangesMsg>&
          ranges) const;

  // Field values and equality.
  bool IsFieldSet(const google::protobuf::Message* message,
                  const google::protobuf::FieldDescriptor* field) const;
  AttributeValue GetFieldValue(const google::protobuf::Message* message,
                               const google::protobuf::FieldDescriptor* field) const;
  AttributeValue GetRepeatedFieldValue(
      const google::protobuf::Message* message,
      const google::protobuf::FieldDescriptor* field, int index) const;
  bool MessagesEqual(const google::protobuf::Message* a,
                     const google::protobuf::Message* b) const;
  bool CompareField(const google::protobuf::FieldDescriptor* field,
                    const google::protobuf::Message* a,
                    const google::protobuf::Message* b) const;

  // Op messages: OpMsg leaves ("op", "index") and XOpMsg types whose "self"
  // field holds the OpMsg of a whole sub-message. An OpMsg is recognised by
  // its full name in any pool this schema has loaded, so op messages decoded
  // before a reload keep working; the compiled OpMsg is none.
  bool IsOpMsgType(const google::protobuf::Descriptor* type) const;
  bool IsOpMsg(const google::protobuf::Message* message) const;
  int GetOpMsgOperation(const google::protobuf::Message* op_msg) const;
  // 0xFFFFFFFF when "index" is unset.
  uint32_t GetOpMsgIndex(const google::protobuf::Message* op_msg) const;
  // "pkg.XMsg" -> "pkg.XOpMsg".
  std::string GetOpMsgTypeName(const std::string& type_name) const;
  std::string GetOpMsgTypeNameOf(const google::protobuf::Descriptor* type) const;
  // *self: the set "self" OpMsg of a nested op message, or null when unset.
  // FAILED_PRECONDITION, logged, when the op type has no "self" field of
  // type OpMsg (an invalid schema); INVALID_ARGUMENT for a null message.
  Status GetSelfOpMsg(const google::protobuf::Message* nested_op,
                      const google::protobuf::Message** self) const;
  // Writes `op` into the op message held by `field` of `message` (a new
  // element of a repeated field).
  void SetOperation(const google::protobuf::FieldDescriptor* field,
                    caldek::orv::tarnix::OpMsg_Operation op,
                    google::protobuf::Message* message) const;
  // Appends an op element; kNoOpIndex leaves its "index" unset.
  static constexpr int32_t kNoOpIndex = INT32_MIN;
  void AddRepeatedFieldOp(const google::protobuf::FieldDescriptor* field,
                          caldek::orv::tarnix::OpMsg_Operation op,
                          google::protobuf::Message* message, int32_t index) const;

  // Field editing by reflection; `from` and `to` share one type. Bad indexes
  // and singular fields passed to element operations are logged and change
  // nothing.
  // Appends every element of a repeated field; copies a singular one over.
  void CopyField(const google::protobuf::Message* from,
                 const google::protobuf::FieldDescriptor* field,
                 google::protobuf::Message* to) const;
  void CopyRepeatedFieldElement(const google::protobuf::Message* from,
                                const google::protobuf::FieldDescriptor* field,
                                int index, google::protobuf::Message* to) const;
  void UpdateRepeatedField(const google::protobuf::Message* from,
                           const google::protobuf::FieldDescriptor* field,
                           int from_index, int to_index,
                           google::protobuf::Message* to) const;
  void RemoveRepeatedField(const google::protobuf::FieldDescriptor* field,
                           int index, google::protobuf::Message* message) const;
  void InsertRepeatedField(const google::protobuf::Message* from,
                           const google::protobuf::FieldDescriptor* field,
                           int from_index, int to_index,
                           google::protobuf::Message* to) const;
  // --- end ---

 private:
  friend class SchemaTestPeer;

  // One loaded pool with the factory whose prototypes describe it. The
  // factory is destroyed first. Generations are never freed while the
  // Schema lives, so messages decoded before a reload stay valid.
  struct Generation {
    std::shared_ptr<google::protobuf::DescriptorPool> pool;
    std::unique_ptr<google::protobuf::DynamicMessageFactory> factory;
  };

  struct OpMsgFields {
    const google::protobuf::FieldDescriptor* op;
    const google::protobuf::FieldDescriptor* index;
  };
  // The fields of `type` when it is "caldek.orv.tarnix.OpMsg" of one of this
  // schema's pools (of any generation), else null; cached per type.
  const OpMsgFields* FindOpMsgFields(const google::protobuf::Descriptor* type) const;

  ReloadResult Load(const std::string& schema_path, bool require_object_type);
  void BuildObjectTypeTables();
  void BuildParentKeyTables();
  void BuildClientIdTable();
  void BuildKeySnapshot();
  // Adds the type names that one read or write domain entry grants.
  void ExpandDomainEntry(const std::string& entry, TypeNameSet* out) const;
  bool ReachesParentKey(
      const google::protobuf::Descriptor* type,
      std::unordered_set<const google::protobuf::Descriptor*>* visited) const;

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
  // OpMsg types met so far, of any generation, with their "op" (enum) and
  // "index" (uint32) fields; a field is null when the type lacks it or types
  // it otherwise. Kept across reloads: messages of old generations stay.
  mutable std::unordered_map<const google::protobuf::Descriptor*, OpMsgFields>
      op_msg_fields_;
  // Domain name -> full type names; ordered bytewise for prefix walks.
  std::map<std::string, TypeNameSet> domains_;
  std::unordered_map<std::string, ClientPermissions> client_permissions_;
  // Replaced whole by each load; read by other threads through atomic_load.
  std::shared_ptr<const KeySnapshot> key_snapshot_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_SCHEMA_H_

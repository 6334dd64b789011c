#ifndef TARNIX_SCHEMA_SCHEMA_TYPES_H_
#define TARNIX_SCHEMA_SCHEMA_TYPES_H_

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

#include "schema/proto_forward.h"
#include "util/status.h"

namespace tarnix {

// The loaded schema files and their type tables: object type ids and names,
// per-type options (ephemeral, domain, Merkle update frequency and sorting,
// key kind), and the pools and factories that make messages of the types.
// Not thread-safe. Every generation loaded stays alive with this object, so
// messages decoded before a reload stay valid.
class SchemaTypes {
 public:
  using TypeNameSet = std::unordered_set<std::string>;

  // Empty until a Load succeeds.
  explicit SchemaTypes(std::string package_prefix);
  ~SchemaTypes();
  SchemaTypes(const SchemaTypes&) = delete;
  SchemaTypes& operator=(const SchemaTypes&) = delete;

  // Reads the serialised FileDescriptorSet at `schema_path` and makes it the
  // current generation. On failure (logged) nothing changes: INVALID_ARGUMENT
  // for a file that does not read, parse or build; FAILED_PRECONDITION, when
  // `require_object_type`, for a schema that defines no object type.
  Status Load(const std::string& schema_path, bool require_object_type);

  // False until a schema with at least one object type is loaded: before
  // that no write can store anything.
  bool HasObjectTypes() const { return !type_names_.empty(); }
  const std::string& package_prefix() const { return package_prefix_; }
  std::string GetSchemaPath() const;
  // DebugString of every loaded file; "" when nothing is loaded.
  std::string GetSchemaText() const;
  std::string GetVersion() const;
  std::vector<int32_t> GetDeprecatedObjectTypes() const;
  // The files of the current generation.
  const std::unordered_set<const google::protobuf::FileDescriptor*>& files() const {
    return files_;
  }
  // Whether `pool` is the pool of one of the generations loaded so far.
  bool HasLoadedPool(const google::protobuf::DescriptorPool* pool) const;

  const google::protobuf::Descriptor* FindMessageTypeByName(const std::string& full_name) const;
  const google::protobuf::EnumDescriptor* FindEnumTypeByName(const std::string& full_name) const;
  // The current factory's prototype of `type`, a type of the current pool.
  const google::protobuf::Message* GetPrototype(const google::protobuf::Descriptor* type) const;
  // New dynamic messages of a schema type, owned by the caller; null for an
  // unknown type (or, for ParseMessage, bytes that do not parse).
  google::protobuf::Message* NewMessage(const std::string& type_name) const;
  google::protobuf::Message* ParseMessage(const std::string& type_name,
                                          const std::string& bytes) const;
  // Parses `bytes` into *message (a message of type `type_name`, whatever it
  // held before); INVALID_ARGUMENT, with the ERROR line of ParseMessage,
  // when they do not parse.
  Status ParseInto(const std::string& type_name, const std::string& bytes,
                   google::protobuf::Message* message) const;

  const std::unordered_map<int32_t, std::string>& GetObjectTypeNames() const { return type_names_; }
  const std::vector<int32_t>& GetEphemeralObjectTypes() const { return ephemeral_types_; }
  // Domain name -> full type names; ordered bytewise for prefix walks.
  const std::map<std::string, TypeNameSet>& domains() const { return domains_; }
  // Whether `type_name` has an ObjectType value; never logs.
  bool IsObjectType(const std::string& type_name) const { return type_ids_.count(type_name) != 0; }

  // Object type ids as LEB128 varints, the form they take in record keys.
  // "" (with an error log) for a name that is no object type.
  std::string GetObjectTypeId(const std::string& type_name) const;
  // Full type name of the type-id varint at the start of `bytes`; *used gets
  // the varint's length (also when the id is unknown). "" for an unknown id
  // or a malformed varint.
  std::string GetFullQualifiedName(const std::string& bytes, uint32_t* used = nullptr) const;
  std::string GetFullQualifiedName(const std::string& bytes, int* used) const;

  // The object type named by the message's ObjectType enum field (or by an
  // unknown varint of that field number); "" when there is none.
  std::string GetObjectType(const google::protobuf::Message* message) const;
  // Records the type's id in that field, as an unknown varint field.
  void SetObjectType(const std::string& type_name, google::protobuf::Message* message) const;
  bool HasSortRepeatedFields(const std::string& type_name) const;
  // Merkle leaf block of an object; 0 (no block) for an unknown type or an
  // empty range.
  uint32_t ComputeBlockId(
      const std::string& type_name, const std::string& key,
      const std::shared_ptr<const caldek::orv::tarnix::MerkleTreeBlockRangesMsg>& ranges) const;

 private:
  friend class SchemaTestPeer;

  // One loaded pool with the factory whose prototypes describe it. The
  // factory is destroyed first.
  struct Generation {
    std::shared_ptr<google::protobuf::DescriptorPool> pool;
    std::unique_ptr<google::protobuf::DynamicMessageFactory> factory;
  };

  void BuildObjectTypeTables();

  const std::string package_prefix_;
  std::string schema_path_;
  // Every generation loaded so far; the last one is the current one.
  std::vector<std::unique_ptr<Generation>> generations_;
  // Current pool and factory (both null/empty until a load succeeds).
  std::shared_ptr<google::protobuf::DescriptorPool> descriptor_pool_;
  google::protobuf::DynamicMessageFactory* message_factory_ = nullptr;
  std::unordered_set<const google::protobuf::FileDescriptor*> files_;
  std::unordered_map<int32_t, std::string> type_names_;
  std::unordered_map<std::string, int32_t> type_ids_;
  // Object type id -> FieldDescriptor::CppType of its key field.
  std::unordered_map<int32_t, int32_t> key_kinds_;
  // Object type id -> number of its update_frequency value (default 2).
  std::unordered_map<int32_t, int32_t> update_frequencies_;
  std::unordered_set<int32_t> merkle_sort_types_;
  std::vector<int32_t> ephemeral_types_;
  std::map<std::string, TypeNameSet> domains_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_SCHEMA_TYPES_H_

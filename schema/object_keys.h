#ifndef TARNIX_SCHEMA_OBJECT_KEYS_H_
#define TARNIX_SCHEMA_OBJECT_KEYS_H_

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/key_snapshot.h"

namespace tarnix {

class ParentTypes;
class SchemaTypes;

// The keys of objects: the key field of each type (the one with the `key`
// option), the key strings derived from it as stored in record keys, and
// the keys of an object's parents. Publishes, for other threads, a
// KeySnapshot of what reading keys needs. Not thread-safe apart from
// key_snapshot(); lookups fill a cache.
class ObjectKeys {
 public:
  // Parent type name -> key strings found for it, in the order found.
  using ParentKeyMap = std::unordered_map<std::string, std::vector<std::string>>;

  // Neither is owned; both must outlive this. Empty until Rebuild.
  ObjectKeys(const SchemaTypes* types, const ParentTypes* parents)
      : types_(types), parents_(parents) {}
  ObjectKeys(const ObjectKeys&) = delete;
  ObjectKeys& operator=(const ObjectKeys&) = delete;

  // Drops the cached key fields and publishes a snapshot of the types'
  // current generation.
  void Rebuild();

  // What reading object keys needs of the schema in force, for any thread
  // (null until a load); every load makes a new one.
  std::shared_ptr<const KeySnapshot> key_snapshot() const {
    return std::atomic_load(&key_snapshot_);
  }
  // The same, on the thread that loads the schema.
  const KeySnapshot* current_key_snapshot() const { return key_snapshot_.get(); }

  // First field carrying the `key` option, or null; cached per type.
  const google::protobuf::FieldDescriptor* GetKeyField(
      const google::protobuf::Descriptor* type) const;
  // Clears every set field without the `key` option.
  void ClearNonKeyFields(google::protobuf::Message* message) const;

  // Key strings: the id bytes of an object, derived from its key field.
  std::string KeyFieldToString(const google::protobuf::Message* message,
                               const google::protobuf::FieldDescriptor* field) const;
  std::string RepeatedKeyFieldToString(const google::protobuf::Message* message,
                                       const google::protobuf::FieldDescriptor* field,
                                       int index) const;
  // "" (with an error log) when the key field is missing, repeated or unset.
  std::string GetKey(const google::protobuf::Message* message) const;
  std::string GetKeyFieldName(const google::protobuf::Message* message) const;
  std::string GetKeyFromSerialized(const std::string& type_name, const std::string& bytes) const;
  // Appends the message's parent keys to *parent_keys.
  void GetParentKeys(const google::protobuf::Message* message, ParentKeyMap* parent_keys) const;
  void GetParentKeysFromSerialized(const std::string& type_name, const std::string& bytes,
                                   ParentKeyMap* parent_keys) const;

 private:
  const SchemaTypes* const types_;
  const ParentTypes* const parents_;
  mutable std::unordered_map<const google::protobuf::Descriptor*,
                             const google::protobuf::FieldDescriptor*>
      key_fields_;
  // Replaced whole by each Rebuild; read by other threads through atomic_load.
  std::shared_ptr<const KeySnapshot> key_snapshot_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_OBJECT_KEYS_H_

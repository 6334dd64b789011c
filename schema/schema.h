#ifndef TARNIX_SCHEMA_SCHEMA_H_
#define TARNIX_SCHEMA_SCHEMA_H_

#include <string>

#include "schema/client_permission_table.h"
#include "schema/object_keys.h"
#include "schema/op_messages.h"
#include "schema/parent_types.h"
#include "schema/schema_types.h"
#include "util/status.h"

namespace tarnix {

// The daemon's view of its schema file (a serialised FileDescriptorSet). It
// loads the file and holds what the rest of the tree reads of it, one class
// per job: the type tables, client permissions, parent types, object keys
// and op messages. A load rebuilds each from the new generation. Not
// thread-safe, apart from keys().key_snapshot().
class Schema {
 public:
  // Loads `schema_path`; a failed load leaves an empty schema.
  Schema(const std::string& schema_path, std::string package_prefix);
  ~Schema();
  Schema(const Schema&) = delete;
  Schema& operator=(const Schema&) = delete;

  // Loads or reloads the schema; on failure (logged) nothing changes.
  // INVALID_ARGUMENT for a file that does not read, parse or build.
  Status LoadSchema(const std::string& schema_path);
  // A reload at run time: as LoadSchema, but a schema that defines no object
  // type is refused too (FAILED_PRECONDITION, which means only that), and
  // the schema in force stays: with none, every write would be acknowledged
  // and nothing stored.
  Status ReloadSchema(const std::string& schema_path);

  const SchemaTypes& types() const { return types_; }
  const ClientPermissionTable& permissions() const { return permissions_; }
  const ParentTypes& parents() const { return parents_; }
  const ObjectKeys& keys() const { return keys_; }
  const OpMessages& op_messages() const { return op_messages_; }

 private:
  Status Load(const std::string& schema_path, bool require_object_type);

  // Declared before the components that read them.
  SchemaTypes types_;
  ParentTypes parents_;
  ClientPermissionTable permissions_;
  ObjectKeys keys_;
  OpMessages op_messages_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_SCHEMA_H_

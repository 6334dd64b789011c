#ifndef TARNIX_SCHEMA_CLIENT_PERMISSION_TABLE_H_
#define TARNIX_SCHEMA_CLIENT_PERMISSION_TABLE_H_

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarnix {

class SchemaTypes;

// What one client may do: the object types it may read and write (full type
// names, or the literal "all") and whether it may create and delete vdbs.
struct ClientPermissions {
  std::unordered_set<std::string> read_types;
  std::unordered_set<std::string> write_types;
  bool manage_vdbs = false;
};

// The schema's ClientId enum read into per-client permissions, each read or
// write domain entry expanded to the type names of the domains it covers.
// Not thread-safe.
class ClientPermissionTable {
 public:
  // `types` is not owned and must outlive the table. Empty until Rebuild.
  explicit ClientPermissionTable(const SchemaTypes* types) : types_(types) {}
  ClientPermissionTable(const ClientPermissionTable&) = delete;
  ClientPermissionTable& operator=(const ClientPermissionTable&) = delete;

  // Replaces the table with the one of the types' current generation.
  // REQUIRES: the types have loaded a schema.
  void Rebuild();

  bool HasReadPermission(const std::string& client_id, const std::string& type_name) const;
  bool HasWritePermission(const std::string& client_id, const std::string& type_name) const;
  bool CanManageVDbs(const std::string& client_id) const;
  // Encoded ids of the types the client may write, ascending by id.
  std::vector<std::string> GetSortedObjectTypeIds(const std::string& client_id) const;

 private:
  // Adds the type names that one read or write domain entry grants.
  void ExpandDomainEntry(const std::string& entry, std::unordered_set<std::string>* out) const;

  const SchemaTypes* const types_;
  std::unordered_map<std::string, ClientPermissions> client_permissions_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_CLIENT_PERMISSION_TABLE_H_

#include "schema/client_permission_table.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/schema_types.h"
#include "schema/varint.h"

namespace tarnix {

namespace opt = ::caldek::orv::tarnix;
namespace pb = ::google::protobuf;

namespace {

// Whether a client's read or write types grant `type_name`, by name or "all".
bool Grants(const std::unordered_set<std::string>& types, const std::string& type_name) {
  return types.count("all") != 0 || types.count(type_name) != 0;
}

}  // namespace

void ClientPermissionTable::Rebuild() {
  client_permissions_.clear();
  const pb::EnumDescriptor* client_ids =
      types_->FindEnumTypeByName(types_->package_prefix() + ".ClientId");
  if (client_ids == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "Unable to find ClientId enum from the descriptor");
    return;
  }
  for (int i = 0; i < client_ids->value_count(); ++i) {
    const pb::EnumValueDescriptor* value = client_ids->value(i);
    const pb::EnumValueOptions& options = value->options();
    if (!options.HasExtension(opt::client_id)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204", "ClientId enum %s is missing client_id option",
                 value->name().c_str());
      continue;
    }
    ClientPermissions permissions;
    if (options.HasExtension(opt::permission)) {
      const opt::PermissionOptionMsg& granted = options.GetExtension(opt::permission);
      for (const std::string& entry : granted.read_domains()) {
        ExpandDomainEntry(entry, &permissions.read_types);
      }
      for (const std::string& entry : granted.write_domains()) {
        ExpandDomainEntry(entry, &permissions.write_types);
      }
      permissions.manage_vdbs = granted.manage_vdbs();
    }
    // A later value with the same client id replaces an earlier one.
    client_permissions_[options.GetExtension(opt::client_id)] = std::move(permissions);
  }
}

// "all" stays literal; any other entry grants every domain whose name begins
// with it ("" grants every domain).
void ClientPermissionTable::ExpandDomainEntry(const std::string& entry,
                                              std::unordered_set<std::string>* out) const {
  if (entry == "all") {
    out->insert(entry);
    return;
  }
  for (auto it = types_->domains().lower_bound(entry);
       it != types_->domains().end() && it->first.compare(0, entry.size(), entry) == 0; ++it) {
    out->insert(it->second.begin(), it->second.end());
  }
}

bool ClientPermissionTable::HasReadPermission(const std::string& client_id,
                                              const std::string& type_name) const {
  auto it = client_permissions_.find(client_id);
  return it != client_permissions_.end() && Grants(it->second.read_types, type_name);
}

bool ClientPermissionTable::HasWritePermission(const std::string& client_id,
                                               const std::string& type_name) const {
  auto it = client_permissions_.find(client_id);
  return it != client_permissions_.end() && Grants(it->second.write_types, type_name);
}

bool ClientPermissionTable::CanManageVDbs(const std::string& client_id) const {
  auto it = client_permissions_.find(client_id);
  return it != client_permissions_.end() && it->second.manage_vdbs;
}

std::vector<std::string> ClientPermissionTable::GetSortedObjectTypeIds(
    const std::string& client_id) const {
  std::vector<std::string> ids;
  auto client = client_permissions_.find(client_id);
  if (client == client_permissions_.end()) return ids;
  for (const std::string& type_name : client->second.write_types) {
    ids.push_back(types_->GetObjectTypeId(type_name));
  }
  // By numeric id; an empty entry reads as 0.
  auto numeric = [](const std::string& encoded) {
    uint64_t value = 0;
    if (DecodeVarint64(encoded.data(), encoded.size(), &value) == 0) return int32_t{0};
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  };
  std::sort(ids.begin(), ids.end(),
            [&](const std::string& a, const std::string& b) { return numeric(a) < numeric(b); });
  return ids;
}

}  // namespace tarnix

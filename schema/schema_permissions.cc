#include <utility>

#include "caldek/orv/tarnix/tarnix_options.pb.h"
#include "logging/logger.h"
#include "schema/schema.h"

namespace tarnix {

namespace opt = ::caldek::orv::tarnix;
namespace pb = ::google::protobuf;

void Schema::BuildClientIdTable() {
  client_permissions_.clear();
  const pb::EnumDescriptor* client_ids =
      descriptor_pool_->FindEnumTypeByName(package_prefix_ + ".ClientId");
  if (client_ids == nullptr) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
               "Unable to find ClientId enum from the descriptor");
    return;
  }
  for (int i = 0; i < client_ids->value_count(); ++i) {
    const pb::EnumValueDescriptor* value = client_ids->value(i);
    const pb::EnumValueOptions& options = value->options();
    if (!options.HasExtension(opt::client_id)) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
                 "ClientId enum %s is missing client_id option",
                 value->name().c_str());
      continue;
    }
    ClientPermissions permissions;
    if (options.HasExtension(opt::permission)) {
      const opt::PermissionOptionMsg& granted =
          options.GetExtension(opt::permission);
      for (const std::string& entry : granted.read_domains()) {
        ExpandDomainEntry(entry, &permissions.read_types);
      }
      for (const std::string& entry : granted.write_domains()) {
        ExpandDomainEntry(entry, &permissions.write_types);
      }
      permissions.manage_vdbs = granted.manage_vdbs();
    }
    // A later value with the same client id replaces an earlier one.
    client_permissions_[options.GetExtension(opt::client_id)] =
        std::move(permissions);
  }
}

// "all" stays literal; any other entry grants every domain whose name begins
// with it ("" grants every domain).
void Schema::ExpandDomainEntry(const std::string& entry,
                               TypeNameSet* out) const {
  if (entry == "all") {
    out->insert(entry);
    return;
  }
  for (auto it = domains_.lower_bound(entry);
       it != domains_.end() && it->first.compare(0, entry.size(), entry) == 0;
       ++it) {
    out->insert(it->second.begin(), it->second.end());
  }
}

bool Schema::HasReadPermission(const std::string& client_id,
                               const std::string& type_name) const {
  auto it = client_permissions_.find(client_id);
  if (it == client_permissions_.end()) return false;
  const TypeNameSet& types = it->second.read_types;
  return types.count("all") != 0 || types.count(type_name) != 0;
}

bool Schema::HasWritePermission(const std::string& client_id,
                                const std::string& type_name) const {
  auto it = client_permissions_.find(client_id);
  if (it == client_permissions_.end()) return false;
  const TypeNameSet& types = it->second.write_types;
  return types.count("all") != 0 || types.count(type_name) != 0;
}

bool Schema::CanManageVDbs(const std::string& client_id) const {
  auto it = client_permissions_.find(client_id);
  return it != client_permissions_.end() && it->second.manage_vdbs;
}

}  // namespace tarnix

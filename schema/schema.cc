#include "schema/schema.h"

#include <utility>

namespace tarnix {

Schema::Schema(const std::string& schema_path, std::string package_prefix)
    : types_(std::move(package_prefix)),
      parents_(&types_),
      permissions_(&types_),
      keys_(&types_, &parents_),
      op_messages_(&types_) {
  LoadSchema(schema_path);
}

Schema::~Schema() = default;

Status Schema::LoadSchema(const std::string& schema_path) { return Load(schema_path, false); }

Status Schema::ReloadSchema(const std::string& schema_path) { return Load(schema_path, true); }

Status Schema::Load(const std::string& schema_path, bool require_object_type) {
  Status status = types_.Load(schema_path, require_object_type);
  if (!status.ok()) return status;
  // The op-message cache stays: it holds the OpMsg types of every generation.
  parents_.Rebuild();
  permissions_.Rebuild();
  keys_.Rebuild();
  return status;
}

}  // namespace tarnix

#include "schema/schema.h"

#include <utility>

namespace tarnix {

Schema::Schema(const std::string& schema_path, std::string package_prefix)
    : package_prefix_(std::move(package_prefix)) {
  LoadSchema(schema_path);
}

Schema::~Schema() = default;

bool Schema::LoadSchema(const std::string& /*schema_path*/) { return false; }

std::string Schema::GetSchemaPath() const { return schema_path_; }

}  // namespace tarnix

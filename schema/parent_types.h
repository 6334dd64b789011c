#ifndef TARNIX_SCHEMA_PARENT_TYPES_H_
#define TARNIX_SCHEMA_PARENT_TYPES_H_

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <google/protobuf/descriptor.h>

namespace tarnix {

class SchemaTypes;

// Which object types are parents of which, as the schema's parent_key
// options say, and which fields of a type lead to a parent key. A delete
// cascades from a parent to its child types. Not thread-safe; lookups fill
// a cache.
class ParentTypes {
 public:
  using TypeNameSet = std::unordered_set<std::string>;
  using FieldList = std::vector<const google::protobuf::FieldDescriptor*>;

  // `types` is not owned and must outlive this. Empty until Rebuild.
  explicit ParentTypes(const SchemaTypes* types) : types_(types) {}
  ParentTypes(const ParentTypes&) = delete;
  ParentTypes& operator=(const ParentTypes&) = delete;

  // Replaces the tables with those of the types' current generation.
  void Rebuild();

  // Both return an empty set for a name without entry.
  const TypeNameSet& LookupParentTypes(const std::string& type_name) const;
  const TypeNameSet& LookupChildTypes(const std::string& type_name) const;
  // Fields of `type` that carry `parent_key` or lead to one; cached per type
  // until the next Rebuild.
  const FieldList& GetParentKeyFields(const google::protobuf::Descriptor* type) const;
  bool HasParentKeyOption(const google::protobuf::Descriptor* type) const;
  // Adds the parent_key values of `type` and of the message types reachable
  // through its fields; `visited` ends recursion.
  void CollectParentTypes(const google::protobuf::Descriptor* type, TypeNameSet* parents,
                          TypeNameSet* visited) const;

 private:
  bool ReachesParentKey(const google::protobuf::Descriptor* type,
                        std::unordered_set<const google::protobuf::Descriptor*>* visited) const;

  const SchemaTypes* const types_;
  std::unordered_map<std::string, TypeNameSet> parent_types_;
  std::unordered_map<std::string, TypeNameSet> child_types_;
  mutable std::unordered_map<const google::protobuf::Descriptor*, FieldList> parent_key_fields_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_PARENT_TYPES_H_

#include "schema/key_snapshot.h"

#include "schema/field_checks.h"
#include "schema/field_access.h"

namespace tarnix {

namespace pb = google::protobuf;

const KeySnapshot::Type* KeySnapshot::TypeOf(const pb::Message& object) const {
  const pb::FieldDescriptor* field = FindObjectTypeField(object.GetDescriptor());
  const pb::Reflection* r = object.GetReflection();
  // An id the compiled enum knows is the loop's to resolve.
  if (field == nullptr || field->is_repeated() || r->HasField(object, field)) return nullptr;
  const pb::UnknownFieldSet& unknown = r->GetUnknownFields(object);
  for (int i = 0; i < unknown.field_count(); ++i) {
    const pb::UnknownField& candidate = unknown.field(i);
    if (candidate.number() != field->number()) continue;
    if (candidate.type() != pb::UnknownField::TYPE_VARINT) return nullptr;
    auto it = types_.find(static_cast<int32_t>(static_cast<uint32_t>(candidate.varint())));
    return it == types_.end() ? nullptr : &it->second;
  }
  return nullptr;
}

bool KeySnapshot::ReadKey(const Type& type, const std::string& body,
                          std::unique_ptr<pb::Message>* scratch, std::string* key) const {
  if (type.key == nullptr) return false;
  if (*scratch == nullptr || (*scratch)->GetDescriptor() != type.prototype->GetDescriptor()) {
    scratch->reset(type.prototype->New());
  }
  pb::Message& message = **scratch;
  if (!message.ParseFromString(body)) return false;
  if (!message.GetReflection()->HasField(message, type.key)) return false;
  *key = AccessOf(type.key).key(message, type.key, FieldAccess::kSingular, package_prefix_);
  return !key->empty();
}

}  // namespace tarnix

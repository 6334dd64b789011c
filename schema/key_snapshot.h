#ifndef TARNIX_SCHEMA_KEY_SNAPSHOT_H_
#define TARNIX_SCHEMA_KEY_SNAPSHOT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace tarnix {

// What reading object keys needs of one schema generation, frozen: object
// type ids with their names, prototypes and key fields. Immutable once
// built, so any thread may read keys through it while the loop reloads the
// schema; a reload makes a new snapshot. Reads never log: a body it cannot
// read is left to the loop, which reads it again and reports.
class KeySnapshot {
 public:
  struct Type {
    std::string name;
    const google::protobuf::Message* prototype;
    const google::protobuf::FieldDescriptor* key;  // singular, or null
  };

  explicit KeySnapshot(std::string package_prefix) : package_prefix_(std::move(package_prefix)) {}
  void AddType(int32_t id, Type type) { types_.emplace(id, std::move(type)); }

  // The type of `object` when it carries its id as an unknown varint of its
  // ObjectType field and the id is one of this generation's; else null.
  const Type* TypeOf(const google::protobuf::Message& object) const;

  // The key of `body`, of type `type`, parsed into `*scratch` (made from
  // the type's prototype when null or of another type); false when the body
  // does not parse or has no key.
  bool ReadKey(const Type& type, const std::string& body,
               std::unique_ptr<google::protobuf::Message>* scratch, std::string* key) const;

 private:
  const std::string package_prefix_;
  std::unordered_map<int32_t, Type> types_;
};

// One key read off the loop: the name of the object's type (owned by the
// snapshot) and its key. A null type: nothing was read.
struct PreparedKey {
  const std::string* type = nullptr;
  std::string key;
};

// The keys of one request message's entries, in entry order, read with
// `snapshot`.
struct PreparedKeys {
  std::shared_ptr<const KeySnapshot> snapshot;
  std::vector<PreparedKey> keys;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_KEY_SNAPSHOT_H_

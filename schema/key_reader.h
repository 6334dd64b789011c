#ifndef TARNIX_SCHEMA_KEY_READER_H_
#define TARNIX_SCHEMA_KEY_READER_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/message.h>

#include "schema/key_snapshot.h"

namespace tarnix {

class ObjectKeys;
class SchemaTypes;

// Reads the ids of serialised object bodies as ObjectKeys::GetKeyFromSerialized
// does, with the same results and log lines, but parses each body into one
// message kept per object type instead of a new one per body.
//
// For one thread and a short while (one transaction): `types` and `keys` (of
// one Schema) are not owned and must outlive the reader, and the types must
// not be reloaded meanwhile.
class KeyReader {
 public:
  KeyReader(const SchemaTypes* types, const ObjectKeys* keys);
  ~KeyReader();
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  // The key string of the body `bytes` of type `type_name`; "" (with an
  // ERROR line) for an unknown type, bytes that do not parse, or a body
  // without a key.
  std::string Read(const std::string& type_name, const std::string& bytes);

  // The next Read takes *key, read elsewhere with `snapshot`, instead of
  // parsing, when that snapshot is still the schema's and the key is of the
  // same type. Read with nothing read elsewhere: a null key.
  void Offer(const KeySnapshot* snapshot, PreparedKey* key) {
    offered_snapshot_ = snapshot;
    offered_ = key;
  }

 private:
  // The message kept for `type_name`, made at first use; null for a type
  // the schema does not know.
  google::protobuf::Message* MessageFor(const std::string& type_name);

  const SchemaTypes* types_;
  const ObjectKeys* keys_;
  // Few types per transaction: a short list, the last one used first.
  std::vector<std::pair<std::string, std::unique_ptr<google::protobuf::Message>>> messages_;
  size_t last_ = 0;
  const KeySnapshot* offered_snapshot_ = nullptr;
  PreparedKey* offered_ = nullptr;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_KEY_READER_H_

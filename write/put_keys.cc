#include "write/put_keys.h"

#include <memory>

#include "schema/schema.h"

namespace tarnix {

PreparedKeys ReadPutKeys(const Schema& schema, const caldek::orv::tarnix::PutRequestMsg& request) {
  PreparedKeys prepared;
  prepared.snapshot = schema.key_snapshot();
  if (prepared.snapshot == nullptr) return prepared;
  prepared.keys.resize(request.puts_size());
  std::unique_ptr<google::protobuf::Message> scratch;
  for (int i = 0; i < request.puts_size(); ++i) {
    const auto& object = request.puts(i).object();
    const KeySnapshot::Type* type = prepared.snapshot->TypeOf(object);
    if (type == nullptr) continue;
    PreparedKey& key = prepared.keys[i];
    if (prepared.snapshot->ReadKey(*type, object.object_body(), &scratch, &key.key)) {
      key.type = &type->name;
    }
  }
  return prepared;
}

}  // namespace tarnix

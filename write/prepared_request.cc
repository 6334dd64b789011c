#include "write/prepared_request.h"

#include <memory>

#include "schema/schema.h"
#include "write/tarnix_transaction_log.h"

namespace tarnix {

PreparedRequest PrepareRequest(const Schema& schema,
                               const caldek::orv::tarnix::PutRequestMsg& request) {
  PreparedRequest prepared;
  prepared.has_log_unit = TarnixTransactionLog::SerializeRequestUnit(request, &prepared.log_unit);
  PreparedKeys& keys = prepared.keys;
  keys.snapshot = schema.key_snapshot();
  if (keys.snapshot == nullptr) return prepared;
  keys.keys.resize(request.puts_size());
  std::unique_ptr<google::protobuf::Message> scratch;
  for (int i = 0; i < request.puts_size(); ++i) {
    const auto& object = request.puts(i).object();
    const KeySnapshot::Type* type = keys.snapshot->TypeOf(object);
    if (type == nullptr) continue;
    PreparedKey& key = keys.keys[i];
    if (keys.snapshot->ReadKey(*type, object.object_body(), &scratch, &key.key)) {
      key.type = &type->name;
    }
  }
  return prepared;
}

}  // namespace tarnix

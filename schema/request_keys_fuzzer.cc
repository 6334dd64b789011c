// Key and parent-key extraction from client-sent object bodies of the
// example schema. The first byte picks the object type, the rest is the
// body. A body's keys must survive a round trip through the wire form.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/message.h>

#include "schema/fuzz_schema.h"
#include "schema/schema.h"
#include "util/fuzz_support.h"

namespace tarnix {
namespace {

void Keys(const std::string& type_name, const std::string& body) {
  const Schema& schema = ExampleSchema();
  const std::string key = schema.keys().GetKeyFromSerialized(type_name, body);
  ObjectKeys::ParentKeyMap parents;
  schema.keys().GetParentKeysFromSerialized(type_name, body, &parents);
  std::unique_ptr<google::protobuf::Message> message(schema.types().ParseMessage(type_name, body));
  if (!message) {
    TARNIX_FUZZ_CHECK(key.empty() && parents.empty());
    return;
  }
  TARNIX_FUZZ_CHECK(schema.keys().GetKey(message.get()) == key);
  for (const auto& entry : parents) {
    TARNIX_FUZZ_CHECK(!entry.second.empty());
    TARNIX_FUZZ_CHECK(schema.parents().LookupParentTypes(type_name).count(entry.first) != 0);
  }
  // The same object reserialised.
  const std::string again = message->SerializeAsString();
  TARNIX_FUZZ_CHECK(schema.keys().GetKeyFromSerialized(type_name, again) == key);
  ObjectKeys::ParentKeyMap parents_again;
  schema.keys().GetParentKeysFromSerialized(type_name, again, &parents_again);
  TARNIX_FUZZ_CHECK(parents_again == parents);
}

}  // namespace
}  // namespace tarnix

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarnix::SilenceLogs();
  tarnix::ExampleTypeNames();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string>& types = tarnix::ExampleTypeNames();
  if (size == 0 || types.empty()) return 0;
  tarnix::Keys(types[data[0] % types.size()],
               std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}

#include "write/prepared_request.h"

#include <memory>
#include <utility>

#include "schema/schema.h"
#include "write/tarnix_transaction_log.h"

namespace tarnix {

void PreparedStream::Add(PreparedRequest request) {
  requests_.push_back(std::move(request));
  if (!requests_.back().has_log_unit) return;
  unit_bytes_ += requests_.back().log_unit.size();
  if (unit_bytes_ <= log_bound_) return;
  // Each message lets its unit go once: the earlier ones when the bound is
  // passed, every later one as it comes.
  for (; first_held_ < requests_.size(); ++first_held_) {
    PreparedRequest& held = requests_[first_held_];
    held.has_log_unit = false;
    std::string().swap(held.log_unit);
  }
}

void PreparedStream::Clear() {
  requests_.clear();
  unit_bytes_ = 0;
  first_held_ = 0;
}

uint64_t PreparedStream::held_unit_bytes() const {
  uint64_t bytes = 0;
  for (const PreparedRequest& request : requests_) bytes += request.log_unit.size();
  return bytes;
}

PreparedRequest PrepareRequest(const Schema& schema,
                               const caldek::orv::tarnix::PutRequestMsg& request) {
  PreparedRequest prepared;
  prepared.has_log_unit = TarnixTransactionLog::SerializeRequestUnit(request, &prepared.log_unit);
  PreparedKeys& keys = prepared.keys;
  keys.snapshot = schema.keys().key_snapshot();
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

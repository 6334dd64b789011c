#include "schema/key_reader.h"

#include "logging/logger.h"
#include "schema/object_keys.h"
#include "schema/schema_types.h"

namespace tarnix {

KeyReader::KeyReader(const SchemaTypes* types, const ObjectKeys* keys)
    : types_(types), keys_(keys) {}

KeyReader::~KeyReader() = default;

google::protobuf::Message* KeyReader::MessageFor(const std::string& type_name) {
  if (last_ < messages_.size() && messages_[last_].first == type_name) {
    return messages_[last_].second.get();
  }
  for (last_ = 0; last_ < messages_.size(); ++last_) {
    if (messages_[last_].first == type_name) return messages_[last_].second.get();
  }
  // An unknown type is not kept: each body of it is refused as the first.
  std::unique_ptr<google::protobuf::Message> message(types_->NewMessage(type_name));
  if (!message) return nullptr;
  messages_.emplace_back(type_name, std::move(message));
  last_ = messages_.size() - 1;
  return messages_.back().second.get();
}

std::string KeyReader::Read(const std::string& type_name, const std::string& bytes) {
  PreparedKey* const offered = offered_;
  offered_ = nullptr;
  if (offered != nullptr && offered->type != nullptr &&
      offered_snapshot_ == keys_->current_key_snapshot() && *offered->type == type_name) {
    return std::move(offered->key);
  }
  google::protobuf::Message* message = MessageFor(type_name);
  if (message == nullptr || !types_->ParseInto(type_name, bytes, message).ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0203", "Unable to deserialize Object %s",
               bytes.c_str());
    return std::string();
  }
  return keys_->GetKey(message);
}

}  // namespace tarnix

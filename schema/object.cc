#include "schema/object.h"

#include <utility>

#include "logging/logger.h"
#include "schema/schema.h"

namespace tarnix {

TarnixObject::TarnixObject(std::string object_type, Body body)
    : object_type_(std::move(object_type)), object_body_(std::move(body)) {
  if (!object_body_) object_body_ = std::make_shared<const std::string>();
}

TarnixObject::TarnixObject(std::string object_type, std::string object_id, Body body)
    : TarnixObject(std::move(object_type), std::move(body)) {
  object_id_ = std::move(object_id);
}

TarnixObject::TarnixObject(std::string object_type, const std::string& body)
    : TarnixObject(std::move(object_type), std::make_shared<const std::string>(body)) {}

void TarnixObject::LogBodyWithoutType() const {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0204",
             "TarnixObject: object_type_ not set but object_body_ is set to %s",
             object_body_->c_str());
}

bool TarnixObject::HasObjectType() const {
  if (object_type_) return true;
  if (object_body_) LogBodyWithoutType();
  return false;
}

std::string TarnixObject::object_type() const {
  return HasObjectType() ? *object_type_ : std::string();
}

std::string TarnixObject::object_id() const {
  if (!HasObjectType()) return std::string();
  return object_id_ ? *object_id_ : std::string();
}

std::string TarnixObject::object_body() const {
  if (!HasObjectType()) return std::string();
  return *object_body_;
}

TarnixObject::MessagePtr TarnixObject::GetMessage(const Schema& schema) const {
  if (!HasObjectType()) return MessagePtr();
  if (!message_) message_.reset(schema.types().ParseMessage(*object_type_, *object_body_));
  return message_;
}

std::string TarnixObject::DebugString(const Schema& schema) const {
  if (!object_type_) return std::string();
  if (!debug_string_) {
    MessagePtr message = GetMessage(schema);
    debug_string_ = message ? message->DebugString() : std::string();
  }
  return *debug_string_;
}

}  // namespace tarnix

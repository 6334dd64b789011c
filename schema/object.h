#ifndef TARNIX_SCHEMA_OBJECT_H_
#define TARNIX_SCHEMA_OBJECT_H_

#include <memory>
#include <optional>
#include <string>

#include <google/protobuf/message.h>

namespace tarnix {

class Schema;

// One object as the pipeline and the engines pass it around: its type name,
// its serialised body and, once somebody asks, the decoded message. Copies
// share the body and the decoded message.
class TarnixObject {
 public:
  using Body = std::shared_ptr<const std::string>;
  using MessagePtr = std::shared_ptr<google::protobuf::Message>;

  TarnixObject() = default;  // no type, no body
  // A body whose type is not known.
  explicit TarnixObject(Body body) : object_body_(std::move(body)) {}
  TarnixObject(std::string object_type, Body body);
  TarnixObject(std::string object_type, std::string object_id, Body body);
  // Takes a copy of body.
  TarnixObject(std::string object_type, const std::string& body);

  // Whether the type name is set; logs an error when it is not but a body is.
  bool HasObjectType() const;

  // Readers: the type name, or "" without one; the id and the body only when
  // the object has a type, else "" (each logs like HasObjectType).
  std::string object_type() const;
  std::string object_id() const;
  std::string object_body() const;
  bool has_object_id() const { return object_id_.has_value(); }
  // The shared body itself (may be null).
  const Body& body_ptr() const { return object_body_; }

  // The decoded message, parsed from the body on first use and kept; empty
  // when the object has no type or the body does not parse (the next call
  // then tries again).
  MessagePtr GetMessage(const Schema& schema) const;

  // Debug text of the decoded message, computed once and cached; "" without
  // a type or a decodable body.
  std::string DebugString(const Schema& schema) const;

 private:
  void LogBodyWithoutType() const;

  std::optional<std::string> object_type_;
  std::optional<std::string> object_id_;
  Body object_body_;
  mutable std::optional<std::string> debug_string_;
  mutable MessagePtr message_;
};

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_OBJECT_H_

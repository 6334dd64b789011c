#include "platform/rpc/serialized_message.h"

#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/support/byte_buffer.h>

namespace orv {
namespace rpc {

SerializedMessage::SerializedMessage(const google::protobuf::Message& message) {
  auto buffer = std::make_shared<grpc::ByteBuffer>();
  bool own = false;
  if (!grpc::SerializationTraits<google::protobuf::Message>::Serialize(message, buffer.get(), &own)
           .ok()) {
    return;
  }
  size_ = buffer->Length();
  buffer_ = std::move(buffer);
}

}  // namespace rpc
}  // namespace orv

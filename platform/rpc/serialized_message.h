#ifndef TARNIX_PLATFORM_RPC_SERIALIZED_MESSAGE_H_
#define TARNIX_PLATFORM_RPC_SERIALIZED_MESSAGE_H_

#include <cstddef>
#include <memory>

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace grpc {
class ByteBuffer;
}  // namespace grpc

namespace orv {
namespace rpc {

// A response serialised once, for writing to any number of calls: each
// write shares its bytes instead of copying them. Copies share them too.
// Thread-compatible.
class SerializedMessage {
 public:
  explicit SerializedMessage(const google::protobuf::Message& message);

  // False when the message did not serialise; writing it fails the call.
  bool ok() const { return buffer_ != nullptr; }
  size_t size() const { return size_; }

 private:
  friend class ServerCall;
  std::shared_ptr<const grpc::ByteBuffer> buffer_;
  size_t size_ = 0;
};

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_SERIALIZED_MESSAGE_H_

#include "platform/util/strings.h"

#include <google/protobuf/message.h>

#include <cstdarg>
#include <cstdio>

#include "platform/util/library_log.h"

namespace orv {

std::string string_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(size));
  }
  va_end(args);
  return out;
}

std::string hex_string(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return out;
}

std::string hex_string(const std::string& bytes) {
  return hex_string(bytes.data(), bytes.size());
}

namespace proto {
std::string ToString(const google::protobuf::Message& message) {
  return message.ShortDebugString();
}
}  // namespace proto

}  // namespace orv

namespace orv {
namespace rpc {
int library_log_level = 4;
}  // namespace rpc
namespace net {
int library_log_level = 4;
}  // namespace net
}  // namespace orv

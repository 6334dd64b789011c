#ifndef TARNIX_PLATFORM_UTIL_STRINGS_H_
#define TARNIX_PLATFORM_UTIL_STRINGS_H_

#include <cstddef>
#include <string>

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace orv {

// printf-style formatting into a std::string.
std::string string_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lower-case hexadecimal text of the bytes, two digits per byte.
std::string hex_string(const void* data, size_t size);
std::string hex_string(const std::string& bytes);
template <class Container>
std::string hex_string(const Container& bytes) {
  return hex_string(bytes.data(), bytes.size());
}

namespace proto {
// One-line text form of a message, for logs and status texts.
std::string ToString(const google::protobuf::Message& message);
}  // namespace proto

}  // namespace orv

#endif  // TARNIX_PLATFORM_UTIL_STRINGS_H_

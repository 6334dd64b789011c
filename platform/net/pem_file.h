#ifndef TARNIX_PLATFORM_NET_PEM_FILE_H_
#define TARNIX_PLATFORM_NET_PEM_FILE_H_

#include <string>
#include <system_error>

namespace orv {
namespace net {

// Reads the whole file into `text`; false with `ec` set when it cannot be read.
bool ReadPemFile(const std::string& path, std::string* text, std::error_code& ec);

// Parses the file's text with `parse` (a FromPemData): null when the file
// cannot be read or holds nothing that parses; `ec` says why.
template <class Ptr>
Ptr LoadPemFile(const std::string& path, std::error_code& ec,
                Ptr (*parse)(const std::string&)) {
  std::string text;
  if (!ReadPemFile(path, &text, ec)) return nullptr;
  Ptr object = parse(text);
  ec = object ? std::error_code() : std::make_error_code(std::errc::invalid_argument);
  return object;
}

}  // namespace net
}  // namespace orv

#endif  // TARNIX_PLATFORM_NET_PEM_FILE_H_

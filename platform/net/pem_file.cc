#include "platform/net/pem_file.h"

#include <fstream>
#include <sstream>

namespace orv {
namespace net {

bool ReadPemFile(const std::string& path, std::string* text, std::error_code& ec) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  *text = contents.str();
  return true;
}

}  // namespace net
}  // namespace orv

#include "write/status_helpers.h"

#include <boost/make_shared.hpp>

#include "server/rpc_status.h"

namespace tarnix {

orv::rpc::AppStatus MakeOkStatus() { return orv::rpc::SUCCESS; }

orv::rpc::AppStatus StatusFromDbAccessStatus(const DbAccessStatus& status) {
  return ToAppStatus(status.ToStatus());
}

boost::shared_ptr<std::string> MakeSharedString(std::string& value) {
  if (!value.empty() && value[0] == '\0') value.erase(0, 1);
  return boost::make_shared<std::string>(value);
}

std::string Base64Encode(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace tarnix

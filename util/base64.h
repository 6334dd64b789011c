#ifndef TARNIX_UTIL_BASE64_H_
#define TARNIX_UTIL_BASE64_H_

#include <string>

namespace tarnix {

// Standard padded base64 (RFC 4648), for diagnostic log texts.
std::string Base64Encode(const std::string& bytes);

}  // namespace tarnix

#endif  // TARNIX_UTIL_BASE64_H_

#ifndef TARNIX_STORAGE_PRINTABLE_H_
#define TARNIX_STORAGE_PRINTABLE_H_

#include <cstdio>
#include <string>

namespace tarnix {

// Keys, values and file names hold arbitrary bytes; log lines show them with
// every byte outside printable ASCII (and the backslash) as \xNN.
inline std::string Printable(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[5];
      std::snprintf(buf, sizeof(buf), "\\x%02x", c);
      out.append(buf);
    }
  }
  return out;
}

}  // namespace tarnix

#endif  // TARNIX_STORAGE_PRINTABLE_H_

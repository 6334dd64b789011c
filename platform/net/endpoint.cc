#include "platform/net/endpoint.h"

#include <cstdlib>
#include <stdexcept>

namespace orv {
namespace net {
namespace {

bool ValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  return std::atoi(port.c_str()) <= 65535;
}

}  // namespace

Endpoint::Endpoint(const std::string& text) : address_(text) {
  bool valid = false;
  if (text.compare(0, 5, "unix:") == 0) {
    valid = text.size() > 5;
  } else if (!text.empty() && text[0] == '[') {
    size_t close = text.find("]:");
    valid = close != std::string::npos && close > 1 && ValidPort(text.substr(close + 2));
  } else {
    size_t colon = text.rfind(':');
    valid = colon != std::string::npos && colon > 0 && text.find(':') == colon &&
            ValidPort(text.substr(colon + 1));
  }
  if (!valid) throw std::invalid_argument("invalid endpoint '" + text + "'");
}

}  // namespace net
}  // namespace orv

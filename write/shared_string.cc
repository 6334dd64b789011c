#include "write/shared_string.h"

#include <boost/make_shared.hpp>

namespace tarnix {

boost::shared_ptr<std::string> MakeSharedString(std::string& value) {
  if (!value.empty() && value[0] == '\0') value.erase(0, 1);
  return boost::make_shared<std::string>(value);
}

}  // namespace tarnix

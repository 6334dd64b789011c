#ifndef TARNIX_WRITE_SHARED_STRING_H_
#define TARNIX_WRITE_SHARED_STRING_H_

#include <string>

#include <boost/shared_ptr.hpp>

namespace tarnix {

// A shared copy of a stored object value. A leading 0x00 byte is first erased
// from `value` itself (values written with a marker byte); "" gives a shared
// empty string.
boost::shared_ptr<std::string> MakeSharedString(std::string& value);

}  // namespace tarnix

#endif  // TARNIX_WRITE_SHARED_STRING_H_

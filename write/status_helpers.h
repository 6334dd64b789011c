#ifndef TARNIX_WRITE_STATUS_HELPERS_H_
#define TARNIX_WRITE_STATUS_HELPERS_H_

#include <string>

#include <boost/shared_ptr.hpp>

#include "platform/rpc/status.h"
#include "storage/db_access_status.h"
#include "util/base64.h"

namespace tarnix {

// SUCCESS with an empty message: where every write step starts its status.
orv::rpc::AppStatus MakeOkStatus();

// A storage result as the client sees it: OK gives SUCCESS; no open database
// INTERNAL, corruption DATA_LOSS, anything else FAILED_PRECONDITION, each
// with "LevelDB error: " and the storage message.
orv::rpc::AppStatus StatusFromDbAccessStatus(const DbAccessStatus& status);

// A shared copy of a stored object value. A leading 0x00 byte is first erased
// from `value` itself (values written with a marker byte); "" gives a shared
// empty string.
boost::shared_ptr<std::string> MakeSharedString(std::string& value);

}  // namespace tarnix

#endif  // TARNIX_WRITE_STATUS_HELPERS_H_

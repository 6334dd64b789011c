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

}  // namespace tarnix

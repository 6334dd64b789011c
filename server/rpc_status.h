#ifndef TARNIX_SERVER_RPC_STATUS_H_
#define TARNIX_SERVER_RPC_STATUS_H_

#include "platform/rpc/status.h"
#include "util/status.h"

namespace tarnix {

// The one mapping of the domain code's status to the RPC status a call is
// answered with: the same code by name, the message unchanged.
orv::rpc::AppStatus ToAppStatus(const Status& status);

}  // namespace tarnix

#endif  // TARNIX_SERVER_RPC_STATUS_H_

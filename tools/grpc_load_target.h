#ifndef TARNIX_TOOLS_GRPC_LOAD_TARGET_H_
#define TARNIX_TOOLS_GRPC_LOAD_TARGET_H_

#include <memory>
#include <string>

#include "tools/load_run.h"

namespace tarnix {
namespace load {

// A running daemon at options.target over plaintext gRPC, with the
// generated stubs. Each client has its own channel and connection, and
// names itself with the options' client id ("client-id" metadata). A Put
// transaction is one Put stream; a Get transaction is one Get call whose
// answer must hold every object asked for; a Query transaction is one Query
// whose where clause (action EQUALS) must find every object of its group,
// each cut by the selection to its key. A monitor is one Monitor call of
// every object of the load type in the main vdb.
std::unique_ptr<LoadTarget> NewGrpcLoadTarget(const LoadOptions& options);

}  // namespace load
}  // namespace tarnix

#endif  // TARNIX_TOOLS_GRPC_LOAD_TARGET_H_

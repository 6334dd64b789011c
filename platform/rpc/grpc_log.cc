#include "platform/rpc/grpc_log.h"

#include <grpc/support/log.h>

#include <cstring>

#include "platform/util/library_log.h"

namespace orv {
namespace rpc {
namespace {

// Runs on whichever thread gRPC logs from.
void ToLogger(gpr_log_func_args* args) {
  LibraryLogLevel level = INFO;
  if (args->severity == GPR_LOG_SEVERITY_ERROR) level = ERROR;
  if (args->severity == GPR_LOG_SEVERITY_DEBUG) level = VERBOSE;
  if (library_log_level < level || Logger::logLevel < level) return;
  const char* file = args->file != nullptr ? args->file : "";
  const char* base = strrchr(file, '/');
  Logger(level).s2comp("grpc").put("%s (%s:%d)", args->message,
                                   base != nullptr ? base + 1 : file, args->line);
}

}  // namespace

void RouteGrpcLogToLogger() { gpr_set_log_function(&ToLogger); }

}  // namespace rpc
}  // namespace orv

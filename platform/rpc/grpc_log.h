#ifndef TARNIX_PLATFORM_RPC_GRPC_LOG_H_
#define TARNIX_PLATFORM_RPC_GRPC_LOG_H_

namespace orv {
namespace rpc {

// Sends gRPC's own log lines (refused handshakes, credential errors) to our
// logger, marked s2comp="grpc", behind the RPC layer's library threshold.
// gRPC's own verbosity (GRPC_VERBOSITY, ERROR by default) still applies.
// Process-wide; safe to call more than once.
void RouteGrpcLogToLogger();

}  // namespace rpc
}  // namespace orv

#endif  // TARNIX_PLATFORM_RPC_GRPC_LOG_H_

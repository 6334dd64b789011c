#include "server/rpc_status.h"

namespace tarnix {

namespace {

orv::rpc::AppStatusConstant RpcCode(Status::Code code) {
  switch (code) {
    case Status::kOk: return orv::rpc::SUCCESS;
    case Status::kInvalidArgument: return orv::rpc::INVALID_ARGUMENT;
    case Status::kNotFound: return orv::rpc::NOT_FOUND;
    case Status::kAlreadyExists: return orv::rpc::ALREADY_EXISTS;
    case Status::kPermissionDenied: return orv::rpc::PERMISSION_DENIED;
    case Status::kUnauthenticated: return orv::rpc::UNAUTHENTICATED;
    case Status::kResourceExhausted: return orv::rpc::RESOURCE_EXHAUSTED;
    case Status::kFailedPrecondition: return orv::rpc::FAILED_PRECONDITION;
    case Status::kAborted: return orv::rpc::ABORTED;
    case Status::kInternal: return orv::rpc::INTERNAL;
    case Status::kDataLoss: return orv::rpc::DATA_LOSS;
    case Status::kUnimplemented: return orv::rpc::UNIMPLEMENTED;
  }
  return orv::rpc::INTERNAL;
}

}  // namespace

orv::rpc::AppStatus ToAppStatus(const Status& status) {
  return RpcCode(status.code())(status.message());
}

}  // namespace tarnix

#ifndef TARNIX_WRITE_WRITE_VALIDATION_H_
#define TARNIX_WRITE_WRITE_VALIDATION_H_

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "platform/rpc/status.h"

namespace tarnix {

// Presence checks of one write entry, before the schema looks at it: SUCCESS,
// or INVALID_ARGUMENT naming the first missing part, with an ERROR line
// "errorCode:DRX0208". Content (an empty body, block id 0) is not checked.
orv::rpc::AppStatus ValidatePutMsg(const caldek::orv::tarnix::PutMsg& msg);
orv::rpc::AppStatus ValidateDeleteMsg(const caldek::orv::tarnix::DeleteMsg& msg);
orv::rpc::AppStatus ValidatePatchMsg(const caldek::orv::tarnix::PatchMsg& msg);
orv::rpc::AppStatus ValidateCopyMsg(const caldek::orv::tarnix::CopyMsg& msg);
orv::rpc::AppStatus ValidateFlushByBlockIdMsg(const caldek::orv::tarnix::FlushByBlockIdMsg& msg);

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_VALIDATION_H_

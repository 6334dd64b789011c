#ifndef TARNIX_WRITE_WRITE_VALIDATION_H_
#define TARNIX_WRITE_WRITE_VALIDATION_H_

#include "caldek/orv/tarnix/tarnix_write.pb.h"
#include "util/status.h"

namespace tarnix {

// Presence checks of one write entry, before the schema looks at it: SUCCESS,
// or INVALID_ARGUMENT naming the first missing part, with an ERROR line
// "errorCode:DRX0208". Content (an empty body, block id 0) is not checked.
Status ValidatePutMsg(const caldek::orv::tarnix::PutMsg& msg);
Status ValidateDeleteMsg(const caldek::orv::tarnix::DeleteMsg& msg);
Status ValidatePatchMsg(const caldek::orv::tarnix::PatchMsg& msg);
Status ValidateCopyMsg(const caldek::orv::tarnix::CopyMsg& msg);
Status ValidateFlushByBlockIdMsg(const caldek::orv::tarnix::FlushByBlockIdMsg& msg);

}  // namespace tarnix

#endif  // TARNIX_WRITE_WRITE_VALIDATION_H_

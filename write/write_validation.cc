#include "write/write_validation.h"

#include "logging/logger.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// The log text and the client's text differ for some checks.
Status Missing(const char* log_text, const char* status_text) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "%s", log_text);
  return Status::InvalidArgument(status_text);
}

}  // namespace

Status ValidatePutMsg(const tx::PutMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for PUT message", "Missing object for PUT message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing object body for PUT message", "Missing object body for PUT message");
  }
  return Status::OK();
}

Status ValidateDeleteMsg(const tx::DeleteMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for DEL message", "Missing object for DEL message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing embedded id for DEL message", "Missing object id for DEL message");
  }
  return Status::OK();
}

Status ValidatePatchMsg(const tx::PatchMsg& msg) {
  if (!msg.has_object_value()) {
    return Missing("Missing object value for PATCH message",
                   "Missing object value for PATCH message");
  }
  if (!msg.has_op_msg()) {
    return Missing("Missing patch op msg for PATCH message",
                   "Missing patch op msg for PATCH message");
  }
  return Status::OK();
}

Status ValidateCopyMsg(const tx::CopyMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for COPY message", "Missing object for COPY message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing embedded id for COPY message", "Missing object id for COPY message");
  }
  return Status::OK();
}

Status ValidateFlushByBlockIdMsg(const tx::FlushByBlockIdMsg& msg) {
  if (!msg.has_block_id()) {
    return Missing("Missing block id for FLUSH By Block Id message",
                   "Missing block id for FLUSH by Block Id message");
  }
  return Status::OK();
}

}  // namespace tarnix

#include "write/write_validation.h"

#include "logging/logger.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// The log text and the client's text differ for some checks.
orv::rpc::AppStatus Missing(const char* log_text, const char* status_text) {
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0208", "%s", log_text);
  return orv::rpc::INVALID_ARGUMENT(status_text);
}

}  // namespace

orv::rpc::AppStatus ValidatePutMsg(const tx::PutMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for PUT message", "Missing object for PUT message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing object body for PUT message", "Missing object body for PUT message");
  }
  return orv::rpc::SUCCESS;
}

orv::rpc::AppStatus ValidateDeleteMsg(const tx::DeleteMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for DEL message", "Missing object for DEL message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing embedded id for DEL message", "Missing object id for DEL message");
  }
  return orv::rpc::SUCCESS;
}

orv::rpc::AppStatus ValidatePatchMsg(const tx::PatchMsg& msg) {
  if (!msg.has_object_value()) {
    return Missing("Missing object value for PATCH message",
                   "Missing object value for PATCH message");
  }
  if (!msg.has_op_msg()) {
    return Missing("Missing patch op msg for PATCH message",
                   "Missing patch op msg for PATCH message");
  }
  return orv::rpc::SUCCESS;
}

orv::rpc::AppStatus ValidateCopyMsg(const tx::CopyMsg& msg) {
  if (!msg.has_object()) {
    return Missing("Missing object for COPY message", "Missing object for COPY message");
  }
  if (!msg.object().has_object_body()) {
    return Missing("Missing embedded id for COPY message", "Missing object id for COPY message");
  }
  return orv::rpc::SUCCESS;
}

orv::rpc::AppStatus ValidateFlushByBlockIdMsg(const tx::FlushByBlockIdMsg& msg) {
  if (!msg.has_block_id()) {
    return Missing("Missing block id for FLUSH By Block Id message",
                   "Missing block id for FLUSH by Block Id message");
  }
  return orv::rpc::SUCCESS;
}

}  // namespace tarnix

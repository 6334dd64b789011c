#include "write/write_validation.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "schema/schema_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

// The status, and that the failure logged its own text under DRX0208.
void ExpectMissing(const Status& status, const orv::LogCapture& capture,
                   const std::string& status_text, const std::string& log_text) {
  EXPECT_EQ(status, Status::InvalidArgument(status_text));
  EXPECT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(Logged(capture, "ERROR", "DRX0208", log_text));
}

TEST(WriteValidationTest, PutAndDeleteAndCopyNeedAnObjectWithABody) {
  struct Case {
    std::function<Status(const tx::TypedObjectMsg*)> validate;
    const char* no_object;
    const char* no_body_status;
    const char* no_body_log;
  };
  const Case cases[] = {
      {[](const tx::TypedObjectMsg* o) {
         tx::PutMsg m;
         if (o) *m.mutable_object() = *o;
         return ValidatePutMsg(m);
       },
       "Missing object for PUT message", "Missing object body for PUT message",
       "Missing object body for PUT message"},
      {[](const tx::TypedObjectMsg* o) {
         tx::DeleteMsg m;
         if (o) *m.mutable_object() = *o;
         return ValidateDeleteMsg(m);
       },
       "Missing object for DEL message", "Missing object id for DEL message",
       "Missing embedded id for DEL message"},
      {[](const tx::TypedObjectMsg* o) {
         tx::CopyMsg m;
         if (o) *m.mutable_object() = *o;
         return ValidateCopyMsg(m);
       },
       "Missing object for COPY message", "Missing object id for COPY message",
       "Missing embedded id for COPY message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.no_object);
    {
      orv::LogCapture capture;
      ExpectMissing(c.validate(nullptr), capture, c.no_object, c.no_object);
    }
    {
      orv::LogCapture capture;
      tx::TypedObjectMsg typed;
      typed.set_object_type(tx::OBJECT_TYPE_UNSPECIFIED);
      ExpectMissing(c.validate(&typed), capture, c.no_body_status, c.no_body_log);
    }
    tx::TypedObjectMsg empty_body;
    empty_body.set_object_body("");
    EXPECT_TRUE(c.validate(&empty_body).ok());  // presence, not length
  }
}

TEST(WriteValidationTest, PatchReportsTheValueBeforeTheOpMessage) {
  tx::PatchMsg patch;
  {
    orv::LogCapture capture;
    ExpectMissing(ValidatePatchMsg(patch), capture, "Missing object value for PATCH message",
                  "Missing object value for PATCH message");
  }
  patch.set_object_value("");
  {
    orv::LogCapture capture;
    ExpectMissing(ValidatePatchMsg(patch), capture, "Missing patch op msg for PATCH message",
                  "Missing patch op msg for PATCH message");
  }
  patch.set_op_msg("");
  EXPECT_TRUE(ValidatePatchMsg(patch).ok());
}

TEST(WriteValidationTest, FlushByBlockIdNeedsABlockIdEvenZero) {
  tx::FlushByBlockIdMsg flush;
  {
    orv::LogCapture capture;
    ExpectMissing(ValidateFlushByBlockIdMsg(flush), capture,
                  "Missing block id for FLUSH by Block Id message",
                  "Missing block id for FLUSH By Block Id message");
  }
  flush.set_block_id(0);
  EXPECT_TRUE(ValidateFlushByBlockIdMsg(flush).ok());
}

}  // namespace
}  // namespace tarnix

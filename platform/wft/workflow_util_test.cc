#include "platform/wft/workflow_util.h"

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"

namespace orv {
namespace wft {
namespace {

class WorkflowUtilTest : public ::testing::Test {
 protected:
  void SetUp() override { Logger::logLevel = TRIVIA; }
  void TearDown() override {
    WorkflowUtil::Configure(false, 0);
    Logger::logLevel = saved_level_;
    library_log_level = saved_library_level_;
  }

  const int saved_level_ = Logger::logLevel;
  const int saved_library_level_ = library_log_level;
  LogCapture capture_;
};

TEST_F(WorkflowUtilTest, SpansRecordOnlyWhileOnAndWithinTheTraceLevel) {
  { WorkflowUtil span("Off", 1); }
  EXPECT_EQ(capture_.Count("span "), 0u);

  WorkflowUtil::Configure(true, 2);
  { WorkflowUtil span("Inside", 2); }
  { WorkflowUtil span("Above", 3); }
  { WorkflowUtil span("Continued", 1, std::list<TraceInfo>(2)); }
  EXPECT_TRUE(capture_.Contains("span Inside: "));
  EXPECT_FALSE(capture_.Contains("span Above"));
  EXPECT_TRUE(capture_.Contains("us, 2 parent traces"));
}

TEST_F(WorkflowUtilTest, TheLibraryLevelGatesSpanLines) {
  WorkflowUtil::Configure(true, 4);
  library_log_level = VERBOSE;
  { WorkflowUtil span("Quiet", 1); }
  EXPECT_EQ(capture_.Count("span "), 0u);
  library_log_level = TRIVIA;
  { WorkflowUtil span("Heard", 1); }
  EXPECT_TRUE(capture_.Contains("span Heard: "));
}

}  // namespace
}  // namespace wft
}  // namespace orv

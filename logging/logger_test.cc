#include "logging/logger.h"

#include <gtest/gtest.h>

#include "logging/log_capture.h"

TEST(LoggerTest, Placeholder) {
  orv::LogCapture capture;
  TARNIX_LOG(orv::ERROR, "errorCode:DRX0101", "hello %d", 5);
  ASSERT_EQ(capture.lines().size(), 1u);
}

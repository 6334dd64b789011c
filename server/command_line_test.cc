#include "server/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "logging/log_capture.h"
#include "logging/logger.h"
#include "platform/wft/workflow_util.h"

namespace tarnix {
namespace {

// Parses `args` (after the program name), restoring the log threshold.
class CommandLineTest : public ::testing::Test {
 protected:
  ~CommandLineTest() override {
    orv::Logger::logLevel = saved_level_;
    orv::wft::library_log_level = saved_wft_level_;
  }

  bool Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnix-server");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    options_ = ServerOptions();
    return ParseCommandLine(static_cast<int>(args.size()), argv.data(), &options_);
  }

  const int saved_level_ = orv::Logger::logLevel;
  const int saved_wft_level_ = orv::wft::library_log_level;
  ServerOptions options_;
  orv::LogCapture capture_;
};

TEST_F(CommandLineTest, ActsOnEachOptionInOrder) {
  ASSERT_TRUE(Parse({"--schema=s.pb", "--data", "db", "--listen=a:1", "stray", "--listen", "a:1",
                     "--txn_log_size=+7", "--log_level=5", "--log_level=3", "--wft_log_level=2",
                     "--metrics_report_interval=60", "--metrics_report_interval=soon",
                     "--cpu_prof_interval=x", "--metrics_store_path", "--merkle_sort_protobufs",
                     "--disable_flush_ephemeral", "--x_tls_dir=/keys"}));
  EXPECT_EQ(options_.schema_path, "s.pb");
  EXPECT_EQ(options_.database_dir, "db");  // a unique abbreviation
  EXPECT_EQ(options_.listen, (std::vector<std::string>{"a:1", "a:1"}));
  EXPECT_EQ(options_.txn_log_size, 7u);
  EXPECT_EQ(orv::Logger::logLevel, 3);
  EXPECT_EQ(orv::wft::library_log_level, 2);
  EXPECT_EQ(options_.metrics_report_interval_sec, 60u);  // a bad value keeps the last good one
  EXPECT_TRUE(capture_.Contains("metrics_report_interval String2Uint32_t failed, error: "
                                "bad lexical cast"));
  EXPECT_TRUE(capture_.Contains("cpu_profile_interval String2Uint32_t failed"));
  EXPECT_TRUE(options_.merkle_sort_protobufs && options_.disable_flush_ephemeral);
  EXPECT_EQ(options_.key_path(), "/keys/tarnix-privkey.pem");
  EXPECT_TRUE(HasRequiredOptions(options_));

  // The hidden option takes no abbreviation from the listed ones.
  ASSERT_TRUE(Parse({"--t=5"}));
  EXPECT_EQ(options_.txn_log_size, 5u);
  ASSERT_TRUE(Parse({"--txn_log_size=18446744073709551615"}));
  EXPECT_EQ(options_.txn_log_size, UINT64_MAX);
  ASSERT_TRUE(Parse({"--txn_log_size=0"}));
  EXPECT_EQ(options_.txn_log_size, 0u);
}

TEST_F(CommandLineTest, RefusesUnknownOptionsLevelsOutOfRangeAndBadSizes) {
  for (const char* arg : {"--log_level=7", "--rpc_log_level=-1", "--wft_log_level=7",
                          "--wft_trace_level=5", "--no_such_option", "--listen",
                          "--txn_log_size=-1", "--txn_log_size=-0", "--txn_log_size=1MB",
                          "--txn_log_size=", "--txn_log_size= 5",
                          "--txn_log_size=18446744073709551616"}) {
    EXPECT_FALSE(Parse({"--schema=s", arg})) << arg;
  }
  // A level out of range is named, as getopt_long names what it refuses.
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Parse({"--log_level=7"}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "tarnix-server: option '--log_level' takes a level from 0 to 6, not '7'\n");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Parse({"--txn_log_size=-1"}));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "tarnix-server: option '--txn_log_size' takes a size in bytes, not '-1'\n");
  EXPECT_THROW(Parse({"--log_level=high"}), boost::bad_lexical_cast);
  ASSERT_TRUE(Parse({"--schema=s", "--database=d"}));
  EXPECT_FALSE(HasRequiredOptions(options_));
}

}  // namespace
}  // namespace tarnix

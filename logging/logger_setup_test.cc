#include "logging/logger_setup.h"

#include <syslog.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "logging/log_capture.h"
#include "logging/logger.h"

namespace orv {
namespace {

class LoggerSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = Logger::logLevel;
    saved_comp_ = LoggerComp;
  }
  void TearDown() override {
    Logger::logLevel = saved_level_;
    LoggerComp = saved_comp_;
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = std::string(TARNIX_TEST_DATA_DIR) + "/" + name;
    std::ofstream(path, std::ios::trunc) << text;
    return path;
  }

  LogCapture capture_;

 private:
  int saved_level_;
  const char* saved_comp_;
};

TEST_F(LoggerSetupTest, StructuredDataFileLinesAndComments) {
  std::string path = WriteFile("sd.txt",
                               "# errorCode:commented\n"
                               "errorCode:\n"
                               "kind: a,b \n"
                               "two:colons:here\n"
                               "no colon\n"
                               "\n"
                               "spaced key :x\n"
                               "later:1\n"
                               "later:2,3\n");
  TagRegistry registry;
  registry["kept"] = {"v"};
  LoadStructuredData(path.c_str(), registry);
  TagRegistry expected = {{"kept", {"v"}},
                          {"errorCode", {}},
                          {"kind", {"a", "b"}},
                          {"spaced key ", {"x"}},
                          {"later", {"2", "3"}}};
  EXPECT_EQ(registry, expected);
  EXPECT_TRUE(capture_.lines().empty());

  TagRegistry untouched = registry;
  LoadStructuredData("/nonexistent/structured-data.txt", registry);
  EXPECT_EQ(registry, untouched);
}

TEST_F(LoggerSetupTest, StructuredDataLongLineIsCutAndEndsTheFile) {
  // 511 characters fit; the longer line is cut to 511 and nothing after it
  // is read.
  std::string fits = "a:" + std::string(509, 'x');
  std::string too_long = "b:" + std::string(600, 'y');
  std::string path =
      WriteFile("sd-long.txt", fits + "\n" + too_long + "\nc:after\n");
  TagRegistry registry;
  LoadStructuredData(path.c_str(), registry);
  ASSERT_EQ(registry.size(), 2u);
  EXPECT_EQ(registry["a"],
            std::unordered_set<std::string>{std::string(509, 'x')});
  EXPECT_EQ(registry["b"],
            std::unordered_set<std::string>{std::string(509, 'y')});
}

TEST_F(LoggerSetupTest, LevelFromEnvironment) {
  Logger::logLevel = 2;
  InitLoggerFromEnvironment(nullptr);
  EXPECT_EQ(Logger::logLevel, 2);
  EXPECT_TRUE(capture_.entries().empty());

  // Unknown words (case counts) fall back to INFO.
  for (const char* value : {"VERBOSE", "info", "VERBOSEXXX", ""}) {
    LogCapture capture;
    Logger::logLevel = 6;
    InitLoggerFromEnvironment(value);
    const bool known = std::string(value) == "VERBOSE";
    EXPECT_EQ(Logger::logLevel, known ? 5 : 4) << value;
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), known ? 1u : 2u) << value;
    if (!known) {
      EXPECT_EQ(entries[0].priority, LOG_ERR);
      EXPECT_EQ(entries[0].message,
                std::string("Invalid log level ") + value + ", ignore");
    }
    EXPECT_EQ(entries.back().priority, LOG_INFO);
    EXPECT_EQ(entries.back().message,
              std::string("Set log level to ") + (known ? "VERBOSE" : "INFO"));
  }
}

TEST_F(LoggerSetupTest, NodeTypeFromIssueFile) {
  std::string path = WriteFile("issue",
                               "# node-type: commented\n"
                               "node-type:  edge router \n"
                               "node-type:a:b\n"
                               "other:thing\n");
  ReadNodeTypeFromIssueFile(path.c_str());
  EXPECT_STREQ(LoggerComp, "edge");

  path = WriteFile("issue2", "node-type:first\nnode-type:last\n");
  ReadNodeTypeFromIssueFile(path.c_str());
  EXPECT_STREQ(LoggerComp, "last");

  ReadNodeTypeFromIssueFile("/nonexistent/orv_issue");
  EXPECT_STREQ(LoggerComp, "last");

  path = WriteFile("issue3", "node-type:   \n");
  ReadNodeTypeFromIssueFile(path.c_str());
  EXPECT_STREQ(LoggerComp, "");
}

TEST_F(LoggerSetupTest, IssueFileLongLineIsCutAndEndsTheFile) {
  // "node-type:" and 245 characters make the 255 that fit.
  const std::string fits = "node-type:" + std::string(245, 'x');
  std::string path =
      WriteFile("issue-fits", fits + "\nnode-type:next\n");
  ReadNodeTypeFromIssueFile(path.c_str());
  EXPECT_STREQ(LoggerComp, "next");

  path = WriteFile("issue-long", fits + "yyy\nnode-type:after\n");
  ReadNodeTypeFromIssueFile(path.c_str());
  EXPECT_EQ(std::string(LoggerComp), std::string(245, 'x'));
}

TEST_F(LoggerSetupTest, SyslogMethodAlwaysEndsWithDefaultSyslog) {
  const std::string invalid =
      "Invalid UDP port provided in ORV_SYSLOG_METHOD environment variable: ";
  struct {
    const char* value;
    bool valid;
  } cases[] = {{nullptr, true},  {"DEVLOG", true},  {"514", true},
               {"-1", true},     {"+7", true},      {"udp", false},
               {" 514", false},  {"514x", false},   {"", false},
               {"99999999999", false}};
  for (const auto& c : cases) {
    LogCapture capture;
    CheckSyslogMethod(c.value);
    std::vector<std::string> expected;
    if (!c.valid) {
      expected.push_back(invalid + c.value +
                         ". Using default syslog UDP port");
    }
    expected.push_back("Use default syslog");
    EXPECT_EQ(capture.lines(), expected)
        << (c.value != nullptr ? c.value : "(unset)");
  }
}

// Run by CTest with ORV_LOG_LEVEL=VERBOSE: proves that the set-up ran
// before main() in a binary that only links the logger.
TEST(LoadTimeSetUp, ThresholdComesFromEnvironment) {
  const char* value = getenv("ORV_LOG_LEVEL");
  if (value == nullptr) GTEST_SKIP() << "ORV_LOG_LEVEL not set";
  ASSERT_STREQ(value, "VERBOSE");
  EXPECT_EQ(Logger::logLevel, VERBOSE);
}

}  // namespace
}  // namespace orv

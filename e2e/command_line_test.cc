// The daemon's command line, start-up refusals and orderly stop, seen from
// outside the process.

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kUsageStart[] = "tarnix-server (build: 25145108)\n\nOther options:\n";
constexpr char kUsageEnd[] =
    "  --stdout                              redirect the output to standard out\n";

bool PrintedUsage(const std::string& output) {
  return output.find(kUsageStart) != std::string::npos &&
         output.find(kUsageEnd) != std::string::npos;
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

class CommandLineTest : public ::testing::Test {
 protected:
  struct Run {
    std::optional<int> status;
    std::string out;
    std::string err;
  };

  // Runs the daemon with `args` to its end.
  Run RunToExit(const std::vector<std::string>& args) {
    std::string error;
    std::unique_ptr<ChildProcess> process = ChildProcess::Spawn(dir_.path(), args, &error);
    if (!process) {
      ADD_FAILURE() << error;
      return {};
    }
    Run run;
    run.status = process->WaitForExit(kStopTimeout);
    run.out = process->Stdout();
    run.err = process->Stderr();
    return run;
  }

  // Every mandatory option given, on a port nobody listens on.
  std::vector<std::string> Complete(const std::vector<std::string>& more) {
    std::vector<std::string> args = {"--schema", TARNIX_EXAMPLE_SCHEMA, "--database", Database(),
                                     "--listen", "127.0.0.1:" + std::to_string(PickFreePort()),
                                     "--stdout"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string Database() const { return dir_.path() + "/db"; }

  TempDir dir_;
};

TEST_F(CommandLineTest, WithoutArgumentsPrintsUsageAndFails) {
  Run run = RunToExit({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.compare(0, strlen(kUsageStart), kUsageStart), 0) << run.out;

  // The size line precedes the check of the mandatory options.
  run = RunToExit({"--stdout"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(PrintedUsage(run.out)) << run.out;
  EXPECT_EQ(CountLogLines(run.out, "INFO", "", "Size of transaction-log set to 52428800 bytes"), 1)
      << run.out;
}

TEST_F(CommandLineTest, MissingListenEndpointOpensNothing) {
  const Run run = RunToExit({"--schema", TARNIX_EXAMPLE_SCHEMA, "--database", Database()});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(PrintedUsage(run.out)) << run.out;
  EXPECT_FALSE(Exists(Database()));
}

TEST_F(CommandLineTest, LevelsOutOfRangePrintUsageAndFail) {
  for (const char* option : {"--log_level=7", "--log_level=-1", "--wft_trace_level=5"}) {
    const Run run = RunToExit(Complete({option}));
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_TRUE(PrintedUsage(run.out)) << option << "\n" << run.out;
    EXPECT_FALSE(Exists(Database())) << option;
  }
}

TEST_F(CommandLineTest, NonNumericLevelIsAFatalConversionError) {
  const Run run = RunToExit(Complete({"--log_level=loud"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(CountLogLines(run.out, "FATAL", "DRX0000",
                          "ORV Tarnix failed to run: bad lexical cast: source type value could "
                          "not be interpreted as target"),
            1)
      << run.out;
  EXPECT_FALSE(PrintedUsage(run.out)) << run.out;
}

TEST_F(CommandLineTest, UnopenableDatabaseExitsWithTwo) {
  // A regular file where the database directory's parent should be: neither
  // repair nor re-creation can make it.
  const std::string blocker = dir_.path() + "/not-a-directory";
  std::ofstream(blocker) << "x";
  const std::string database = blocker + "/db";
  const Run run = RunToExit(Complete({"--database", database}));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(CountLogLines(run.out, "ERROR", "DRX0101",
                          "DbAccess::Open() failed on directory '" + database + "' with error: "),
            1)
      << run.out;
  const size_t stopping = run.out.find("Stopping ORV Provider...");
  ASSERT_NE(stopping, std::string::npos) << run.out;
  EXPECT_NE(run.out.find("... done.", stopping), std::string::npos) << run.out;
}

TEST_F(CommandLineTest, ServerKeyThatDoesNotLoadRefusesStartUp) {
  const std::string tls_dir = dir_.path() + "/tls";
  ASSERT_EQ(mkdir(tls_dir.c_str(), 0700), 0);
  std::ofstream(tls_dir + "/tarnix-privkey.pem") << "not a key\n";
  const Run run = RunToExit(Complete({"--x_tls_dir", tls_dir}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(CountLogLines(run.out, "FATAL", "DRX0000",
                          "ORV Tarnix failed to run: Unable to load the server key from " +
                              tls_dir + "/tarnix-privkey.pem"),
            1)
      << run.out;
}

TEST_F(CommandLineTest, BadProfilingIntervalWarnsAndStartUpGoesOn) {
  ServingDaemon daemon(dir_.path(), Database(),
                       {"--cpu_prof_interval=often", "--wft_trace_level=4"});
  ASSERT_TRUE(daemon.serving());
  EXPECT_EQ(daemon.Stop(), 0);
  const std::string out = daemon.process().Stdout();
  EXPECT_EQ(CountLogLines(out, "WARNING", "", "cpu_profile_interval String2Uint32_t failed, error: "),
            1)
      << out;
  EXPECT_EQ(CountLogLines(out, "WARNING", "", "String2Uint32_t failed"), 1) << out;
}

TEST_F(CommandLineTest, TermSignalStopsInOrder) {
  ServingDaemon daemon(dir_.path(), Database());
  ASSERT_TRUE(daemon.serving());
  EXPECT_EQ(daemon.Stop(), 0);
  const std::string out = daemon.process().Stdout();
  const size_t stopping = out.find("Stopping ORV Provider...");
  ASSERT_NE(stopping, std::string::npos) << out;
  EXPECT_NE(out.find("... done.", stopping), std::string::npos) << out;
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

// The daemon's command line, start-up refusals and orderly stop, seen from
// outside the process.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kUsage[] =
    "tarnix-server (build: 25145108)\n"
    "\n"
    "Other options:\n"
    "  --schema=FILE                         set schema file\n"
    "  --schema_package_prefix=STRING        set schema file's package prefix\n"
    "  --database=DIR                        set database dir\n"
    "  --txn_log_size=INTEGER                set max size of transaction log (in bytes)\n"
    "  --listen=ENDPOINT ...                 set tarnix-server listen endpoint\n"
    "Optional options:\n"
    "  --log_level=0..6                      set the log level (0-NONE, 6-TRIVIA)\n"
    "  --rpc_log_level=0..6                  set the log level for net/rpc (0-NONE, 6-TRIVIA)\n"
    "  --wft_log_level=0..6                  (QLX)set the log level for wft(workflow tracing) "
    "(0-NONE, 6-TRIVIA)\n"
    "  --wft_trace_level=0..4                (QLX)set the trace level for wft(workflow tracing) "
    "(0-NONE, 4-TRIVIA)\n"
    "  --prof_prefix=PREFIX                  set the prefix for profiling dumps\n"
    "  --cpu_prof_interval=SECS              set the interval for CPU profiling\n"
    "  --mem_prof_interval=SECS              set the interval for Mem profiling\n"
    "  --mem_stats_interval=SECS             set the interval for logging Mem Stats\n"
    "  --mem_release_interval=SECS           set the interval to release memory\n"
    "  --metrics_bee_publisher               add bee publisher to metrics\n"
    "  --metrics_text_publisher              add text publisher to metrics\n"
    "  --metrics_rpc_publisher               add rpc publisher to metrics\n"
    "  --metrics_store_path=DIR              set the metrics folder\n"
    "  --metrics_store_max_size=SIZE         set the metrics folder max size (e.g. 5 MiB)\n"
    "  --metrics_store_max_files=N           set the metrics folder maximum number of files\n"
    "  --metrics_store_min_free_space=SIZE   set the metrics folder required space (e.g. 100 "
    "MiB)\n"
    "  --metrics_file_name=FILE              set the metrics log file\n"
    "  --metrics_file_max_size=SIZE          set the metrics log file maximum size (e.g. 500 "
    "KiB)\n"
    "  --metrics_report_interval=SECS        set the metrics report interval\n"
    "  --disable_flush_ephemeral             disable flushing ephemeral objects\n"
    "  --stdout                              redirect the output to standard out\n";

bool PrintedUsage(const std::string& output) { return output.find(kUsage) != std::string::npos; }

// The provider stopped (both lines, in order), before `fatal` when given.
bool StoppedBefore(const std::string& output, const std::string& fatal = "") {
  const size_t stopping = output.find("Stopping ORV Provider...");
  const size_t done = output.find("... done.", stopping);
  const size_t failed = output.find(fatal, done);
  return stopping != std::string::npos && done != std::string::npos &&
         failed != std::string::npos;
}

// A listening socket on a loopback port, so that the daemon cannot bind it.
class TakenPort {
 public:
  TakenPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(fd_, 1) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~TakenPort() {
    if (fd_ >= 0) close(fd_);
  }
  TakenPort(const TakenPort&) = delete;
  TakenPort& operator=(const TakenPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

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
  EXPECT_EQ(run.out, kUsage);

  // The size line precedes the check of the mandatory options.
  run = RunToExit({"--stdout"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(PrintedUsage(run.out)) << run.out;
  EXPECT_EQ(CountLogLines(run.out, "INFO", "", "Size of transaction-log set to 52428800 bytes"), 1)
      << run.out;
}

// A missing endpoint, a level out of range or a size that is negative or no
// number: usage, failure, no database.
TEST_F(CommandLineTest, RefusedOptionsPrintUsageAndOpenNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"--schema", TARNIX_EXAMPLE_SCHEMA, "--database", Database()},
      Complete({"--log_level=7"}), Complete({"--log_level=-1"}),
      Complete({"--wft_trace_level=5"}), Complete({"--txn_log_size=-1"}),
      Complete({"--txn_log_size=50MB"})};
  for (const std::vector<std::string>& args : cases) {
    const Run run = RunToExit(args);
    EXPECT_EQ(run.status, 1) << args.back();
    EXPECT_TRUE(PrintedUsage(run.out)) << args.back() << "\n" << run.out;
    EXPECT_FALSE(Exists(Database())) << args.back();
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
  EXPECT_TRUE(StoppedBefore(run.out)) << run.out;
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
  EXPECT_TRUE(StoppedBefore(run.out, "ORV Tarnix failed to run: ")) << run.out;
}

TEST_F(CommandLineTest, TakenPortStopsTheProviderBeforeFailing) {
  TakenPort taken;
  ASSERT_NE(taken.port(), 0);
  const Run run = RunToExit(Complete({"--listen", "127.0.0.1:" + std::to_string(taken.port())}));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(StoppedBefore(run.out, "ORV Tarnix failed to run: Cannot listen on: 127.0.0.1:"))
      << run.out;
  // The queue of a server that never started shuts down without gRPC's
  // complaint about the order.
  EXPECT_EQ(run.out.find("shutdown being shutdown before its server"), std::string::npos)
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

TEST_F(CommandLineTest, TermAndInterruptSignalsStopInOrder) {
  for (int signal : {SIGTERM, SIGINT}) {
    ServingDaemon daemon(dir_.path(), Database());
    ASSERT_TRUE(daemon.serving());
    EXPECT_EQ(daemon.Stop(signal), 0) << signal;
    const std::string out = daemon.process().Stdout();
    EXPECT_TRUE(StoppedBefore(out)) << signal << "\n" << out;
  }
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix

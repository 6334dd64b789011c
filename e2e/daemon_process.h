#ifndef TARNIX_E2E_DAEMON_PROCESS_H_
#define TARNIX_E2E_DAEMON_PROCESS_H_

// Test-only: runs the built tarnix-server as a child process in a private
// directory, and talks to it over loopback gRPC.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

namespace tarnix {
namespace e2e {

// A fresh private directory under the test temp dir, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A free loopback port: bound, read back and released again, so another
// process may take it before the daemon does (callers retry).
int PickFreePort();

// The daemon the tests run: TARNIX_E2E_SERVER_BINARY when set (to measure
// another build with these tests), else the one built beside them.
std::string DaemonBinary();

// One run of the daemon (or of another program). Standard output and error
// go to files in `dir`; HOME, TMPDIR and the working directory are `dir`, so
// the child writes nothing elsewhere. The destructor kills a child still
// running.
class ChildProcess {
 public:
  // Starts `program` (the daemon by default) with `args`. Returns null, with
  // the reason in `*error`, when it cannot be started at all.
  static std::unique_ptr<ChildProcess> Spawn(const std::string& dir,
                                             const std::vector<std::string>& args,
                                             std::string* error,
                                             const std::string& program = DaemonBinary());
  ~ChildProcess();

  // Waits up to `timeout` for the process to end; its exit status, or -1
  // after a signal. A daemon still running at the deadline is killed and
  // nothing is returned.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // True while the process has not ended.
  bool Running();
  // `signal` (SIGTERM unless told), then WaitForExit.
  std::optional<int> Terminate(std::chrono::milliseconds timeout, int signal = SIGTERM);

  pid_t pid() const { return pid_; }

  // Everything the process wrote so far.
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  ChildProcess(pid_t pid, std::string stdout_path, std::string stderr_path)
      : pid_(pid), stdout_path_(std::move(stdout_path)), stderr_path_(std::move(stderr_path)) {}

  pid_t pid_;
  std::optional<int> status_;
  std::string stdout_path_;
  std::string stderr_path_;
};

// Log lines that the daemon wrote to standard output (--stdout) at `level`
// ("INFO", "ERROR", ...), tagged with `error_code` ("" for any) and holding
// `text`.
int CountLogLines(const std::string& output, const std::string& level,
                  const std::string& error_code, const std::string& text);

// A plaintext channel to `address`.
std::shared_ptr<grpc::Channel> PlainChannel(const std::string& address);

// The health service's status for `service` ("" for the server): 1 is
// SERVING; nothing when the call failed.
std::optional<int> HealthStatus(const std::shared_ptr<grpc::Channel>& channel,
                                const std::string& service,
                                std::chrono::milliseconds timeout);

}  // namespace e2e
}  // namespace tarnix

#endif  // TARNIX_E2E_DAEMON_PROCESS_H_

#include "e2e/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <grpcpp/generic/generic_stub.h>
#include <gtest/gtest.h>

extern char** environ;

namespace tarnix {
namespace e2e {

TempDir::TempDir() {
  std::string pattern = ::testing::TempDir() + "tarnix-e2e-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

int PickFreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

std::string DaemonBinary() {
  const char* binary = std::getenv("TARNIX_E2E_SERVER_BINARY");
  return binary != nullptr && *binary != '\0' ? binary : TARNIX_SERVER_BINARY;
}

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const std::string& dir,
                                                 const std::vector<std::string>& args,
                                                 std::string* error, const std::string& program) {
  // Everything the child needs is made before fork: after it, the child of
  // a threaded process may only make async-signal-safe calls.
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  // The logger's own variables are left out so that its defaults hold.
  std::vector<std::string> env_text = {"HOME=" + dir, "TMPDIR=" + dir, "PYTHONDONTWRITEBYTECODE=1"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.compare(0, 5, "HOME=") == 0 || variable.compare(0, 7, "TMPDIR=") == 0 ||
        variable.compare(0, 4, "ORV_") == 0) {
      continue;
    }
    env_text.push_back(variable);
  }
  std::vector<char*> envp;
  for (std::string& variable : env_text) envp.push_back(&variable[0]);
  envp.push_back(nullptr);

  const std::string out_path = dir + "/daemon.stdout";
  const std::string err_path = dir + "/daemon.stderr";
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    // A test that dies must not leave a daemon behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(err, 2) < 0 || chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out_path, err_path));
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::Running() {
  if (status_) return false;
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == 0) return true;
  status_ = (done == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return false;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status_ = -1;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::optional<int> ChildProcess::Terminate(std::chrono::milliseconds timeout, int signal) {
  if (Running()) kill(pid_, signal);
  return WaitForExit(timeout);
}

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string ChildProcess::Stdout() const { return ReadFile(stdout_path_); }
std::string ChildProcess::Stderr() const { return ReadFile(stderr_path_); }

int CountLogLines(const std::string& output, const std::string& level,
                  const std::string& error_code, const std::string& text) {
  const std::string level_field = "level=\"" + level + "\"";
  const std::string code_field = "errorCode=\"" + error_code + "\"";
  std::istringstream lines(output);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (line.find(level_field) == std::string::npos) continue;
    if (!error_code.empty() && line.find(code_field) == std::string::npos) continue;
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::shared_ptr<grpc::Channel> PlainChannel(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  args.SetMaxReceiveMessageSize(16 << 20);
  return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
}

std::optional<int> HealthStatus(const std::shared_ptr<grpc::Channel>& channel,
                                const std::string& service,
                                std::chrono::milliseconds timeout) {
  // HealthCheckRequest { service = 1 } and HealthCheckResponse { status = 1 }
  // by hand: their generated classes live in the daemon's own library.
  std::string request;
  if (!service.empty()) {
    request.push_back('\x0a');
    request.push_back(static_cast<char>(service.size()));
    request += service;
  }
  grpc::Slice slice(request);
  grpc::ByteBuffer request_buffer(&slice, 1);

  grpc::GenericStub stub(channel);
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + timeout);
  grpc::CompletionQueue cq;
  auto reader = stub.PrepareUnaryCall(&context, "/grpc.health.v1.Health/Check", request_buffer,
                                      &cq);
  reader->StartCall();
  grpc::ByteBuffer raw;
  grpc::Status status;
  reader->Finish(&raw, &status, &cq);
  void* tag = nullptr;
  bool ok = false;
  cq.Next(&tag, &ok);
  if (!status.ok()) return std::nullopt;
  std::vector<grpc::Slice> slices;
  std::string response;
  if (raw.Dump(&slices).ok()) {
    for (const grpc::Slice& part : slices) {
      response.append(reinterpret_cast<const char*>(part.begin()), part.size());
    }
  }
  if (response.empty()) return 0;  // proto3: UNKNOWN is not sent
  if (response.size() != 2 || response[0] != '\x08') return std::nullopt;
  return response[1];
}

}  // namespace e2e
}  // namespace tarnix

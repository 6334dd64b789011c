#include "logging/syslog_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace orv {
namespace {

// A syslog daemon's datagram socket at a path in the test directory.
class FakeSyslogDaemon {
 public:
  explicit FakeSyslogDaemon(const std::string& path) {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~FakeSyslogDaemon() { close(fd_); }

  bool bound() const { return bound_; }
  // The next message, or "" when none is waiting.
  std::string Receive() {
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, n) : "";
  }

 private:
  int fd_;
  bool bound_;
};

class SyslogSocketTest : public ::testing::Test {
 protected:
  SyslogSocketTest()
      : path_(std::string(TARNIX_TEST_DATA_DIR) + "/syslog-socket-test"),
        socket_(path_, [this] { return now_; }) {
    unlink(path_.c_str());
  }
  ~SyslogSocketTest() override { unlink(path_.c_str()); }

  const std::string path_;
  std::chrono::steady_clock::time_point now_;
  SyslogSocket socket_;
};

TEST_F(SyslogSocketTest, MessageLooksLikeThoseOfTheCLibrary) {
  FakeSyslogDaemon daemon(path_);
  ASSERT_TRUE(daemon.bound());
  ASSERT_TRUE(socket_.Send(182, "ORV 1 - [x] text"));
  ASSERT_TRUE(socket_.Send(3, "Invalid log level 7"));  // no facility: user
  const std::string prefix = "^<(\\d+)>[A-Z][a-z][a-z] [ 1-3]\\d \\d\\d:\\d\\d:\\d\\d ";
  const std::string name = program_invocation_short_name;
  EXPECT_TRUE(std::regex_search(daemon.Receive(),
                                std::regex(prefix + name + ": ORV 1 - \\[x\\] text$")));
  const std::string user = daemon.Receive();
  EXPECT_TRUE(std::regex_search(user, std::regex("^<11>.* " + name + ": Invalid log level 7$")))
      << user;
}

TEST_F(SyslogSocketTest, RetriesAtMostOnceASecondWhileNoDaemonListens) {
  EXPECT_FALSE(socket_.Send(182, "lost"));
  FakeSyslogDaemon daemon(path_);
  ASSERT_TRUE(daemon.bound());
  // The daemon is there now, but the last try was less than a second ago.
  now_ += std::chrono::milliseconds(999);
  EXPECT_FALSE(socket_.Send(182, "still lost"));
  EXPECT_EQ(daemon.Receive(), "");
  now_ += std::chrono::milliseconds(1);
  EXPECT_TRUE(socket_.Send(182, "arrives"));
  EXPECT_NE(daemon.Receive().find(": arrives"), std::string::npos);
}

TEST_F(SyslogSocketTest, KeepsItsConnectionAndReconnectsWhenTheDaemonGoes) {
  auto first = std::make_unique<FakeSyslogDaemon>(path_);
  ASSERT_TRUE(first->bound());
  ASSERT_TRUE(socket_.Send(182, "one"));
  // A new daemon at the same path: the open connection still reaches the
  // first one, so nothing was reopened per message.
  now_ += std::chrono::seconds(5);
  FakeSyslogDaemon second(path_);
  ASSERT_TRUE(second.bound());
  ASSERT_TRUE(socket_.Send(182, "two"));
  EXPECT_NE(first->Receive().find(": one"), std::string::npos);
  EXPECT_NE(first->Receive().find(": two"), std::string::npos);
  EXPECT_EQ(second.Receive(), "");

  // The first daemon goes: the next message reconnects to the second.
  first.reset();
  EXPECT_TRUE(socket_.Send(182, "three"));
  EXPECT_NE(second.Receive().find(": three"), std::string::npos);
}

}  // namespace
}  // namespace orv

#include "logging/syslog_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace orv {

namespace {

constexpr std::chrono::seconds kRetryInterval(1);

}  // namespace

SyslogSocket::SyslogSocket(std::string path, Clock clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

SyslogSocket::~SyslogSocket() { Close(); }

bool SyslogSocket::Connect() {
  const auto now = clock_();
  if (tried_ && now - last_try_ < kRetryInterval) return false;
  tried_ = true;
  last_try_ = now;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(address.sun_path)) return false;
  memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  // syslog(3) tries a datagram socket first and falls back to a stream.
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address),
                sizeof(address)) == 0) {
      stream_ = type == SOCK_STREAM;
      return true;
    }
    const bool wrong_type = errno == EPROTOTYPE;
    Close();
    if (!wrong_type) return false;
  }
  return false;
}

void SyslogSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool SyslogSocket::Write(const std::string& datagram) {
  // A stream daemon reads messages up to their terminating null.
  const size_t size = datagram.size() + (stream_ ? 1 : 0);
  for (;;) {
    const ssize_t sent = send(fd_, datagram.c_str(), size, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(size)) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

bool SyslogSocket::Send(int priority, const std::string& message) {
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  char header[64];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  int length = snprintf(header, sizeof(header), "<%d>", priority);
  length += static_cast<int>(strftime(header + length, sizeof(header) - length,
                                      "%h %e %T ", &local));
  std::string datagram;
  datagram.reserve(length + 64 + message.size());
  datagram.append(header, length)
      .append(program_invocation_short_name)
      .append(": ")
      .append(message);

  if (fd_ < 0 && !Connect()) return false;
  if (Write(datagram)) return true;
  // The daemon went away or restarted: one new connection, then give up.
  Close();
  return Connect() && Write(datagram);
}

}  // namespace orv

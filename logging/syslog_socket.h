#ifndef TARNIX_LOGGING_SYSLOG_SOCKET_H_
#define TARNIX_LOGGING_SYSLOG_SOCKET_H_

#include <chrono>
#include <functional>
#include <string>

namespace orv {

// The connection to the local syslog daemon, held open between messages.
// Messages look like those of syslog(3) without openlog: "<priority>", the
// local time as "Mmm dd hh:mm:ss", the program's short name, ": " and the
// text; a priority without facility gets LOG_USER.
//
// While the daemon cannot be reached, messages are dropped and a new
// connection is tried at most once a second, so a host without a syslog
// daemon pays no system call per message.
//
// Not thread-safe: one thread (the log sink's) uses it.
class SyslogSocket {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `path` is the daemon's socket ("/dev/log"); `clock` paces the retries.
  // Connects on first use, not here.
  explicit SyslogSocket(std::string path,
                        Clock clock = std::chrono::steady_clock::now);
  ~SyslogSocket();
  SyslogSocket(const SyslogSocket&) = delete;
  SyslogSocket& operator=(const SyslogSocket&) = delete;

  // Sends one message; false when it was dropped. A send that fails on an
  // open connection reconnects and sends again at once, unless a connection
  // was tried less than a second ago.
  bool Send(int priority, const std::string& message);

 private:
  bool Connect();
  void Close();
  bool Write(const std::string& datagram);

  const std::string path_;
  const Clock clock_;
  int fd_ = -1;
  bool stream_ = false;  // the daemon listens on a stream socket
  bool tried_ = false;
  std::chrono::steady_clock::time_point last_try_;
};

}  // namespace orv

#endif  // TARNIX_LOGGING_SYSLOG_SOCKET_H_

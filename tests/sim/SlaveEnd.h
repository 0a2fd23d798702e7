// The program's side of the simulator's line in these tests: the slave of its pseudo-terminal
// opened with plain termios calls.
#pragma once

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class TSlaveEnd {
public:
  explicit TSlaveEnd(const std::string& path) {
    FFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (FFd >= 0 && tcgetattr(FFd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(FFd, TCSANOW, &tio);
    }
  }
  ~TSlaveEnd() { Close(); }
  TSlaveEnd(const TSlaveEnd&) = delete;
  TSlaveEnd& operator=(const TSlaveEnd&) = delete;

  bool Ok() const { return FFd >= 0; }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  bool Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{FFd, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
      } else if (!(n < 0 && errno == EINTR)) {
        return false;
      }
    }
    return true;
  }
  // Up to `count` bytes, as many as arrive within `timeoutMs`.
  std::string Read(size_t count, int timeoutMs) {
    std::string got;
    auto deadline = Now() + timeoutMs;
    while (got.size() < count) {
      long long left = deadline - Now();
      if (left <= 0) break;
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[256];
      ssize_t n = ::read(FFd, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0)
        got.append(buf, static_cast<size_t>(n));
      else if (!(n < 0 && (errno == EAGAIN || errno == EINTR)))
        break;
    }
    return got;
  }
  static long long Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

private:
  int FFd = -1;
};

// A block as it goes on the line: 16-bit big-endian length, then the payload.
inline std::string Block(const std::string& payload) {
  std::string b;
  b.push_back(static_cast<char>(payload.size() >> 8));
  b.push_back(static_cast<char>(payload.size() & 0xFF));
  return b + payload;
}

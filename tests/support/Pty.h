// Pseudo-terminals for the tests: TPty is the master (the test plays the remote device
// through it), TPtySlave the slave opened raw from its path (the program's side of a line).
// Both do their I/O without blocking, and every read and write is bounded.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "support/Wait.h"

namespace support {

// A non-blocking descriptor with bounded reads and writes.
class TPtyEnd {
public:
  ~TPtyEnd() { Close(); }
  TPtyEnd(const TPtyEnd&) = delete;
  TPtyEnd& operator=(const TPtyEnd&) = delete;

  int Fd() const { return FFd; }
  // The device vanishes for whoever has the other side open.
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

  // Writes everything, waiting for room; false when that takes longer than `timeoutMs`.
  bool Write(const void* data, size_t len, int timeoutMs = 10000) const {
    auto* p = static_cast<const char*>(data);
    long long deadline = NowMs() + timeoutMs;
    while (len > 0) {
      ssize_t n = ::write(FFd, p, len);
      if (n > 0) {
        p += n;
        len -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (!WaitFd(POLLOUT, deadline)) return false;
    }
    return true;
  }
  bool Write(const std::string& s, int timeoutMs = 10000) const {
    return Write(s.data(), s.size(), timeoutMs);
  }

  // Reads what arrives within `timeoutMs` (at most `max` bytes, at least one unless it times
  // out); 0 on time-out, -1 on hang-up or error.
  long Read(void* buf, size_t max, int timeoutMs) const {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
      ssize_t n = ::read(FFd, buf, max);
      if (n > 0) return n;
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) return -1;
      if (!WaitFd(POLLIN, deadline)) return 0;
    }
  }

  // Exactly `len` bytes, or false after `timeoutMs`.
  bool ReadExact(void* buf, size_t len, int timeoutMs = 10000) const {
    auto* p = static_cast<char*>(buf);
    long long deadline = NowMs() + timeoutMs;
    while (len > 0) {
      long left = static_cast<long>(deadline - NowMs());
      long n = Read(p, len, left > 0 ? static_cast<int>(left) : 0);
      if (n <= 0) return false;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  std::string ReadString(size_t len, int timeoutMs = 10000) const {
    std::string s(len, '\0');
    if (!ReadExact(s.data(), len, timeoutMs)) return {};
    return s;
  }

  // Up to `count` bytes, as many as arrive within `timeoutMs`.
  std::string Receive(size_t count, int timeoutMs = 5000) const {
    std::string got;
    long long deadline = NowMs() + timeoutMs;
    char buf[4096];
    while (got.size() < count) {
      long left = static_cast<long>(deadline - NowMs());
      long n = Read(buf, std::min(sizeof buf, count - got.size()), left > 0 ? int(left) : 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  // Whatever arrives within `timeoutMs` (used to show that nothing does).
  std::string ReadAvailable(int timeoutMs) const {
    std::string s;
    char buf[4096];
    long n = Read(buf, sizeof buf, timeoutMs);
    while (n > 0) {
      s.append(buf, static_cast<size_t>(n));
      n = Read(buf, sizeof buf, 0);
    }
    return s;
  }

protected:
  TPtyEnd() = default;
  int FFd = -1;

private:
  bool WaitFd(short events, long long deadline) const {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{FFd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    return r > 0 && !(p.revents & POLLNVAL);
  }
};

class TPty : public TPtyEnd {
public:
  TPty() {
    FFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FFd >= 0 && grantpt(FFd) == 0 && unlockpt(FFd) == 0) {
      char name[128];
      if (ptsname_r(FFd, name, sizeof name) == 0) FSlavePath = name;
    }
  }
  bool Ok() const { return FFd >= 0 && !FSlavePath.empty(); }
  const std::string& SlavePath() const { return FSlavePath; }

private:
  std::string FSlavePath;
};

class TPtySlave : public TPtyEnd {
public:
  explicit TPtySlave(const std::string& path) {
    FFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (FFd >= 0 && tcgetattr(FFd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(FFd, TCSANOW, &tio);
    }
  }
  bool Ok() const { return FFd >= 0; }
};

} // namespace support

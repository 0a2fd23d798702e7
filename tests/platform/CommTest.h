// Helpers of the comm-device tests: pseudo-terminals whose slave a test maps to a port
// number, events, and made-up sysfs trees.
#pragma once

#include "platform/Win32.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace commtest {

// The master side of a pseudo-terminal; the test plays the remote device through it.
class TPty {
public:
  TPty() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster >= 0 && grantpt(FMaster) == 0 && unlockpt(FMaster) == 0) {
      char name[128];
      if (ptsname_r(FMaster, name, sizeof name) == 0) FSlavePath = name;
    }
  }
  ~TPty() { Close(); }
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  bool Ok() const { return FMaster >= 0 && !FSlavePath.empty(); }
  int Master() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }
  void Close() {
    if (FMaster >= 0) ::close(FMaster);
    FMaster = -1;
  }

  void Send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0) << "write to the pseudo-terminal master failed";
      done += static_cast<size_t>(n);
    }
  }

  // What the port sent: up to `count` bytes, waiting at most `timeoutMs` for them.
  std::string Receive(size_t count, int timeoutMs = 5000) const {
    std::string got;
    while (got.size() < count) {
      pollfd p{FMaster, POLLIN, 0};
      int r = ::poll(&p, 1, timeoutMs);
      if (r <= 0 || !(p.revents & POLLIN)) break;
      char buffer[4096];
      ssize_t n = ::read(FMaster, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

private:
  int FMaster = -1;
  std::string FSlavePath;
};

inline std::string PortName(int number) {
  return "\\\\.\\COM" + std::to_string(number);
}

// Opens a port as the serial layer does: read/write, exclusive, overlapped.
inline HANDLE OpenPort(const std::string& name, bool overlapped = true) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr);
}

// A manual-reset event that closes itself.
class TEventHandle {
public:
  TEventHandle() : FHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~TEventHandle() {
    if (FHandle) CloseHandle(FHandle);
  }
  TEventHandle(const TEventHandle&) = delete;
  TEventHandle& operator=(const TEventHandle&) = delete;
  HANDLE Get() const { return FHandle; }
  bool Signalled(DWORD timeoutMs = 5000) const {
    return WaitForSingleObject(FHandle, timeoutMs) == WAIT_OBJECT_0;
  }

private:
  HANDLE FHandle;
};

// A port on a fresh pseudo-terminal, mapped to a number of its own and opened.
class TPortFixture : public ::testing::Test {
protected:
  static constexpr int Number = 201;
  void SetUp() override {
    ASSERT_TRUE(FPty.Ok());
    ASSERT_TRUE(platform::SetPortDevice(Number, FPty.SlavePath()));
    FPort = OpenPort(PortName(Number));
    ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  }
  void TearDown() override {
    if (FPort != INVALID_HANDLE_VALUE) CloseHandle(FPort);
    platform::ClearPortMap();
  }
  // Reads return at once with what has arrived, as the serial layer sets them.
  void ReadAtOnce() {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  }
  // Waits, on received-character events, until the driver queue holds `count` bytes.
  // Leaves the event mask at EV_RXCHAR.
  bool AwaitInQueue(DWORD count, DWORD timeoutMs = 5000) {
    if (!SetCommMask(FPort, EV_RXCHAR)) // from here on, every arrival completes a wait
      return false;
    TEventHandle ev;
    for (int rounds = 0; rounds < 1000; ++rounds) {
      COMSTAT stat{};
      DWORD errors = 0;
      if (!ClearCommError(FPort, &errors, &stat)) return false;
      if (stat.cbInQue >= count) return true;
      OVERLAPPED ov{};
      ov.hEvent = ev.Get();
      DWORD mask = 0;
      if (!WaitCommEvent(FPort, &mask, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (!ev.Signalled(timeoutMs)) {
          SetCommMask(FPort, EV_RXCHAR); // ends the wait before `mask` goes out of scope
          return false;
        }
      }
    }
    return false;
  }
  // Reads everything that has arrived, with timeouts that return at once.
  std::string ReadNow() {
    TEventHandle ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.Get();
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(FPort, buffer, sizeof buffer, &got, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(FPort, &ov, &got, TRUE))
        return "<read failed>";
    }
    return std::string(buffer, got);
  }

  TPty FPty;
  HANDLE FPort = INVALID_HANDLE_VALUE;
};

// A temporary directory tree, removed at the end.
class TTempDir {
public:
  TTempDir() {
    char pattern[] = "/tmp/fwload-comm-XXXXXX";
    if (mkdtemp(pattern)) FPath = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
  }
  const std::filesystem::path& Path() const { return FPath; }
  void Write(const std::filesystem::path& relative, const std::string& text) const {
    std::filesystem::create_directories((FPath / relative).parent_path());
    std::ofstream(FPath / relative) << text;
  }
  void Link(const std::filesystem::path& relative, const std::filesystem::path& target) const {
    std::filesystem::create_directories((FPath / relative).parent_path());
    std::filesystem::create_symlink(target, FPath / relative);
  }

private:
  std::filesystem::path FPath;
};

} // namespace commtest

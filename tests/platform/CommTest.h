// Helpers of the comm-device tests: a port opened on a pseudo-terminal whose slave a test maps
// to a port number, and events.
#pragma once

#include "platform/Win32.h"

#include <gtest/gtest.h>

#include <string>

#include "support/Pty.h"
#include "support/TempDir.h"

namespace commtest {

using support::TPty;
using support::TTempDir;

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

} // namespace commtest

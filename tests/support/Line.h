// A serial line for the dispatcher tests and the benchmark: a port number mapped to a fresh
// pseudo-terminal's slave, and a dispatcher on it; the test (or benchmark) is the far end.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/Win32.h"
#include "serial/Win32Dispatcher.h"
#include "support/Pty.h"

namespace support {

inline std::string ComName(int port) {
  return "\\\\.\\COM" + std::to_string(port);
}

// Port numbers for the tests' pseudo-terminals, clear of the machine's real ports.
inline int NextPortNumber() {
  static std::atomic<int> next{60};
  int n = next++;
  return 60 + (n - 60) % 190;
}

// A dispatcher of class D on COMn, n mapped to a fresh pseudo-terminal whose master is Peer.
template <class D = TSioWin32Dispatcher> struct TLine {
  TPty Peer;
  int Port = NextPortNumber();
  std::unique_ptr<D> Disp;

  TLine() {
    platform::SetPortDevice(Port, Peer.SlavePath());
    Disp = std::make_unique<D>(nullptr);
  }
  ~TLine() {
    Disp.reset();
    platform::SetPortDevice(Port, "");
  }
  TLine(const TLine&) = delete;
  TLine& operator=(const TLine&) = delete;

  // DTR on, RTS off, no hardware flow control: the main window's port.
  int Open(int baud = 115200, unsigned inSize = 4096, unsigned outSize = 4096,
           unsigned options = 0x01) {
    return Disp->InitPort(ComName(Port).c_str(), baud, 0, 8, 1, inSize, outSize, options);
  }
};

// A test whose dispatcher of class D is open, as the main window's port, before it runs.
template <class D = TSioWin32Dispatcher> class TOpenLineTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(FLine.Open(), 0); }
  TLine<D> FLine;
};

// Waits, on the dispatcher's receive event, until at least `count` unread bytes are held.
inline bool WaitForReceived(TSioBaseDispatcher& d, unsigned count, int timeoutMs = 10000) {
  long long deadline = NowMs() + timeoutMs;
  while (d.InBuffUsed() < count) {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    WaitForSingleObject(d.ReceiveEvent(), static_cast<DWORD>(left));
  }
  return true;
}

} // namespace support

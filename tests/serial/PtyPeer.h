// The far end of a serial line for the dispatcher tests and the benchmark: the master side
// of a pseudo-terminal whose slave a port number is mapped to, a dispatcher opened on it, and
// small process counters.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/Win32.h"
#include "serial/Win32Dispatcher.h"

namespace ptypeer {

class TPtyPeer {
public:
  TPtyPeer() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FMaster >= 0 && grantpt(FMaster) == 0 && unlockpt(FMaster) == 0) {
      char name[128];
      if (ptsname_r(FMaster, name, sizeof name) == 0) FSlavePath = name;
    }
  }
  ~TPtyPeer() { Close(); }
  TPtyPeer(const TPtyPeer&) = delete;
  TPtyPeer& operator=(const TPtyPeer&) = delete;

  bool Ok() const { return FMaster >= 0 && !FSlavePath.empty(); }
  int Fd() const { return FMaster; }
  const std::string& SlavePath() const { return FSlavePath; }
  // The device vanishes for whoever has the slave open.
  void Close() {
    if (FMaster >= 0) ::close(FMaster);
    FMaster = -1;
  }

  // Writes everything, waiting for room; false when that takes longer than `timeoutMs`.
  bool Write(const void* data, size_t len, int timeoutMs = 10000) const {
    auto* p = static_cast<const char*>(data);
    auto deadline = Now() + timeoutMs;
    while (len > 0) {
      ssize_t n = ::write(FMaster, p, len);
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
    auto deadline = Now() + timeoutMs;
    for (;;) {
      ssize_t n = ::read(FMaster, buf, max);
      if (n > 0) return n;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
      if (n == 0) return -1;
      if (!WaitFd(POLLIN, deadline)) return 0;
    }
  }

  // Exactly `len` bytes, or false after `timeoutMs`.
  bool ReadExact(void* buf, size_t len, int timeoutMs = 10000) const {
    auto* p = static_cast<char*>(buf);
    auto deadline = Now() + timeoutMs;
    while (len > 0) {
      long left = static_cast<long>(deadline - Now());
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

  static long long Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

private:
  bool WaitFd(short events, long long deadline) const {
    long long left = deadline - Now();
    if (left <= 0) return false;
    pollfd p{FMaster, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    return r > 0 && !(p.revents & POLLNVAL);
  }

  int FMaster = -1;
  std::string FSlavePath;
};

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
  TPtyPeer Peer;
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

// A Win32 dispatcher with a window on its state, for what no operation shows.
class TProbeDispatcher : public TSioWin32Dispatcher {
public:
  using TSioBaseDispatcher::AllocateRings;
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  // Our overrides' vtable must outlive the threads, as with every derived dispatcher.
  ~TProbeDispatcher() override { CloseForDestruction(); }

  // Lays `bytes` into the transmit ring from `read` on (wrapping) and sets the positions,
  // then wakes the output thread as WriteCom would.
  void PresetTx(int read, const std::string& bytes) {
    EnterCriticalSection(&FTxLock);
    FTxRing.Reset(read);
    FTxRing.Put(bytes.data(), static_cast<int>(bytes.size()));
    LeaveCriticalSection(&FTxLock);
    SetEvent(FTxData.load());
  }
  void SetTxPositions(int read, int write, bool full) {
    // Through the ring's own operations: empty at `read`, then filled up to `write`.
    EnterCriticalSection(&FTxLock);
    FTxRing.Reset(read);
    int held = full ? FTxRing.Size() : FTxRing.OffsetOf(write);
    FTxRing.Produced(std::min(held, FTxRing.WritableRun()));
    FTxRing.Produced(held - std::min(held, FTxRing.Size() - read));
    LeaveCriticalSection(&FTxLock);
  }
  int TxWrite() {
    EnterCriticalSection(&FTxLock);
    int w = FTxRing.WritePos();
    LeaveCriticalSection(&FTxLock);
    return w;
  }
  std::string TxRing() {
    EnterCriticalSection(&FTxLock);
    std::string s(FTxRing.Data(), static_cast<size_t>(FTxRing.Size()));
    LeaveCriticalSection(&FTxLock);
    return s;
  }
  bool HasRings() {
    EnterCriticalSection(&FRxLock);
    EnterCriticalSection(&FTxLock);
    bool both = FRxRing.Attached() && FTxRing.Attached();
    LeaveCriticalSection(&FTxLock);
    LeaveCriticalSection(&FRxLock);
    return both;
  }
  // The avail-notification state as the trigger delivery sets it around a handler.
  void SetAvailNotification(bool on) {
    EnterCriticalSection(&FRxLock);
    FAvailNotify = on;
    FLookAhead = 0;
    LeaveCriticalSection(&FRxLock);
  }
  void SetLineErrors(DWORD errors) { FLineErrors = errors; }
  void SetRingFlag() { FRingFlag = true; }
  void SetNotifying(bool on) { FNotifying = on; }
  bool DeferredClose() const { return FDeferredClose.load(); }
  TThreadPriority Priority(int which) {
    EnterCriticalSection(&FStateLock);
    TSioDispatcherThread* t = (which == 0   ? FComThread
                               : which == 1 ? FDispThread
                                            : FOutThread)
                                  .load();
    TThreadPriority p = t ? t->Priority() : tpIdle;
    LeaveCriticalSection(&FStateLock);
    return p;
  }
};

// Waits, on the dispatcher's receive event, until at least `count` unread bytes are held.
inline bool WaitForReceived(TSioBaseDispatcher& d, unsigned count, int timeoutMs = 10000) {
  long long deadline = TPtyPeer::Now() + timeoutMs;
  while (d.InBuffUsed() < count) {
    long long left = deadline - TPtyPeer::Now();
    if (left <= 0) return false;
    WaitForSingleObject(d.ReceiveEvent(), static_cast<DWORD>(left));
  }
  return true;
}

// For conditions nothing signals (a thread's exit, a ring's count): checks every millisecond.
template <class P> bool WaitUntil(P condition, int timeoutMs = 10000) {
  long long deadline = TPtyPeer::Now() + timeoutMs;
  while (!condition()) {
    if (TPtyPeer::Now() >= deadline) return false;
    Sleep(1);
  }
  return true;
}

inline int CountDirEntries(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return -1;
  int count = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}
// Open descriptors of this process (the directory stream's own one excluded).
inline int OpenFdCount() {
  return CountDirEntries("/proc/self/fd") - 1;
}
inline int ThreadCount() {
  return CountDirEntries("/proc/self/task");
}
// The count to compare with: a sanitizer starts a thread of its own with the first thread.
inline int BaselineThreadCount() {
  std::thread([] {}).join();
  return ThreadCount();
}

inline double ProcessCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

} // namespace ptypeer

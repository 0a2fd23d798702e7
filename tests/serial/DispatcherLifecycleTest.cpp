// Streams, opening and closing: what a dispatcher leaves behind, and how it ends when the far
// end is silent, vanishes or a work loop fails.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "ProbeDispatcher.h"
#include "serial/Exceptions.h"
#include "support/Line.h"
#include "support/Process.h"

using support::ComName;
using support::NextPortNumber;
using support::TLine;
using support::TPty;
using support::WaitForReceived;
using support::WaitUntil;

namespace {

std::string RandomBytes(size_t len, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(len, '\0');
  for (char& c : s)
    c = static_cast<char>(rng());
  return s;
}

int OpenOn(TSioBaseDispatcher& d, int port, signed char dataBits = 8) {
  return d.InitPort(ComName(port).c_str(), 115200, 0, dataBits, 1, 4096, 4096, 0x01);
}

} // namespace

TEST(DispatcherStream, OneMebibyteEachWayArrivesWholeInOrderAndOnce) {
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  const size_t total = 1 << 20;
  const std::string toFar = RandomBytes(total, 1);
  const std::string fromFar = RandomBytes(total, 2);

  std::atomic<bool> farWriteOk{true};
  std::thread farWriter([&] {
    std::mt19937 rng(3);
    for (size_t pos = 0; pos < total;) {
      size_t n = std::min<size_t>(total - pos, 1 + rng() % 3000);
      if (!line.Peer.Write(fromFar.data() + pos, n, 30000)) {
        farWriteOk = false;
        return;
      }
      pos += n;
    }
  });
  std::string farGot;
  std::thread farReader([&] {
    farGot.reserve(total);
    char buf[8192];
    while (farGot.size() < total) {
      long n = line.Peer.Read(buf, sizeof buf, 30000);
      if (n <= 0) return;
      farGot.append(buf, static_cast<size_t>(n));
    }
  });

  std::mt19937 rng(4);
  size_t sent = 0;
  std::string got;
  got.reserve(total);
  std::string buf(8192, '\0');
  long long deadline = support::NowMs() + 120000;
  while ((sent < total || got.size() < total) && support::NowMs() < deadline) {
    bool progress = false;
    if (sent < total) {
      auto n = static_cast<unsigned>(std::min<size_t>(total - sent, 1 + rng() % 4096));
      int r = line.Disp->PutBlock(toFar.data() + sent, n);
      if (r == 0) {
        sent += n;
        progress = true;
      } else {
        ASSERT_EQ(r, ecOutputBufferTooSmall);
      }
    }
    if (unsigned held = line.Disp->InBuffUsed()) {
      unsigned n = std::min<unsigned>(held, 1 + rng() % 8192);
      ASSERT_EQ(line.Disp->GetBlock(buf.data(), n), static_cast<int>(n));
      got.append(buf.data(), n);
      progress = true;
    }
    if (!progress) WaitForSingleObject(line.Disp->ReceiveEvent(), 1);
  }
  farWriter.join();
  farReader.join();
  EXPECT_TRUE(farWriteOk.load());
  ASSERT_EQ(got.size(), total);
  EXPECT_TRUE(got == fromFar) << "received bytes differ";
  ASSERT_EQ(farGot.size(), total);
  EXPECT_TRUE(farGot == toFar) << "sent bytes differ";
  EXPECT_FALSE(line.Disp->CharReady());
}

TEST(DispatcherLifecycle, OpenCloseCyclesLeaveNoDescriptorOrThreadBehind) {
  TPty peer;
  ASSERT_TRUE(peer.Ok());
  int port = NextPortNumber();
  ASSERT_TRUE(platform::SetPortDevice(port, peer.SlavePath()));
  auto cycle = [&](int i) {
    TSioWin32Dispatcher d(nullptr);
    ASSERT_EQ(OpenOn(d, port), 0);
    if (i % 10 == 0) {
      ASSERT_EQ(d.PutChar('a'), 0);
      ASSERT_EQ(peer.ReadString(1), "a");
      ASSERT_TRUE(peer.Write("b"));
      ASSERT_TRUE(WaitForReceived(d, 1));
    }
    d.DonePort();
  };
  cycle(0); // whatever the platform creates once per process
  int threads = support::BaselineThreadCount();
  int fds = support::OpenFdCount();
  for (int i = 1; i <= 200; ++i) {
    cycle(i);
    if (HasFatalFailure()) break;
  }
  // Ended threads leave /proc a moment after their last instruction (an earlier test's may
  // still have been in the count before).
  EXPECT_TRUE(WaitUntil([&] { return support::ThreadCount() <= threads; }, 5000))
      << support::ThreadCount() << " threads, " << threads << " before";
  EXPECT_EQ(support::OpenFdCount(), fds);
  platform::SetPortDevice(port, "");
}

TEST(DispatcherLifecycle, ClosingWhileTheFarEndIsSilentIsQuick) {
  for (int idleMs : {0, 150}) {
    TLine<> line;
    ASSERT_EQ(line.Open(), 0);
    // The com thread sits in its event wait, the dispatch thread in its 50 ms cycle.
    if (idleMs) {
      EXPECT_EQ(line.Peer.ReadAvailable(idleMs), "");
    }
    long long start = support::NowMs();
    line.Disp->DonePort();
    line.Disp.reset();
    EXPECT_LT(support::NowMs() - start, 500) << "after " << idleMs << " ms idle";
  }
}

TEST(DispatcherLifecycle, AVanishedDeviceNeitherSpinsNorHangs) {
  int threads = support::BaselineThreadCount();
  {
    TLine<> line;
    ASSERT_EQ(line.Open(), 0);
    ASSERT_TRUE(line.Peer.Write("1"));
    ASSERT_TRUE(WaitForReceived(*line.Disp, 1));
    // The byte may be in the ring a moment before its arrival is signalled: take that signal,
    // so that only a later one counts below.
    WaitForSingleObject(line.Disp->ReceiveEvent(), 100);
    line.Peer.Close(); // the adapter is pulled

    double cpuStart = support::ProcessCpuMs();
    long long start = support::NowMs();
    EXPECT_EQ(line.Disp->PutString("lost"), 0);
    EXPECT_TRUE(WaitUntil([&] { return line.Disp->OutBuffUsed() == 0; }, 5000))
        << "a write the device refuses is dropped";
    EXPECT_EQ(WaitForSingleObject(line.Disp->ReceiveEvent(), 400), WAIT_TIMEOUT);
    double cpu = support::ProcessCpuMs() - cpuStart;
    long long wall = support::NowMs() - start;
    EXPECT_LT(cpu, wall * 0.25 + 30) << "threads spin on the vanished device: " << cpu
                                     << " ms of processor in " << wall << " ms";

    char c;
    EXPECT_EQ(line.Disp->GetChar(c), 0) << "what arrived before stays readable";
    EXPECT_EQ(line.Disp->GetChar(c), ecBufferIsEmpty);
    long long closeStart = support::NowMs();
    line.Disp->DonePort();
    line.Disp.reset();
    EXPECT_LT(support::NowMs() - closeStart, 2000);
  }
  EXPECT_TRUE(WaitUntil([&] { return support::ThreadCount() <= threads; }, 5000));
}

namespace {
// A device whose first event wait completes at once, as Win32 completes one with events
// already pending (the event left set), and that refuses every wait after it, as a gone one.
class TGoneAfterAnEventDispatcher : public TSioWin32Dispatcher {
public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TGoneAfterAnEventDispatcher() override { CloseForDestruction(); }
  std::atomic<int> Waits{0};
  bool WaitComEvent(DWORD& evtMask, LPOVERLAPPED ov) override {
    if (Waits++ == 0) {
      evtMask = EV_RXCHAR;
      SetEvent(ov->hEvent);
      return true;
    }
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
};
} // namespace

TEST(DispatcherLifecycle, EventWaitsAGoneDeviceRefusesAreRetriedSlowly) {
  TLine<TGoneAfterAnEventDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->Waits.load() >= 2; }));
  int before = line.Disp->Waits.load();
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, 500);
  CloseHandle(never);
  // One retry per 50 ms back-off at most; a spinning com thread makes thousands.
  EXPECT_LT(line.Disp->Waits.load() - before, 50);
}

namespace {
class TNoResourcesDispatcher : public TSioWin32Dispatcher {
public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TNoResourcesDispatcher() override { CloseForDestruction(); }
  int OpenCom(const char*, unsigned, unsigned) override {
    SetLastError(ERROR_OUTOFMEMORY);
    return ecOutOfMemory;
  }
};
} // namespace

TEST(DispatcherLifecycle, FailedOpensReportTheCauseAndStartNothing) {
  int threads = support::BaselineThreadCount();
  TSioWin32Dispatcher missing(nullptr);
  EXPECT_EQ(OpenOn(missing, 254), -static_cast<int>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(missing.ComHandle(), -1);
  EXPECT_FALSE(missing.Started());
  EXPECT_EQ(missing.InitPort(nullptr, 115200, 0, 8, 1, 4096, 4096, 0), ecBadArgument);
  TNoResourcesDispatcher starved(nullptr);
  EXPECT_EQ(OpenOn(starved, 254), ecOutOfMemory);
  EXPECT_LE(support::ThreadCount(), threads) << "no thread started";

  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioWin32Dispatcher second(nullptr);
  EXPECT_EQ(OpenOn(second, line.Port), -static_cast<int>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(line.Open(), ecAlreadyOpen) << "a dispatcher opens one port";
  EXPECT_EQ(line.Disp->PutChar('s'), 0);
  EXPECT_EQ(line.Peer.ReadString(1), "s") << "the first port is untouched";
  line.Disp->DonePort();

  // Line settings the driver refuses end the open and close the port again.
  TSioWin32Dispatcher badLine(nullptr);
  EXPECT_EQ(OpenOn(badLine, line.Port, 4), ecBadArgument);
  EXPECT_EQ(badLine.ComHandle(), -1);
  EXPECT_EQ(OpenOn(second, line.Port), 0);
  second.DonePort();
}

TEST(DispatcherLifecycle, ACloseAskedDuringANotificationIsFinishedByTheDispatchThread) {
  int threads = support::BaselineThreadCount();
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  line.Disp->SetNotifying(true);
  line.Disp->DonePort();
  EXPECT_TRUE(line.Disp->DeferredClose());
  EXPECT_EQ(line.Disp->ComHandle(), -1) << "the device closes at once";
  line.Disp->SetNotifying(false);
  EXPECT_TRUE(WaitUntil([&] { return !line.Disp->Started(); }, 5000));
  EXPECT_FALSE(line.Disp->HasRings()) << "the dispatch thread's end released the rings";
  line.Disp.reset();
  EXPECT_TRUE(WaitUntil([&] { return support::ThreadCount() <= threads; }, 5000));
}

namespace {
class TFailingReadDispatcher : public TSioWin32Dispatcher {
public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TFailingReadDispatcher() override { CloseForDestruction(); }
  int ReadCom(char*, int) override { throw std::runtime_error("device exploded"); }
};

HANDLE gShown = nullptr;
std::string gShownMessage;
void CaptureThreadException(const std::string& message) {
  gShownMessage = message;
  SetEvent(gShown);
}
} // namespace

TEST(DispatcherLifecycle, AnExceptionInAWorkLoopIsShownAndTheCloseStillCompletes) {
  int threads = support::BaselineThreadCount();
  gShown = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetSioThreadExceptionHandler(CaptureThreadException);
  {
    TLine<TFailingReadDispatcher> line;
    ASSERT_EQ(line.Open(), 0);
    ASSERT_TRUE(line.Peer.Write("x"));
    ASSERT_EQ(WaitForSingleObject(gShown, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(gShownMessage, "device exploded");
    EXPECT_TRUE(line.Disp->Started()) << "the other threads still run";
    EXPECT_EQ(line.Disp->PutChar('o'), 0);
    EXPECT_EQ(line.Peer.ReadString(1), "o");
    long long start = support::NowMs();
    line.Disp->DonePort();
    line.Disp.reset();
    EXPECT_LT(support::NowMs() - start, 2000);
  }
  SetSioThreadExceptionHandler(nullptr);
  CloseHandle(gShown);
  EXPECT_TRUE(WaitUntil([&] { return support::ThreadCount() <= threads; }, 5000));
}

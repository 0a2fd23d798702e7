// Overlapped reads, writes and event waits on a pseudo-terminal, purging, XON/XOFF, a device
// that vanishes, and what closing a handle does to what is pending.
#include "CommTest.h"

#include <atomic>
#include <chrono>
#include <sys/resource.h>
#include <thread>

using namespace commtest;

namespace {

// An overlapped record with its own event.
struct TOverlapped {
  TEventHandle Event;
  OVERLAPPED Ov{};
  TOverlapped() { Ov.hEvent = Event.Get(); }
};

void SetFlow(HANDLE port, bool outX) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fOutX = outX;
  ASSERT_TRUE(SetCommState(port, &dcb));
}

} // namespace

using CommIo = TPortFixture;

TEST_F(CommIo, ReadReturnsAtOnceWithWhatHasArrived) {
  ReadAtOnce();
  TOverlapped r;
  char buffer[16];
  DWORD got = 99;
  ASSERT_TRUE(ReadFile(FPort, buffer, sizeof buffer, &got, &r.Ov)); // nothing there yet
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(r.Event.Signalled(0)); // completed at once, and said so on its event

  EXPECT_TRUE(FPty.Write("abc"));
  ASSERT_TRUE(AwaitInQueue(3));
  ASSERT_TRUE(ReadFile(FPort, buffer, sizeof buffer, &got, &r.Ov));
  EXPECT_EQ(std::string(buffer, got), "abc");
  EXPECT_EQ(r.Ov.Internal, ULONG_PTR(ERROR_SUCCESS));
  EXPECT_EQ(r.Ov.InternalHigh, 3u);
  EXPECT_TRUE(r.Event.Signalled(0));
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(FPort, &r.Ov, &n, FALSE));
  EXPECT_EQ(n, 3u);
}

TEST_F(CommIo, RawBytesArriveUnchangedAndNotEchoed) {
  ReadAtOnce();
  std::string bytes = "a\r\nb\x03\x1a\x7f";
  bytes += '\0';
  bytes += "\xff";
  EXPECT_TRUE(FPty.Write(bytes));
  ASSERT_TRUE(AwaitInQueue(DWORD(bytes.size())));
  EXPECT_EQ(ReadNow(), bytes);
  EXPECT_EQ(FPty.Receive(1, 100), ""); // no echo towards the device
}

TEST_F(CommIo, PendingReadCompletesOnItsEvent) {
  // All time-outs 0: a read waits until its buffer is full.
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  TOverlapped r;
  char buffer[4];
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(FPort, buffer, 4, &got, &r.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  // Read as the I/O thread writes it: atomically, since the operation is still running.
  EXPECT_EQ(std::atomic_ref<ULONG_PTR>(r.Ov.Internal).load(), ULONG_PTR(STATUS_PENDING));
  EXPECT_FALSE(GetOverlappedResult(FPort, &r.Ov, &got, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  EXPECT_TRUE(FPty.Write("wx"));
  EXPECT_TRUE(FPty.Write("yz"));
  ASSERT_TRUE(r.Event.Signalled());
  ASSERT_TRUE(GetOverlappedResult(FPort, &r.Ov, &got, FALSE));
  EXPECT_EQ(std::string(buffer, got), "wxyz");
}

TEST_F(CommIo, GetOverlappedResultWaitsForTheCompletion) {
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  TOverlapped r;
  char buffer[3];
  DWORD got = 0;
  ASSERT_FALSE(ReadFile(FPort, buffer, 3, &got, &r.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  std::thread peer([&] { EXPECT_TRUE(FPty.Write("123")); });
  EXPECT_TRUE(GetOverlappedResult(FPort, &r.Ov, &got, TRUE));
  peer.join();
  EXPECT_EQ(std::string(buffer, got), "123");
}

TEST_F(CommIo, ReadTimeoutsEndAPendingRead) {
  // A total time-out ends the read with what it has (here nothing), successfully.
  COMMTIMEOUTS t{0, 0, 30, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  TOverlapped r;
  char buffer[8];
  DWORD got = 5;
  ASSERT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &got, &r.Ov));
  ASSERT_TRUE(r.Event.Signalled());
  ASSERT_TRUE(GetOverlappedResult(FPort, &r.Ov, &got, FALSE));
  EXPECT_EQ(got, 0u);

  // Interval and multiplier MAXDWORD: the first bytes end it.
  COMMTIMEOUTS any{MAXDWORD, MAXDWORD, 5000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(FPort, &any));
  ASSERT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &got, &r.Ov));
  EXPECT_TRUE(FPty.Write("q"));
  ASSERT_TRUE(r.Event.Signalled());
  ASSERT_TRUE(GetOverlappedResult(FPort, &r.Ov, &got, FALSE));
  EXPECT_EQ(std::string(buffer, got), "q");
}

TEST_F(CommIo, WritesCompleteAndReachThePeer) {
  TOverlapped w;
  DWORD n = 0;
  if (!WriteFile(FPort, "hello", 5, &n, &w.Ov)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(GetOverlappedResult(FPort, &w.Ov, &n, TRUE));
  }
  EXPECT_EQ(n, 5u);
  EXPECT_TRUE(w.Event.Signalled(0));
  EXPECT_EQ(FPty.Receive(5), "hello");
}

TEST_F(CommIo, LargeWritePendsUntilThePeerReads) {
  std::string block(512 * 1024, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>(i * 7 + i / 251);
  TOverlapped w;
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(FPort, block.data(), DWORD(block.size()), &n, &w.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING)); // more than a pty holds
  COMSTAT stat{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(FPort, &errors, &stat));
  EXPECT_GT(stat.cbOutQue, 0u); // the rest of the pending write
  std::string received;
  std::thread peer([&] { received = FPty.Receive(block.size(), 10000); });
  ASSERT_TRUE(GetOverlappedResult(FPort, &w.Ov, &n, TRUE));
  peer.join();
  EXPECT_EQ(n, block.size());
  EXPECT_TRUE(received == block);
}

TEST_F(CommIo, SynchronousHandleBlocksUntilDone) {
  CloseHandle(FPort);
  FPort = OpenPort(PortName(Number), false);
  ASSERT_NE(FPort, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(FPort, "sync", 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(FPty.Receive(4), "sync");
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  std::thread peer([&] { EXPECT_TRUE(FPty.Write("back")); });
  char buffer[4];
  ASSERT_TRUE(ReadFile(FPort, buffer, 4, &n, nullptr));
  peer.join();
  EXPECT_EQ(std::string(buffer, n), "back");
}

TEST_F(CommIo, OverlappedHandleWantsARecord) {
  char buffer[4];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(FPort, buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(WriteFile(FPort, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CommIo, RecordWithoutEventSignalsTheHandle) {
  OVERLAPPED ov{}; // no event: Win32 signals the file handle
  DWORD n = 0;
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  char buffer[2];
  ASSERT_FALSE(ReadFile(FPort, buffer, 2, &n, &ov));
  EXPECT_EQ(WaitForSingleObject(FPort, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(FPty.Write("ok"));
  EXPECT_EQ(WaitForSingleObject(FPort, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(FPort, &ov, &n, TRUE));
  EXPECT_EQ(std::string(buffer, n), "ok");
}

// ---- event waits ----

TEST_F(CommIo, ReceivedCharacterCompletesAWait) {
  ASSERT_TRUE(SetCommMask(FPort, 0x01F9)); // the com thread's mask
  DWORD mask = 0;
  GetCommMask(FPort, &mask);
  EXPECT_EQ(mask, 0x01F9u);
  TOverlapped e;
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(e.Event.Signalled(20));
  EXPECT_TRUE(FPty.Write("x"));
  ASSERT_TRUE(e.Event.Signalled());
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(FPort, &e.Ov, &n, FALSE));
  EXPECT_EQ(mask, DWORD(EV_RXCHAR));
  // Unread bytes do not complete the next wait by themselves: only new ones do.
  DWORD again = 0;
  ASSERT_FALSE(WaitCommEvent(FPort, &again, &e.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(e.Event.Signalled(50));
  EXPECT_TRUE(FPty.Write("y"));
  ASSERT_TRUE(e.Event.Signalled());
  EXPECT_EQ(again, DWORD(EV_RXCHAR));
}

TEST_F(CommIo, EventsWhileNobodyWaitsCompleteTheNextWaitAtOnce) {
  ASSERT_TRUE(SetCommMask(FPort, EV_RXCHAR));
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  // A pending read tells when the byte has been seen.
  TOverlapped r;
  char byte;
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(FPort, &byte, 1, &n, &r.Ov));
  EXPECT_TRUE(FPty.Write("z"));
  ASSERT_TRUE(r.Event.Signalled());
  // Whoever took the byte from the driver, the event is on record by the time the read
  // completes, so the wait completes at once without any new byte.
  TOverlapped e;
  DWORD mask = 0;
  EXPECT_TRUE(WaitCommEvent(FPort, &mask, &e.Ov));
  EXPECT_EQ(mask, DWORD(EV_RXCHAR));
  EXPECT_TRUE(e.Event.Signalled(0));
  if (!e.Event.Signalled(0)) SetCommMask(FPort, 0); // never leave a wait on a dead frame
}

TEST_F(CommIo, AWatchedWaitIsCompletedOnItsWaiterAndAfterAGiveUpByTheDevice) {
  ASSERT_TRUE(platform::SetCommWaitsWatched(FPort, TRUE));
  ASSERT_TRUE(SetCommMask(FPort, EV_RXCHAR));
  TOverlapped e;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  // The waiter watches the device itself; the byte comes while it does.
  std::thread writer([&] { FPty.Write("x"); });
  ASSERT_TRUE(e.Event.Signalled());
  writer.join();
  EXPECT_EQ(mask, DWORD(EV_RXCHAR));
  // A waiter that gives up hands the wait back: a byte after that still completes it, seen
  // through a wait of two handles, which never watches the device.
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  EXPECT_FALSE(e.Event.Signalled(20));
  EXPECT_TRUE(FPty.Write("y"));
  TEventHandle never;
  HANDLE pair[2] = {never.Get(), e.Event.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 5000), WAIT_OBJECT_0 + 1);
  if (!e.Event.Signalled(0)) SetCommMask(FPort, 0); // never leave a wait on a dead frame
  EXPECT_FALSE(platform::SetCommWaitsWatched(never.Get(), TRUE));
}

TEST_F(CommIo, SetCommMaskZeroEndsAPendingWait) {
  ASSERT_TRUE(SetCommMask(FPort, 0x01F9));
  TOverlapped e;
  DWORD mask = 12345;
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  // A second wait, or one without a mask, is refused.
  TOverlapped other;
  DWORD otherMask = 0;
  EXPECT_FALSE(WaitCommEvent(FPort, &otherMask, &other.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  std::thread closer([&] { SetCommMask(FPort, 0); });
  ASSERT_TRUE(e.Event.Signalled());
  closer.join();
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(FPort, &e.Ov, &n, FALSE));
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(WaitCommEvent(FPort, &otherMask, &other.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // A mask with bits no driver knows is refused (the com thread then falls back).
  EXPECT_FALSE(SetCommMask(FPort, 0x21F9));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CommIo, TxEmptyWhenTheOutputHasDrained) {
  ASSERT_TRUE(SetCommMask(FPort, EV_TXEMPTY));
  TOverlapped e;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  TOverlapped w;
  DWORD n = 0;
  if (!WriteFile(FPort, "out", 3, &n, &w.Ov)) {
    ASSERT_TRUE(GetOverlappedResult(FPort, &w.Ov, &n, TRUE));
  }
  ASSERT_TRUE(e.Event.Signalled());
  EXPECT_EQ(mask, DWORD(EV_TXEMPTY));
  EXPECT_EQ(FPty.Receive(3), "out");
}

TEST_F(CommIo, LineFunctionsOnAPseudoTerminal) {
  // No modem lines on a pty: the functions succeed, the lines read as off.
  for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK})
    EXPECT_TRUE(EscapeCommFunction(FPort, f)) << f;
  EXPECT_TRUE(SetCommBreak(FPort));
  EXPECT_TRUE(ClearCommBreak(FPort));
  for (DWORD f : {7u, 10u, 99u}) {
    EXPECT_FALSE(EscapeCommFunction(FPort, f)) << f;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
  DWORD status = 0xFF;
  ASSERT_TRUE(GetCommModemStatus(FPort, &status));
  EXPECT_EQ(status, 0u);
  // Under the RTS handshake the line is the driver's.
  DCB dcb{};
  ASSERT_TRUE(GetCommState(FPort, &dcb));
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(FPort, &dcb));
  EXPECT_FALSE(EscapeCommFunction(FPort, SETRTS));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(EscapeCommFunction(FPort, SETDTR));
  COMSTAT stat{};
  DWORD errors = 0xFF;
  ASSERT_TRUE(ClearCommError(FPort, &errors, &stat));
  EXPECT_EQ(errors, 0u); // no error counters on a pty
  EXPECT_EQ(stat.fCtsHold, 0u);
}

// ---- purging and flow control ----

TEST_F(CommIo, PurgeClearsAndAbortsTheReceiveSide) {
  ReadAtOnce();
  EXPECT_TRUE(FPty.Write("stale"));
  ASSERT_TRUE(AwaitInQueue(5));
  ASSERT_TRUE(PurgeComm(FPort, PURGE_RXABORT | PURGE_RXCLEAR));
  COMSTAT stat{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(FPort, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);
  EXPECT_EQ(ReadNow(), "");

  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  TOverlapped r;
  char buffer[8];
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &n, &r.Ov));
  ASSERT_TRUE(PurgeComm(FPort, PURGE_RXABORT));
  ASSERT_TRUE(r.Event.Signalled(0));
  EXPECT_FALSE(GetOverlappedResult(FPort, &r.Ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(PurgeComm(FPort, 0x10));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CommIo, XoffHoldsAWriteAndTxAbortEndsIt) {
  SetFlow(FPort, true);
  ReadAtOnce();
  // The marker is behind the XOFF: once it has arrived the XOFF has been obeyed (and taken).
  EXPECT_TRUE(FPty.Write("\x13M"));
  ASSERT_TRUE(AwaitInQueue(1));
  EXPECT_EQ(ReadNow(), "M");

  TOverlapped w;
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(FPort, "held", 4, &n, &w.Ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(w.Event.Signalled(50));
  EXPECT_EQ(FPty.Receive(1, 50), "");
  COMSTAT stat{};
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(FPort, &errors, &stat));
  EXPECT_EQ(stat.fXoffHold, 1u);
  EXPECT_EQ(stat.cbOutQue, 4u);

  ASSERT_TRUE(PurgeComm(FPort, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_TRUE(w.Event.Signalled());
  EXPECT_FALSE(GetOverlappedResult(FPort, &w.Ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));

  // XON lets the next write through.
  EXPECT_TRUE(FPty.Write("\x11"));
  if (!WriteFile(FPort, "go", 2, &n, &w.Ov)) {
    ASSERT_TRUE(GetOverlappedResult(FPort, &w.Ov, &n, TRUE));
  }
  EXPECT_EQ(FPty.Receive(2), "go");
}

TEST_F(CommIo, XonXoffAreDataUnlessIxonIsOn) {
  ReadAtOnce();
  SetFlow(FPort, false);
  EXPECT_TRUE(FPty.Write("\x11\x13"
                         "A"));
  ASSERT_TRUE(AwaitInQueue(3));
  EXPECT_EQ(ReadNow(), "\x11\x13"
                       "A");

  SetFlow(FPort, true);
  EXPECT_TRUE(FPty.Write("\x13\x11"
                         "B"));
  ASSERT_TRUE(AwaitInQueue(1));
  EXPECT_EQ(ReadNow(), "B");
}

TEST_F(CommIo, NullStrippingDropsZeroBytes) {
  ReadAtOnce();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(FPort, &dcb));
  dcb.fNull = 1;
  ASSERT_TRUE(SetCommState(FPort, &dcb));
  EXPECT_TRUE(FPty.Write(std::string("a\0b\0\0c", 6)));
  ASSERT_TRUE(AwaitInQueue(6));
  EXPECT_EQ(ReadNow(), "abc");
}

// ---- a device that vanishes ----

TEST_F(CommIo, VanishedDeviceFailsPendingAndLaterOperations) {
  ASSERT_TRUE(SetCommMask(FPort, 0x01F9));
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  TOverlapped e, r;
  DWORD mask = 77, n = 0;
  char buffer[8];
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  ASSERT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &n, &r.Ov));
  FPty.Close(); // the far end hangs up
  ASSERT_TRUE(e.Event.Signalled());
  ASSERT_TRUE(r.Event.Signalled());
  EXPECT_FALSE(GetOverlappedResult(FPort, &e.Ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(mask, 0u);
  EXPECT_FALSE(GetOverlappedResult(FPort, &r.Ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));

  // Everything after fails at once, without hanging.
  EXPECT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &n, &r.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(WriteFile(FPort, "x", 1, &n, &r.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(FPort, &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  COMSTAT stat{};
  DWORD errors = 0;
  EXPECT_FALSE(ClearCommError(FPort, &errors, &stat));
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  EXPECT_FALSE(SetCommState(FPort, &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(PurgeComm(FPort, PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(EscapeCommFunction(FPort, SETDTR));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_FALSE(GetCommModemStatus(FPort, &errors));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_TRUE(SetCommMask(FPort, 0)); // a closing dispatcher still releases its waits
  EXPECT_TRUE(CloseHandle(FPort));
  FPort = INVALID_HANDLE_VALUE;

  // The number is missing until a new device is mapped to it; then it opens.
  EXPECT_EQ(OpenPort(PortName(Number)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  TPty fresh;
  ASSERT_TRUE(platform::SetPortDevice(Number, fresh.SlavePath()));
  FPort = OpenPort(PortName(Number));
  ASSERT_NE(FPort, INVALID_HANDLE_VALUE) << GetLastError();
  ReadAtOnce();
  EXPECT_TRUE(fresh.Write("new"));
  ASSERT_TRUE(AwaitInQueue(3));
  EXPECT_EQ(ReadNow(), "new");
}

TEST_F(CommIo, CloseAbortsEverythingPending) {
  SetFlow(FPort, true);
  ReadAtOnce();
  EXPECT_TRUE(FPty.Write("\x13M")); // hold the output so that a write stays pending
  ASSERT_TRUE(AwaitInQueue(1));
  EXPECT_EQ(ReadNow(), "M");
  COMMTIMEOUTS t{};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  ASSERT_TRUE(SetCommMask(FPort, EV_RXCHAR));
  TOverlapped e, r, w;
  DWORD mask = 5, n = 0;
  char buffer[4];
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  ASSERT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &n, &r.Ov));
  ASSERT_FALSE(WriteFile(FPort, "held", 4, &n, &w.Ov));
  HANDLE closed = FPort;
  ASSERT_TRUE(CloseHandle(FPort));
  FPort = INVALID_HANDLE_VALUE;
  for (TOverlapped* o : {&e, &r, &w}) {
    ASSERT_TRUE(o->Event.Signalled(0));
    // The record tells the result even after the handle is gone, as in Win32.
    EXPECT_FALSE(GetOverlappedResult(closed, &o->Ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  }
  EXPECT_FALSE(ReadFile(closed, buffer, 1, &n, &r.Ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// ---- cost of an idle port ----

// CPU time of the whole process while a port sits open with a wait pending. The figure is
// printed; the bound only catches a spinning thread.
TEST_F(CommIo, IdlePortCostsNextToNoCpu) {
  ASSERT_TRUE(SetCommMask(FPort, 0x01F9));
  TOverlapped e;
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(FPort, &mask, &e.Ov));
  int seconds = 2;
  if (const char* s = std::getenv("FWLOAD_COMM_IDLE_SECONDS")) seconds = std::max(1, std::atoi(s));
  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
  };
  double before = cpu();
  auto start = std::chrono::steady_clock::now();
  // Idling is the measurement: nothing is awaited here.
  EXPECT_FALSE(e.Event.Signalled(DWORD(seconds) * 1000));
  double wall =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  double percent = 100.0 * (cpu() - before) / wall;
  std::printf("idle port: %.3f %% of one core over %d s\n", percent, seconds);
  EXPECT_LT(percent, 5.0);
  ASSERT_TRUE(SetCommMask(FPort, 0)); // the wait writes into `mask`: end it while it lives
  EXPECT_TRUE(e.Event.Signalled());
}

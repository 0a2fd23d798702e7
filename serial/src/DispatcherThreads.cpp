// The dispatcher's three background threads: the com thread waits for device events, the
// dispatch thread moves received bytes into the receive ring and runs the triggers, the output
// thread writes the transmit ring to the device. Also their start/stop bookkeeping.
#include "serial/Dispatcher.h"

#include <algorithm>
#include <cstring>

#include "DispatcherInternal.h"
#include "platform/Win32Comm.h"

using sio_detail::TLockGuard;

namespace {

// The dispatcher thread running on this OS thread, if any.
thread_local TSioDispatcherThread* tCurrentThread = nullptr;

// Device events that change the modem status byte, and those that report line errors.
constexpr DWORD ModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | RingTrailingEdge;
constexpr DWORD LineEvents = EV_BREAK | EV_ERR;

// A pause that keeps a failing device from spinning a thread.
constexpr DWORD FailureBackOffMs = 50;

} // namespace

// ---- thread objects ----

TSioThreadGate::TSioThreadGate() : Gone(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
TSioThreadGate::~TSioThreadGate() {
  if (Gone) CloseHandle(Gone);
}

TSioDispatcherThread::TSioDispatcherThread(TSioBaseDispatcher* dispatcher)
    : FDispatcher(dispatcher), FGate(dispatcher->FGate) {
  FreeOnTerminate = true;
  // Counted from creation, so that a stop can never overlook a thread that has not begun.
  InterlockedIncrement(&dispatcher->FLiveThreads);
}

void TSioDispatcherThread::Execute() {
  tCurrentThread = this;
  try {
    Work();
  } catch (const std::exception& e) {
    TSioBaseDispatcher::ReportThreadException(e.what());
  } catch (...) {
    TSioBaseDispatcher::ReportThreadException("unknown exception");
  }
  WorkEnded();
  std::shared_ptr<TSioThreadGate> gate = FGate;
  FDispatcher->ThreadGone(this);
  // The dispatcher may be gone now; only our own gate is touched.
  SetEvent(gate->Gone);
  tCurrentThread = nullptr;
}

bool TSioBaseDispatcher::IsOwnThread() const {
  return tCurrentThread && tCurrentThread->FDispatcher == this;
}

void TSioBaseDispatcher::ThreadGone(TSioDispatcherThread* thread) {
  bool wasDispatch = false;
  {
    TLockGuard state(FStateLock);
    TSioDispatcherThread* expected = thread;
    FComThread.compare_exchange_strong(expected, nullptr);
    expected = thread;
    FOutThread.compare_exchange_strong(expected, nullptr);
    expected = thread;
    wasDispatch = FDispThread.compare_exchange_strong(expected, nullptr);
  }
  // A stop waiting for this reference goes on now, not at its next time-out.
  SetEvent(FGate->Gone);
  if (wasDispatch && FCloseOnExit.load()) {
    // When another thread is closing, it releases what is left and waits for us: our part
    // would only make it wait longer.
    if (TryEnterCriticalSection(&FCloseLock)) {
      DonePortPrim();
      LeaveCriticalSection(&FCloseLock);
    }
    FCloseOnExit = false;
  }
  // Our last touch of the dispatcher: a waiter that sees the count at 0 takes the state lock
  // once before it frees anything, so it cannot overtake this unlock.
  EnterCriticalSection(&FStateLock);
  if (InterlockedDecrement(&FLiveThreads) == 0) FStarted = false;
  LeaveCriticalSection(&FStateLock);
}

namespace {

// One wait step of a closing thread: handles its messages (sent ones too) while it waits for
// a thread to pass ThreadGone. A quit message is left for the application's loop.
void PumpWait(HANDLE gone, bool& quitSeen) {
  DWORD r = MsgWaitForMultipleObjects(1, &gone, FALSE, 50, quitSeen ? QS_SENDMESSAGE : QS_ALLINPUT);
  if (r != WAIT_OBJECT_0 + 1) return;
  for (UINT msg; (msg = SafeYield()) != 0;) {
    if (msg == WM_QUIT) {
      quitSeen = true;
      break;
    }
  }
}

} // namespace

void TSioBaseDispatcher::WaitForThreadEnd(std::atomic<TSioDispatcherThread*>& thread,
                                          void (*wake)(TSioBaseDispatcher*)) {
  bool quitSeen = false;
  for (;;) {
    TSioDispatcherThread* t = thread.load();
    if (!t || t == tCurrentThread) return;
    if (wake) wake(this);
    PumpWait(FGate->Gone, quitSeen);
  }
}

void TSioBaseDispatcher::WaitForAllThreadsGone() {
  // A thread cannot wait for its own end; the one caller on a dispatcher thread is the
  // dispatch thread's own close, and it has no further waiting to do.
  LONG self = IsOwnThread() ? 1 : 0;
  bool quitSeen = false;
  while (InterlockedCompareExchange(&FLiveThreads, 0, 0) > self)
    PumpWait(FGate->Gone, quitSeen);
  EnterCriticalSection(&FStateLock);
  LeaveCriticalSection(&FStateLock);
}

// ---- com thread ----

void TComThread::Work() {
  TSioBaseDispatcher* d = FDispatcher;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!event) {
    SetEvent(d->FAck.load());
    return;
  }
  OVERLAPPED ov{};
  ov.hEvent = event;
  HANDLE device = d->FComHandle.load();
  DWORD mask = SioIsWinNT() ? DefaultComEventMask : DefaultComEventMask | RingTrailingEdge;
  SetCommMask(device, mask);
  // Reads return at once with whatever has arrived.
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(device, &timeouts);
  // Each wait below is waited for right here: the device need not be watched elsewhere.
  platform::SetCommWaitsWatched(device, TRUE);
  SetEvent(d->FAck.load());

  bool backOff = false;
  // Written by the device's completion; lives across the loop.
  DWORD events = 0;
  while (!d->FStopRequest.load()) {
    if (backOff) {
      // A wait that completed at once left the event set, and a refused call does not reset
      // it: unreset, this wait would return at once and the loop spin on a gone device.
      ResetEvent(event);
      WaitForSingleObject(event, FailureBackOffMs);
      backOff = false;
      if (d->FStopRequest.load()) break;
    }
    events = 0;
    bool completed = d->WaitComEvent(events, &ov);
    if (!completed) {
      DWORD err = GetLastError();
      if (err == ERROR_IO_PENDING) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) break;
        ResetEvent(event);
        completed = true;
      } else if (err == ERROR_INVALID_PARAMETER && (mask & RingTrailingEdge)) {
        mask = DefaultComEventMask;
        SetCommMask(device, mask);
      } else {
        // The device refuses the wait (gone, closed): retry slowly instead of spinning.
        backOff = true;
      }
    }
    if (completed) {
      if (events & (RingTrailingEdge | EV_RING)) d->FRingFlag = true;
      d->FLastDeviceEvents = events;
    }
    if (d->FStopRequest.load()) break;
    SetEvent(d->FDeviceEvent.load());
    if (WaitForSingleObject(d->FDispatchDone.load(), INFINITE) == WAIT_FAILED) break;
  }
  SetEvent(d->FAck.load());
  CloseHandle(event);
}

// ---- dispatch thread ----

void TDispThread::Work() {
  TSioBaseDispatcher* d = FDispatcher;
  SetEvent(d->FAck.load());
  for (;;) {
    // A time-out counts like an event: the ring is filled at least every 50 ms.
    if (WaitForSingleObject(d->FDeviceEvent.load(), 50) == WAIT_FAILED) break;
    if (d->FStopRequest.load()) break;
    d->EventCycle();
    d->TimerCycle();
    if (d->FStopRequest.load() || d->FDeferredClose.load()) {
      SetEvent(d->FAck.load());
      break;
    }
  }
}

void TDispThread::WorkEnded() {
  FDispatcher->FCloseOnExit =
      FDispatcher->FDeferredClose.load() || FDispatcher->FStopRequest.load();
}

void TSioBaseDispatcher::ReadModemChanges() {
  TLockGuard state(FStateLock);
  DWORD lines = ReadModemLines();
  DWORD changed = (FModemStatus ^ lines) & 0xF0;
  // The change bits sit four places below their lines.
  FModemStatus = (FModemStatus & 0x0F) | lines | (changed >> 4);
}

bool TSioBaseDispatcher::RunStatusTriggers() {
  bool fired = false;
  while (CheckStatusTriggers()) {
    fired = true;
    if (FDeferredClose.load()) return false;
  }
  if (fired || FGlobalStatusHit) ClearStatusHits();
  return true;
}

void TSioBaseDispatcher::EventCycle() {
  DWORD events = FLastDeviceEvents.load();
  bool whole = true;
  if (events & ModemEvents) {
    ReadModemChanges();
    if (!FNotifying.load()) whole = RunStatusTriggers();
  }
  if (whole && (events & LineEvents)) {
    RefreshStatus();
    if (!FNotifying.load()) whole = RunStatusTriggers();
  }
  if (whole) {
    if (MoveReceivedBytes() > 0) {
      {
        TLockGuard lock(FNotifyLock);
        if (FReceiveNotify) FReceiveNotify(FReceiveContext, this);
      }
      SetEvent(FReceiveEvent);
    }
    if (!FNotifying.load()) {
      while (whole && CheckStatusTriggers())
        if (FDeferredClose.load()) whole = false;
      while (whole && CheckReceiveTriggers())
        if (FDeferredClose.load()) whole = false;
    }
    if (whole && FGlobalStatusHit) ClearStatusHits();
  }
  // Also after a cycle cut short: the com thread must never wait for it in vain.
  SetEvent(FDispatchDone.load());
}

void TSioBaseDispatcher::TimerCycle() {
  if (FDeferredClose.load() || FNotifying.load()) return;
  FGlobalStatusHit = false;
  for (;;) {
    bool again = CheckStatusTriggers();
    if (!again) again = CheckTimerTriggers();
    if (!again || FDeferredClose.load()) break;
  }
  if (FGlobalStatusHit) ClearStatusHits();
}

int TSioBaseDispatcher::MoveReceivedBytes() {
  TLockGuard rx(FRxLock);
  if (!FRxRing.Attached() || FRxRing.Full()) return 0;
  COMSTAT st;
  RefreshStatus(&st);
  int inQueue = static_cast<int>(std::min<DWORD>(st.cbInQue, DispatchBufferSize));
  if (inQueue == 0) return 0;
  int wanted = std::min(FRxRing.Free(), inQueue);
  // The first read may take the whole run to the storage's end; only when it filled that
  // run does a second one, from the start, take the rest of what was wanted.
  int ask = FRxRing.WritableRun();
  int moved = 0;
  for (int pass = 0; pass < 2 && ask > 0; ++pass) {
    int got = ReadCom(FRxRing.WritePtr(), ask);
    if (got < 0) {
      GetComEventMask(-1);
      got = 0;
    }
    got = std::min(got, ask);
    FRxRing.Produced(got);
    moved += got;
    ask = got < ask ? 0 : wanted - moved;
  }
  // Came round to where the trigger scan stands: a whole ring is still to be scanned.
  if (moved > 0 && FRxRing.WritePos() == FRxScanPos) FRxScanFull = true;
  return moved;
}

// ---- output thread ----

bool TSioBaseDispatcher::FinishTx(int count, unsigned epoch) {
  TLockGuard tx(FTxLock);
  FTxInFlight = false;
  // A write that was abandoned by a flush says nothing about the emptied ring; and a write of
  // nothing must not clear the full flag.
  if (epoch != FTxEpoch) return false;
  if (count > 0) FTxRing.Consumed(count);
  // An emptied ring starts again at its beginning, so the next block is one run.
  if (FTxRing.Empty()) FTxRing.Reset();
  return true;
}

void TOutThread::Work() {
  TSioBaseDispatcher* d = FDispatcher;
  auto* ov = new OVERLAPPED{};
  ov->hEvent = d->FWriteComplete.load();
  {
    TLockGuard tx(d->FTxLock);
    d->FTxOv = ov;
    d->FTxInFlight = false;
  }
  SetEvent(d->FAck.load());
  for (;;) {
    HANDLE pair[2] = {d->FTxData.load(), d->FTxFlush.load()};
    DWORD r = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      if (d->FStopRequest.load()) break;
      Drain();
    } else if (r == WAIT_OBJECT_0 + 1) {
      SetEvent(d->FAck.load());
    } else {
      break;
    }
    if (d->FStopRequest.load() || d->FDeferredClose.load()) break;
  }
  bool outstanding;
  {
    // From here on nobody starts a write on the record.
    TLockGuard tx(d->FTxLock);
    outstanding = d->FTxInFlight;
    d->FTxOv = nullptr;
  }
  if (outstanding) {
    PurgeComm(d->FComHandle.load(), PURGE_TXABORT);
    if (WaitForSingleObject(ov->hEvent, 2000) != WAIT_OBJECT_0) return; // ov leaks on purpose
  }
  delete ov;
}

void TOutThread::Drain() {
  TSioBaseDispatcher* d = FDispatcher;
  OVERLAPPED& ov = *d->FTxOv; // ours until Work clears it
  for (;;) {
    if (d->FStopRequest.load()) return;
    HANDLE device = d->FComHandle.load();
    const char* chunk = nullptr;
    int len = 0;
    unsigned epoch;
    // A write already in flight (a caller's that did not complete at once, or one abandoned
    // at a flush) is collected before anything else is written.
    bool collect;
    {
      TLockGuard tx(d->FTxLock);
      TSioRing& ring = d->FTxRing;
      collect = d->FTxInFlight;
      if (!collect) {
        if (ring.Empty()) return;
        // Pending bytes that wrap are brought together, so that one write takes all.
        ring.Gather();
        len = ring.ReadableRun();
        chunk = ring.ReadPtr();
        d->FTxInFlight = true;
        d->FTxInFlightEpoch = d->FTxEpoch;
      }
      epoch = d->FTxInFlightEpoch;
    }
    DWORD written = 0;
    if (!collect) {
      ResetEvent(ov.hEvent);
      if (WriteFile(device, chunk, static_cast<DWORD>(len), &written, &ov)) {
        d->FinishTx(static_cast<int>(written), epoch);
        if (written == 0 &&
            WaitForSingleObject(d->FTxFlush.load(), FailureBackOffMs) == WAIT_OBJECT_0) {
          SetEvent(d->FAck.load());
          return;
        }
        continue;
      }
      if (GetLastError() != ERROR_IO_PENDING) {
        // Refused at once: the chunk is dropped and counts as sent.
        d->FinishTx(len, epoch);
        continue;
      }
    }
    HANDLE pair[2] = {ov.hEvent, d->FTxFlush.load()};
    DWORD r = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      if (GetOverlappedResult(device, &ov, &written, FALSE)) {
        d->FinishTx(static_cast<int>(written), epoch);
        ResetEvent(ov.hEvent);
      } else if (d->FinishTx(0, epoch) &&
                 WaitForSingleObject(d->FTxFlush.load(), FailureBackOffMs) == WAIT_OBJECT_0) {
        // The same chunk is tried again on the next pass, unless a flush comes first.
        SetEvent(d->FAck.load());
        return;
      }
    } else if (r == WAIT_OBJECT_0 + 1) {
      // Left in flight: the flush purges it, and the next pass collects it.
      SetEvent(d->FAck.load());
      return;
    } else {
      return;
    }
  }
}

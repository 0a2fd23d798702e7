// The dispatcher tests' probe into a Win32 dispatcher.
#pragma once

#include <algorithm>
#include <string>

#include "platform/Win32.h"
#include "serial/Win32Dispatcher.h"

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

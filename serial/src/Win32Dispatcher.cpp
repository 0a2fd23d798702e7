// TSioWin32Dispatcher and TSioTAPI32Dispatcher: the device operations on a comm handle.
#include "serial/Win32Dispatcher.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "DispatcherInternal.h"

using sio_detail::NegLastError;
using sio_detail::TLockGuard;
using sio_detail::ValidHandle;

TSioWin32Dispatcher::TSioWin32Dispatcher(TComponent* owner) : TSioBaseDispatcher(owner) {}

TSioWin32Dispatcher::~TSioWin32Dispatcher() {
  CloseForDestruction();
}

int TSioWin32Dispatcher::HandleToCid(HANDLE h) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(h) & INT_MAX);
}

bool TSioWin32Dispatcher::CreateIoEvents() {
  FReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  FSpareEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  FReadOv = OVERLAPPED{};
  FReadOv.hEvent = FReadEvent.load();
  FSpareOv = OVERLAPPED{};
  FSpareOv.hEvent = FSpareEvent.load();
  return FReadEvent.load() && FSpareEvent.load();
}

void TSioWin32Dispatcher::CloseIoEvents() {
  if (HANDLE e = FReadEvent.exchange(nullptr)) CloseHandle(e);
  if (HANDLE e = FSpareEvent.exchange(nullptr)) CloseHandle(e);
}

int TSioWin32Dispatcher::OpenCom(const char* portName, unsigned, unsigned) {
#ifdef _WIN32
  // The system knows COM1..COM9 without the device prefix only; the settings may map a port.
  const std::string device = platform::CommDeviceName(portName);
  portName = device.c_str();
#endif
  HANDLE h = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (!CreateIoEvents()) {
    CloseIoEvents();
    CloseHandle(h);
    return ecOutOfMemory;
  }
  FComHandle = h;
  return HandleToCid(h);
}

int TSioWin32Dispatcher::CloseCom() {
  CloseIoEvents();
  if (FStarted.load()) {
    FStopRequest = true;
    SetCommMask(FComHandle.load(), 0);
    SetEvent(FDispatchDone.load());
    ResetEvent(FAck.load());
  }
  if (!CloseHandle(FComHandle.load())) return -1;
  FComHandle = INVALID_HANDLE_VALUE;
  FCid = -1;
  return 0;
}

int TSioWin32Dispatcher::EscapeComFunction(int func) {
  EscapeCommFunction(FComHandle.load(), static_cast<DWORD>(func));
  return 0;
}

int TSioWin32Dispatcher::FlushCom(int queue) {
  HANDLE device = FComHandle.load();
  if (queue != 0) return PurgeComm(device, PURGE_RXABORT | PURGE_RXCLEAR) ? 0 : NegLastError(-1);
  {
    // With nothing queued and no write in flight the output thread has nothing to drop: the
    // hand-over to it and back (two thread switches before every block of an upload) is
    // skipped. Decided and done under one hold of the lock, so no write can start between.
    TLockGuard tx(FTxLock);
    if (FTxRing.Empty() && !FTxInFlight) {
      FTxRing.Reset();
      ++FTxEpoch;
      return PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR) ? 0 : NegLastError(-1);
    }
  }
  if (FOutThread.load()) {
    // The output thread drops its write and acknowledges; only then is the ring emptied.
    ResetEvent(FAck.load());
    SetEvent(FTxFlush.load());
    for (;;) {
      DWORD r = WaitForSingleObject(FAck.load(), 100);
      if (r == WAIT_OBJECT_0 || r == WAIT_FAILED || !FOutThread.load()) break;
    }
  }
  TLockGuard tx(FTxLock);
  FTxRing.Reset();
  ++FTxEpoch;
  return PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR) ? 0 : NegLastError(-1);
}

int TSioWin32Dispatcher::GetComError(COMSTAT& stat) {
  DWORD errors = 0;
  COMSTAT st{};
  if (!ClearCommError(FComHandle.load(), &errors, &st)) {
    errors = 0;
    st = COMSTAT{};
  }
  TLockGuard tx(FTxLock);
  // What waits in the transmit ring, not in the driver.
  st.cbOutQue = static_cast<DWORD>(FTxRing.Held());
  stat = st;
  return static_cast<int>(errors);
}

int TSioWin32Dispatcher::GetComEventMask(int) {
  return 0;
}

int TSioWin32Dispatcher::GetComState(DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  return GetCommState(FComHandle.load(), &dcb) ? 0 : -1;
}

int TSioWin32Dispatcher::SetComState(DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  return SetCommState(FComHandle.load(), &dcb) ? 0 : NegLastError(-1);
}

int TSioWin32Dispatcher::ReadCom(char* buf, int size) {
  if (!buf || size <= 0) return 0;
  HANDLE device = FComHandle.load();
  DWORD read = 0;
  if (!ReadFile(device, buf, static_cast<DWORD>(size), &read, &FReadOv)) {
    read = 0;
    if (GetLastError() == ERROR_IO_PENDING) {
      if (GetOverlappedResult(device, &FReadOv, &read, TRUE))
        ResetEvent(FReadOv.hEvent);
      else
        read = 0;
    }
  }
  return static_cast<int>(std::min<DWORD>(read, static_cast<DWORD>(size)));
}

int TSioWin32Dispatcher::WriteCom(const char* buf, int size) {
  bool wake = true;
  {
    TLockGuard tx(FTxLock);
    // The caller has made room; a size beyond the ring would write past it.
    if (!FTxRing.Attached() || !buf || size <= 0 || size > FTxRing.Size()) return 0;
    // With nothing queued before them the bytes go to the driver on this thread, which saves
    // waking the output thread for each block. Through the ring all the same: a write the
    // driver does not finish at once needs a buffer that outlives the call.
    bool direct =
        FTxOv && !FTxInFlight && FTxRing.Empty() && !FStopRequest.load() && !OutputHeld(FComStatus);
    if (direct) FTxRing.Reset();
    FTxRing.Put(buf, size);
    if (direct) wake = !WriteDirect();
  }
  if (wake) SetEvent(FTxData.load());
  return size;
}

bool TSioWin32Dispatcher::OutputHeld(const COMSTAT& st) {
  return st.fCtsHold || st.fDsrHold || st.fRlsdHold || st.fXoffHold || st.fXoffSent;
}

bool TSioWin32Dispatcher::WriteDirect() {
  OVERLAPPED& ov = *FTxOv;
  unsigned epoch = FTxEpoch;
  FTxInFlight = true;
  FTxInFlightEpoch = epoch;
  ResetEvent(ov.hEvent);
  DWORD written = 0;
  if (WriteFile(FComHandle.load(), FTxRing.ReadPtr(), static_cast<DWORD>(FTxRing.ReadableRun()),
                &written, &ov)) {
    FinishTx(static_cast<int>(written), epoch);
    // What the driver did not take is the output thread's.
    return FTxRing.Empty();
  }
  // Pending: the output thread collects it. Refused: it tries again under its own rules.
  if (GetLastError() != ERROR_IO_PENDING) FTxInFlight = false;
  return false;
}

bool TSioWin32Dispatcher::SetupCom(int inSize, int outSize) {
  return SetupComm(FComHandle.load(), static_cast<DWORD>(inSize), static_cast<DWORD>(outSize)) != 0;
}

bool TSioWin32Dispatcher::WaitComEvent(DWORD& evtMask, LPOVERLAPPED ov) {
  return WaitCommEvent(FComHandle.load(), &evtMask, ov) != 0;
}

template <class T>
void TSioWin32Dispatcher::StartThread(std::atomic<TSioDispatcherThread*>& thread) {
  T* t = new T(this);
  // Known before it runs: a thread that ends at once clears this itself.
  thread = t;
  try {
    t->Start();
  } catch (...) {
    thread = nullptr;
    if (InterlockedDecrement(&FLiveThreads) == 0) FStarted = false;
    delete t;
    throw;
  }
  WaitForSingleObject(FAck.load(), 3000);
}

void TSioWin32Dispatcher::StartDispatcher() {
  TLockGuard state(FStateLock);
  if (FStarted.load()) throw Exception("Dispatcher already started");
  FStarted = true;
  FStopRequest = false;
  StartThread<TComThread>(FComThread);
  StartThread<TDispThread>(FDispThread);
  StartThread<TOutThread>(FOutThread);
}

void TSioWin32Dispatcher::StopDispatcher() {
  // Waits without the state lock, which an ending thread may need.
  TLockGuard close(FCloseLock);
  if (!FStarted.load()) return;
  FStopRequest = true;
  if (FOutThread.load()) {
    SetEvent(FTxFlush.load());
    WaitForThreadEnd(FOutThread, [](TSioBaseDispatcher* d) {
      SetEvent(static_cast<TSioWin32Dispatcher*>(d)->FTxFlush.load());
    });
  }
  if (FComThread.load()) {
    SetCommMask(FComHandle.load(), 0);
    SetEvent(FDispatchDone.load());
    ResetEvent(FAck.load());
    WaitForThreadEnd(FComThread, [](TSioBaseDispatcher* d) {
      auto* self = static_cast<TSioWin32Dispatcher*>(d);
      SetCommMask(self->FComHandle.load(), 0);
      SetEvent(self->FDispatchDone.load());
    });
  }
  // Woken at once rather than at its next 50 ms time-out.
  SetEvent(FDeviceEvent.load());
  WaitForThreadEnd(FDispThread, [](TSioBaseDispatcher* d) {
    SetEvent(static_cast<TSioWin32Dispatcher*>(d)->FDeviceEvent.load());
  });
  CloseSignals();
  // A start that failed before any thread ran leaves no thread to clear the flag.
  if (InterlockedCompareExchange(&FLiveThreads, 0, 0) == 0) FStarted = false;
}

int TSioWin32Dispatcher::ProcessCommunications() {
  Sleep(0);
  return 0;
}

// ---- TSioTAPI32Dispatcher ----

TSioTAPI32Dispatcher::TSioTAPI32Dispatcher(TComponent* owner, HANDLE portHandle)
    : TSioWin32Dispatcher(owner), FTapiHandle(portHandle) {}

TSioTAPI32Dispatcher::~TSioTAPI32Dispatcher() {
  CloseForDestruction();
}

int TSioTAPI32Dispatcher::OpenCom(const char*, unsigned, unsigned) {
  if (!CreateIoEvents()) {
    CloseCom();
    return -1;
  }
  if (!FTapiHandle) {
    // Nothing is open, so nothing would close the events later.
    CloseIoEvents();
    SetLastError(static_cast<DWORD>(-ecCommNotOpen));
    return ecCommNotOpen;
  }
  FComHandle = FTapiHandle;
  return HandleToCid(FTapiHandle);
}

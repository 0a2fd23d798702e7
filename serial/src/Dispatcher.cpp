// TSioBaseDispatcher: construction, the port list, opening and closing, line settings, flow
// control, DTR/RTS, the receive and transmit rings, counters and status.
#include "serial/Dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "DispatcherInternal.h"

using sio_detail::NegLastError;
using sio_detail::TLockGuard;

namespace {

// Positions are ints and the ring is allocated at open: refuse sizes that could overflow them.
constexpr unsigned MaxOutSize = 0x40000000u;

constexpr DWORD LineErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

std::mutex gPortListLock;
int gLastHandle = -1;
TSioBaseDispatcher* gLastRec = nullptr;

} // namespace

std::vector<TSioBaseDispatcher*> PortList;

void LockPortList() {
  gPortListLock.lock();
}
void UnlockPortList() {
  gPortListLock.unlock();
}

TSioBaseDispatcher* GetTComRecPtrBase(int handle) {
  std::lock_guard lock(gPortListLock);
  if (gLastRec && handle == gLastHandle) return gLastRec;
  if (handle < 0 || handle >= static_cast<int>(PortList.size()) || !PortList[handle])
    return nullptr;
  gLastHandle = handle;
  gLastRec = PortList[handle];
  return gLastRec;
}

DWORD BaudCodeToSpeed(DWORD code) {
  switch (code) {
  case 0xFEFF:
    return 115200;
  case 0xFF10:
    return 110;
  case 0xFF11:
    return 300;
  case 0xFF12:
    return 600;
  case 0xFF13:
    return 1200;
  case 0xFF14:
    return 2400;
  case 0xFF15:
    return 4800;
  case 0xFF16:
    return 9600;
  case 0xFF17:
    return 14400;
  case 0xFF18:
    return 19200;
  case 0xFF1B:
    return 38400;
  case 0xFF1F:
    return 56000;
  case 0xFF23:
    return 128000;
  case 0xFF27:
    return 256000;
  default:
    return code;
  }
}

bool SioIsWinNT() {
  static const bool nt = [] {
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = sizeof(vi);
    return GetVersionExA(&vi) && vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }();
  return nt;
}

// ---- construction and destruction ----

TSioBaseDispatcher::TSioBaseDispatcher(TComponent* owner)
    : FOwner(owner), FGate(std::make_shared<TSioThreadGate>()) {
  InitializeCriticalSection(&FStateLock);
  InitializeCriticalSection(&FTxLock);
  InitializeCriticalSection(&FRxLock);
  InitializeCriticalSection(&FCloseLock);
  InitializeCriticalSection(&FNotifyLock);
  FReceiveEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::lock_guard lock(gPortListLock);
  auto slot = std::find(PortList.begin(), PortList.end(), nullptr);
  if (slot != PortList.end()) {
    *slot = this;
    FHandle = static_cast<int>(slot - PortList.begin());
  } else {
    PortList.push_back(this);
    FHandle = static_cast<int>(PortList.size()) - 1;
  }
}

TSioBaseDispatcher::~TSioBaseDispatcher() {
  // The device layer closed the port in its own destructor (virtual calls end there); what
  // is left is the bookkeeping.
  WaitForAllThreadsGone();
  {
    std::lock_guard lock(gPortListLock);
    if (FHandle >= 0 && FHandle < static_cast<int>(PortList.size()) && PortList[FHandle] == this)
      PortList[FHandle] = nullptr;
    while (!PortList.empty() && !PortList.back())
      PortList.pop_back();
    if (gLastRec == this) {
      gLastRec = nullptr;
      gLastHandle = -1;
    }
  }
  ReleaseRings();
  CloseSignals();
  FWndHandlers.clear();
  FProcHandlers.clear();
  FEventHandlers.clear();
  FTimerTriggers.clear();
  FDataTriggers.clear();
  FStatusTriggers.clear();
  if (FReceiveEvent) CloseHandle(FReceiveEvent);
  DeleteCriticalSection(&FNotifyLock);
  DeleteCriticalSection(&FCloseLock);
  DeleteCriticalSection(&FRxLock);
  DeleteCriticalSection(&FTxLock);
  DeleteCriticalSection(&FStateLock);
}

void TSioBaseDispatcher::CloseForDestruction() {
  if (FDeferredClose.load())
    DonePortPrim();
  else
    DonePort();
  WaitForAllThreadsGone();
}

// ---- opening ----

bool TSioBaseDispatcher::AllocateRings(unsigned outSize) {
  std::unique_ptr<char[]> rx(new (std::nothrow) char[sizeof(TDBuffer)]());
  std::unique_ptr<char[]> tx(new (std::nothrow) TOBuffer[outSize == 0 ? 1 : outSize]());
  if (!rx || !tx) return false;
  {
    TLockGuard rxLock(FRxLock);
    FRxRing.Attach(std::move(rx), DispatchBufferSize);
    FLookAhead = FLookAheadMax = FOutsideAhead = 0;
  }
  TLockGuard txLock(FTxLock);
  // A ring of size 0 holds nothing; the one byte of storage only marks the port open.
  FTxRing.Attach(std::move(tx), static_cast<int>(outSize));
  FOutSize = outSize;
  return true;
}

void TSioBaseDispatcher::ReleaseRings() {
  {
    TLockGuard rxLock(FRxLock);
    FRxRing.Release();
  }
  TLockGuard txLock(FTxLock);
  FTxRing.Release();
}

int TSioBaseDispatcher::InitPort(const char* portName, int baud, unsigned parity,
                                 signed char dataBits, signed char stopBits, unsigned inSize,
                                 unsigned outSize, unsigned options) {
  // A second open would lose the first port's handle and threads.
  if (FCid.load() >= 0 || FStarted.load()) return ecAlreadyOpen;
  if (!portName || outSize > MaxOutSize) return ecBadArgument;

  FRingFlag = false;
  ReleaseRings();
  {
    TLockGuard state(FStateLock);
    FNotifying = false;
    FRemovalPending = false;
  }

  CloseSignals();
  FDeviceEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FDispatchDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FAck = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FTxData = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FWriteComplete = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  FTxFlush = CreateEventA(nullptr, FALSE, FALSE, nullptr);

  int cid = OpenCom(portName, inSize, outSize);
  if (cid < 0) {
    int result = cid == ecOutOfMemory ? ecOutOfMemory : NegLastError(cid);
    FCid = cid;
    DonePort();
    return result;
  }
  FCid = cid;

  if (!SetupCom(static_cast<int>(inSize), static_cast<int>(outSize))) {
    int result = NegLastError(ecCommNotOpen);
    DonePort();
    return result;
  }

  if (!AllocateRings(outSize)) {
    DonePort();
    return ecOutOfMemory;
  }
  FInSize = inSize;
  FLineErrors = 0;
  FOutSent = false;
  FDeferredClose = false;
  FAvailNotify = false;
  FRS485Mode = false;
  FBaseAddress = 0;

  {
    TLockGuard state(FStateLock);
    GetComState(FDCB);
    if (options & InitOptDtrAuto) {
      FDtrAuto = true;
    } else {
      FDtrAuto = false;
      SetDtr((options & InitOptDtr) != 0);
    }
    if (options & InitOptRtsAuto) {
      FRtsAuto = true;
    } else {
      FRtsAuto = false;
      SetRts((options & InitOptRts) != 0);
    }
    ResetTriggerMachinery();
    FLastNotifiedPos = 0;
    ClearStatusHits();
    FModemStatus = 0;
    FModemStatus = ReadModemLines();
    FLastBaud = 115200;
  }

  int result = SetLine(baud, parity, dataBits, stopBits);
  if (result != 0) {
    DonePort();
    return result;
  }
  RefreshStatus();

  FTracing = false;
  FDispatchLogging = false;
  FTimeBase = SioTimeGetTime();

  try {
    StartDispatcher();
  } catch (const std::exception&) {
    DonePort();
    return ecOutOfMemory;
  }
  return ecOK;
}

// ---- closing ----

void TSioBaseDispatcher::DonePort() {
  if (FCid.load() >= 0) {
    FlushOutBuffer();
    FlushInBuffer();
    CloseCom();
  }
  if (FNotifying.load()) {
    // Asked from inside a notification handler: the dispatch thread finishes the close.
    FDeferredClose = true;
    return;
  }
  DonePortPrim();
}

void TSioBaseDispatcher::DonePortPrim() {
  TLockGuard close(FCloseLock);
  if (FStarted.load()) StopDispatcher();
  // Also after a failed open, which never started the threads.
  CloseSignals();
  ReleaseRings();
  // Once the close is done no thread touches the dispatcher any more, so that it may be
  // destroyed at once.
  WaitForAllThreadsGone();
}

void TSioBaseDispatcher::CloseSignals() {
  for (std::atomic<HANDLE>* signal :
       {&FDeviceEvent, &FDispatchDone, &FAck, &FTxData, &FWriteComplete, &FTxFlush}) {
    HANDLE h = signal->exchange(INVALID_HANDLE_VALUE);
    if (sio_detail::ValidHandle(h)) CloseHandle(h);
  }
}

// ---- line settings ----

int TSioBaseDispatcher::SetLine(int baud, unsigned parity, signed char dataBits,
                                signed char stopBits) {
  if (baud < 0 || parity > 5 || stopBits < 0 || (dataBits != 9 && (dataBits < 5 || dataBits > 8)))
    return ecBadArgument;
  DWORD newBaud;
  BYTE newParity, newData, newStop;
  {
    TLockGuard state(FStateLock);
    GetComState(FDCB);
    newBaud = baud == 0 ? FDCB.BaudRate : static_cast<DWORD>(baud);
    newParity = parity == 5 ? FDCB.Parity : static_cast<BYTE>(parity);
    newData = dataBits == 9 ? FDCB.ByteSize : static_cast<BYTE>(dataBits);
    newStop = FDCB.StopBits;
    if (dataBits == 5) newStop = ONE5STOPBITS;
    if (stopBits != 3) {
      int count = stopBits == 0 ? 1 : (stopBits > 3 ? 2 : stopBits);
      newStop = newData == 5 ? ONE5STOPBITS : (count == 1 ? ONESTOPBIT : TWOSTOPBITS);
    }
    if (newBaud == FDCB.BaudRate && newParity == FDCB.Parity && newData == FDCB.ByteSize &&
        newStop == FDCB.StopBits)
      return ecOK;
  }
  WaitTxSent();
  TLockGuard state(FStateLock);
  GetComState(FDCB);
  FDCB.BaudRate = newBaud;
  FDCB.Parity = newParity;
  FDCB.ByteSize = newData;
  FDCB.StopBits = newStop;
  FDCB.fBinary = 1;
  FDCB.fParity = 0;
  FDCB.fDsrSensitivity = 0;
  FDCB.fTXContinueOnXoff = 1;
  FDCB.fNull = 0;
  return ApplyLineSettings();
}

int TSioBaseDispatcher::GetLine(int& baud, unsigned short& parity, signed char& dataBits,
                                signed char& stopBits) {
  TLockGuard state(FStateLock);
  int result = GetComState(FDCB);
  baud = static_cast<int>(BaudCodeToSpeed(FDCB.BaudRate));
  parity = FDCB.Parity;
  dataBits = static_cast<signed char>(FDCB.ByteSize);
  stopBits = FDCB.StopBits == ONESTOPBIT ? 1 : 2;
  return result;
}

void TSioBaseDispatcher::WaitTxSent() {
  for (int i = 0; i < 5000 && OutBuffUsed() != 0; ++i)
    Sleep(2);
  DWORD speed;
  unsigned bits;
  {
    TLockGuard state(FStateLock);
    GetComState(FDCB);
    bits = FDCB.ByteSize + 2u + (FDCB.Parity != NOPARITY ? 1 : 0) +
           (FDCB.StopBits != ONESTOPBIT ? 1 : 0);
    speed = BaudCodeToSpeed(FLastBaud);
  }
  if (speed == 0) return;
  // The time of 18 characters in units of 0.1 us: the driver's last bytes leave the UART.
  uint64_t t = static_cast<uint64_t>(10000000u / speed) * bits * 18u;
  if (t < 10000) t *= 2;
  Sleep(static_cast<DWORD>((t + 9999) / 10000));
}

int TSioBaseDispatcher::ApplyLineSettings() {
  TLockGuard state(FStateLock);
  if (!FDtrAuto) FDCB.fDtrControl = FDtrState ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  if (!FRtsAuto) FDCB.fRtsControl = FRtsState ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  int result = SetComState(FDCB);
  if (result == 0) FLastBaud = FDCB.BaudRate;
  SetDtr(FDtrState);
  if (!FRS485Mode.load()) SetRts(FRtsState);
  return result;
}

int TSioBaseDispatcher::SetDtr(bool on) {
  TLockGuard state(FStateLock);
  if (FDtrAuto) return 1;
  int result = EscapeComFunction(on ? SETDTR : CLRDTR);
  FDtrState = on;
  return result < 0 ? ecBadArgument : result;
}

int TSioBaseDispatcher::SetRts(bool on) {
  TLockGuard state(FStateLock);
  if (FRtsAuto) return 1;
  int result = EscapeComFunction(on ? SETRTS : CLRRTS);
  FRtsState = on;
  return result < 0 ? ecBadArgument : result;
}

int TSioBaseDispatcher::SetModem(bool dtr, bool rts) {
  int result = SetDtr(dtr);
  if (result == 0) SetRts(rts);
  return result;
}

// ---- flow control ----

int TSioBaseDispatcher::HWFlowOptions(unsigned bufferFull, unsigned bufferResume,
                                      unsigned options) {
  TLockGuard state(FStateLock);
  if (bufferFull < bufferResume || bufferFull > FInSize) return ecBadArgument;
  GetComState(FDCB);
  FDCB.fDtrControl = DTR_CONTROL_DISABLE;
  FDCB.fRtsControl = RTS_CONTROL_DISABLE;
  FDCB.fOutxCtsFlow = 0;
  FDCB.fOutxDsrFlow = 0;
  FDtrAuto = false;
  FRtsAuto = false;
  if (options & HwOptDtr) {
    FDCB.fDtrControl = DTR_CONTROL_HANDSHAKE;
    FDtrAuto = true;
  } else if (FDtrState) {
    FDCB.fDtrControl = DTR_CONTROL_ENABLE;
  }
  if (options & HwOptRts) {
    FDCB.fRtsControl = RTS_CONTROL_HANDSHAKE;
    FRtsAuto = true;
  } else if (FRtsState) {
    FDCB.fRtsControl = RTS_CONTROL_ENABLE;
  }
  if (FRS485Mode.load() && SioIsWinNT()) {
    FDCB.fRtsControl = RTS_CONTROL_TOGGLE;
    FRtsAuto = true;
  }
  FDCB.XoffLim = static_cast<WORD>(FInSize - bufferFull);
  FDCB.XonLim = static_cast<WORD>(bufferResume);
  if (options & HwOptDsr) FDCB.fOutxDsrFlow = 1;
  if (options & HwOptCts) FDCB.fOutxCtsFlow = 1;
  return ApplyLineSettings();
}

int TSioBaseDispatcher::SWFlowEnable(unsigned bufferFull, unsigned bufferResume, unsigned options) {
  TLockGuard state(FStateLock);
  if (bufferFull < bufferResume || bufferFull > FInSize) return ecBadArgument;
  GetComState(FDCB);
  if (options & SwOptReceive) {
    FDCB.fInX = 1;
    FDCB.XoffLim = static_cast<WORD>(FInSize - bufferFull);
    FDCB.XonLim = static_cast<WORD>(bufferResume);
    FDCB.XonChar = 0x11;
    FDCB.XoffChar = 0x13;
  }
  if (options & SwOptTransmit) {
    FDCB.fOutX = 1;
    FDCB.XonChar = 0x11;
    FDCB.XoffChar = 0x13;
  }
  return ApplyLineSettings();
}

int TSioBaseDispatcher::SWFlowDisable() {
  TLockGuard state(FStateLock);
  GetComState(FDCB);
  FDCB.fInX = 0;
  FDCB.fOutX = 0;
  return ApplyLineSettings();
}

int TSioBaseDispatcher::SWFlowChars(char xonChar, char xoffChar) {
  TLockGuard state(FStateLock);
  GetComState(FDCB);
  FDCB.XonChar = xonChar;
  FDCB.XoffChar = xoffChar;
  return ApplyLineSettings();
}

int TSioBaseDispatcher::HWFlowState() {
  TLockGuard state(FStateLock);
  bool dtrHs = FDCB.fDtrControl == DTR_CONTROL_HANDSHAKE;
  bool rtsHs = FDCB.fRtsControl == RTS_CONTROL_HANDSHAKE;
  if (!dtrHs && !rtsHs && !FDCB.fOutxDsrFlow && !FDCB.fOutxCtsFlow) return 1;
  int result = 2;
  if (dtrHs || rtsHs) {
    COMSTAT st;
    RefreshStatus(&st);
    if (FDCB.fOutxDsrFlow && st.fDsrHold) result = 3;
    if (FDCB.fOutxCtsFlow && st.fCtsHold) result = 4;
  }
  return result;
}

int TSioBaseDispatcher::SWFlowState() {
  TLockGuard state(FStateLock);
  if (!FDCB.fInX && !FDCB.fOutX) return 1;
  COMSTAT st;
  RefreshStatus(&st);
  if (st.fXoffSent && st.fXoffHold) return 8;
  if (st.fXoffSent) return 7;
  if (st.fXoffHold) return 6;
  return 2;
}

int TSioBaseDispatcher::GetFlowOptions(unsigned& hwOpts, unsigned& swOpts, unsigned&, unsigned&,
                                       char& onChar, char& offChar) {
  TLockGuard state(FStateLock);
  int result = GetComState(FDCB);
  hwOpts = 0;
  if (FDCB.fDtrControl == DTR_CONTROL_HANDSHAKE) hwOpts |= HwOptDtr;
  if (FDCB.fRtsControl == RTS_CONTROL_HANDSHAKE) hwOpts |= HwOptRts;
  if (FDCB.fOutxDsrFlow) hwOpts |= HwOptDsr;
  if (FDCB.fOutxCtsFlow) hwOpts |= HwOptCts;
  swOpts = (FDCB.fInX ? SwOptReceive : 0u) | (FDCB.fOutX ? SwOptTransmit : 0u);
  onChar = FDCB.XonChar;
  offChar = FDCB.XoffChar;
  return result;
}

// ---- received data ----

thread_local const TSioBaseDispatcher* TSioBaseDispatcher::FHandlerOf = nullptr;

bool TSioBaseDispatcher::InHandler() const {
  if (FHandlerOf == this) return true;
  DWORD wndThread = FWndHandlerThread.load();
  return wndThread != 0 && wndThread == GetCurrentThreadId() && InSendMessage();
}

int TSioBaseDispatcher::RxLookAhead() const {
  if (!FAvailNotify.load()) return 0;
  return InHandler() ? FLookAhead : FOutsideAhead;
}

void TSioBaseDispatcher::LookFurther(int count) {
  (InHandler() ? FLookAhead : FOutsideAhead) += count;
}

unsigned TSioBaseDispatcher::RxUnread() const {
  int unread = FRxRing.Held() - RxLookAhead();
  return unread > 0 ? static_cast<unsigned>(unread) : 0;
}

bool TSioBaseDispatcher::CharReady() {
  TLockGuard rx(FRxLock);
  return RxUnread() > 0;
}

void TSioBaseDispatcher::ConsumeReceived(int count) {
  bool wasFull = FRxRing.Full();
  FRxRing.Consumed(count);
  // The reading stopped with bytes left in the driver; no new device event may come while
  // the driver's queue is full, so the dispatch thread is woken now, not at its time-out.
  if (wasFull && !FRxRing.Full()) SetEvent(FDeviceEvent.load());
}

int TSioBaseDispatcher::PeekChar(char& c, unsigned count) {
  if (count == 0) return ecBadArgument;
  TLockGuard rx(FRxLock);
  if (!FRxRing.Attached() || count > RxUnread()) return ecBufferIsEmpty;
  c = FRxRing.PeekAt(RxLookAhead() + static_cast<int>(count) - 1);
  return ecOK;
}

int TSioBaseDispatcher::GetChar(char& c) {
  TLockGuard rx(FRxLock);
  if (!FRxRing.Attached() || RxUnread() < 1) return ecBufferIsEmpty;
  c = FRxRing.PeekAt(RxLookAhead());
  if (FAvailNotify.load())
    LookFurther(1);
  else
    ConsumeReceived(1);
  if (FTracing.load()) TraceBytes('R', &c, 1);
  return ecOK;
}

int TSioBaseDispatcher::PeekBlock(char* block, unsigned len) {
  if (len == 0) return 0;
  if (!block) return ecBadArgument;
  TLockGuard rx(FRxLock);
  if (!FRxRing.Attached() || len > RxUnread()) return ecBufferIsEmpty;
  FRxRing.CopyOut(block, RxLookAhead(), static_cast<int>(len));
  return static_cast<int>(len);
}

int TSioBaseDispatcher::GetBlock(char* block, unsigned len) {
  if (len == 0) return 0;
  if (!block) return ecBadArgument;
  TLockGuard rx(FRxLock);
  if (!FRxRing.Attached() || len > RxUnread()) return ecBufferIsEmpty;
  int n = static_cast<int>(len);
  FRxRing.CopyOut(block, RxLookAhead(), n);
  if (FAvailNotify.load())
    LookFurther(n);
  else
    ConsumeReceived(n);
  if (FTracing.load()) TraceBytes('R', block, len);
  return n;
}

void TSioBaseDispatcher::SetReceiveNotify(TSioReceiveNotify notify, void* context) {
  TLockGuard lock(FNotifyLock);
  FReceiveNotify = notify;
  FReceiveContext = context;
}

// ---- transmitted data ----

int TSioBaseDispatcher::PutBlock(const void* buf, unsigned len) {
  if (len == 0) return 0;
  if (!buf) return ecBadArgument;
  const char* bytes = static_cast<const char*>(buf);
  if (FRS485Mode.load() && !SioIsWinNT()) {
    // Taken before the transmit lock: SetRts needs the state lock, which comes first.
    if (FBaseAddress.load() == 0) return ecBaseAddressNotSet;
    SetRts(true);
  }
  int result;
  {
    TLockGuard tx(FTxLock);
    if (!FTxRing.Attached()) return ecCommNotOpen;
    COMSTAT st;
    FLineErrors = static_cast<DWORD>(GetComError(st));
    FComStatus = st;
    unsigned freeRoom = FOutSize - std::min<unsigned>(st.cbOutQue, FOutSize);
    if (len > freeRoom) return ecOutputBufferTooSmall;
    int written = WriteCom(bytes, static_cast<int>(len));
    if (written <= 0) {
      FLineErrors = static_cast<DWORD>(GetComError(st));
      FComStatus = st;
      result = ecPutBlockFail;
    } else {
      result = ecOK;
    }
    FOutSent = true;
  }
  if (FTracing.load()) TraceBytes('T', bytes, len);
  return result;
}

// ---- flushes, counters, status ----

int TSioBaseDispatcher::FlushInBuffer() {
  TLockGuard rx(FRxLock);
  int result = FlushCom(1);
  // Discarded at once, also during a notification: marking the bytes for the end of the
  // delivery left them readable meanwhile, to the handlers and to every other thread. The
  // look-ahead then counts from the emptied ring, so only later bytes can be consumed.
  if (FAvailNotify.load()) FFlushedInDelivery = true;
  FRxRing.Consumed(FRxRing.Held());
  FLookAhead = 0;
  FLookAheadMax = 0;
  FOutsideAhead = 0;
  ResetDataTriggerMatches();
  return result;
}

int TSioBaseDispatcher::FlushOutBuffer() {
  return FlushCom(0);
}

unsigned TSioBaseDispatcher::InBuffUsed() {
  TLockGuard rx(FRxLock);
  return RxUnread();
}

unsigned TSioBaseDispatcher::InBuffFree() {
  TLockGuard rx(FRxLock);
  return DispatchBufferSize - RxUnread();
}

unsigned TSioBaseDispatcher::OutBuffUsed() {
  COMSTAT st;
  RefreshStatus(&st);
  return st.cbOutQue;
}

unsigned TSioBaseDispatcher::OutBuffFree() {
  unsigned used = OutBuffUsed();
  return used >= FOutSize ? 0 : FOutSize - used;
}

void TSioBaseDispatcher::BufferSizes(unsigned& inSize, unsigned& outSize) const {
  inSize = FInSize;
  outSize = FOutSize;
}

DWORD TSioBaseDispatcher::RefreshStatus(COMSTAT* copy) {
  COMSTAT st;
  DWORD errors = static_cast<DWORD>(GetComError(st));
  FLineErrors.fetch_or(errors & LineErrorBits);
  {
    TLockGuard tx(FTxLock);
    FComStatus = st;
  }
  if (copy) *copy = st;
  return errors;
}

COMSTAT TSioBaseDispatcher::ComStatus() {
  TLockGuard tx(FTxLock);
  return FComStatus;
}

int TSioBaseDispatcher::GetLineError() {
  TLockGuard state(FStateLock);
  DWORD e = FLineErrors.load();
  int code = (e & CE_RXOVER)     ? 1
             : (e & CE_OVERRUN)  ? 2
             : (e & CE_RXPARITY) ? 3
             : (e & CE_FRAME)    ? 4
             : (e & CE_BREAK)    ? 9
                                 : 0;
  if (code != 0) FLineErrors.fetch_and(~static_cast<DWORD>(0x0F));
  return code;
}

bool TSioBaseDispatcher::CheckLineBreak() {
  TLockGuard state(FStateLock);
  return (FLineErrors.fetch_and(~static_cast<DWORD>(CE_BREAK)) & CE_BREAK) != 0;
}

DWORD TSioBaseDispatcher::ReadModemLines() {
  DWORD lines = 0;
  if (!GetCommModemStatus(FComHandle.load(), &lines)) return 0;
  return lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
}

unsigned char TSioBaseDispatcher::ModemStatusPrim(unsigned char clearBits) {
  TLockGuard state(FStateLock);
  FModemStatus = (FModemStatus & 0x0F) | ReadModemLines();
  if (FRingFlag.exchange(false)) FModemStatus |= 0x04;
  auto result = static_cast<unsigned char>(FModemStatus);
  FModemStatus &= ~static_cast<DWORD>(clearBits);
  return result;
}

unsigned char TSioBaseDispatcher::GetModemStatus() {
  return ModemStatusPrim(0x0F);
}
bool TSioBaseDispatcher::CheckCTS() {
  return (ModemStatusPrim(0x01) & 0x10) != 0;
}
bool TSioBaseDispatcher::CheckDSR() {
  return (ModemStatusPrim(0x02) & 0x20) != 0;
}
bool TSioBaseDispatcher::CheckRI() {
  return (ModemStatusPrim(0x04) & 0x40) != 0;
}
bool TSioBaseDispatcher::CheckDCD() {
  return (ModemStatusPrim(0x08) & 0x80) != 0;
}
bool TSioBaseDispatcher::CheckDeltaCTS() {
  return (ModemStatusPrim(0x01) & 0x01) != 0;
}
bool TSioBaseDispatcher::CheckDeltaDSR() {
  return (ModemStatusPrim(0x02) & 0x02) != 0;
}
bool TSioBaseDispatcher::CheckDeltaRI() {
  return (ModemStatusPrim(0x04) & 0x04) != 0;
}
bool TSioBaseDispatcher::CheckDeltaDCD() {
  return (ModemStatusPrim(0x08) & 0x08) != 0;
}

void TSioBaseDispatcher::SendBreak(unsigned ticks, bool yield) {
  HANDLE h = FComHandle.load();
  SetCommBreak(h);
  DelayTicks(static_cast<int32_t>(std::min<unsigned>(ticks, MaxTimerTicks)), yield);
  ClearCommBreak(h);
}

void TSioBaseDispatcher::SetBreak(bool on) {
  if (on)
    SetCommBreak(FComHandle.load());
  else
    ClearCommBreak(FComHandle.load());
}

// ---- thread boost, RS-485, options, data pointers ----

void TSioBaseDispatcher::ApplyThreadPriorities() {
  TLockGuard state(FStateLock);
  auto priority = [](int offset) {
    return static_cast<TThreadPriority>(std::min<int>(tpNormal + offset, tpTimeCritical));
  };
  // The references are cleared under the state lock before a thread frees itself.
  if (TSioDispatcherThread* t = FComThread.load()) t->SetPriority(priority(FThreadBoost));
  if (TSioDispatcherThread* t = FDispThread.load()) t->SetPriority(priority(FThreadBoost));
  if (TSioDispatcherThread* t = FOutThread.load())
    t->SetPriority(priority(FThreadBoost + (FRS485Mode.load() ? 1 : 0)));
}

void TSioBaseDispatcher::SetThreadBoost(unsigned char boost) {
  TLockGuard state(FStateLock);
  if (boost == FThreadBoost) return;
  FThreadBoost = boost;
  ApplyThreadPriorities();
}

void TSioBaseDispatcher::SetRS485Mode(bool on) {
  TLockGuard state(FStateLock);
  FRS485Mode = on;
  ApplyThreadPriorities();
  if (on && !SioIsWinNT()) FBaseAddress = static_cast<uint16_t>(EscapeComFunction(10));
}

void TSioBaseDispatcher::SetBaseAddress(uint16_t address) {
  TLockGuard state(FStateLock);
  FBaseAddress = address;
}

uint16_t TSioBaseDispatcher::GetBaseAddress() {
  return FBaseAddress.load();
}

void TSioBaseDispatcher::OptionsOn(DWORD mask) {
  TLockGuard state(FStateLock);
  FOptions |= mask;
}

void TSioBaseDispatcher::OptionsOff(DWORD mask) {
  TLockGuard state(FStateLock);
  FOptions &= ~mask;
}

bool TSioBaseDispatcher::OptionsAreOn(DWORD mask) {
  TLockGuard state(FStateLock);
  return (FOptions & mask) == mask;
}

int TSioBaseDispatcher::SetDataPointer(void* p, unsigned slot) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  TLockGuard state(FStateLock);
  FDataPointers[slot - 1] = p;
  return ecOK;
}

int TSioBaseDispatcher::GetDataPointer(void*& p, unsigned slot) {
  if (slot < 1 || slot > 3) return ecBadArgument;
  TLockGuard state(FStateLock);
  p = FDataPointers[slot - 1];
  return ecOK;
}

// ---- thread exceptions ----

namespace {
std::atomic<TSioThreadExceptionHandler> gThreadExceptionHandler{nullptr};
}

void SetSioThreadExceptionHandler(TSioThreadExceptionHandler handler) {
  gThreadExceptionHandler = handler;
}

void TSioBaseDispatcher::ReportThreadException(const std::string& message) {
  if (TSioThreadExceptionHandler handler = gThreadExceptionHandler.load())
    handler(message);
  else
    std::fprintf(stderr, "serial dispatcher thread: %s\n", message.c_str());
}

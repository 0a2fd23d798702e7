// TSioBaseDispatcher: the engine behind one open serial port. It owns an 8192-byte receive
// ring that the dispatch thread fills from the driver, a transmit ring that the output thread
// writes to the device, a com thread that waits for device events, the cached line settings,
// DTR/RTS, flow control (configured into the driver, never done here), line errors, the modem
// status byte, and the trigger machinery's lists. Everything that touches the driver is a
// virtual device operation; TSioWin32Dispatcher (Win32Dispatcher.h) supplies them.
//
// Operations return 0 or a count for success and a negative ec... code for failure; none
// raises. Any operation may be called from any thread. Locks: receive, state and transmit,
// always taken in that order; the PortList lock is never held together with them.
//
// Waiting for received bytes without polling: ReceiveEvent() is an auto-reset event that the
// dispatch thread sets each time it has moved bytes into the receive ring, and
// SetReceiveNotify installs a function it calls just before (on the dispatch thread, no
// dispatcher lock held). A waiter checks CharReady, and only when that is false waits on the
// event (or for the notification) with its deadline, then checks again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "runtime/Classes.h"
#include "serial/Ring.h"
#include "serial/Timers.h"
#include "serial/Triggers.h"

class TSioBaseDispatcher;

constexpr int DispatchBufferSize = 8192;
// The storage of the receive ring and of the transmit ring (TSioRing); the transmit ring has
// the output size given to InitPort.
using TDBuffer = char[DispatchBufferSize];
using TOBuffer = char;

// Device events the com thread selects (received character, CTS, DSR, RLSD, break, error,
// ring), and ring's trailing edge, which only platforms other than Windows NT know.
constexpr DWORD DefaultComEventMask = 0x01F9;
constexpr DWORD RingTrailingEdge = 0x2000;

// InitPort's options: the line levels to open with, or a line left to the handshake.
constexpr unsigned InitOptDtr = 0x01, InitOptRts = 0x02;
constexpr unsigned InitOptDtrAuto = 0x10, InitOptRtsAuto = 0x20;
// HWFlowOptions' options and GetFlowOptions' hwOpts, in the order of THWFlowOptions.
constexpr unsigned HwOptDtr = 0x01, HwOptRts = 0x02, HwOptDsr = 0x04, HwOptCts = 0x08;
constexpr unsigned HwOptAll = HwOptDtr | HwOptRts | HwOptDsr | HwOptCts;
// SWFlowEnable's options and GetFlowOptions' swOpts.
constexpr unsigned SwOptTransmit = 0x01, SwOptReceive = 0x02;

// Called on the dispatch thread after bytes were moved into the receive ring.
using TSioReceiveNotify = void (*)(void* context, TSioBaseDispatcher* dispatcher);

// Shows an exception that escaped a background thread's work loop. The GUI installs one that
// reaches its exception display; without one the message goes to standard error.
using TSioThreadExceptionHandler = void (*)(const std::string& message);
void SetSioThreadExceptionHandler(TSioThreadExceptionHandler handler);

// The three background threads of a dispatcher. Each frees itself when its loop has ended;
// ThreadGone is its last call into the dispatcher.
class TSioDispatcherThread : public TThread {
public:
  explicit TSioDispatcherThread(TSioBaseDispatcher* dispatcher);
  TSioBaseDispatcher* Dispatcher() const { return FDispatcher; }

  // For running an event handler on the user-interface thread.
  UINT FMsg = 0;
  UINT FTrigger = 0;
  LPARAM FData = 0;
  void* FHandler = nullptr;
  void* FHandlerObject = nullptr;

protected:
  void Execute() final;
  virtual void Work() = 0;
  // Runs after Work however it ended, before ThreadGone.
  virtual void WorkEnded() {}
  TSioBaseDispatcher* const FDispatcher;

private:
  friend class TSioBaseDispatcher;
  // Outlives the dispatcher so that an ending thread may signal it after its last touch.
  std::shared_ptr<struct TSioThreadGate> FGate;
};

class TComThread : public TSioDispatcherThread {
public:
  using TSioDispatcherThread::TSioDispatcherThread;

protected:
  void Work() override;
};

class TDispThread : public TSioDispatcherThread {
public:
  using TSioDispatcherThread::TSioDispatcherThread;

protected:
  void Work() override;
  void WorkEnded() override;
};

class TOutThread : public TSioDispatcherThread {
public:
  using TSioDispatcherThread::TSioDispatcherThread;

protected:
  void Work() override;

private:
  void Drain();
};

// Signalled by each thread as it passes ThreadGone; shared with the threads.
struct TSioThreadGate {
  TSioThreadGate();
  ~TSioThreadGate();
  TSioThreadGate(const TSioThreadGate&) = delete;
  TSioThreadGate& operator=(const TSioThreadGate&) = delete;
  HANDLE Gone;
};

class TSioBaseDispatcher : public TObject {
public:
  explicit TSioBaseDispatcher(TComponent* owner);
  ~TSioBaseDispatcher() override;
  TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
  TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

  // ---- device operations ----
  virtual int EscapeComFunction(int func) = 0;
  virtual int FlushCom(int queue) = 0;
  virtual int GetComError(COMSTAT& stat) = 0;
  virtual int GetComEventMask(int mask) = 0;
  virtual int GetComState(DCB& dcb) = 0;
  virtual int ReadCom(char* buf, int size) = 0;
  virtual int SetComState(DCB& dcb) = 0;
  virtual int WriteCom(const char* buf, int size) = 0;
  virtual bool WaitComEvent(DWORD& evtMask, LPOVERLAPPED ov) = 0;
  virtual bool SetupCom(int inSize, int outSize) = 0;
  virtual void DonePortPrim();
  virtual void StartDispatcher() = 0;
  virtual void StopDispatcher() = 0;
  virtual int OpenCom(const char* portName, unsigned inSize, unsigned outSize) = 0;
  virtual int CloseCom() = 0;
  virtual int ProcessCommunications() = 0;
  virtual void SetThreadBoost(unsigned char boost);
  virtual void UpdateHandlerFlags(TSioHandlerFlagUpdate flagUpdate);

  // ---- opening and closing ----
  int InitPort(const char* portName, int baud, unsigned parity, signed char dataBits,
               signed char stopBits, unsigned inSize, unsigned outSize, unsigned options);
  void DonePort();
  // The last call of each background thread.
  void ThreadGone(TSioDispatcherThread* thread);

  // ---- line settings ----
  // Keep values: baud 0, parity 5, dataBits 9, stopBits 3.
  int SetLine(int baud, unsigned parity, signed char dataBits, signed char stopBits);
  int GetLine(int& baud, unsigned short& parity, signed char& dataBits, signed char& stopBits);
  int ChangeBaud(int baud) { return SetLine(baud, 5, 9, 3); }
  void WaitTxSent();
  int SetDtr(bool on);
  int SetRts(bool on);
  int SetModem(bool dtr, bool rts);

  // ---- flow control (written into the driver settings) ----
  int HWFlowOptions(unsigned bufferFull, unsigned bufferResume, unsigned options);
  int SWFlowEnable(unsigned bufferFull, unsigned bufferResume, unsigned options);
  int SWFlowDisable();
  int SWFlowChars(char xonChar, char xoffChar);
  int HWFlowState();
  int SWFlowState();
  int GetFlowOptions(unsigned& hwOpts, unsigned& swOpts, unsigned& bufferFull,
                     unsigned& bufferResume, char& onChar, char& offChar);

  // ---- received data ----
  bool CharReady();
  int PeekChar(char& c, unsigned count);
  int GetChar(char& c);
  int PeekBlock(char* block, unsigned len);
  int GetBlock(char* block, unsigned len);
  // Auto-reset; set after each move of bytes into the receive ring. Valid for the
  // dispatcher's whole life.
  HANDLE ReceiveEvent() const { return FReceiveEvent; }
  // nullptr removes it. When this returns, a removed function is no longer running.
  void SetReceiveNotify(TSioReceiveNotify notify, void* context);

  // ---- transmitted data ----
  int PutChar(char c) { return PutBlock(&c, 1); }
  int PutString(const std::string& s) {
    return PutBlock(s.data(), static_cast<unsigned>(s.size()));
  }
  int PutBlock(const void* buf, unsigned len);

  // ---- flushes, counters, status ----
  int FlushInBuffer();
  int FlushOutBuffer();
  unsigned InBuffUsed();
  unsigned InBuffFree();
  unsigned OutBuffUsed();
  unsigned OutBuffFree();
  void BufferSizes(unsigned& inSize, unsigned& outSize) const;
  DWORD RefreshStatus(COMSTAT* copy = nullptr);
  COMSTAT ComStatus();
  int GetLineError();
  bool CheckLineBreak();
  unsigned char GetModemStatus();
  bool CheckCTS();
  bool CheckDSR();
  bool CheckRI();
  bool CheckDCD();
  bool CheckDeltaCTS();
  bool CheckDeltaDSR();
  bool CheckDeltaRI();
  bool CheckDeltaDCD();
  void SendBreak(unsigned ticks, bool yield);
  void SetBreak(bool on);

  // ---- RS-485, options, data pointers ----
  void SetRS485Mode(bool on);
  void SetBaseAddress(uint16_t address);
  uint16_t GetBaseAddress();
  void OptionsOn(DWORD mask);
  void OptionsOff(DWORD mask);
  bool OptionsAreOn(DWORD mask);
  int SetDataPointer(void* p, unsigned slot);
  int GetDataPointer(void*& p, unsigned slot);

  // ---- triggers and handlers ----
  // Results are 0, a handle, or a negative ec... code. Handlers are told of triggers on the
  // dispatch thread (windows and synchronised methods on their own threads) with no lock held.
  int ChangeLengthTrigger(unsigned length);
  int AddDataTriggerLen(const char* data, bool ignoreCase, unsigned len);
  int AddDataTrigger(const char* data, bool ignoreCase);
  int AddTimerTrigger();
  int AddStatusTrigger(unsigned kind);
  int SetTimerTrigger(unsigned handle, int ticks, bool activate);
  int ExtendTimer(unsigned handle, int ticks);
  int TimerTicksRemaining(unsigned handle, int& remaining);
  int SetStatusTrigger(unsigned handle, unsigned value, bool activate);
  int RemoveTrigger(unsigned handle);
  // Timer, status and data lists in that order; `record` gets a copy of what was found (and,
  // with `remove`, taken out of its list).
  int FindTriggerFromHandle(unsigned handle, bool remove, TTriggerType& type,
                            TTriggerRecord& record);
  int RegisterWndTriggerHandler(HWND wnd);
  int RegisterProcTriggerHandler(TSioNotifyProc proc);
  int RegisterEventTriggerHandler(TSioNotifyEvent event);
  // The method runs on the user-interface thread, which must pump messages for it.
  int RegisterSyncEventTriggerHandler(TSioNotifyEvent event);
  int DeregisterWndTriggerHandler(HWND wnd);
  int DeregisterProcTriggerHandler(TSioNotifyProc proc);
  // Compares the code part only.
  int DeregisterEventTriggerHandler(TSioNotifyEvent event);
  int SaveTriggers(TTriggerSave& save);
  int RestoreTriggers(TTriggerSave& save);
  int ClearSaveBuffers(TTriggerSave& save);
  static int ClassifyStatusTrigger(unsigned handle) { return static_cast<int>(handle & 7); }
  // Timer, else status, else receive evaluation; true when one fired. An evaluation already
  // running (on the dispatch thread, or a handler calling this) makes it return false.
  bool CheckTriggers();

  // ---- dispatch log and trace hooks ----
  // A sink receives each entry (or traced bytes) as it is made, with dispatcher locks held:
  // it must not call back into the dispatcher. Installing one switches the log (trace) on,
  // nullptr switches it off; an open switches both off and keeps the sinks.
  void SetDispatchLogSink(TSioDispatchLogSink sink, void* context);
  void SetTraceSink(TSioTraceSink sink, void* context);
  void LogDispatch(TDispatchType type, TDispatchSubType subType, DWORD data, DWORD otherData);

  // ---- identity ----
  TComponent* Owner() const { return FOwner; }
  int Handle() const { return FHandle; }
  int ComHandle() const { return FCid.load(); }
  bool Started() const { return FStarted.load(); }
  bool Notifying() const { return FNotifying.load(); }
  // Sets the notifying flag and returns its previous value: a string wait holds it so that
  // triggers do not consume the bytes it is reading, and a close meanwhile is deferred.
  bool SetEventBusy(bool busy) {
    EnterCriticalSection(&FStateLock);
    bool previous = FNotifying.exchange(busy);
    LeaveCriticalSection(&FStateLock);
    return previous;
  }

protected:
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;
  friend class TSioDispatcherThread;
  friend class TTriggerDelivery;
  friend class THandlerScope;

  // The dispatch thread's two cycles.
  void EventCycle();
  void TimerCycle();
  // Moves what the driver holds into the receive ring; returns the count moved.
  int MoveReceivedBytes();
  void ReadModemChanges();
  // Evaluates status triggers until none fires; false when a deferred close cut it short.
  bool RunStatusTriggers();

  // Applies FDCB with the DTR/RTS fix-up; the result is SetComState's.
  int ApplyLineSettings();
  DWORD ReadModemLines();
  unsigned char ModemStatusPrim(unsigned char clearBits);
  void ApplyThreadPriorities();
  // Waits, handling the calling thread's messages, until `thread` has cleared itself.
  void WaitForThreadEnd(std::atomic<TSioDispatcherThread*>& thread,
                        void (*wake)(TSioBaseDispatcher*));
  // Waits until every thread has passed ThreadGone.
  void WaitForAllThreadsGone();
  void CloseSignals();
  void ReleaseRings();
  // Allocates both rings (zero-filled) and resets their positions; false when out of memory.
  bool AllocateRings(unsigned outSize);
  bool IsOwnThread() const;
  // For the device layer's destructor, while its operations still exist: closes the port
  // (or finishes a deferred close) and waits until every thread has passed ThreadGone.
  void CloseForDestruction();
  static void ReportThreadException(const std::string& message);

  // Receive-ring helpers; receive lock held.
  // Reads during an avail or data delivery look ahead and the delivery's end consumes. A
  // handler's reads count from the read position afresh for each handler, so that every
  // handler sees the announced bytes; a reader on any other thread has a cursor of its own
  // that no handler resets, so it never gets a byte twice.
  bool InHandler() const;
  int RxLookAhead() const;
  void LookFurther(int count);
  // Bytes held that a read may still take (those beyond the look-ahead).
  unsigned RxUnread() const;
  // Takes `count` bytes out of the receive ring; every taking goes through here (reads, the
  // end of an avail delivery), since a ring that was full needs the dispatch thread woken.
  void ConsumeReceived(int count);
  // Ends the write in flight: `count` bytes of it were sent. False when a transmit flush has
  // abandoned it since (the emptied ring is left alone then).
  bool FinishTx(int count, unsigned epoch);

  // Trigger machinery, driven by the dispatch thread. Each evaluation returns whether it
  // should be called again at once.
  bool CheckTimerTriggers();
  bool CheckStatusTriggers();
  bool CheckReceiveTriggers();
  // Receive and state lock held. Runs the data triggers over the bytes not scanned yet;
  // true at a byte where one or more strings ended (`pos` stops there, `hitLength` is the
  // longest), false at the write position.
  bool ScanDataTriggers(int& pos, unsigned& hitLength);
  // Unread bytes before a string `hitLength` long that ended at `pos`.
  int UnreadBeforeHit(int pos, unsigned hitLength) const;
  // The avail rule: `count` waiting bytes up to `pos` are announced once per position, when
  // they reach the trigger length. Returns the count to announce, 0 for none.
  unsigned AvailToAnnounce(int pos, int count);
  // Tells the data triggers of FHitHandles still hit; the last delivery's result, else
  // `result`.
  bool DeliverDataHits(bool result);
  void ClearStatusHits();
  // Called by the receive flush (receive lock held): partial matches start again, and the
  // flushed bytes are never offered to the data triggers.
  void ResetDataTriggerMatches();
  void ResetTriggerMachinery();
  void TraceBytes(char kind, const char* bytes, unsigned len);
  // Sends one notification to every handler; no lock may be held by the caller. The result
  // tells the evaluation whether it may run again at once.
  bool DeliverNotification(UINT msg, WPARAM wParam, DWORD data);
  // State lock held: the next free handle, 0 when none is left.
  unsigned NewTriggerHandle();
  bool TriggerHandleInUse(unsigned base) const;
  // State lock held: counts the handles of the three trigger lists afresh.
  void RecountTriggerHandles();
  // State lock held: whether the armed status trigger's condition holds, and its value.
  bool StatusConditionHolds(TStatusTrigger& trigger, DWORD& value);
  template <class T>
  int DeregisterHandler(TTriggerList<T>& list, bool (*same)(const T&, const void*),
                        const void* value, TDispatchSubType subType);

  // ---- identity ----
  TComponent* FOwner;
  int FHandle = -1;

  // ---- device ----
  std::atomic<int> FCid{-1};
  // The device handle behind FCid, for the services the base calls itself.
  std::atomic<HANDLE> FComHandle{INVALID_HANDLE_VALUE};
  COMSTAT FComStatus{}; // transmit lock
  DCB FDCB{};           // state lock
  std::atomic<DWORD> FLineErrors{0};
  DWORD FModemStatus = 0; // state lock
  DWORD FLastBaud = 115200;
  unsigned FInSize = 0;
  unsigned FOutSize = 0;

  // ---- lines ----
  bool FDtrState = false;
  bool FRtsState = false;
  bool FDtrAuto = false;
  bool FRtsAuto = false;
  std::atomic<bool> FRS485Mode{false};
  std::atomic<uint16_t> FBaseAddress{0};

  // ---- receive ring (receive lock) ----
  TSioRing FRxRing;
  std::atomic<bool> FAvailNotify{false};
  int FLookAhead = 0;
  int FLookAheadMax = 0;
  int FOutsideAhead = 0;
  // The thread of the window being told, whose reads inside that message are a handler's.
  std::atomic<DWORD> FWndHandlerThread{0};
  // The dispatcher whose handler the calling thread is running, if any.
  static thread_local const TSioBaseDispatcher* FHandlerOf;
  // A flush emptied the ring during the delivery: the announced bytes count as taken.
  bool FFlushedInDelivery = false;

  // ---- transmit ring (transmit lock) ----
  TSioRing FTxRing;
  // Grows with every transmit flush, so that a write abandoned before it never advances the
  // emptied ring when it completes late.
  unsigned FTxEpoch = 0;
  std::atomic<bool> FOutSent{false};
  // The one write record of the transmit side, while the output thread runs (on the heap: a
  // write the device never completes must not be left pointing at freed memory).
  OVERLAPPED* FTxOv = nullptr;
  // A write on FTxOv has been issued and not yet collected (by the output thread, or by a
  // caller writing straight away), with the epoch of the ring it was taken from.
  bool FTxInFlight = false;
  unsigned FTxInFlightEpoch = 0;

  // ---- threads ----
  std::atomic<TSioDispatcherThread*> FComThread{nullptr};
  std::atomic<TSioDispatcherThread*> FDispThread{nullptr};
  std::atomic<TSioDispatcherThread*> FOutThread{nullptr};
  std::atomic<bool> FStarted{false};
  LONG volatile FLiveThreads = 0;
  std::atomic<bool> FStopRequest{false};
  std::atomic<bool> FCloseOnExit{false};
  unsigned char FThreadBoost = 0; // state lock
  std::shared_ptr<TSioThreadGate> FGate;

  // ---- signals ----
  std::atomic<HANDLE> FDeviceEvent{INVALID_HANDLE_VALUE};   // auto
  std::atomic<HANDLE> FDispatchDone{INVALID_HANDLE_VALUE};  // auto
  std::atomic<HANDLE> FAck{INVALID_HANDLE_VALUE};           // auto
  std::atomic<HANDLE> FTxData{INVALID_HANDLE_VALUE};        // auto
  std::atomic<HANDLE> FWriteComplete{INVALID_HANDLE_VALUE}; // manual
  std::atomic<HANDLE> FTxFlush{INVALID_HANDLE_VALUE};       // auto
  std::atomic<DWORD> FLastDeviceEvents{0};
  std::atomic<bool> FRingFlag{false};
  HANDLE FReceiveEvent = nullptr;

  // ---- locks ----
  CRITICAL_SECTION FStateLock;
  CRITICAL_SECTION FTxLock;
  CRITICAL_SECTION FRxLock;
  // Serialises the closing paths (the closing thread and the ending dispatch thread).
  CRITICAL_SECTION FCloseLock;
  CRITICAL_SECTION FNotifyLock;
  TSioReceiveNotify FReceiveNotify = nullptr; // notify lock
  void* FReceiveContext = nullptr;

  // ---- notification ----
  std::atomic<bool> FNotifying{false};
  bool FRemovalPending = false;
  std::atomic<bool> FDeferredClose{false};

  // ---- options, data pointers ----
  DWORD FOptions = 0;
  void* FDataPointers[3] = {};

  // ---- trigger machinery (state lock; the evaluation holds it while it walks the lists) ----
  unsigned FTriggerLength = 0;
  // Receive and state lock; the flush and the ring's filling move it too.
  int FRxScanPos = 0;
  int FLastNotifiedPos = 0;
  unsigned FTriggerCounter = 1;
  TTriggerList<TWndTriggerHandler> FWndHandlers;
  TTriggerList<TProcTriggerHandler> FProcHandlers;
  TTriggerList<TEventTriggerHandler> FEventHandlers;
  TTriggerList<TTimerTrigger> FTimerTriggers;
  TTriggerList<TDataTrigger> FDataTriggers;
  TTriggerList<TStatusTrigger> FStatusTriggers;
  bool FPortHandlerInstalled = false;
  bool FServiceNeeded = false;
  std::atomic<bool> FGlobalStatusHit{false};
  // Only one evaluation runs at a time; a handler's own call of CheckTriggers is refused.
  std::atomic<bool> FEvaluating{false};
  // Receive lock: the write position came round to the scan position, so all 8192 held bytes
  // are still to be scanned (equal positions alone would say none are).
  bool FRxScanFull = false;
  // State lock: counts receive flushes, so an evaluation can tell that one came in between.
  unsigned FRxFlushCount = 0;
  // State lock: how many triggers use each handle / 8, so that a free one is found quickly.
  std::vector<uint16_t> FHandleUse;
  // Handles of the data triggers hit at one byte; used by the evaluation only.
  std::vector<unsigned> FHitHandles;
  std::atomic<bool> FTracing{false};
  std::atomic<bool> FDispatchLogging{false};
  TSioDispatchLogSink FLogSink = nullptr; // state lock
  void* FLogContext = nullptr;
  TSioTraceSink FTraceSink = nullptr; // state lock
  void* FTraceContext = nullptr;
  DWORD FTimeBase = 0;
};

// ---- the list of open dispatchers; a dispatcher's handle is its index ----
// Guarded by LockPortList/UnlockPortList (not recursive; never taken with a dispatcher lock).
extern std::vector<TSioBaseDispatcher*> PortList;
void LockPortList();
void UnlockPortList();
// The dispatcher with that handle, or null; remembers the last answer.
TSioBaseDispatcher* GetTComRecPtrBase(int handle);
// The dispatcher with that handle when it is a T (or derives from one), else null.
template <class T> T* GetTComRecPtr(int handle) {
  return dynamic_cast<T*>(GetTComRecPtrBase(handle));
}

// Baud-code table: legacy speed codes to speeds; any other value is the speed itself.
DWORD BaudCodeToSpeed(DWORD code);
// True on the Windows NT platform family (also what platform/ reports elsewhere).
bool SioIsWinNT();

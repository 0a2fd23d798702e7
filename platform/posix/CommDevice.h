// A comm device behind a HANDLE: a tty opened exclusively, with Win32's overlapped I/O.
//
// One I/O thread per open device completes what cannot complete at once. It sleeps in
// epoll_wait: received bytes and room to write come edge-triggered (level-triggered POLLIN
// would spin while unread bytes wait in the driver), modem lines and error counters are
// polled every few ms only while a wait selects them and the device has them.
#pragma once

#include "CommTermios.h"
#include "Objects.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <sys/epoll.h>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace platform::comm {

class TCommDevice : public detail::TWaitable, public detail::TWaitAssist {
public:
  // Opens `path` for a CreateFileA. nullptr with `error` set (a Win32 error number) on failure.
  static std::shared_ptr<TCommDevice> Open(const std::string& path, DWORD access, bool overlapped,
                                           DWORD& error);
  ~TCommDevice() override;

  // CloseHandle: ends the I/O thread, aborts what is pending, closes the device (and its lock).
  void OnClose() override;
  // Signalled when an operation whose OVERLAPPED has no event completes, as Win32's file
  // handles are. Guarded by SyncMutex().
  bool IsSignalledLocked() const override { return FSignalled; }

  // Each returns Win32's result and sets the last error on failure.
  BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
  BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
  BOOL WaitEvent(DWORD* mask, OVERLAPPED* ov);
  // false when `ov` is not an operation of this device that is still pending.
  bool WaitForCompletion(OVERLAPPED* ov);
  BOOL Cancel();
  BOOL SetMask(DWORD mask);
  BOOL SetWaitsWatched(bool watched);
  BOOL GetMask(DWORD* mask);
  BOOL Purge(DWORD flags);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL Escape(DWORD function);
  BOOL GetModemStatus(DWORD* status);
  BOOL SetState(const DCB& dcb);
  BOOL GetState(DCB& dcb);
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
  BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
  BOOL Setup(DWORD inQueue, DWORD outQueue);

  // A thread waiting for the event of this device's pending WaitCommEvent watches the device
  // itself (one waiter at a time), so received bytes complete the wait on that thread.
  bool Assist(detail::TEvent* event,
              const std::optional<detail::TClock::time_point>& deadline) override;

private:
  enum class TKind { Read, Write, Wait };
  struct TOperation {
    TKind Kind = TKind::Read;
    OVERLAPPED* Ov = nullptr;
    std::shared_ptr<detail::TEvent> Event; // the OVERLAPPED's event, held while pending
    bool SignalDevice = false;             // no event: the device handle is signalled
    std::thread::id Thread;                // for CancelIo
    uint8_t* Buffer = nullptr;
    DWORD Size = 0;
    DWORD Done = 0;
    DWORD* Mask = nullptr;
    std::optional<detail::TClock::time_point> Deadline;         // total time-out
    std::optional<detail::TClock::time_point> IntervalDeadline; // read: gap between bytes
    DWORD Interval = 0;
    bool ReturnAtOnce = false; // interval MAXDWORD, totals 0: what has arrived
    bool ReturnOnAny = false;  // interval and multiplier MAXDWORD: first bytes or time-out
  };

  enum class TTransfer { Done, Waiting, Failed };

  TCommDevice() = default;
  bool Start(const std::string& path, DWORD access, bool overlapped, DWORD& error);
  void Run();
  void Wake();

  // All below run with FMutex held.
  void WakeLocked();
  bool Prepare(TOperation& op, OVERLAPPED* ov, OVERLAPPED& syncOv);
  // A queued operation: ERROR_IO_PENDING, or for a handle without overlapped I/O its result.
  BOOL Pend(OVERLAPPED* ov, std::unique_lock<std::mutex>& lock, DWORD* done);
  void Complete(TOperation& op, DWORD error);
  void CompleteAll(std::deque<TOperation>& ops, DWORD error);
  void CompleteWait(DWORD events, DWORD error);
  TTransfer ReadInto(TOperation& op);
  bool ReadComplete(const TOperation& op, detail::TClock::time_point now) const;
  void PumpReads();
  TTransfer WriteFrom(TOperation& op);
  void PumpWrites();
  void Signal(DWORD events);
  // The device reported input: EV_RXCHAR for bytes no event has announced yet.
  void AnnounceInput();
  bool PollsLines() const;
  void PollLines();
  void CheckTxEmpty();
  // The device has gone (hang-up, EIO): fails what is pending and all that follows.
  // Returns ERROR_DEVICE_NOT_CONNECTED, the error of the call that found it out.
  DWORD Vanish();
  // The one rule for a call on the device that failed with errno `err`: EIO means the device
  // has gone (ERROR_DEVICE_NOT_CONNECTED, and Vanish), anything else is that call's own Win32
  // error. Sets the last error and returns FALSE, for the entry points. Calls that go on
  // without what a driver lacks (a pseudo-terminal's modem lines, counters) fail only IsGone.
  static bool IsGone(int err) { return err == EIO; }
  BOOL Fail(int err);
  // The gate of every entry point: fails the call (ERROR_INVALID_HANDLE) once the handle is
  // closed or closing.
  bool IsOpen();
  // IsOpen, and fails the call (ERROR_DEVICE_NOT_CONNECTED) once the device has gone.
  bool Usable();
  int ComputeTimeout(detail::TClock::time_point now) const;
  // The device's epoll events among `count`, with the wake-up eventfd `wakeFd` drained.
  static uint32_t DeviceEvents(const epoll_event* events, int count, int wakeFd);
  // The I/O thread listens only for what something pending needs: input while a read waits,
  // or an event wait that no waiter watches itself; room while a write waits. Otherwise every
  // block the far end takes and every reply an assisting waiter handles would wake it too.
  void UpdateInterest();
  // Input that arrived while nobody listened for it becomes an EV_RXCHAR now.
  void AnnounceUnheardInput();

  mutable std::mutex FMutex;
  std::condition_variable FCompleted; // some operation completed
  int FFd = -1;
  int FEpoll = -1;
  // What the I/O thread's epoll set asks of the device (see UpdateInterest).
  uint32_t FInterest = 0;
  int FWakeFd = -1;
  // The assisting waiter's own epoll set (the device and FAssistWakeFd), and its wake-up.
  int FAssistEpoll = -1;
  int FAssistWakeFd = -1;
  bool FAssisting = false;
  // Waits are watched by their poster (SetCommWaitsWatched); FWatchRefused hands the pending
  // one back to the I/O thread.
  bool FWaitsWatched = false;
  bool FWatchRefused = false;
  std::thread::id FAssistThread;
  std::thread FThread;
  bool FOverlapped = true;
  bool FStopping = false;
  bool FVanished = false;
  bool FHasModemLines = false;
  bool FHasCounters = false;
  bool FSignalled = false; // guarded by SyncMutex()

  DCB FDcb{};
  COMMTIMEOUTS FTimeouts{};
  DWORD FInQueue = 4096, FOutQueue = 4096;
  DWORD FMask = 0;
  DWORD FHistory = 0; // events seen since the last wait took them
  // Bytes in the driver's queue that an EV_RXCHAR has already announced. A read can take
  // bytes before epoll reports them (epoll re-polls on harvest and then drops the edge);
  // bytes read beyond this count are announced by the read itself.
  size_t FAnnounced = 0;
  bool FXoffHold = false;
  bool FTxDrainPending = false;
  int FLastModemBits = 0;
  detail::TClock::time_point FNextPoll;
  TLineCounters FEventCounters; // base of the events
  TLineCounters FErrorCounters; // base of ClearCommError's bits

  std::deque<TOperation> FReads;
  std::deque<TOperation> FWrites;
  std::optional<TOperation> FWait;
};

// Shared by the device's files.
// Modem lines and error counters are sampled this often while a wait selects them.
inline constexpr std::chrono::milliseconds PollPeriod{5};

inline ULONG_PTR LoadStatus(OVERLAPPED* ov) {
  return std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
}

inline void StoreStatus(OVERLAPPED* ov, ULONG_PTR status) {
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
}

// The result of an operation that has completed, as ReadFile or GetOverlappedResult give it.
inline BOOL ResultOf(OVERLAPPED* ov, DWORD* done) {
  ULONG_PTR status = LoadStatus(ov);
  if (done) *done = static_cast<DWORD>(ov->InternalHigh);
  if (status == ERROR_SUCCESS) return TRUE;
  SetLastError(static_cast<DWORD>(status));
  return FALSE;
}

} // namespace platform::comm

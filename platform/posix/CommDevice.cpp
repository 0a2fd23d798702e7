// Comm devices: exclusive open, line settings, and overlapped I/O completed by an I/O thread.
#include "CommDevice.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::comm {

using detail::TClock;
using namespace std::chrono_literals;

namespace {

// Modem lines and error counters are sampled this often while a wait selects them.
const auto PollPeriod = 5ms;
// A write refused for lack of room is retried this often even without a wake-up.
const auto WriteRetryPeriod = 250ms;

const DWORD LineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
const DWORD ErrorEvents = EV_ERR | EV_BREAK;
const DWORD ValidEvents = 0x1FFF;

ULONG_PTR LoadStatus(OVERLAPPED* ov) {
  return std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
}

void StoreStatus(OVERLAPPED* ov, ULONG_PTR status) {
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
}

// The result of an operation that has completed, as ReadFile or GetOverlappedResult give it.
BOOL ResultOf(OVERLAPPED* ov, DWORD* done) {
  ULONG_PTR status = LoadStatus(ov);
  if (done) *done = static_cast<DWORD>(ov->InternalHigh);
  if (status == ERROR_SUCCESS) return TRUE;
  SetLastError(static_cast<DWORD>(status));
  return FALSE;
}

DWORD OpenError(int err) {
  switch (err) {
  case ENOENT:
  case ENOTDIR:
  case ENXIO:
  case ENODEV:
  case EIO: // the slave of a pseudo-terminal whose master has gone
    return ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EROFS:
    return ERROR_PRIVILEGE_NOT_HELD;
  case EBUSY: // TIOCEXCL held by another opener
    return ERROR_ACCESS_DENIED;
  default:
    return platform::Win32ErrorFromErrno(err);
  }
}

bool IsMissingIoctl(int err) {
  return err == ENOTTY || err == EINVAL;
}

} // namespace

// ---- open and close ----

std::shared_ptr<TCommDevice> TCommDevice::Open(const std::string& path, DWORD access,
                                               bool overlapped, DWORD& error) {
  std::shared_ptr<TCommDevice> device(new TCommDevice);
  if (!device->Start(path, access, overlapped, error))
    return nullptr; // the destructor closes what Start opened
  return device;
}

bool TCommDevice::Start(const std::string& path, DWORD access, bool overlapped, DWORD& error) {
  std::lock_guard lock(FMutex);
  int mode = O_RDWR;
  if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_READ)
    mode = O_RDONLY;
  else if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_WRITE)
    mode = O_WRONLY;
  FFd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FFd < 0) {
    error = OpenError(errno);
    return false;
  }
  struct stat st;
  TTermiosImage image;
  if (fstat(FFd, &st) != 0 || !S_ISCHR(st.st_mode) || ReadTermios(FFd, image) != 0) {
    error = ERROR_NOT_SUPPORTED; // not a tty
    return false;
  }
  // flock holds against root too, who passes TIOCEXCL; TIOCEXCL also stops plain open()s.
  if (flock(FFd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : platform::Win32ErrorFromErrno(errno);
    return false;
  }
  (void)ioctl(FFd, TIOCEXCL);
  RequestLowLatency(FFd);

  MakeRaw(image);
  FDcb.DCBlength = sizeof(DCB);
  FDcb.fBinary = 1;
  FDcb.fDtrControl = DTR_CONTROL_ENABLE; // the open raised DTR and RTS
  FDcb.fRtsControl = RTS_CONTROL_ENABLE;
  FDcb.XonLim = 2048;
  FDcb.XoffLim = 512;
  TermiosToDcb(image, FDcb);
  if (FDcb.BaudRate == 0) { // B0 would hang the line up
    FDcb.BaudRate = CBR_9600;
    DcbToTermios(FDcb, image);
  }
  if (int err = WriteTermios(FFd, image); err != 0) {
    error = platform::Win32ErrorFromErrno(err);
    return false;
  }
  // A fresh Windows handle starts with empty queues.
  (void)FlushQueues(FFd, true, true);

  int bits = 0;
  FHasModemLines = ioctl(FFd, TIOCMGET, &bits) == 0;
  FLastModemBits = FHasModemLines ? bits : 0;
  FHasCounters = ReadLineCounters(FFd, FEventCounters);
  FErrorCounters = FEventCounters;
  FOverlapped = overlapped;

  FEpoll = epoll_create1(EPOLL_CLOEXEC);
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEpoll < 0 || FWakeFd < 0) {
    error = platform::Win32ErrorFromErrno(errno);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
  ev.data.fd = FFd;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = FWakeFd;
  if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, FFd, &ev) != 0 ||
      epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &wake) != 0) {
    error = platform::Win32ErrorFromErrno(errno);
    return false;
  }
  try {
    FThread = std::thread(&TCommDevice::Run, this);
  } catch (const std::system_error&) {
    error = ERROR_NO_SYSTEM_RESOURCES;
    return false;
  }
  return true;
}

TCommDevice::~TCommDevice() {
  OnClose();
}

void TCommDevice::OnClose() {
  {
    std::lock_guard lock(FMutex);
    if (FStopping) return;
    FStopping = true;
    CompleteAll(FReads, ERROR_OPERATION_ABORTED);
    CompleteAll(FWrites, ERROR_OPERATION_ABORTED);
    if (FWait) CompleteWait(0, ERROR_OPERATION_ABORTED);
  }
  Wake();
  if (FThread.joinable()) FThread.join();

  std::lock_guard lock(FMutex);
  if (FFd >= 0) {
    if (!FVanished) {
      // Like a Windows port, let what the driver holds go out, but never wait long: the
      // kernel's own close would wait up to half a minute for a line stopped by XOFF.
      int queued = 0;
      if (ioctl(FFd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        DWORD baud = FDcb.BaudRate ? FDcb.BaudRate : CBR_9600;
        auto limit =
            TClock::now() + std::min<std::chrono::milliseconds>(
                                2000ms, 100ms + std::chrono::milliseconds(20000LL * queued / baud));
        while (!FXoffHold && TClock::now() < limit && ioctl(FFd, TIOCOUTQ, &queued) == 0 &&
               queued > 0)
          usleep(5000);
        (void)FlushQueues(FFd, false, true);
      }
      (void)ioctl(FFd, TIOCNXCL);
    }
    ::close(FFd); // releases the flock
    FFd = -1;
  }
  if (FEpoll >= 0) ::close(FEpoll);
  if (FWakeFd >= 0) ::close(FWakeFd);
  FEpoll = FWakeFd = -1;
}

void TCommDevice::Wake() {
  int fd;
  {
    std::lock_guard lock(FMutex);
    fd = FWakeFd;
  }
  uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

// ---- completion ----

bool TCommDevice::IsOpen() {
  if (!FStopping && FFd >= 0) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool TCommDevice::Usable() {
  if (!IsOpen()) return false;
  if (!FVanished) return true;
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return false;
}

BOOL TCommDevice::Fail(int err) {
  SetLastError(IsGone(err) ? Vanish() : platform::Win32ErrorFromErrno(err));
  return FALSE;
}

bool TCommDevice::Prepare(TOperation& op, OVERLAPPED* ov, OVERLAPPED& syncOv) {
  if (ov == nullptr) {
    // An overlapped handle needs a record to complete into, as Win32 says.
    if (FOverlapped) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    ov = &syncOv;
  }
  op.Ov = ov;
  op.Thread = std::this_thread::get_id();
  op.SignalDevice = false;
  if (FOverlapped && ov->hEvent != nullptr) {
    op.Event = detail::LookupHandleAs<detail::TEvent>(ov->hEvent);
    if (!op.Event) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    op.Event->Reset(); // an operation resets its event when it begins
  } else if (FOverlapped) {
    op.SignalDevice = true;
    std::lock_guard sync(detail::SyncMutex());
    FSignalled = false;
  }
  ov->InternalHigh = 0;
  StoreStatus(ov, STATUS_PENDING);
  return true;
}

void TCommDevice::Complete(TOperation& op, DWORD error) {
  op.Ov->InternalHigh = op.Kind == TKind::Wait ? sizeof(DWORD) : op.Done;
  StoreStatus(op.Ov, error);
  if (op.Event) {
    op.Event->Set();
  } else if (op.SignalDevice) {
    std::lock_guard sync(detail::SyncMutex());
    FSignalled = true;
    NotifyLocked();
  }
  op.Event.reset();
  FCompleted.notify_all();
}

void TCommDevice::CompleteAll(std::deque<TOperation>& ops, DWORD error) {
  std::deque<TOperation> taken;
  taken.swap(ops);
  for (TOperation& op : taken)
    Complete(op, error);
}

void TCommDevice::CompleteWait(DWORD events, DWORD error) {
  TOperation op = std::move(*FWait);
  FWait.reset();
  if (op.Mask) *op.Mask = events;
  Complete(op, error);
}

bool TCommDevice::WaitForCompletion(OVERLAPPED* ov) {
  std::unique_lock lock(FMutex);
  auto pendingHere = [&] {
    for (const TOperation& op : FReads)
      if (op.Ov == ov) return true;
    for (const TOperation& op : FWrites)
      if (op.Ov == ov) return true;
    return FWait && FWait->Ov == ov;
  };
  FCompleted.wait(lock, [&] { return LoadStatus(ov) != STATUS_PENDING || !pendingHere(); });
  return LoadStatus(ov) != STATUS_PENDING;
}

DWORD TCommDevice::Vanish() {
  if (FVanished) return ERROR_DEVICE_NOT_CONNECTED;
  FVanished = true;
  // Off the epoll set: a hung-up tty reports HUP at every wake-up.
  (void)epoll_ctl(FEpoll, EPOLL_CTL_DEL, FFd, nullptr);
  CompleteAll(FReads, ERROR_DEVICE_NOT_CONNECTED);
  CompleteAll(FWrites, ERROR_DEVICE_NOT_CONNECTED);
  if (FWait) CompleteWait(0, ERROR_DEVICE_NOT_CONNECTED);
  FTxDrainPending = false;
  return ERROR_DEVICE_NOT_CONNECTED;
}

// ---- reading ----

TCommDevice::TTransfer TCommDevice::ReadInto(TOperation& op) {
  while (op.Done < op.Size) {
    ssize_t n = ::read(FFd, op.Buffer + op.Done, op.Size - op.Done);
    if (n > 0) {
      DWORD got = static_cast<DWORD>(n);
      if (size_t(n) > FAnnounced) {
        FAnnounced = 0;
        Signal(EV_RXCHAR);
      } else {
        FAnnounced -= size_t(n);
      }
      if (FDcb.fNull) { // null stripping, which termios does not have
        uint8_t* p = op.Buffer + op.Done;
        DWORD kept = 0;
        for (DWORD i = 0; i < got; ++i)
          if (p[i] != 0) p[kept++] = p[i];
        got = kept;
      }
      op.Done += got;
      if (op.Interval != 0 && got > 0)
        op.IntervalDeadline = TClock::now() + std::chrono::milliseconds(op.Interval);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      FAnnounced = 0;
      return TTransfer::Waiting;
    }
    // VMIN=1 with O_NONBLOCK reads 0 only after a hang-up; EIO follows it.
    return TTransfer::Failed;
  }
  return TTransfer::Waiting;
}

bool TCommDevice::ReadComplete(const TOperation& op, TClock::time_point now) const {
  if (op.Done == op.Size || op.ReturnAtOnce) return true;
  if (op.ReturnOnAny && op.Done > 0) return true;
  if (op.Deadline && now >= *op.Deadline) return true;
  return op.IntervalDeadline && now >= *op.IntervalDeadline;
}

void TCommDevice::PumpReads() {
  while (!FReads.empty() && !FVanished) {
    TOperation& op = FReads.front();
    if (ReadInto(op) == TTransfer::Failed) {
      Vanish();
      return;
    }
    if (!ReadComplete(op, TClock::now())) return;
    TOperation done = std::move(op);
    FReads.pop_front();
    Complete(done, ERROR_SUCCESS);
  }
}

BOOL TCommDevice::Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
  std::unique_lock lock(FMutex);
  if (done) *done = 0;
  if (!Usable()) return FALSE;
  OVERLAPPED syncOv{};
  TOperation op;
  op.Kind = TKind::Read;
  if (!Prepare(op, ov, syncOv)) return FALSE;
  op.Buffer = static_cast<uint8_t*>(buffer);
  op.Size = size;
  const COMMTIMEOUTS& t = FTimeouts;
  auto now = TClock::now();
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    op.ReturnAtOnce = true;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
    op.ReturnOnAny = true;
    op.Deadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
  } else {
    uint64_t total = uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
    if (total != 0) op.Deadline = now + std::chrono::milliseconds(total);
    if (t.ReadIntervalTimeout != MAXDWORD) op.Interval = t.ReadIntervalTimeout;
  }
  if (FReads.empty()) {
    if (ReadInto(op) == TTransfer::Failed) {
      Complete(op, Vanish());
      return ResultOf(op.Ov, done);
    }
    if (ReadComplete(op, now)) {
      Complete(op, ERROR_SUCCESS);
      return ResultOf(op.Ov, done);
    }
  }
  OVERLAPPED* record = op.Ov;
  FReads.push_back(std::move(op));
  return Pend(record, lock, done);
}

BOOL TCommDevice::Pend(OVERLAPPED* ov, std::unique_lock<std::mutex>& lock, DWORD* done) {
  WakeLocked();
  if (FOverlapped) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  FCompleted.wait(lock, [&] { return LoadStatus(ov) != STATUS_PENDING; });
  return ResultOf(ov, done);
}

void TCommDevice::WakeLocked() {
  uint64_t one = 1;
  if (FWakeFd >= 0) (void)!::write(FWakeFd, &one, sizeof one);
}

// ---- writing ----

TCommDevice::TTransfer TCommDevice::WriteFrom(TOperation& op) {
  while (op.Done < op.Size) {
    ssize_t n = ::write(FFd, op.Buffer + op.Done, op.Size - op.Done);
    if (n > 0) {
      op.Done += static_cast<DWORD>(n);
      FXoffHold = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EAGAIN) {
      // With IXON on, a peer's XOFF stops the tty and writes fail with EAGAIN until XON.
      FXoffHold = FDcb.fOutX;
      return TTransfer::Waiting;
    }
    return TTransfer::Failed;
  }
  return TTransfer::Done;
}

void TCommDevice::PumpWrites() {
  while (!FWrites.empty() && !FVanished) {
    TOperation& op = FWrites.front();
    TTransfer result = WriteFrom(op);
    if (result == TTransfer::Failed) {
      Vanish();
      return;
    }
    if (result == TTransfer::Waiting && !(op.Deadline && TClock::now() >= *op.Deadline)) return;
    TOperation done = std::move(op); // written, or its time-out passed with part of it
    FWrites.pop_front();
    Complete(done, ERROR_SUCCESS);
    if (FWrites.empty()) CheckTxEmpty();
  }
}

BOOL TCommDevice::Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
  std::unique_lock lock(FMutex);
  if (done) *done = 0;
  if (!Usable()) return FALSE;
  OVERLAPPED syncOv{};
  TOperation op;
  op.Kind = TKind::Write;
  if (!Prepare(op, ov, syncOv)) return FALSE;
  // The caller keeps the buffer until the write completes, as Win32 requires.
  op.Buffer = const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer));
  op.Size = size;
  uint64_t total =
      uint64_t(FTimeouts.WriteTotalTimeoutMultiplier) * size + FTimeouts.WriteTotalTimeoutConstant;
  if (total != 0) op.Deadline = TClock::now() + std::chrono::milliseconds(total);
  if (FWrites.empty()) {
    TTransfer result = WriteFrom(op);
    if (result == TTransfer::Failed) {
      Complete(op, Vanish());
      return ResultOf(op.Ov, done);
    }
    if (result == TTransfer::Done) {
      Complete(op, ERROR_SUCCESS);
      CheckTxEmpty();
      return ResultOf(op.Ov, done);
    }
  }
  OVERLAPPED* record = op.Ov;
  FWrites.push_back(std::move(op));
  return Pend(record, lock, done);
}

void TCommDevice::CheckTxEmpty() {
  int queued = 0;
  if (ioctl(FFd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
    FTxDrainPending = false;
    Signal(EV_TXEMPTY);
  } else {
    FTxDrainPending = true; // sampled with the lines until the driver has sent it all
  }
}

// ---- events ----

void TCommDevice::Signal(DWORD events) {
  FHistory |= events & FMask;
  if (FWait && FHistory != 0) {
    DWORD taken = FHistory;
    FHistory = 0;
    CompleteWait(taken, ERROR_SUCCESS);
  }
}

bool TCommDevice::PollsLines() const {
  if (FVanished) return false;
  return ((FMask & LineEvents) && (FHasModemLines || FHasCounters)) ||
         ((FMask & ErrorEvents) && FHasCounters);
}

void TCommDevice::PollLines() {
  DWORD events = 0;
  if (FHasCounters) {
    TLineCounters c;
    if (ReadLineCounters(FFd, c)) {
      const TLineCounters& b = FEventCounters;
      if (c.Cts != b.Cts) events |= EV_CTS;
      if (c.Dsr != b.Dsr) events |= EV_DSR;
      if (c.Dcd != b.Dcd) events |= EV_RLSD;
      if (c.Ring != b.Ring) events |= EV_RING;
      if (c.Frame != b.Frame || c.Overrun != b.Overrun || c.Parity != b.Parity ||
          c.BufferOverrun != b.BufferOverrun)
        events |= EV_ERR;
      if (c.Break != b.Break) events |= EV_BREAK;
      FEventCounters = c;
    } else if (IsGone(errno)) {
      Vanish();
      return;
    }
  }
  int bits = 0;
  if (FHasModemLines) {
    if (ioctl(FFd, TIOCMGET, &bits) == 0) {
      if (!FHasCounters) { // levels only: a change between two samples is an event
        int changed = bits ^ FLastModemBits;
        if (changed & TIOCM_CTS) events |= EV_CTS;
        if (changed & TIOCM_DSR) events |= EV_DSR;
        if (changed & TIOCM_CD) events |= EV_RLSD;
        if ((changed & TIOCM_RI) && (bits & TIOCM_RI)) events |= EV_RING;
      }
      FLastModemBits = bits;
    } else if (IsGone(errno)) {
      Vanish();
      return;
    }
  }
  Signal(events);
}

int TCommDevice::ComputeTimeout(TClock::time_point now) const {
  std::optional<TClock::time_point> next;
  auto consider = [&](const std::optional<TClock::time_point>& t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (!FReads.empty()) {
    consider(FReads.front().Deadline);
    consider(FReads.front().IntervalDeadline);
  }
  if (!FWrites.empty()) {
    consider(FWrites.front().Deadline);
    consider(now + WriteRetryPeriod);
  }
  if (PollsLines() || FTxDrainPending) consider(FNextPoll);
  if (!next) return -1;
  if (*next <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::min<long long>(ms, 60000));
}

void TCommDevice::Run() {
  epoll_event events[4];
  std::unique_lock lock(FMutex);
  FNextPoll = TClock::now() + PollPeriod;
  while (!FStopping) {
    int timeout = ComputeTimeout(TClock::now());
    int epoll = FEpoll;
    lock.unlock();
    int n = epoll_wait(epoll, events, 4, timeout);
    int err = errno;
    lock.lock();
    if (FStopping) break;
    if (n < 0 && err != EINTR) {
      // Cannot happen with our own descriptors; never spin on it.
      Vanish();
      FCompleted.wait(lock, [&] { return FStopping; });
      break;
    }
    uint32_t deviceEvents = 0;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == FWakeFd) {
        uint64_t value;
        (void)!::read(FWakeFd, &value, sizeof value);
      } else {
        deviceEvents |= events[i].events;
      }
    }
    if (FVanished) continue;
    if (deviceEvents & (EPOLLHUP | EPOLLERR)) {
      Vanish();
      continue;
    }
    if (deviceEvents & EPOLLIN) {
      int queued = 0;
      if (ioctl(FFd, FIONREAD, &queued) == 0 && queued > 0) FAnnounced = size_t(queued);
      Signal(EV_RXCHAR);
    }
    PumpReads();
    PumpWrites();
    auto now = TClock::now();
    if ((PollsLines() || FTxDrainPending) && now >= FNextPoll) {
      if (PollsLines()) PollLines();
      if (FTxDrainPending && !FVanished) CheckTxEmpty();
      FNextPoll = now + PollPeriod;
    }
  }
}

BOOL TCommDevice::WaitEvent(DWORD* mask, OVERLAPPED* ov) {
  std::unique_lock lock(FMutex);
  if (!Usable()) return FALSE;
  // Win32 refuses a wait without a mask, and a second wait while one is pending.
  if (FMask == 0 || FWait) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  OVERLAPPED syncOv{};
  TOperation op;
  op.Kind = TKind::Wait;
  if (!Prepare(op, ov, syncOv)) return FALSE;
  op.Mask = mask;
  if (FHistory != 0) { // events that came while nobody waited complete it at once
    if (mask) *mask = FHistory;
    FHistory = 0;
    Complete(op, ERROR_SUCCESS);
    return ResultOf(op.Ov, nullptr);
  }
  OVERLAPPED* record = op.Ov;
  FWait = std::move(op);
  return Pend(record, lock, nullptr);
}

BOOL TCommDevice::SetMask(DWORD mask) {
  std::lock_guard lock(FMutex);
  if (!IsOpen()) return FALSE;
  if (mask & ~ValidEvents) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Allowed on a vanished device too: closing code uses it to release its event wait.
  FMask = mask;
  FHistory = 0;
  if (FWait) CompleteWait(0, ERROR_SUCCESS);
  if (!FVanished) {
    if (FHasCounters) (void)ReadLineCounters(FFd, FEventCounters);
    int bits = 0;
    if (FHasModemLines && ioctl(FFd, TIOCMGET, &bits) == 0) FLastModemBits = bits;
  }
  FNextPoll = TClock::now() + PollPeriod;
  WakeLocked();
  return TRUE;
}

BOOL TCommDevice::GetMask(DWORD* mask) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (mask) *mask = FMask;
  return TRUE;
}

BOOL TCommDevice::Cancel() {
  std::lock_guard lock(FMutex);
  if (!IsOpen()) return FALSE;
  auto mine = std::this_thread::get_id();
  for (std::deque<TOperation>* ops : {&FReads, &FWrites}) {
    std::deque<TOperation> kept;
    for (TOperation& op : *ops) {
      if (op.Thread == mine)
        Complete(op, ERROR_OPERATION_ABORTED);
      else
        kept.push_back(std::move(op));
    }
    ops->swap(kept);
  }
  if (FWait && FWait->Thread == mine) CompleteWait(0, ERROR_OPERATION_ABORTED);
  WakeLocked();
  return TRUE;
}

// ---- control ----

BOOL TCommDevice::Purge(DWORD flags) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (flags & PURGE_TXABORT) CompleteAll(FWrites, ERROR_OPERATION_ABORTED);
  if (flags & PURGE_RXABORT) CompleteAll(FReads, ERROR_OPERATION_ABORTED);
  int err = FlushQueues(FFd, flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
  if (flags & PURGE_RXCLEAR) FAnnounced = 0;
  if (IsGone(err)) return Fail(err);
  WakeLocked();
  return TRUE;
}

BOOL TCommDevice::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(FMutex);
  if (errors) *errors = 0;
  if (!Usable()) return FALSE;
  DWORD bits = 0;
  if (FHasCounters) {
    TLineCounters c;
    if (ReadLineCounters(FFd, c)) {
      const TLineCounters& b = FErrorCounters;
      if (c.BufferOverrun != b.BufferOverrun) bits |= CE_RXOVER;
      if (c.Overrun != b.Overrun) bits |= CE_OVERRUN;
      if (c.Parity != b.Parity) bits |= CE_RXPARITY;
      if (c.Frame != b.Frame) bits |= CE_FRAME;
      if (c.Break != b.Break) bits |= CE_BREAK;
      FErrorCounters = c;
    } else if (int err = errno; IsGone(err)) {
      return Fail(err);
    }
  }
  if (stat) {
    std::memset(stat, 0, sizeof *stat);
    int in = 0, out = 0;
    if (ioctl(FFd, FIONREAD, &in) != 0) return Fail(EIO); // fails only on a hung-up tty
    if (ioctl(FFd, TIOCOUTQ, &out) != 0) out = 0;
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
    for (const TOperation& op : FWrites)
      stat->cbOutQue += op.Size - op.Done;
    int lines = 0;
    if (FHasModemLines && ioctl(FFd, TIOCMGET, &lines) == 0) {
      stat->fCtsHold = FDcb.fOutxCtsFlow && !(lines & TIOCM_CTS);
      stat->fDsrHold = FDcb.fOutxDsrFlow && !(lines & TIOCM_DSR);
    }
    stat->fXoffHold = FXoffHold && FDcb.fOutX && !FWrites.empty();
  }
  if (errors) *errors = bits;
  return TRUE;
}

BOOL TCommDevice::Escape(DWORD function) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  int err = 0;
  auto lines = [&](unsigned long request, int bit) {
    return ioctl(FFd, request, &bit) == 0 ? 0 : errno;
  };
  switch (function) {
  case SETXOFF:
  case SETXON:
    err = SuspendOutput(FFd, function == SETXOFF);
    break;
  case SETRTS:
  case CLRRTS:
    // Lines under the driver's handshake are not the caller's, as Win32 has it.
    if (FDcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    err = lines(function == SETRTS ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    break;
  case SETDTR:
  case CLRDTR:
    if (FDcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    err = lines(function == SETDTR ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
    break;
  case SETBREAK:
    err = ioctl(FFd, TIOCSBRK) == 0 ? 0 : errno;
    break;
  case CLRBREAK:
    err = ioctl(FFd, TIOCCBRK) == 0 ? 0 : errno;
    break;
  default: // RESETDEV is for printers; 10 and others are not functions of a serial port
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A pseudo-terminal has no modem lines and no break: nothing to do there.
  if (err != 0 && !IsMissingIoctl(err)) return Fail(err);
  return TRUE;
}

BOOL TCommDevice::GetModemStatus(DWORD* status) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  DWORD result = 0;
  int bits = 0;
  if (FHasModemLines) {
    if (ioctl(FFd, TIOCMGET, &bits) != 0) {
      if (int err = errno; IsGone(err)) return Fail(err);
      bits = 0;
    }
    if (bits & TIOCM_CTS) result |= MS_CTS_ON;
    if (bits & TIOCM_DSR) result |= MS_DSR_ON;
    if (bits & TIOCM_RI) result |= MS_RING_ON;
    if (bits & TIOCM_CD) result |= MS_RLSD_ON;
  }
  if (status) *status = result;
  return TRUE;
}

BOOL TCommDevice::SetState(const DCB& dcb) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  // The combinations a Windows serial driver refuses.
  bool valid = dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 &&
               dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS &&
               !(dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) &&
               !(dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS) &&
               dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE &&
               !((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
  if (!valid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TTermiosImage image;
  int err = ReadTermios(FFd, image);
  if (err == 0) {
    DcbToTermios(dcb, image);
    err = WriteTermios(FFd, image);
  }
  if (err != 0) return Fail(err); // a driver's EINVAL is ERROR_INVALID_PARAMETER
  // The control modes set the lines now; the handshakes leave them to the driver, and
  // toggling RTS around each write is beyond a tty: it stays low.
  int bit;
  if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
    bit = TIOCM_DTR;
    (void)ioctl(FFd, dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &bit);
  }
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    bit = TIOCM_RTS;
    (void)ioctl(FFd, dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &bit);
  }
  // Termios forgets what it cannot hold (and a pseudo-terminal forces 8 bits, no parity):
  // the handle keeps the DCB as given, so that it reads back as it was written.
  FDcb = dcb;
  FDcb.DCBlength = sizeof(DCB);
  if (!dcb.fOutX) FXoffHold = false;
  WakeLocked(); // clearing IXON lets a blocked write go on
  return TRUE;
}

BOOL TCommDevice::GetState(DCB& dcb) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  TTermiosImage image;
  if (int err = ReadTermios(FFd, image); IsGone(err)) return Fail(err);
  dcb = FDcb;
  return TRUE;
}

BOOL TCommDevice::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  FTimeouts = timeouts; // for operations started from now on
  return TRUE;
}

BOOL TCommDevice::GetTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  timeouts = FTimeouts;
  return TRUE;
}

BOOL TCommDevice::Setup(DWORD inQueue, DWORD outQueue) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  // Recommendations only: a tty's queues have the sizes its driver gives them.
  FInQueue = inQueue;
  FOutQueue = outQueue;
  return TRUE;
}

} // namespace platform::comm

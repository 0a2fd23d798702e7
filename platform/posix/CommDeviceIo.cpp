// Comm devices: completion, reads, writes and the I/O thread that finishes what is pending.
#include "CommDevice.h"

#include <algorithm>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform::comm {

using detail::TClock;
using namespace std::chrono_literals;

namespace {

// A write refused for lack of room is retried this often even without a wake-up.
const auto WriteRetryPeriod = 250ms;

} // namespace

// ---- completion ----

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
  if (op.Event) {
    std::lock_guard sync(detail::SyncMutex());
    op.Event->SetAssistLocked({});
  }
  Complete(op, error);
  if (FAssisting && FAssistThread != std::this_thread::get_id()) {
    // Completed elsewhere: the assisting waiter is told, since it sleeps on the device.
    uint64_t one = 1;
    (void)!::write(FAssistWakeFd, &one, sizeof one);
  }
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
  // Off the epoll sets: a hung-up tty reports HUP at every wake-up.
  (void)epoll_ctl(FEpoll, EPOLL_CTL_DEL, FFd, nullptr);
  if (FAssistEpoll >= 0) (void)epoll_ctl(FAssistEpoll, EPOLL_CTL_DEL, FFd, nullptr);
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
  // A transfer needs the I/O thread to look at it. An event wait does not: the events it
  // waits for wake the thread anyway, and nothing the thread's time-out depends on changed.
  bool wait = FWait && FWait->Ov == ov;
  if (!wait) WakeLocked();
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

// ---- the I/O thread ----

uint32_t TCommDevice::DeviceEvents(const epoll_event* events, int count, int wakeFd) {
  uint32_t deviceEvents = 0;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd == wakeFd) {
      uint64_t value;
      (void)!::read(wakeFd, &value, sizeof value);
    } else {
      deviceEvents |= events[i].events;
    }
  }
  return deviceEvents;
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
    UpdateInterest();
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
    uint32_t deviceEvents = DeviceEvents(events, n, FWakeFd);
    if (FVanished) continue;
    if (deviceEvents & (EPOLLHUP | EPOLLERR)) {
      Vanish();
      continue;
    }
    if (deviceEvents & EPOLLIN) AnnounceInput();
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

void TCommDevice::UpdateInterest() {
  bool input = !FReads.empty() || (FWait && !FAssisting && FWatchRefused);
  uint32_t interest = EPOLLET;
  if (input) interest |= EPOLLIN;
  if (!FWrites.empty()) interest |= EPOLLOUT;
  if (interest == FInterest || FVanished) return;
  // Asked again, an edge-triggered set reports what is ready now, so nothing that came
  // meanwhile goes unheard.
  epoll_event ev{};
  ev.events = interest;
  ev.data.fd = FFd;
  if (epoll_ctl(FEpoll, EPOLL_CTL_MOD, FFd, &ev) == 0) FInterest = interest;
}

void TCommDevice::AnnounceUnheardInput() {
  if (!(FInterest & EPOLLIN) && !FVanished) AnnounceInput();
}

void TCommDevice::AnnounceInput() {
  int queued = 0;
  if (ioctl(FFd, FIONREAD, &queued) != 0) {
    Signal(EV_RXCHAR);
    return;
  }
  // The assisting waiter and the I/O thread both hear each arrival; only the first announces
  // it (a second EV_RXCHAR would cost the next wait a cycle of its own).
  if (size_t(queued) <= FAnnounced) return;
  FAnnounced = size_t(queued);
  Signal(EV_RXCHAR);
}

bool TCommDevice::Assist(detail::TEvent* event, const std::optional<TClock::time_point>& deadline) {
  auto waitsHere = [&] { return !FStopping && FWait && FWait->Event.get() == event; };
  {
    std::lock_guard lock(FMutex);
    if (FAssisting || FVanished || FAssistEpoll < 0 || !waitsHere()) {
      // Nobody watches this wait from here on but the I/O thread.
      if (waitsHere() && !FWatchRefused) {
        FWatchRefused = true;
        UpdateInterest();
      }
      return false;
    }
    FAssisting = true;
    FAssistThread = std::this_thread::get_id();
    UpdateInterest();
  }
  // Whatever way this ends, the I/O thread listens again if the wait is still pending.
  auto done = [this] {
    FAssisting = false;
    UpdateInterest();
  };
  epoll_event events[2];
  for (;;) {
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - TClock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60000));
    }
    int n = epoll_wait(FAssistEpoll, events, 2, timeout);
    int err = errno;
    std::lock_guard lock(FMutex);
    if (n < 0 && err != EINTR) {
      // Cannot happen with our own descriptors; never spin on it: waits sleep as usual now.
      ::close(FAssistEpoll);
      FAssistEpoll = -1;
      FWatchRefused = true;
      done();
      return false;
    }
    uint32_t deviceEvents = DeviceEvents(events, n, FAssistWakeFd);
    if (waitsHere() && !FVanished) {
      if (deviceEvents & (EPOLLHUP | EPOLLERR)) {
        Vanish();
      } else if (deviceEvents & EPOLLIN) {
        AnnounceInput();
        PumpReads();
      }
    }
    // A time-out or an interrupted wait go back to the caller too, which looks at the event
    // and comes back if it is still unset. An arrival already announced (an edge left over
    // from before this wait) changes nothing: the wait goes on here.
    if (n <= 0 || !waitsHere() || FVanished) {
      // A waiter that gave up at its time-out may not come back: the I/O thread takes over.
      if (n == 0 && waitsHere()) FWatchRefused = true;
      done();
      return true;
    }
  }
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

} // namespace platform::comm

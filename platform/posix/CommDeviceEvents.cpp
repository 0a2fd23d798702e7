// Comm events: the history a WaitCommEvent completes from, and the modem lines and error
// counters sampled for it.
#include "CommDevice.h"

#include <sys/ioctl.h>

namespace platform::comm {

using detail::TClock;

namespace {

const DWORD LineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
const DWORD ErrorEvents = EV_ERR | EV_BREAK;
const DWORD ValidEvents = 0x1FFF;

} // namespace

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
  // Input that came while the I/O thread did not listen for it is an event of this wait.
  AnnounceUnheardInput();
  if (FHistory != 0) { // events that came while nobody waited complete it at once
    if (mask) *mask = FHistory;
    FHistory = 0;
    Complete(op, ERROR_SUCCESS);
    return ResultOf(op.Ov, nullptr);
  }
  OVERLAPPED* record = op.Ov;
  if (op.Event && FAssistEpoll >= 0) {
    std::shared_ptr<detail::TWaitAssist> self =
        std::static_pointer_cast<TCommDevice>(shared_from_this());
    std::lock_guard sync(detail::SyncMutex());
    op.Event->SetAssistLocked(self);
  }
  // Watched by its poster only when it can be: with an event to wait on, and a device to
  // watch on that thread.
  FWatchRefused = !(FWaitsWatched && op.Event && FAssistEpoll >= 0);
  FWait = std::move(op);
  UpdateInterest();
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

BOOL TCommDevice::SetWaitsWatched(bool watched) {
  std::lock_guard lock(FMutex);
  if (!IsOpen()) return FALSE;
  FWaitsWatched = watched;
  UpdateInterest();
  return TRUE;
}

BOOL TCommDevice::GetMask(DWORD* mask) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (mask) *mask = FMask;
  return TRUE;
}

} // namespace platform::comm

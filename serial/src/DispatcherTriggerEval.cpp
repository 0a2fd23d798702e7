// The trigger machinery on the dispatch thread: the receive, status and timer evaluations and
// the delivery of their notifications to the handlers.
//
// The lists change on any thread under the state lock. An evaluation holds that lock (and the
// receive lock, for the ring) while it walks them and lets go of both before it delivers;
// after a delivery it finds what it still needs again by handle, since the handler may have
// changed anything meanwhile. No lock is held while a handler runs.
#include <algorithm>
#include <cctype>

#include "DispatcherInternal.h"
#include "serial/Dispatcher.h"

using sio_detail::TLockGuard;

namespace {

constexpr DWORD WindowHandlerTimeoutMs = 3000;

// One evaluation at a time: the dispatch thread's, or one asked for through CheckTriggers.
class TEvaluationClaim {
public:
  explicit TEvaluationClaim(std::atomic<bool>& flag) : FFlag(flag) {
    bool expected = false;
    FOwned = flag.compare_exchange_strong(expected, true);
  }
  ~TEvaluationClaim() {
    if (FOwned) FFlag = false;
  }
  TEvaluationClaim(const TEvaluationClaim&) = delete;
  TEvaluationClaim& operator=(const TEvaluationClaim&) = delete;
  explicit operator bool() const { return FOwned; }

private:
  std::atomic<bool>& FFlag;
  bool FOwned = false;
};

template <class T> void PurgeDeleted(TTriggerList<T>& list) {
  for (size_t i = list.size(); i-- > 0;)
    if (list[i]->Deleted) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
}

} // namespace

// ---- the partial match ----

bool DataTriggerMatchStep(TDataTrigger& t, char c) {
  unsigned len = std::min<unsigned>(t.Length, MaxTrigData);
  if (len == 0) return false;
  if (t.IgnoreCase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // One counter per candidate occurrence still open; a zero counter is free. At most one new
  // candidate starts at each byte (the started mark).
  bool started = false;
  for (unsigned i = 0;;) {
    uint32_t& counter = t.Matches[i];
    if (counter >= len) counter = 0; // a state from elsewhere must not index past the pattern
    if (t.Pattern[counter] == c) {
      if (counter == len - 1) {
        std::fill(std::begin(t.Matches), std::end(t.Matches), 0u);
        return true;
      }
      ++counter;
    } else if (t.Pattern[0] == c) {
      counter = 1;
      started = true;
    } else {
      counter = 0;
    }
    if (counter == 1) started = true;
    // On to the next counter that holds a candidate, or, until one began here, a free one
    // where a candidate may begin.
    do
      ++i;
    while (i < len && t.Matches[i] == 0 && (started || c != t.Pattern[0]));
    if (i >= len) return false;
  }
}

// ---- evaluations ----

bool TSioBaseDispatcher::CheckTriggers() {
  return CheckTimerTriggers() || CheckStatusTriggers() || CheckReceiveTriggers();
}

bool TSioBaseDispatcher::CheckReceiveTriggers() {
  TEvaluationClaim claim(FEvaluating);
  if (!claim) return false;
  int p;
  bool hit = false;
  bool sendAvail = false;
  unsigned availCount = 0;
  unsigned flushes = 0;
  {
    TLockGuard rx(FRxLock);
    TLockGuard state(FStateLock);
    if (!FRxRing.Attached()) return false;
    unsigned hitLength = 0;
    p = FRxScanPos;
    while (p != FRxRing.WritePos() || FRxScanFull) {
      if (FRxScanFull) {
        // A whole ring of new bytes ends where the last scan did: the avail check must not
        // take the equal position for "nothing new".
        FRxScanFull = false;
        FLastNotifiedPos = -1;
      }
      char c = FRxRing.At(p);
      for (auto& t : FDataTriggers) {
        if (t->Length == 0) continue;
        bool h = t->Matched || DataTriggerMatchStep(*t, c);
        t->Matched = h;
        if (h) {
          hit = true;
          hitLength = std::max(hitLength, t->Length);
        }
      }
      if (hit) break;
      p = FRxRing.Advance(p, 1);
    }
    if (!hit) {
      FRxScanPos = p;
      unsigned unread = RxUnread();
      if (FTriggerLength == 0 || p == FLastNotifiedPos || unread < FTriggerLength) return false;
      availCount = unread;
      FLastNotifiedPos = p;
      sendAvail = true;
    } else {
      // Unread bytes before the longest string that ended here; none when reads (or a flush)
      // have taken the string's bytes already.
      int offset = FRxRing.OffsetOf(p);
      int before = offset < FRxRing.Held() ? offset + 1 - static_cast<int>(hitLength) : 0;
      if (FTriggerLength != 0 && p != FLastNotifiedPos && before > 0 &&
          static_cast<unsigned>(before) >= FTriggerLength) {
        sendAvail = true;
        availCount = static_cast<unsigned>(before);
        FRxScanPos = FLastNotifiedPos = p;
      }
      FHitHandles.clear();
      for (size_t i = FDataTriggers.size(); i-- > 0;)
        if (FDataTriggers[i]->Matched) FHitHandles.push_back(FDataTriggers[i]->Handle);
      flushes = FRxFlushCount;
    }
  }

  if (!hit) return DeliverNotification(SioTriggerAvail, availCount, 0);

  bool result = true;
  if (sendAvail) result = DeliverNotification(SioTriggerAvail, availCount, 0);
  // Last to first, as they were hit. A trigger removed (or flushed) by a handler meanwhile is
  // not told; the walk goes by handle, so a shorter list cannot make it overrun.
  for (size_t i = 0; i < FHitHandles.size(); ++i) {
    unsigned handle = FHitHandles[i];
    unsigned length = 0;
    {
      TLockGuard state(FStateLock);
      auto it = std::find_if(FDataTriggers.begin(), FDataTriggers.end(),
                             [&](const auto& t) { return t->Handle == handle; });
      if (it == FDataTriggers.end() || !(*it)->Matched) continue;
      (*it)->Matched = false;
      length = (*it)->Length;
    }
    result = DeliverNotification(SioTriggerData, handle, length);
  }
  TLockGuard rx(FRxLock);
  TLockGuard state(FStateLock);
  // A flush during the deliveries has moved the scan past the discarded bytes already.
  if (FRxFlushCount == flushes) FRxScanPos = FRxRing.Advance(p, 1);
  return result;
}

bool TSioBaseDispatcher::StatusConditionHolds(TStatusTrigger& t, DWORD& value) {
  value = 0;
  switch (t.Kind) {
  case stModem: {
    unsigned mask = t.Value >> 8;
    unsigned seen = t.Value & 0xFF;
    return ((seen ^ (FModemStatus & 0xFF)) & mask) != 0;
  }
  case stLine:
    return (t.Value & FLineErrors.load()) != 0;
  case stOutBuffFree: {
    unsigned free = OutBuffFree();
    value = free;
    return free >= t.Value;
  }
  case stOutBuffUsed: {
    unsigned used = OutBuffUsed();
    value = used;
    return used <= t.Value;
  }
  case stOutSent:
    return FOutSent.exchange(false);
  default:
    return false;
  }
}

bool TSioBaseDispatcher::CheckStatusTriggers() {
  TEvaluationClaim claim(FEvaluating);
  if (!claim) return false;
  unsigned handle = 0;
  DWORD value = 0;
  {
    TLockGuard state(FStateLock);
    auto it = std::find_if(FStatusTriggers.begin(), FStatusTriggers.end(), [&](auto& t) {
      return t->Armed && !t->Hit && StatusConditionHolds(*t, value);
    });
    if (it == FStatusTriggers.end()) return false;
    (*it)->Armed = false;
    (*it)->Hit = true;
    FGlobalStatusHit = true;
    handle = (*it)->Handle;
  }
  return DeliverNotification(SioTriggerStatus, handle, value);
}

bool TSioBaseDispatcher::CheckTimerTriggers() {
  TEvaluationClaim claim(FEvaluating);
  if (!claim) return false;
  unsigned handle = 0;
  {
    TLockGuard state(FStateLock);
    auto it = std::find_if(FTimerTriggers.begin(), FTimerTriggers.end(),
                           [](auto& t) { return t->Armed && TimerExpired(t->Timer); });
    if (it == FTimerTriggers.end()) return false;
    (*it)->Armed = false;
    handle = (*it)->Handle;
  }
  return DeliverNotification(SioTriggerTimer, handle, 0);
}

// ---- delivery ----

bool TSioBaseDispatcher::DeliverNotification(UINT msg, WPARAM wParam, DWORD data) {
  const bool lookAhead = msg == SioTriggerAvail || msg == SioTriggerData;
  {
    TLockGuard rx(FRxLock);
    TLockGuard state(FStateLock);
    if (!FServiceNeeded) return true;
    // The port is being closed: nobody is told any more.
    if (FDeferredClose.load()) return false;
    FNotifying = true;
    FLookAheadMax = 0;
    FLookAhead = 0;
    FFlushedInDelivery = false;
    FAvailNotify = lookAhead;
  }
  LogDispatch(dtTrigger,
              msg == SioTriggerAvail   ? dstAvail
              : msg == SioTriggerData  ? dstData
              : msg == SioTriggerTimer ? dstTimer
                                       : dstStatus,
              static_cast<DWORD>(wParam), data);
  // The value shares lParam with the dispatcher's handle and may not spill into it.
  LPARAM lParam = static_cast<LPARAM>(FHandle) * 65536 + std::min<DWORD>(data, 0xFFFF);
  bool complete = false;

  // After each handler: a close asked for stops the delivery; otherwise the furthest any
  // handler read ahead is what the delivery consumes.
  auto handlerDone = [this] {
    if (FDeferredClose.load()) return false;
    TLockGuard rx(FRxLock);
    FLookAheadMax = std::max(FLookAheadMax, FLookAhead);
    return true;
  };
  auto startHandler = [this] {
    TLockGuard rx(FRxLock);
    FLookAhead = 0;
  };
  // The entry at `i` of a list, copied out under the lock; false at the end of the list.
  auto entry = [this](auto& list, size_t i, auto& copy) {
    TLockGuard state(FStateLock);
    if (i >= list.size()) return false;
    copy = *list[i];
    return true;
  };

  auto finish = [&] {
    bool result = complete;
    {
      TLockGuard rx(FRxLock);
      if (lookAhead) {
        FAvailNotify = false;
        ConsumeReceived(FLookAheadMax);
        if (msg == SioTriggerAvail && !FFlushedInDelivery &&
            static_cast<WPARAM>(FLookAheadMax) != wParam)
          result = false;
        FFlushedInDelivery = false;
      }
      FLookAhead = 0;
      FLookAheadMax = 0;
    }
    TLockGuard state(FStateLock);
    FNotifying = false;
    if (FRemovalPending) {
      PurgeDeleted(FWndHandlers);
      PurgeDeleted(FProcHandlers);
      PurgeDeleted(FEventHandlers);
      FRemovalPending = false;
      UpdateHandlerFlags(fuKeepPort);
    }
    return result;
  };

  try {
    complete = [&] {
      TEventTriggerHandler event;
      for (size_t i = 0; entry(FEventHandlers, i, event); ++i) {
        if (event.Deleted) continue;
        startHandler();
        if (event.Sync) {
          TThread::StaticSynchronize(
              [&] { event.Event.Code(event.Event.Object, msg, wParam, lParam); });
        } else {
          event.Event.Code(event.Event.Object, msg, wParam, lParam);
        }
        if (!handlerDone()) return false;
      }
      TProcTriggerHandler proc;
      for (size_t i = 0; entry(FProcHandlers, i, proc); ++i) {
        if (proc.Deleted) continue;
        startHandler();
        proc.Proc(msg, wParam, lParam);
        if (!handlerDone()) return false;
      }
      bool windows;
      {
        TLockGuard state(FStateLock);
        windows = FWndHandlers.size() > 1 || FPortHandlerInstalled;
      }
      TWndTriggerHandler wnd;
      for (size_t i = 0; windows && entry(FWndHandlers, i, wnd); ++i) {
        if (wnd.Deleted) continue;
        startHandler();
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(wnd.Wnd, msg, wParam, lParam, SMTO_BLOCK, WindowHandlerTimeoutMs,
                            &answer);
        if (!handlerDone()) return false;
      }
      return true;
    }();
  } catch (...) {
    finish();
    throw;
  }
  return finish();
}

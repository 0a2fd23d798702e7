// The trigger machinery on the dispatch thread: the receive, status and timer evaluations and
// the delivery of their notifications to the handlers.
//
// The lists change on any thread under the state lock. An evaluation holds that lock (and the
// receive lock, for the ring) while it walks them and lets go of both before it delivers;
// after a delivery it finds what it still needs again by handle, since the handler may have
// changed anything meanwhile. No lock is held while a handler runs.
#include <algorithm>
#include <cctype>
#include <utility>

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

bool TSioBaseDispatcher::ScanDataTriggers(int& pos, unsigned& hitLength) {
  bool hit = false;
  for (pos = FRxScanPos; pos != FRxRing.WritePos() || FRxScanFull; pos = FRxRing.Advance(pos, 1)) {
    if (FRxScanFull) {
      // A whole ring of new bytes ends where the last scan did: the avail check must not
      // take the equal position for "nothing new".
      FRxScanFull = false;
      FLastNotifiedPos = -1;
    }
    char c = FRxRing.At(pos);
    for (auto& t : FDataTriggers) {
      if (t->Length == 0) continue;
      t->Matched = t->Matched || DataTriggerMatchStep(*t, c);
      if (t->Matched) {
        hit = true;
        hitLength = std::max(hitLength, t->Length);
      }
    }
    if (hit) return true;
  }
  return false;
}

int TSioBaseDispatcher::UnreadBeforeHit(int pos, unsigned hitLength) const {
  // None when reads (or a flush) have taken the string's bytes already.
  int offset = FRxRing.OffsetOf(pos);
  return offset < FRxRing.Held() ? offset + 1 - static_cast<int>(hitLength) : 0;
}

unsigned TSioBaseDispatcher::AvailToAnnounce(int pos, int count) {
  if (FTriggerLength == 0 || pos == FLastNotifiedPos || count <= 0 ||
      static_cast<unsigned>(count) < FTriggerLength)
    return 0;
  FRxScanPos = FLastNotifiedPos = pos;
  return static_cast<unsigned>(count);
}

bool TSioBaseDispatcher::DeliverDataHits(bool result) {
  // Last to first, as they were hit. A trigger removed (or flushed) by a handler meanwhile is
  // not told; the walk goes by handle, so a shorter list cannot make it overrun.
  for (unsigned handle : FHitHandles) {
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
  return result;
}

bool TSioBaseDispatcher::CheckReceiveTriggers() {
  TEvaluationClaim claim(FEvaluating);
  if (!claim) return false;
  int pos = 0;
  bool hit = false;
  unsigned availCount = 0;
  unsigned flushes = 0;
  {
    TLockGuard rx(FRxLock);
    TLockGuard state(FStateLock);
    if (!FRxRing.Attached()) return false;
    unsigned hitLength = 0;
    hit = ScanDataTriggers(pos, hitLength);
    if (!hit) {
      FRxScanPos = pos;
      availCount = AvailToAnnounce(pos, static_cast<int>(RxUnread()));
      if (availCount == 0) return false;
    } else {
      // The bytes before the longest string that ended here are announced first.
      availCount = AvailToAnnounce(pos, UnreadBeforeHit(pos, hitLength));
      FHitHandles.clear();
      for (size_t i = FDataTriggers.size(); i-- > 0;)
        if (FDataTriggers[i]->Matched) FHitHandles.push_back(FDataTriggers[i]->Handle);
      flushes = FRxFlushCount;
    }
  }
  bool result = availCount == 0 || DeliverNotification(SioTriggerAvail, availCount, 0);
  if (!hit) return result;
  result = DeliverDataHits(result);
  TLockGuard rx(FRxLock);
  TLockGuard state(FStateLock);
  // A flush during the deliveries has moved the scan past the discarded bytes already.
  if (FRxFlushCount == flushes) FRxScanPos = FRxRing.Advance(pos, 1);
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

// Marks the calling thread as running a handler of `d` (see InHandler).
class THandlerScope {
public:
  explicit THandlerScope(const TSioBaseDispatcher* d)
      : FPrevious(std::exchange(TSioBaseDispatcher::FHandlerOf, d)) {}
  ~THandlerScope() { TSioBaseDispatcher::FHandlerOf = FPrevious; }
  THandlerScope(const THandlerScope&) = delete;
  THandlerScope& operator=(const THandlerScope&) = delete;

private:
  const TSioBaseDispatcher* FPrevious;
};

// One notification on its way to the handlers. The construction starts it under the locks;
// the end, however the handlers left (a close, an exception), consumes the furthest
// look-ahead, ends the notifying state and purges the handlers deregistered meanwhile.
class TTriggerDelivery {
public:
  // `again` receives at the end whether the evaluation may run again at once.
  TTriggerDelivery(TSioBaseDispatcher& d, UINT msg, WPARAM wParam, DWORD data, bool& again)
      : FD(d), FMsg(msg), FWParam(wParam),
        FLookAhead(msg == SioTriggerAvail || msg == SioTriggerData), FAgain(again) {
    {
      TLockGuard rx(d.FRxLock);
      TLockGuard state(d.FStateLock);
      if (!d.FServiceNeeded) return;
      // The port is being closed: nobody is told any more.
      if (d.FDeferredClose.load()) {
        FAgain = false;
        return;
      }
      d.FNotifying = true;
      d.FLookAheadMax = 0;
      d.FLookAhead = 0;
      d.FOutsideAhead = 0;
      d.FFlushedInDelivery = false;
      d.FAvailNotify = FLookAhead;
      FRunning = true;
    }
    d.LogDispatch(dtTrigger,
                  msg == SioTriggerAvail   ? dstAvail
                  : msg == SioTriggerData  ? dstData
                  : msg == SioTriggerTimer ? dstTimer
                                           : dstStatus,
                  static_cast<DWORD>(wParam), data);
    // The value shares lParam with the dispatcher's handle and may not spill into it.
    FLParam = static_cast<LPARAM>(d.FHandle) * 65536 + std::min<DWORD>(data, 0xFFFF);
  }
  ~TTriggerDelivery();
  TTriggerDelivery(const TTriggerDelivery&) = delete;
  TTriggerDelivery& operator=(const TTriggerDelivery&) = delete;

  // Method handlers, procedure handlers, then windows; stops at a close.
  void Run();

private:
  // Each live entry of `list`, copied out under the state lock, since a handler may change
  // the list; false when a close asked for stops the delivery.
  template <class T, class F> bool ForEachHandler(TTriggerList<T>& list, F notify);

  TSioBaseDispatcher& FD;
  const UINT FMsg;
  const WPARAM FWParam;
  LPARAM FLParam = 0;
  const bool FLookAhead;
  bool& FAgain;
  bool FRunning = false;
  bool FComplete = false;
};

template <class T, class F> bool TTriggerDelivery::ForEachHandler(TTriggerList<T>& list, F notify) {
  T entry;
  for (size_t i = 0;; ++i) {
    {
      TLockGuard state(FD.FStateLock);
      if (i >= list.size()) return true;
      entry = *list[i];
    }
    if (entry.Deleted) continue;
    {
      TLockGuard rx(FD.FRxLock);
      FD.FLookAhead = 0;
    }
    {
      THandlerScope scope(&FD);
      notify(entry);
    }
    if (FD.FDeferredClose.load()) return false;
    // The furthest any handler read ahead is what the delivery consumes.
    TLockGuard rx(FD.FRxLock);
    FD.FLookAheadMax = std::max(FD.FLookAheadMax, FD.FLookAhead);
  }
}

void TTriggerDelivery::Run() {
  if (!FRunning) return;
  auto event = [this](TEventTriggerHandler& h) {
    if (h.Sync)
      TThread::StaticSynchronize([&] {
        THandlerScope scope(&FD);
        h.Event.Code(h.Event.Object, FMsg, FWParam, FLParam);
      });
    else
      h.Event.Code(h.Event.Object, FMsg, FWParam, FLParam);
  };
  auto proc = [this](TProcTriggerHandler& h) { h.Proc(FMsg, FWParam, FLParam); };
  auto wnd = [this](TWndTriggerHandler& h) {
    DWORD_PTR answer = 0;
    FD.FWndHandlerThread = GetWindowThreadProcessId(h.Wnd, nullptr);
    SendMessageTimeoutA(h.Wnd, FMsg, FWParam, FLParam, SMTO_BLOCK, WindowHandlerTimeoutMs, &answer);
    FD.FWndHandlerThread = 0;
  };
  if (!ForEachHandler(FD.FEventHandlers, event) || !ForEachHandler(FD.FProcHandlers, proc)) return;
  bool windows;
  {
    TLockGuard state(FD.FStateLock);
    windows = FD.FWndHandlers.size() > 1 || FD.FPortHandlerInstalled;
  }
  FComplete = !windows || ForEachHandler(FD.FWndHandlers, wnd);
}

TTriggerDelivery::~TTriggerDelivery() {
  if (!FRunning) return;
  bool again = FComplete;
  {
    TLockGuard rx(FD.FRxLock);
    if (FLookAhead) {
      FD.FAvailNotify = false;
      FD.ConsumeReceived(std::max(FD.FLookAheadMax, FD.FOutsideAhead));
      // An avail handler that left bytes unread is told again at once, unless a flush
      // took them.
      if (FMsg == SioTriggerAvail && !FD.FFlushedInDelivery &&
          static_cast<WPARAM>(FD.FLookAheadMax) != FWParam)
        again = false;
      FD.FFlushedInDelivery = false;
    }
    FD.FLookAhead = 0;
    FD.FLookAheadMax = 0;
    FD.FOutsideAhead = 0;
  }
  TLockGuard state(FD.FStateLock);
  FD.FNotifying = false;
  if (FD.FRemovalPending) {
    PurgeDeleted(FD.FWndHandlers);
    PurgeDeleted(FD.FProcHandlers);
    PurgeDeleted(FD.FEventHandlers);
    FD.FRemovalPending = false;
    FD.UpdateHandlerFlags(fuKeepPort);
  }
  FAgain = again;
}

bool TSioBaseDispatcher::DeliverNotification(UINT msg, WPARAM wParam, DWORD data) {
  bool again = true;
  {
    TTriggerDelivery delivery(*this, msg, wParam, data, again);
    delivery.Run();
  }
  return again;
}

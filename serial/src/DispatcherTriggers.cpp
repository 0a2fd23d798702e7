// The trigger machinery's bookkeeping: adding, changing and removing triggers, registering
// handlers, the handler flags, saving and restoring triggers across a reopen, the reset points
// the data path calls, and the dispatch log and trace hooks. Evaluation and delivery live in
// DispatcherTriggerEval.cpp. Every list changes under the state lock only.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "DispatcherInternal.h"
#include "serial/Dispatcher.h"

using sio_detail::TLockGuard;

namespace {

// Handles come from the counter up to this count; afterwards the smallest free one is used.
constexpr unsigned TriggerCounterLimit = 4096;
// Handles stay within 16 bits, the width a notification's receiver is promised.
constexpr unsigned MaxTriggerHandle = 0xFFF8;
constexpr unsigned MaxStatusKind = 5;

template <class T> T* FindByHandle(TTriggerList<T>& list, unsigned handle) {
  for (auto& t : list)
    if (t->Handle == handle) return t.get();
  return nullptr;
}

template <class T> void CopyList(TTriggerList<T>& to, const TTriggerList<T>& from) {
  to.clear();
  to.reserve(from.size());
  for (const auto& t : from)
    to.push_back(std::make_unique<T>(*t));
}

} // namespace

// ---- handles ----

bool TSioBaseDispatcher::TriggerHandleInUse(unsigned base) const {
  unsigned slot = base / 8;
  return slot < FHandleUse.size() && FHandleUse[slot] != 0;
}

void TSioBaseDispatcher::RecountTriggerHandles() {
  FHandleUse.assign(MaxTriggerHandle / 8 + 1, 0);
  auto count = [&](const auto& list) {
    for (const auto& t : list)
      if (t->Handle / 8 < FHandleUse.size()) ++FHandleUse[t->Handle / 8];
  };
  count(FTimerTriggers);
  count(FDataTriggers);
  count(FStatusTriggers);
}

unsigned TSioBaseDispatcher::NewTriggerHandle() {
  if (FHandleUse.empty()) RecountTriggerHandles();
  unsigned handle = 0;
  // Restored triggers keep their handles while the counter starts again at 1: skip those, or
  // two triggers would answer to one handle.
  while (handle == 0 && FTriggerCounter < TriggerCounterLimit) {
    unsigned candidate = FTriggerCounter++ * 8;
    if (!TriggerHandleInUse(candidate)) handle = candidate;
  }
  for (unsigned slot = 1; handle == 0 && slot < FHandleUse.size(); ++slot)
    if (FHandleUse[slot] == 0) handle = slot * 8;
  if (handle != 0) ++FHandleUse[handle / 8];
  return handle;
}

// ---- adding and changing triggers ----

int TSioBaseDispatcher::ChangeLengthTrigger(unsigned length) {
  TLockGuard state(FStateLock);
  FTriggerLength = length;
  LogDispatch(dtTriggerDataChange, dstAvailTrigger, AvailTriggerHandle, length);
  return ecOK;
}

int TSioBaseDispatcher::AddDataTriggerLen(const char* data, bool ignoreCase, unsigned len) {
  if (len > MaxTrigData) return ecTriggerTooLong;
  if (!data && len > 0) return ecBadArgument;
  auto trigger = std::make_unique<TDataTrigger>();
  trigger->Length = len;
  trigger->IgnoreCase = ignoreCase;
  for (unsigned i = 0; i < len; ++i) {
    char c = data[i];
    if (ignoreCase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    trigger->Pattern[i] = c;
  }
  TLockGuard state(FStateLock);
  unsigned handle = NewTriggerHandle();
  if (handle == 0) return ecNoMoreTriggerSlots;
  trigger->Handle = handle;
  FDataTriggers.push_back(std::move(trigger));
  LogDispatch(dtTriggerAlloc, dstDataTrigger, handle, len);
  return static_cast<int>(handle);
}

int TSioBaseDispatcher::AddDataTrigger(const char* data, bool ignoreCase) {
  if (!data) return ecBadArgument;
  size_t len = std::strlen(data);
  if (len > MaxTrigData) return ecTriggerTooLong;
  return AddDataTriggerLen(data, ignoreCase, static_cast<unsigned>(len));
}

int TSioBaseDispatcher::AddTimerTrigger() {
  auto trigger = std::make_unique<TTimerTrigger>();
  TLockGuard state(FStateLock);
  unsigned handle = NewTriggerHandle();
  if (handle == 0) return ecNoMoreTriggerSlots;
  trigger->Handle = handle;
  FTimerTriggers.push_back(std::move(trigger));
  LogDispatch(dtTriggerAlloc, dstTimerTrigger, handle, 0);
  return static_cast<int>(handle);
}

int TSioBaseDispatcher::AddStatusTrigger(unsigned kind) {
  if (kind > MaxStatusKind) return ecBadArgument;
  auto trigger = std::make_unique<TStatusTrigger>();
  trigger->Kind = kind;
  TLockGuard state(FStateLock);
  unsigned handle = NewTriggerHandle();
  if (handle == 0) return ecNoMoreTriggerSlots;
  trigger->Handle = handle | kind;
  FStatusTriggers.push_back(std::move(trigger));
  LogDispatch(dtTriggerAlloc, dstStatusTrigger, handle | kind, kind);
  return static_cast<int>(handle | kind);
}

int TSioBaseDispatcher::SetTimerTrigger(unsigned handle, int ticks, bool activate) {
  TLockGuard state(FStateLock);
  TTimerTrigger* t = FindByHandle(FTimerTriggers, handle);
  if (!t) return ecBadTriggerHandle;
  if (activate) {
    if (ticks != 0) t->Ticks = ticks;
    NewTimer(t->Timer, t->Ticks);
  }
  t->Armed = activate;
  LogDispatch(dtTriggerDataChange, dstTimerTrigger, handle, static_cast<DWORD>(t->Ticks));
  return ecOK;
}

int TSioBaseDispatcher::ExtendTimer(unsigned handle, int ticks) {
  TLockGuard state(FStateLock);
  TTimerTrigger* t = FindByHandle(FTimerTriggers, handle);
  if (!t) return ecBadTriggerHandle;
  int64_t expiry = int64_t{t->Timer.ExpireTicks} + ticks;
  t->Timer.ExpireTicks = static_cast<int32_t>(std::clamp<int64_t>(
      expiry, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
  LogDispatch(dtTriggerDataChange, dstTimerTrigger, handle, static_cast<DWORD>(ticks));
  return ecOK;
}

int TSioBaseDispatcher::TimerTicksRemaining(unsigned handle, int& remaining) {
  remaining = 0;
  TLockGuard state(FStateLock);
  TTimerTrigger* t = FindByHandle(FTimerTriggers, handle);
  if (!t) return ecBadTriggerHandle;
  remaining = RemainingTime(t->Timer);
  return ecOK;
}

int TSioBaseDispatcher::SetStatusTrigger(unsigned handle, unsigned value, bool activate) {
  TLockGuard state(FStateLock);
  TStatusTrigger* t = FindByHandle(FStatusTriggers, handle);
  if (!t) return ecBadTriggerHandle;
  if (activate) {
    switch (t->Kind) {
    case stModem: {
      // The mask above the line bits it saw now; a change of any masked bit fires.
      unsigned mask = value & 0xFF;
      unsigned seen = mask & (FModemStatus & 0xFF);
      t->Value = static_cast<uint16_t>(mask << 8 | seen);
      break;
    }
    case stLine: {
      unsigned mask = 0;
      if (value & 1) mask |= CE_OVERRUN;
      if (value & 2) mask |= CE_RXPARITY;
      if (value & 4) mask |= CE_FRAME;
      if (value & 8) mask |= CE_BREAK;
      t->Value = static_cast<uint16_t>(mask);
      break;
    }
    default:
      t->Value = static_cast<uint16_t>(value);
      break;
    }
  }
  t->Armed = activate;
  LogDispatch(dtTriggerDataChange, dstStatusTrigger, handle, t->Value);
  return ecOK;
}

int TSioBaseDispatcher::RemoveTrigger(unsigned handle) {
  if (handle == AvailTriggerHandle) return ChangeLengthTrigger(0);
  TTriggerType type;
  TTriggerRecord record;
  return FindTriggerFromHandle(handle, true, type, record);
}

int TSioBaseDispatcher::FindTriggerFromHandle(unsigned handle, bool remove, TTriggerType& type,
                                              TTriggerRecord& record) {
  type = ttNone;
  record = std::monostate{};
  if (handle <= AvailTriggerHandle) return ecBadTriggerHandle;
  TLockGuard state(FStateLock);
  auto take = [&](auto& list, TTriggerType kind, TDispatchSubType subType) {
    for (auto it = list.begin(); it != list.end(); ++it) {
      if ((*it)->Handle != handle) continue;
      type = kind;
      record = **it;
      if (remove) {
        if (handle / 8 < FHandleUse.size() && FHandleUse[handle / 8] > 0) --FHandleUse[handle / 8];
        list.erase(it);
        LogDispatch(dtTriggerDispose, subType, handle, 0);
      }
      return true;
    }
    return false;
  };
  if (take(FTimerTriggers, ttTimer, dstTimerTrigger) ||
      take(FStatusTriggers, ttStatus, dstStatusTrigger) ||
      take(FDataTriggers, ttData, dstDataTrigger))
    return ecOK;
  return ecBadTriggerHandle;
}

// ---- handlers ----

int TSioBaseDispatcher::RegisterWndTriggerHandler(HWND wnd) {
  if (!wnd) return ecBadArgument;
  auto handler = std::make_unique<TWndTriggerHandler>();
  handler->Wnd = wnd;
  TLockGuard state(FStateLock);
  FWndHandlers.push_back(std::move(handler));
  FServiceNeeded = true;
  LogDispatch(dtTriggerHandlerAlloc, dstWndHandler, 0, 0);
  return ecOK;
}

int TSioBaseDispatcher::RegisterProcTriggerHandler(TSioNotifyProc proc) {
  if (!proc) return ecBadArgument;
  auto handler = std::make_unique<TProcTriggerHandler>();
  handler->Proc = proc;
  TLockGuard state(FStateLock);
  FProcHandlers.push_back(std::move(handler));
  FServiceNeeded = true;
  LogDispatch(dtTriggerHandlerAlloc, dstProcHandler, 0, 0);
  return ecOK;
}

namespace {
int RegisterEvent(TTriggerList<TEventTriggerHandler>& list, TSioNotifyEvent event, bool sync) {
  if (!event.Code) return ecBadArgument;
  auto handler = std::make_unique<TEventTriggerHandler>();
  handler->Event = event;
  handler->Sync = sync;
  list.push_back(std::move(handler));
  return ecOK;
}
} // namespace

int TSioBaseDispatcher::RegisterEventTriggerHandler(TSioNotifyEvent event) {
  TLockGuard state(FStateLock);
  int result = RegisterEvent(FEventHandlers, event, false);
  if (result == ecOK) {
    FServiceNeeded = true;
    LogDispatch(dtTriggerHandlerAlloc, dstEventHandler, 0, 0);
  }
  return result;
}

int TSioBaseDispatcher::RegisterSyncEventTriggerHandler(TSioNotifyEvent event) {
  TLockGuard state(FStateLock);
  int result = RegisterEvent(FEventHandlers, event, true);
  if (result == ecOK) {
    FServiceNeeded = true;
    LogDispatch(dtTriggerHandlerAlloc, dstEventHandler, 1, 0);
  }
  return result;
}

template <class T>
int TSioBaseDispatcher::DeregisterHandler(TTriggerList<T>& list,
                                          bool (*same)(const T&, const void*), const void* value,
                                          TDispatchSubType subType) {
  TLockGuard state(FStateLock);
  // A handler already marked is gone for all purposes; the next equal one is meant.
  auto it = std::find_if(list.begin(), list.end(), [&](const std::unique_ptr<T>& h) {
    return !h->Deleted && same(*h, value);
  });
  if (it != list.end()) {
    if (FNotifying.load()) {
      // A delivery is walking the list: it skips the mark and removes it at its end.
      (*it)->Deleted = true;
      FRemovalPending = true;
    } else {
      list.erase(it);
    }
    LogDispatch(dtTriggerHandlerDispose, subType, 0, 0);
  }
  UpdateHandlerFlags(fuKeepPort);
  return ecOK;
}

int TSioBaseDispatcher::DeregisterWndTriggerHandler(HWND wnd) {
  return DeregisterHandler<TWndTriggerHandler>(
      FWndHandlers,
      [](const TWndTriggerHandler& h, const void* v) {
        return h.Wnd == *static_cast<const HWND*>(v);
      },
      &wnd, dstWndHandler);
}

int TSioBaseDispatcher::DeregisterProcTriggerHandler(TSioNotifyProc proc) {
  return DeregisterHandler<TProcTriggerHandler>(
      FProcHandlers,
      [](const TProcTriggerHandler& h, const void* v) {
        return h.Proc == *static_cast<const TSioNotifyProc*>(v);
      },
      &proc, dstProcHandler);
}

int TSioBaseDispatcher::DeregisterEventTriggerHandler(TSioNotifyEvent event) {
  return DeregisterHandler<TEventTriggerHandler>(
      FEventHandlers,
      [](const TEventTriggerHandler& h, const void* v) {
        return h.Event.Code == static_cast<const TSioNotifyEvent*>(v)->Code;
      },
      &event, dstEventHandler);
}

void TSioBaseDispatcher::UpdateHandlerFlags(TSioHandlerFlagUpdate flagUpdate) {
  TLockGuard state(FStateLock);
  bool others = FWndHandlers.size() > 1 || !FProcHandlers.empty() || !FEventHandlers.empty();
  switch (flagUpdate) {
  case fuKeepPort:
    FServiceNeeded = others || FPortHandlerInstalled;
    break;
  case fuEnablePort:
    FPortHandlerInstalled = true;
    FServiceNeeded = true;
    break;
  case fuDisablePort:
    FPortHandlerInstalled = false;
    FServiceNeeded = others;
    break;
  }
}

// ---- saving and restoring ----

int TSioBaseDispatcher::SaveTriggers(TTriggerSave& save) {
  TLockGuard state(FStateLock);
  save.TriggerLength = FTriggerLength;
  CopyList(save.TimerTriggers, FTimerTriggers);
  CopyList(save.DataTriggers, FDataTriggers);
  CopyList(save.StatusTriggers, FStatusTriggers);
  return ecOK;
}

int TSioBaseDispatcher::RestoreTriggers(TTriggerSave& save) {
  TLockGuard state(FStateLock);
  FTriggerLength = save.TriggerLength;
  CopyList(FTimerTriggers, save.TimerTriggers);
  CopyList(FDataTriggers, save.DataTriggers);
  CopyList(FStatusTriggers, save.StatusTriggers);
  RecountTriggerHandles();
  return ecOK;
}

int TSioBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
  save.TimerTriggers.clear();
  save.DataTriggers.clear();
  save.StatusTriggers.clear();
  return ecOK;
}

// ---- reset points of the data path ----

void TSioBaseDispatcher::ClearStatusHits() {
  TLockGuard state(FStateLock);
  for (auto& trigger : FStatusTriggers)
    trigger->Hit = false;
  FGlobalStatusHit = false;
}

void TSioBaseDispatcher::ResetDataTriggerMatches() {
  TLockGuard state(FStateLock);
  for (auto& trigger : FDataTriggers) {
    std::fill(std::begin(trigger->Matches), std::end(trigger->Matches), 0u);
    trigger->Matched = false;
  }
  // Discarded bytes must not fire data triggers after the fact.
  FRxScanPos = FRxRing.WritePos();
  FRxScanFull = false;
  ++FRxFlushCount;
}

void TSioBaseDispatcher::ResetTriggerMachinery() {
  // Runs while the port opens, before the threads start (the receive ring is not in use).
  TLockGuard state(FStateLock);
  FRxScanPos = 0;
  FRxScanFull = false;
  FTriggerLength = 0;
  FTimerTriggers.clear();
  FDataTriggers.clear();
  FStatusTriggers.clear();
  FHandleUse.assign(MaxTriggerHandle / 8 + 1, 0);
  FTriggerCounter = 1;
}

// ---- dispatch log and trace ----

void TSioBaseDispatcher::SetDispatchLogSink(TSioDispatchLogSink sink, void* context) {
  TLockGuard state(FStateLock);
  FLogSink = sink;
  FLogContext = context;
  FDispatchLogging = sink != nullptr;
}

void TSioBaseDispatcher::SetTraceSink(TSioTraceSink sink, void* context) {
  TLockGuard state(FStateLock);
  FTraceSink = sink;
  FTraceContext = context;
  FTracing = sink != nullptr;
}

void TSioBaseDispatcher::LogDispatch(TDispatchType type, TDispatchSubType subType, DWORD data,
                                     DWORD otherData) {
  if (!FDispatchLogging.load()) return;
  TLockGuard state(FStateLock);
  if (!FLogSink) return;
  TSioDispatchEntry entry;
  entry.Time = SioTimeGetTime() - FTimeBase;
  entry.Type = type;
  entry.SubType = subType;
  entry.Data = data;
  entry.OtherData = otherData;
  FLogSink(FLogContext, entry);
}

void TSioBaseDispatcher::TraceBytes(char kind, const char* bytes, unsigned len) {
  if (!FTracing.load()) return;
  TLockGuard state(FStateLock);
  if (FTraceSink) FTraceSink(FTraceContext, kind, bytes, len);
}

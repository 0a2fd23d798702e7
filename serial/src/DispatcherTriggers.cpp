// The trigger machinery as far as the data path needs it: its reset points and the handler
// flags. The evaluations report that nothing fired until triggers can be added.
#include <algorithm>

#include "DispatcherInternal.h"
#include "serial/Dispatcher.h"

using sio_detail::TLockGuard;

bool TSioBaseDispatcher::CheckTimerTriggers() {
  return false;
}
bool TSioBaseDispatcher::CheckStatusTriggers() {
  return false;
}
bool TSioBaseDispatcher::CheckReceiveTriggers() {
  return false;
}

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
}

void TSioBaseDispatcher::ResetTriggerMachinery() {
  TLockGuard state(FStateLock);
  FRxScanPos = 0;
  FTriggerLength = 0;
  FTimerTriggers.clear();
  FDataTriggers.clear();
  FStatusTriggers.clear();
  FTriggerCounter = 1;
}

void TSioBaseDispatcher::TraceBytes(char, const char*, unsigned) {
  // Tracing has no buffer yet; FTracing is never switched on.
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

// ---- operations (not yet in force) ----

int TSioBaseDispatcher::ChangeLengthTrigger(unsigned) {
  return ecOK;
}
int TSioBaseDispatcher::AddDataTriggerLen(const char*, bool, unsigned) {
  return ecNoMoreTriggerSlots;
}
int TSioBaseDispatcher::AddDataTrigger(const char*, bool) {
  return ecNoMoreTriggerSlots;
}
int TSioBaseDispatcher::AddTimerTrigger() {
  return ecNoMoreTriggerSlots;
}
int TSioBaseDispatcher::AddStatusTrigger(unsigned) {
  return ecNoMoreTriggerSlots;
}
int TSioBaseDispatcher::SetTimerTrigger(unsigned, int, bool) {
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::ExtendTimer(unsigned, int) {
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::TimerTicksRemaining(unsigned, int& remaining) {
  remaining = 0;
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::SetStatusTrigger(unsigned, unsigned, bool) {
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::RemoveTrigger(unsigned) {
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::FindTriggerFromHandle(unsigned, bool, TTriggerType& type,
                                              TTriggerRecord& record) {
  type = ttNone;
  record = std::monostate{};
  return ecBadTriggerHandle;
}
int TSioBaseDispatcher::RegisterWndTriggerHandler(HWND) {
  return ecOK;
}
int TSioBaseDispatcher::RegisterProcTriggerHandler(TSioNotifyProc) {
  return ecOK;
}
int TSioBaseDispatcher::RegisterEventTriggerHandler(TSioNotifyEvent) {
  return ecOK;
}
int TSioBaseDispatcher::RegisterSyncEventTriggerHandler(TSioNotifyEvent) {
  return ecOK;
}
int TSioBaseDispatcher::DeregisterWndTriggerHandler(HWND) {
  return ecOK;
}
int TSioBaseDispatcher::DeregisterProcTriggerHandler(TSioNotifyProc) {
  return ecOK;
}
int TSioBaseDispatcher::DeregisterEventTriggerHandler(TSioNotifyEvent) {
  return ecOK;
}
int TSioBaseDispatcher::SaveTriggers(TTriggerSave&) {
  return ecOK;
}
int TSioBaseDispatcher::RestoreTriggers(TTriggerSave&) {
  return ecOK;
}
int TSioBaseDispatcher::ClearSaveBuffers(TTriggerSave&) {
  return ecOK;
}
bool TSioBaseDispatcher::CheckTriggers() {
  return false;
}

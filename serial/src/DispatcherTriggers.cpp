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

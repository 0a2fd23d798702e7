#include <atomic>
#include <stdexcept>
#include <windows.h>

#include "CliStop.h"

namespace {

std::atomic<TCliStop*> StopTarget{nullptr};
std::atomic<int> StopEvents{0};
// Set once the uploads are over (RemoveStopSignals), for a closing console to wait on.
HANDLE Finished = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event) {
  TCliStop* stop = StopTarget.load();
  // The first event stops the uploads; should that hang, a second one ends the program the
  // ordinary way.
  if (!stop || StopEvents++ > 0) return FALSE;
  stop->Request();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends as this returns: the port must first be let go. The system allows
    // some 5 seconds.
    if (Finished) WaitForSingleObject(Finished, 4000);
  }
  return TRUE;
}

} // namespace

TCliStop::TCliStop() {
  FSignalEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  FQuitEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!FSignalEvent || !FQuitEvent) throw std::runtime_error("no event for the stop watcher");
}

TCliStop::~TCliStop() {
  StopWatcher();
  CloseHandle(FSignalEvent);
  CloseHandle(FQuitEvent);
}

void TCliStop::Request() {
  SetEvent(FSignalEvent);
}

void TCliStop::StopWatcher() {
  if (!FWatcher.joinable()) return;
  SetEvent(FQuitEvent);
  FWatcher.join();
  ResetEvent(FQuitEvent);
}

void TCliStop::Watch() {
  HANDLE events[2] = {FSignalEvent, FQuitEvent};
  for (;;) {
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0)
      StopHosts();
    else
      return;
  }
}

void InstallStopSignals(TCliStop& stop) {
  if (!Finished) Finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(Finished);
  StopEvents = 0;
  StopTarget = &stop;
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

// Here the second Ctrl-C still ends the program at once: the event the watcher waits on does not
// count its requests.
void KeepStopSignalsForSecond() {}

void RemoveStopSignals() {
  StopTarget = nullptr;
  if (Finished) SetEvent(Finished);
  SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
}

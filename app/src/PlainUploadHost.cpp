#include "app/PlainUploadHost.h"

#include "runtime/SysUtils.h"

TPlainUploadHost::TPlainUploadHost() {
  FWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!FWakeEvent) throw EOutOfMemory("No event for the upload's wait");
}

TPlainUploadHost::~TPlainUploadHost() {
  CloseHandle(FWakeEvent);
}

void TPlainUploadHost::SetIdle(bool idle) {
  FBusy = !idle;
  if (OnIdle) OnIdle(idle);
}

void TPlainUploadHost::ClearLog() {
  std::lock_guard<std::mutex> lock(FLock);
  FLog.clear();
}

void TPlainUploadHost::AddLogLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FLog.push_back(line);
  }
  if (OnLogLine) OnLogLine(line);
}

void TPlainUploadHost::SetProgress(long percent) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FProgress.push_back(percent);
  }
  if (OnProgress) OnProgress(percent);
}

void TPlainUploadHost::ProcessMessages() {
  MSG msg;
  bool quit = false;
  int exitCode = 0;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit = true;
      exitCode = static_cast<int>(msg.wParam);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (quit) {
    FBusy = false;
    // Left in the queue for the loop outside the upload, which ends the program.
    PostQuitMessage(exitCode);
  }
}

void TPlainUploadHost::WaitForActivity(uint32_t timeoutMs) {
  // Any input still queued ends the wait, not only input that is new since the last look.
  MsgWaitForMultipleObjectsEx(1, &FWakeEvent, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void TPlainUploadHost::Wake() {
  SetEvent(FWakeEvent);
}

uint32_t TPlainUploadHost::TickCount() {
  return GetTickCount() + FTickOffset.load();
}

void TPlainUploadHost::Stop() {
  FBusy = false;
  SetEvent(FWakeEvent);
}

std::vector<std::string> TPlainUploadHost::Log() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FLog;
}

std::vector<long> TPlainUploadHost::Progress() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FProgress;
}

#include "runtime/Classes.h"

#include <algorithm>
#include <exception>

// ---- TComponent ----

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  FComponentState.Include(csDestroying);
  // Owned components leave our list as they go; free the newest first.
  while (!FComponents.empty())
    delete FComponents.back();
  if (FOwner) FOwner->RemoveComponent(this);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (SameText(c->Name(), name)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component->FOwner == this) return;
  if (component->FOwner) component->FOwner->RemoveComponent(component);
  FComponents.push_back(component);
  component->FOwner = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), component);
  if (it == FComponents.end()) return;
  Notification(component, opRemove);
  FComponents.erase(it);
  component->FOwner = nullptr;
}

void TComponent::BeginLoading() {
  FComponentState.Include(csLoading);
  for (TComponent* c : FComponents)
    c->BeginLoading();
}

void TComponent::EndLoading() {
  for (TComponent* c : FComponents)
    c->EndLoading();
  if (FComponentState.Contains(csLoading)) Loaded();
}

void TComponent::SetDesigning(bool designing) {
  if (designing)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
  for (TComponent* c : FComponents)
    c->SetDesigning(designing);
}

void TComponent::Loaded() {
  FComponentState.Exclude(csLoading);
}

void TComponent::Notification(TComponent*, TOperation) {}

// ---- main thread and Synchronize ----
//
// Synchronize sends a message to a hidden window that the main thread created while the
// program's static objects were built; the main thread runs the call whenever it pumps
// messages (its message loop, a SafeYield, or TThread::WaitFor).

namespace {

constexpr UINT CM_SYNCHRONIZE = WM_USER + 0x7F0;

struct TSyncRequest {
  const std::function<void()>* Method;
  std::exception_ptr Error;
};

unsigned long gSyncCount = 0; // touched on the main thread only

LRESULT CALLBACK SyncWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != CM_SYNCHRONIZE) return DefWindowProcA(wnd, msg, wParam, lParam);
  auto* request = reinterpret_cast<TSyncRequest*>(wParam);
  ++gSyncCount;
  try {
    (*request->Method)();
  } catch (...) {
    request->Error = std::current_exception();
  }
  return 0;
}

struct TMainThread {
  DWORD Id;
  HWND SyncWindow;
  TMainThread() : Id(GetCurrentThreadId()) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = SyncWindowProc;
    wc.hInstance = reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr));
    wc.lpszClassName = "TThreadSyncWindow";
    RegisterClassA(&wc);
    SyncWindow = CreateWindowExA(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, wc.hInstance, nullptr);
  }
};

TMainThread& MainThread() {
  static TMainThread mainThread;
  return mainThread;
}

// Built during static initialisation, which runs on the main thread.
const TMainThread& gMainThreadAtStartup = MainThread();

int WinPriority(TThreadPriority p) {
  switch (p) {
  case tpIdle:
    return THREAD_PRIORITY_IDLE;
  case tpLowest:
    return THREAD_PRIORITY_LOWEST;
  case tpLower:
    return THREAD_PRIORITY_BELOW_NORMAL;
  case tpNormal:
    return THREAD_PRIORITY_NORMAL;
  case tpHigher:
    return THREAD_PRIORITY_ABOVE_NORMAL;
  case tpHighest:
    return THREAD_PRIORITY_HIGHEST;
  case tpTimeCritical:
    return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

} // namespace

DWORD MainThreadID() {
  return gMainThreadAtStartup.Id;
}

bool CheckSynchronize() {
  if (GetCurrentThreadId() != MainThreadID()) return false;
  unsigned long before = gSyncCount;
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // handles the sent requests, removes nothing
  return gSyncCount != before;
}

// ---- TThread ----

TThread::TThread() = default;

TThread::~TThread() {
  if (FStarted && GetCurrentThreadId() != FThreadID && !FFinished) {
    Terminate();
    WaitFor();
  }
  if (FHandle) CloseHandle(FHandle);
}

void TThread::Start() {
  if (FStarted) return;
  FStarted = true;
  FHandle = CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
  if (!FHandle) {
    FStarted = false;
    throw Exception(Format("Thread creation error: %u", static_cast<unsigned>(GetLastError())));
  }
  if (FPriority != tpNormal) SetThreadPriority(FHandle, WinPriority(FPriority));
  ResumeThread(FHandle);
}

DWORD WINAPI TThread::ThreadProc(LPVOID self) {
  auto* thread = static_cast<TThread*>(self);
  try {
    thread->Execute();
  } catch (...) {
    // An exception that escapes Execute ends the thread; nothing else can take it here.
  }
  DWORD result = thread->ReturnValue;
  if (thread->OnTerminate) {
    try {
      thread->Synchronize([thread] { thread->OnTerminate(thread); });
    } catch (...) {
      // A failing OnTerminate must not keep the thread from finishing and freeing itself.
    }
  }
  bool freeOnTerminate = thread->FreeOnTerminate;
  thread->FFinished = true;
  if (freeOnTerminate) delete thread;
  return result;
}

DWORD TThread::WaitFor() {
  if (!FStarted || !FHandle) return ReturnValue;
  if (GetCurrentThreadId() == MainThreadID()) {
    // Keep serving Synchronize while we wait, or a thread that synchronises could never end.
    for (;;) {
      DWORD r = MsgWaitForMultipleObjects(1, &FHandle, FALSE, INFINITE, QS_SENDMESSAGE);
      if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;
      CheckSynchronize();
    }
  } else {
    WaitForSingleObject(FHandle, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeThread(FHandle, &code);
  return code;
}

void TThread::SetPriority(TThreadPriority priority) {
  FPriority = priority;
  if (FHandle) SetThreadPriority(FHandle, WinPriority(priority));
}

void TThread::Synchronize(const std::function<void()>& method) {
  StaticSynchronize(method);
}

void TThread::StaticSynchronize(const std::function<void()>& method) {
  if (GetCurrentThreadId() == MainThreadID()) {
    method();
    return;
  }
  TSyncRequest request{&method, nullptr};
  SendMessageA(gMainThreadAtStartup.SyncWindow, CM_SYNCHRONIZE, reinterpret_cast<WPARAM>(&request),
               0);
  if (request.Error) std::rethrow_exception(request.Error);
}

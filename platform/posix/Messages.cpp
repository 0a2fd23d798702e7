// Window messages, the Win32 entry points: classes, hidden windows, posting, sending and
// receiving; the queues behind them are in MessageQueue.cpp.
#include "MessageQueue.h"

#include <unistd.h>

using namespace platform::detail;

// ---- classes ----

ATOM RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr ||
      IS_INTRESOURCE(lpWndClass->lpszClassName) || lpWndClass->lpszClassName[0] == '\0' ||
      lpWndClass->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard lock(SyncMutex());
  TMessageState& state = MessageState();
  if (FindClassLocked(lpWndClass->lpszClassName)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto c = std::make_shared<TClass>();
  c->Name = lpWndClass->lpszClassName;
  c->Key = UpperKey(lpWndClass->lpszClassName);
  c->Atom = state.NextAtom;
  state.NextAtom = state.NextAtom == 0xFFFF ? 0xC000 : state.NextAtom + 1;
  c->Info = *lpWndClass;
  c->Info.lpszClassName = nullptr; // the caller's string need not outlive the call
  state.Classes.push_back(c);
  return c->Atom;
}

BOOL UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
  (void)hInstance;
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TClass> c = FindClassLocked(lpClassName);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (c->Windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  std::erase(MessageState().Classes, c);
  return TRUE;
}

BOOL GetClassInfoA(HINSTANCE hInstance, LPCSTR lpClassName, LPWNDCLASSA lpWndClass) {
  (void)hInstance;
  if (lpWndClass == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TClass> c = FindClassLocked(lpClassName);
  if (!c) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *lpWndClass = c->Info;
  lpWndClass->lpszClassName = lpClassName;
  return c->Atom; // nonzero: the class atom, as Win32
}

// ---- windows ----

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X,
                     int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam) {
  std::shared_ptr<TMessageQueue> queue = CurrentQueue();
  std::shared_ptr<TWindow> window = std::make_shared<TWindow>();
  {
    std::lock_guard lock(SyncMutex());
    TMessageState& state = MessageState();
    window->Class = FindClassLocked(lpClassName);
    if (!window->Class) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (hWndParent != nullptr && hWndParent != HWND_MESSAGE && !FindWindowLocked(hWndParent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    uintptr_t value;
    do {
      value = state.NextWindow;
      state.NextWindow = state.NextWindow >= 0x7FFFFFF0u ? 0x10000 : state.NextWindow + 2;
    } while (state.Windows.count(value) != 0);
    window->Handle = reinterpret_cast<HWND>(value);
    window->Queue = queue;
    window->Proc = window->Class->Info.lpfnWndProc;
    ++window->Class->Windows;
    state.Windows.emplace(value, window);
  }
  HWND hwnd = window->Handle;
  CREATESTRUCTA create{lpParam, hInstance, hMenu,         hWndParent,   nHeight,     nWidth,
                       Y,       X,         LONG(dwStyle), lpWindowName, lpClassName, dwExStyle};
  LPARAM createParam = reinterpret_cast<LPARAM>(&create);
  if (SendMessageA(hwnd, WM_NCCREATE, 0, createParam) == FALSE) {
    std::lock_guard lock(SyncMutex());
    if (!window->Destroyed) ForgetWindowLocked(window);
    return nullptr;
  }
  if (SendMessageA(hwnd, WM_CREATE, 0, createParam) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hWnd) {
  std::shared_ptr<TWindow> window;
  {
    std::lock_guard lock(SyncMutex());
    window = FindWindowLocked(hWnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (window->Queue != tlQueue.Queue) {
      SetLastError(ERROR_ACCESS_DENIED); // only the owning thread destroys a window
      return FALSE;
    }
    if (window->Destroying) return TRUE; // called again from its WM_DESTROY
    window->Destroying = true;
  }
  SendMessageA(hWnd, WM_DESTROY, 0, 0);
  SendMessageA(hWnd, WM_NCDESTROY, 0, 0);
  std::lock_guard lock(SyncMutex());
  if (!window->Destroyed) ForgetWindowLocked(window);
  return TRUE;
}

BOOL IsWindow(HWND hWnd) {
  std::lock_guard lock(SyncMutex());
  return FindWindowLocked(hWnd) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TWindow> window = FindWindowLocked(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId) *lpdwProcessId = static_cast<DWORD>(getpid());
  return window->Queue->ThreadId;
}

LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TWindow> window = FindWindowLocked(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR previous;
  if (nIndex == GWLP_USERDATA) {
    previous = window->UserData;
    window->UserData = dwNewLong;
  } else if (nIndex == GWLP_WNDPROC && dwNewLong != 0) {
    previous = reinterpret_cast<LONG_PTR>(window->Proc);
    window->Proc = reinterpret_cast<WNDPROC>(dwNewLong);
  } else {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return previous; // a previous 0 leaves the last error alone, as Win32
}

LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) {
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TWindow> window = FindWindowLocked(hWnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (nIndex == GWLP_USERDATA) return window->UserData;
  if (nIndex == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(window->Proc);
  SetLastError(ERROR_INVALID_INDEX);
  return 0;
}

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  (void)lParam;
  switch (Msg) {
  case WM_NCCREATE:
    return TRUE;
  case WM_CLOSE:
    DestroyWindow(hWnd);
    return 0;
  default:
    return 0;
  }
}

// ---- posting ----

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  // No window: a thread message to the caller, as Win32.
  if (hWnd == nullptr) return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
  CurrentQueue();
  DWORD threadId;
  {
    std::lock_guard lock(SyncMutex());
    std::shared_ptr<TWindow> window = FindWindowLocked(hWnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    MSG m{hWnd, Msg, wParam, lParam, GetTickCount(), {0, 0}};
    if (!PostLocked(*window->Queue, m, ERROR_INVALID_WINDOW_HANDLE)) return FALSE;
    threadId = window->Queue->ThreadId;
  }
  CallWakeHook(threadId);
  return TRUE;
}

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  CurrentQueue();
  {
    std::lock_guard lock(SyncMutex());
    auto it = MessageState().Queues.find(idThread);
    // A thread that has never used messages has no queue to post to, as on Win32.
    if (it == MessageState().Queues.end()) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return FALSE;
    }
    MSG m{nullptr, Msg, wParam, lParam, GetTickCount(), {0, 0}};
    if (!PostLocked(*it->second, m, ERROR_INVALID_THREAD_ID)) return FALSE;
  }
  CallWakeHook(idThread);
  return TRUE;
}

void PostQuitMessage(int nExitCode) {
  std::shared_ptr<TMessageQueue> queue = CurrentQueue();
  {
    std::lock_guard lock(SyncMutex());
    queue->QuitPending = true;
    queue->QuitCode = nExitCode;
    queue->NewInput = true;
    queue->Waiters.NotifyLocked();
  }
  CallWakeHook(queue->ThreadId);
}

// ---- sending ----

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = nullptr;
  std::shared_ptr<TMessageQueue> target;
  switch (PrepareSend(hWnd, proc, target)) {
  case TSendOutcome::Failed:
    return 0;
  case TSendOutcome::Direct:
    return CallProc(proc, hWnd, Msg, wParam, lParam);
  case TSendOutcome::Queued:
    break;
  }
  LRESULT result = 0;
  if (!SendToOtherThread(target, hWnd, Msg, wParam, lParam, false, false, std::nullopt, result))
    return 0;
  return result;
}

LRESULT SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                            UINT uTimeout, PDWORD_PTR lpdwResult) {
  WNDPROC proc = nullptr;
  std::shared_ptr<TMessageQueue> target;
  LRESULT result = 0;
  switch (PrepareSend(hWnd, proc, target)) {
  case TSendOutcome::Failed:
    return 0;
  case TSendOutcome::Direct: // the time-out does not apply to a window of this thread
    result = CallProc(proc, hWnd, Msg, wParam, lParam);
    break;
  case TSendOutcome::Queued:
    if (!SendToOtherThread(target, hWnd, Msg, wParam, lParam, (fuFlags & SMTO_BLOCK) != 0,
                           (fuFlags & SMTO_ABORTIFHUNG) != 0, DeadlineAfter(uTimeout), result))
      return 0;
    break;
  }
  if (lpdwResult) *lpdwResult = static_cast<DWORD_PTR>(result);
  return TRUE;
}

BOOL InSendMessage() {
  return tlInSend != nullptr ? TRUE : FALSE;
}

// ---- receiving ----

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (!ValidFilter(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::shared_ptr<TMessageQueue> queue = CurrentQueue();
  return PeekQueue(*queue, *lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax,
                   (wRemoveMsg & PM_REMOVE) != 0);
}

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return -1;
  }
  if (!ValidFilter(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::shared_ptr<TMessageQueue> queue = CurrentQueue();
  while (!PeekQueue(*queue, *lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
    WaitForNewInput(*queue);
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WaitMessage() {
  WaitForNewInput(*CurrentQueue());
  return TRUE;
}

BOOL TranslateMessage(const MSG* lpMsg) {
  (void)lpMsg;
  return FALSE; // no keyboard input, so nothing to translate
}

LRESULT DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0; // a thread message has no window procedure
  WNDPROC proc;
  {
    std::lock_guard lock(SyncMutex());
    std::shared_ptr<TWindow> window = FindWindowLocked(lpMsg->hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->Queue != tlQueue.Queue) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
    proc = window->Proc;
  }
  const TSentMessage* outer = tlInSend;
  tlInSend = nullptr; // a posted message is not a sent one
  LRESULT result = CallProc(proc, lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
  tlInSend = outer;
  return result;
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                DWORD dwMilliseconds, DWORD dwWakeMask) {
  return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask,
                                     fWaitAll ? MWMO_WAITALL : 0);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds,
                                  DWORD dwWakeMask, DWORD dwFlags) {
  // One slot is the queue's; waiting for all objects and input together is not supported.
  if (nCount > MAXIMUM_WAIT_OBJECTS - 1 || (nCount > 0 && pHandles == nullptr) ||
      (dwFlags & MWMO_WAITALL) != 0 ||
      (dwFlags & ~DWORD(MWMO_WAITALL | MWMO_ALERTABLE | MWMO_INPUTAVAILABLE)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<TWaitable>> objects;
  if (!ResolveWaitHandles(nCount, pHandles, objects)) return WAIT_FAILED;
  std::shared_ptr<TMessageQueue> queue = CurrentQueue();
  const bool wantsPosted = (dwWakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0;
  const bool wantsSent = (dwWakeMask & QS_SENDMESSAGE) != 0;
  auto deadline = DeadlineAfter(dwMilliseconds);
  // Shared: a wake-up may reach it after the wait (see TSyncMutex).
  auto waiterRef = std::make_shared<TWaiter>();
  TWaiter& waiter = *waiterRef;
  std::unique_lock lock(SyncMutex());
  for (;;) {
    int index = TryAcquireLocked(objects, false);
    if (index >= 0) return WAIT_OBJECT_0 + DWORD(index);
    if (!queue->Sent.empty()) {
      lock.unlock();
      ProcessSentMessages(*queue);
      lock.lock();
      if (wantsSent) return WAIT_OBJECT_0 + nCount;
      continue;
    }
    bool input = (dwFlags & MWMO_INPUTAVAILABLE) ? !queue->Posted.empty() || queue->QuitPending
                                                 : queue->NewInput;
    if (wantsPosted && input) return WAIT_OBJECT_0 + nCount;
    if (deadline && TClock::now() >= *deadline) return WAIT_TIMEOUT;
    AddWaiterLocked(objects, waiter);
    queue->Waiters.Add(&waiter);
    queue->WaitingForInput = true;
    WaitUntil(lock, waiter, deadline);
    queue->WaitingForInput = false;
    queue->Waiters.Remove(&waiter);
    RemoveWaiterLocked(objects, waiter);
  }
}

// ---- the wake hook ----

namespace platform {

void SetWakeHook(DWORD threadId, WakeHook hook, void* context) {
  if (threadId == GetCurrentThreadId()) CurrentQueue();
  std::unique_lock lock(SyncMutex());
  auto& hooks = MessageState().Hooks;
  auto it = hooks.find(threadId);
  if (it != hooks.end()) {
    // Once this returns the old hook is not running and will not run again, so its context
    // may go; a hook that replaces itself only waits for the other threads' calls.
    std::shared_ptr<THook> old = it->second;
    old->Hook = nullptr;
    int own = tlCallingHook == old.get() ? 1 : 0;
    WaitLocked(lock, old->Idle, [&] { return old->InFlight <= own; });
    hooks.erase(threadId);
  }
  if (hook != nullptr) {
    auto entry = std::make_shared<THook>();
    entry->Hook = hook;
    entry->Context = context;
    hooks[threadId] = entry;
  }
}

} // namespace platform

// Window messages: per-thread queues, classes, hidden windows, posting and sending.
//
// All queue, window and class state is guarded by SyncMutex(), the lock of every wait, so a
// MsgWaitForMultipleObjects sees handles and queue arrivals at once. Window procedures and
// wake hooks are always called with no lock held.
#include "Objects.h"

#include <deque>
#include <string>
#include <unistd.h>
#include <unordered_map>

namespace platform::detail {

namespace {

// Win32's limit on posted messages per queue.
const size_t PostedMessageQuota = 10000;
// SMTO_ABORTIFHUNG: a thread that has not looked at its queue for this long is hung.
const uint64_t HungAfterMilliseconds = 5000;

struct TSentMessage {
  HWND Window;
  UINT Message;
  WPARAM WParam;
  LPARAM LParam;
  bool Done = false;
  LRESULT Result = 0;
  DWORD Error = ERROR_SUCCESS;
  TWaitList Waiters; // the sender
};

struct TMessageQueue {
  explicit TMessageQueue(DWORD threadId) : ThreadId(threadId) {}
  const DWORD ThreadId;
  bool Alive = true;
  std::deque<MSG> Posted;
  std::deque<std::shared_ptr<TSentMessage>> Sent;
  bool QuitPending = false;
  int QuitCode = 0;
  bool NewInput = false; // posted since the thread last looked at its queue
  bool WaitingForInput = false;
  uint64_t LastLooked = MonotonicMilliseconds();
  TWaitList Waiters;
};

struct TClass {
  std::string Name; // as registered
  std::string Key;  // upper case: class names ignore case, as Win32's
  ATOM Atom;
  WNDCLASSA Info;
  int Windows = 0;
};

struct TWindow {
  HWND Handle;
  std::shared_ptr<TMessageQueue> Queue;
  std::shared_ptr<TClass> Class;
  WNDPROC Proc;
  LONG_PTR UserData = 0;
  bool Destroying = false;
  bool Destroyed = false;
};

struct THook {
  platform::WakeHook Hook;
  void* Context;
  int InFlight = 0;
  std::condition_variable Idle;
};

struct TMessageState {
  std::unordered_map<DWORD, std::shared_ptr<TMessageQueue>> Queues;
  std::unordered_map<uintptr_t, std::shared_ptr<TWindow>> Windows;
  uintptr_t NextWindow = 0x10000;
  std::vector<std::shared_ptr<TClass>> Classes;
  ATOM NextAtom = 0xC000;
  std::unordered_map<DWORD, std::shared_ptr<THook>> Hooks;
};

// The runtime makes a hidden window from a static initialiser: a function-local static, and
// never destroyed, since threads may still post while the program exits.
TMessageState& State() {
  static TMessageState* state = new TMessageState;
  return *state;
}

// Ends the thread's queue when the thread ends, whoever started it.
struct TThreadQueue {
  std::shared_ptr<TMessageQueue> Queue;
  ~TThreadQueue() { EndThreadMessages(); }
};
thread_local TThreadQueue tlQueue;
// The sent message this thread's window procedure is handling for another thread.
thread_local const TSentMessage* tlInSend = nullptr;
thread_local const THook* tlCallingHook = nullptr;

std::shared_ptr<TMessageQueue> CurrentQueue() {
  if (!tlQueue.Queue) {
    auto queue = std::make_shared<TMessageQueue>(GetCurrentThreadId());
    std::lock_guard lock(SyncMutex());
    State().Queues[queue->ThreadId] = queue;
    tlQueue.Queue = queue;
  }
  return tlQueue.Queue;
}

std::string UpperKey(const char* name) {
  std::string key;
  for (; *name; ++name)
    key += (*name >= 'a' && *name <= 'z') ? char(*name - 'a' + 'A') : *name;
  return key;
}

// Locked: the class a name or atom stands for.
std::shared_ptr<TClass> FindClassLocked(LPCSTR name) {
  if (name == nullptr) return nullptr;
  std::string key = IS_INTRESOURCE(name) ? std::string() : UpperKey(name);
  for (const auto& c : State().Classes)
    if (IS_INTRESOURCE(name) ? c->Atom == LOWORD(name) : c->Key == key) return c;
  return nullptr;
}

// Locked: a window that exists and is not destroyed yet.
std::shared_ptr<TWindow> FindWindowLocked(HWND hwnd) {
  auto& windows = State().Windows;
  auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == windows.end() || it->second->Destroyed) return nullptr;
  return it->second;
}

void CompleteLocked(TSentMessage& message, LRESULT result, DWORD error) {
  message.Result = result;
  message.Error = error;
  message.Done = true;
  message.Waiters.NotifyLocked();
}

// Locked: the window leaves the table; what is queued for it is dropped or failed.
void ForgetWindowLocked(const std::shared_ptr<TWindow>& window) {
  window->Destroyed = true;
  State().Windows.erase(reinterpret_cast<uintptr_t>(window->Handle));
  --window->Class->Windows;
  TMessageQueue& queue = *window->Queue;
  std::erase_if(queue.Posted, [&](const MSG& m) { return m.hwnd == window->Handle; });
  std::erase_if(queue.Sent, [&](const std::shared_ptr<TSentMessage>& m) {
    if (m->Window != window->Handle) return false;
    CompleteLocked(*m, 0, ERROR_INVALID_WINDOW_HANDLE);
    return true;
  });
}

// Tells a toolkit that `threadId` has a message; called with no lock held.
void CallWakeHook(DWORD threadId) {
  std::shared_ptr<THook> hook;
  platform::WakeHook function;
  void* context;
  {
    std::lock_guard lock(SyncMutex());
    auto it = State().Hooks.find(threadId);
    if (it == State().Hooks.end() || it->second->Hook == nullptr) return;
    hook = it->second;
    function = hook->Hook;
    context = hook->Context;
    ++hook->InFlight;
  }
  const THook* outer = tlCallingHook;
  tlCallingHook = hook.get();
  function(context);
  tlCallingHook = outer;
  std::lock_guard lock(SyncMutex());
  if (--hook->InFlight == 0) hook->Idle.notify_all();
}

// Locked: queues a posted message. False with the last error set when it cannot.
bool PostLocked(TMessageQueue& queue, const MSG& message, DWORD deadError) {
  if (!queue.Alive) {
    SetLastError(deadError);
    return false;
  }
  if (queue.Posted.size() >= PostedMessageQuota) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
  }
  queue.Posted.push_back(message);
  queue.NewInput = true;
  queue.Waiters.NotifyLocked();
  return true;
}

LRESULT CallProc(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

// Runs every message other threads have sent to this thread's windows, in order.
void ProcessSentMessages(TMessageQueue& queue) {
  for (;;) {
    std::shared_ptr<TSentMessage> message;
    std::shared_ptr<TWindow> window;
    WNDPROC proc;
    {
      std::lock_guard lock(SyncMutex());
      queue.LastLooked = MonotonicMilliseconds();
      if (queue.Sent.empty()) return;
      message = std::move(queue.Sent.front());
      queue.Sent.pop_front();
      window = FindWindowLocked(message->Window);
      if (!window || window->Queue.get() != &queue) {
        CompleteLocked(*message, 0, ERROR_INVALID_WINDOW_HANDLE);
        continue;
      }
      proc = window->Proc;
    }
    const TSentMessage* outer = tlInSend;
    tlInSend = message.get();
    LRESULT result =
        CallProc(proc, message->Window, message->Message, message->WParam, message->LParam);
    tlInSend = outer;
    std::lock_guard lock(SyncMutex());
    CompleteLocked(*message, result, ERROR_SUCCESS);
  }
}

bool Matches(const MSG& m, HWND filter, UINT low, UINT high) {
  if (filter == reinterpret_cast<HWND>(intptr_t(-1))) {
    if (m.hwnd != nullptr) return false;
  } else if (filter != nullptr && m.hwnd != filter) {
    return false;
  }
  return (low == 0 && high == 0) || (m.message >= low && m.message <= high);
}

// A window filter must name a window; NULL and -1 (thread messages only) are filters too.
bool ValidFilter(HWND filter) {
  if (filter == nullptr || filter == reinterpret_cast<HWND>(intptr_t(-1))) return true;
  std::lock_guard lock(SyncMutex());
  return FindWindowLocked(filter) != nullptr;
}

// PeekMessage's work: sent messages first, then the first matching posted one, then WM_QUIT
// once nothing else is posted.
bool PeekQueue(TMessageQueue& queue, MSG& out, HWND filter, UINT low, UINT high, bool remove) {
  ProcessSentMessages(queue);
  std::lock_guard lock(SyncMutex());
  queue.NewInput = false;
  queue.LastLooked = MonotonicMilliseconds();
  for (auto it = queue.Posted.begin(); it != queue.Posted.end(); ++it) {
    if (Matches(*it, filter, low, high)) {
      out = *it;
      if (remove) queue.Posted.erase(it);
      return true;
    }
  }
  if (queue.QuitPending && ((low == 0 && high == 0) || (WM_QUIT >= low && WM_QUIT <= high))) {
    out = MSG{nullptr, WM_QUIT, WPARAM(queue.QuitCode), 0, GetTickCount(), {0, 0}};
    if (remove) queue.QuitPending = false;
    return true;
  }
  return false;
}

// Blocks (handling sent messages) until something arrives since the thread last looked.
void WaitForNewInput(TMessageQueue& queue) {
  TWaiter waiter;
  std::unique_lock lock(SyncMutex());
  while (!queue.NewInput) {
    if (!queue.Sent.empty()) {
      lock.unlock();
      ProcessSentMessages(queue);
      return;
    }
    queue.WaitingForInput = true;
    queue.Waiters.Add(&waiter);
    waiter.Cv.wait(lock);
    queue.Waiters.Remove(&waiter);
    queue.WaitingForInput = false;
  }
}

// Sends to another thread's window and waits for the result, handling messages sent to this
// thread meanwhile unless `block`. The message lives in shared state: a receiver that comes
// to it after the sender gave up writes its result there, not into a gone stack frame.
bool SendToOtherThread(const std::shared_ptr<TMessageQueue>& target, HWND hwnd, UINT msg,
                       WPARAM wParam, LPARAM lParam, bool block, bool abortIfHung,
                       std::optional<TClock::time_point> deadline, LRESULT& result) {
  std::shared_ptr<TMessageQueue> own = block ? nullptr : CurrentQueue();
  auto message = std::make_shared<TSentMessage>();
  message->Window = hwnd;
  message->Message = msg;
  message->WParam = wParam;
  message->LParam = lParam;
  {
    std::lock_guard lock(SyncMutex());
    if (!target->Alive) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    if (abortIfHung && !target->WaitingForInput &&
        MonotonicMilliseconds() - target->LastLooked > HungAfterMilliseconds) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    target->Sent.push_back(message);
    target->Waiters.NotifyLocked();
  }
  CallWakeHook(target->ThreadId);

  TWaiter waiter;
  std::unique_lock lock(SyncMutex());
  for (;;) {
    if (message->Done) {
      if (message->Error != ERROR_SUCCESS) {
        SetLastError(message->Error);
        return false;
      }
      result = message->Result;
      return true;
    }
    if (own && !own->Sent.empty()) {
      lock.unlock();
      ProcessSentMessages(*own);
      lock.lock();
      continue;
    }
    if (deadline && TClock::now() >= *deadline) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    message->Waiters.Add(&waiter);
    if (own) own->Waiters.Add(&waiter);
    WaitUntil(lock, waiter, deadline);
    message->Waiters.Remove(&waiter);
    if (own) own->Waiters.Remove(&waiter);
  }
}

enum class TSendOutcome { Direct, Failed, Queued };

// Locked part of a send: the window, and whether it belongs to this thread.
TSendOutcome PrepareSend(HWND hwnd, WNDPROC& proc, std::shared_ptr<TMessageQueue>& target) {
  std::lock_guard lock(SyncMutex());
  std::shared_ptr<TWindow> window = FindWindowLocked(hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return TSendOutcome::Failed;
  }
  if (window->Queue == tlQueue.Queue) {
    proc = window->Proc;
    return TSendOutcome::Direct;
  }
  target = window->Queue;
  return TSendOutcome::Queued;
}

} // namespace

void EndThreadMessages() {
  std::shared_ptr<TMessageQueue> queue = std::move(tlQueue.Queue);
  if (!queue) return;
  std::lock_guard lock(SyncMutex());
  TMessageState& state = State();
  queue->Alive = false;
  auto it = state.Queues.find(queue->ThreadId);
  if (it != state.Queues.end() && it->second == queue) state.Queues.erase(it);
  std::vector<std::shared_ptr<TWindow>> owned;
  for (auto& [value, window] : state.Windows)
    if (window->Queue == queue) owned.push_back(window);
  // Windows go with their thread, without messages: there is no one left to handle them.
  for (auto& window : owned)
    ForgetWindowLocked(window);
  for (auto& message : queue->Sent)
    CompleteLocked(*message, 0, ERROR_INVALID_WINDOW_HANDLE);
  queue->Sent.clear();
  queue->Posted.clear();
  auto hook = state.Hooks.find(queue->ThreadId);
  if (hook != state.Hooks.end()) {
    hook->second->Hook = nullptr;
    state.Hooks.erase(hook);
  }
}

} // namespace platform::detail

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
  TMessageState& state = State();
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
  std::erase(State().Classes, c);
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
    TMessageState& state = State();
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
    auto it = State().Queues.find(idThread);
    // A thread that has never used messages has no queue to post to, as on Win32.
    if (it == State().Queues.end()) {
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
  TWaiter waiter;
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
  auto& hooks = State().Hooks;
  auto it = hooks.find(threadId);
  if (it != hooks.end()) {
    // Once this returns the old hook is not running and will not run again, so its context
    // may go; a hook that replaces itself only waits for the other threads' calls.
    std::shared_ptr<THook> old = it->second;
    old->Hook = nullptr;
    int own = tlCallingHook == old.get() ? 1 : 0;
    old->Idle.wait(lock, [&] { return old->InFlight <= own; });
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

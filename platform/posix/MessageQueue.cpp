// Window messages, the machinery: per-thread queues, the class and window tables, posting,
// the sent-message handshake and the wake hook's calls. Entry points in Messages.cpp.
#include "MessageQueue.h"

namespace platform::detail {

namespace {

// Win32's limit on posted messages per queue.
const size_t PostedMessageQuota = 10000;
// SMTO_ABORTIFHUNG: a thread that has not looked at its queue for this long is hung.
const uint64_t HungAfterMilliseconds = 5000;

} // namespace

// The runtime makes a hidden window from a static initialiser: a function-local static, and
// never destroyed, since threads may still post while the program exits.
TMessageState& MessageState() {
  static TMessageState* state = new TMessageState;
  return *state;
}

thread_local TThreadQueue tlQueue;
thread_local const TSentMessage* tlInSend = nullptr;
thread_local const THook* tlCallingHook = nullptr;

std::shared_ptr<TMessageQueue> CurrentQueue() {
  if (!tlQueue.Queue) {
    auto queue = std::make_shared<TMessageQueue>(GetCurrentThreadId());
    std::lock_guard lock(SyncMutex());
    MessageState().Queues[queue->ThreadId] = queue;
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

std::shared_ptr<TClass> FindClassLocked(LPCSTR name) {
  if (name == nullptr) return nullptr;
  std::string key = IS_INTRESOURCE(name) ? std::string() : UpperKey(name);
  for (const auto& c : MessageState().Classes)
    if (IS_INTRESOURCE(name) ? c->Atom == LOWORD(name) : c->Key == key) return c;
  return nullptr;
}

std::shared_ptr<TWindow> FindWindowLocked(HWND hwnd) {
  auto& windows = MessageState().Windows;
  auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == windows.end() || it->second->Destroyed) return nullptr;
  return it->second;
}

namespace {

void CompleteLocked(TSentMessage& message, LRESULT result, DWORD error) {
  message.Result = result;
  message.Error = error;
  message.Done = true;
  message.Waiters.NotifyLocked();
}

} // namespace

void ForgetWindowLocked(const std::shared_ptr<TWindow>& window) {
  window->Destroyed = true;
  MessageState().Windows.erase(reinterpret_cast<uintptr_t>(window->Handle));
  --window->Class->Windows;
  TMessageQueue& queue = *window->Queue;
  std::erase_if(queue.Posted, [&](const MSG& m) { return m.hwnd == window->Handle; });
  std::erase_if(queue.Sent, [&](const std::shared_ptr<TSentMessage>& m) {
    if (m->Window != window->Handle) return false;
    CompleteLocked(*m, 0, ERROR_INVALID_WINDOW_HANDLE);
    return true;
  });
}

void CallWakeHook(DWORD threadId) {
  std::shared_ptr<THook> hook;
  platform::WakeHook function;
  void* context;
  {
    std::lock_guard lock(SyncMutex());
    auto it = MessageState().Hooks.find(threadId);
    if (it == MessageState().Hooks.end() || it->second->Hook == nullptr) return;
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

namespace {

bool Matches(const MSG& m, HWND filter, UINT low, UINT high) {
  if (filter == reinterpret_cast<HWND>(intptr_t(-1))) {
    if (m.hwnd != nullptr) return false;
  } else if (filter != nullptr && m.hwnd != filter) {
    return false;
  }
  return (low == 0 && high == 0) || (m.message >= low && m.message <= high);
}

} // namespace

bool ValidFilter(HWND filter) {
  if (filter == nullptr || filter == reinterpret_cast<HWND>(intptr_t(-1))) return true;
  std::lock_guard lock(SyncMutex());
  return FindWindowLocked(filter) != nullptr;
}

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

void WaitForNewInput(TMessageQueue& queue) {
  // Shared: a wake-up may reach it after the wait (see TSyncMutex).
  auto waiterRef = std::make_shared<TWaiter>();
  TWaiter& waiter = *waiterRef;
  std::unique_lock lock(SyncMutex());
  while (!queue.NewInput) {
    if (!queue.Sent.empty()) {
      lock.unlock();
      ProcessSentMessages(queue);
      return;
    }
    queue.WaitingForInput = true;
    queue.Waiters.Add(&waiter);
    WaitLocked(lock, waiter.Cv);
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

  // Shared: a wake-up may reach it after the wait (see TSyncMutex).
  auto waiterRef = std::make_shared<TWaiter>();
  TWaiter& waiter = *waiterRef;
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

void EndThreadMessages() {
  std::shared_ptr<TMessageQueue> queue = std::move(tlQueue.Queue);
  if (!queue) return;
  std::lock_guard lock(SyncMutex());
  TMessageState& state = MessageState();
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

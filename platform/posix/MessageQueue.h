// The window-message machinery behind the Win32 entry points of Messages.cpp: per-thread
// queues, classes, hidden windows, and the sent-message handshake (MessageQueue.cpp).
//
// All queue, window and class state is guarded by SyncMutex(), the lock of every wait, so a
// MsgWaitForMultipleObjects sees handles and queue arrivals at once. Window procedures and
// wake hooks are always called with no lock held. "Locked" functions need SyncMutex() held.
#pragma once

#include "Objects.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::detail {

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

// The one message state of the process.
TMessageState& MessageState();

// Ends the thread's queue when the thread ends, whoever started it.
struct TThreadQueue {
  std::shared_ptr<TMessageQueue> Queue;
  ~TThreadQueue() { EndThreadMessages(); }
};
extern thread_local TThreadQueue tlQueue;
// The sent message this thread's window procedure is handling for another thread.
extern thread_local const TSentMessage* tlInSend;
extern thread_local const THook* tlCallingHook;

// The calling thread's queue, made on its first message call.
std::shared_ptr<TMessageQueue> CurrentQueue();
// Class names ignore ASCII case.
std::string UpperKey(const char* name);
// Locked: the class a name or atom stands for.
std::shared_ptr<TClass> FindClassLocked(LPCSTR name);
// Locked: a window that exists and is not destroyed yet.
std::shared_ptr<TWindow> FindWindowLocked(HWND hwnd);
// Locked: the window leaves the table; what is queued for it is dropped or failed.
void ForgetWindowLocked(const std::shared_ptr<TWindow>& window);
// Tells a toolkit that `threadId` has a message; called with no lock held.
void CallWakeHook(DWORD threadId);
// Locked: queues a posted message. False with the last error set when it cannot.
bool PostLocked(TMessageQueue& queue, const MSG& message, DWORD deadError);

inline LRESULT CallProc(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

// Runs every message other threads have sent to this thread's windows, in order.
void ProcessSentMessages(TMessageQueue& queue);
// A window filter must name a window; NULL and -1 (thread messages only) are filters too.
bool ValidFilter(HWND filter);
// PeekMessage's work: sent messages first, then the first matching posted one, then WM_QUIT
// once nothing else is posted.
bool PeekQueue(TMessageQueue& queue, MSG& out, HWND filter, UINT low, UINT high, bool remove);
// Blocks (handling sent messages) until something arrives since the thread last looked.
void WaitForNewInput(TMessageQueue& queue);
// Sends to another thread's window and waits for the result, handling messages sent to this
// thread meanwhile unless `block`.
bool SendToOtherThread(const std::shared_ptr<TMessageQueue>& target, HWND hwnd, UINT msg,
                       WPARAM wParam, LPARAM lParam, bool block, bool abortIfHung,
                       std::optional<TClock::time_point> deadline, LRESULT& result);

enum class TSendOutcome { Direct, Failed, Queued };
// Locked part of a send: the window, and whether it belongs to this thread.
TSendOutcome PrepareSend(HWND hwnd, WNDPROC& proc, std::shared_ptr<TMessageQueue>& target);

} // namespace platform::detail

// Kernel objects behind HANDLEs, the handle table, and the machinery every wait is built on.
// Internal to platform/posix; other object kinds (comm devices) derive from TKernelObject or
// TWaitable and go into the same table.
#pragma once

#include "platform/Win32.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform::detail {

// Every object a HANDLE can name. Kept alive by shared ownership: the table holds one
// reference, and any wait or operation in progress holds its own.
class TKernelObject : public std::enable_shared_from_this<TKernelObject> {
public:
  virtual ~TKernelObject() = default;
  // Called once by CloseHandle after the handle has left the table; operations still holding
  // the object may go on. Device objects stop their workers here.
  virtual void OnClose() {}
};

// A thread blocked in a wait; whatever it waits on notifies its condition variable. Shared,
// because a wake-up may reach it after its wait has ended (see TSyncMutex).
struct TWaiter : std::enable_shared_from_this<TWaiter> {
  std::condition_variable Cv;
};

// One lock guards the state of every waitable object and message queue, so that a wait for
// several objects sees and consumes them atomically. Nothing calls out while holding it.
// Waiters notified while it is held are woken when it is released: a thread woken while the
// lock is still held would only block on it again, a second pair of context switches on
// every hand-over between two threads.
class TSyncMutex {
public:
  void lock() { FMutex.lock(); }
  void unlock();
  std::mutex& Native() { return FMutex; }

private:
  std::mutex FMutex;
};
TSyncMutex& SyncMutex();
using TSyncLock = std::unique_lock<TSyncMutex>;

// With SyncMutex() held: `waiter` is woken once the lock is released.
void WakeAfterUnlock(TWaiter& waiter);
// Waits on `cv` with SyncMutex() held by `lock`, which it releases while it sleeps. The wakes
// this thread owes others are delivered first, since the lock is released inside the wait.
void WaitLocked(TSyncLock& lock, std::condition_variable& cv);
template <class TPredicate>
void WaitLocked(TSyncLock& lock, std::condition_variable& cv, TPredicate predicate) {
  while (!predicate())
    WaitLocked(lock, cv);
}

// The waiters registered on one thing that can change state. Guarded by SyncMutex().
class TWaitList {
public:
  void Add(TWaiter* waiter) { FWaiters.push_back(waiter); }
  void Remove(TWaiter* waiter);
  void NotifyLocked();

private:
  std::vector<TWaiter*> FWaiters;
};

class TEvent;

// Work a thread that waits for an event may do itself instead of sleeping until another thread
// sets it: a comm device's pending event wait watches the device on the waiting thread, which
// saves a wake-up of the device's I/O thread and then of the waiter.
class TWaitAssist {
public:
  virtual ~TWaitAssist() = default;
  // Called with no lock held. Blocks until `event` may have been set, or the deadline; false
  // when it cannot help (then the caller waits as usual).
  virtual bool Assist(TEvent* event,
                      const std::optional<std::chrono::steady_clock::time_point>& deadline) = 0;
};

// A kernel object that WaitForSingleObject and friends accept. State is guarded by SyncMutex().
class TWaitable : public TKernelObject {
public:
  virtual bool IsSignalledLocked() const = 0;
  // A wait that this object satisfied has returned: auto-reset objects reset here.
  virtual void AcquireLocked() {}
  // Who may complete a wait for this object on the waiting thread, if anyone.
  virtual std::shared_ptr<TWaitAssist> AssistLocked() const { return nullptr; }
  TWaitList& WaitersLocked() { return FWaiters; }

protected:
  // Call after changing state to signalled, with SyncMutex() held.
  void NotifyLocked() { FWaiters.NotifyLocked(); }

private:
  TWaitList FWaiters;
};

class TEvent : public TWaitable {
public:
  TEvent(bool manualReset, bool initialState)
      : FManualReset(manualReset), FSignalled(initialState) {}
  bool IsSignalledLocked() const override { return FSignalled; }
  void AcquireLocked() override {
    if (!FManualReset) FSignalled = false;
  }
  void SetLocked() {
    FSignalled = true;
    NotifyLocked();
  }
  void ResetLocked() { FSignalled = false; }
  void Set();
  void Reset();
  std::shared_ptr<TWaitAssist> AssistLocked() const override { return FAssist.lock(); }
  void SetAssistLocked(std::weak_ptr<TWaitAssist> assist) { FAssist = std::move(assist); }

private:
  const bool FManualReset;
  bool FSignalled;
  std::weak_ptr<TWaitAssist> FAssist;
};

// ---- handle table ----
// Handles are small multiples of 4 that are not reused until the counter wraps.
HANDLE InsertHandle(std::shared_ptr<TKernelObject> object);
// nullptr for an unknown handle (the last error is left alone). Resolves pseudo handles.
std::shared_ptr<TKernelObject> LookupHandle(HANDLE handle);
template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The object GetCurrentThread() stands for; implemented with the threads.
std::shared_ptr<TKernelObject> CurrentThreadObject();

// ---- deadlines ----
using TClock = std::chrono::steady_clock;
// No deadline for INFINITE.
std::optional<TClock::time_point> DeadlineAfter(DWORD milliseconds);
// Waits on the waiter until notified or the deadline; false once the deadline has passed.
bool WaitUntil(TSyncLock& lock, TWaiter& waiter,
               const std::optional<TClock::time_point>& deadline);

// With SyncMutex() held: the index of the object that satisfies a wait for any (the lowest
// signalled) or all (then 0) of `objects`, which that wait acquires; -1 when none does.
int TryAcquireLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, bool waitAll);
void AddWaiterLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, TWaiter& waiter);
void RemoveWaiterLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, TWaiter& waiter);
// Resolves the handles of a wait; false (last error set) when one is not a waitable object.
bool ResolveWaitHandles(DWORD count, const HANDLE* handles,
                        std::vector<std::shared_ptr<TWaitable>>& objects);

// Called by a thread that ends, before its handle is signalled: its windows go, and messages
// sent to them fail. Defined with the window messages; safe to call more than once.
void EndThreadMessages();

// Monotonic milliseconds, the base of GetTickCount and message times.
uint64_t MonotonicMilliseconds();

} // namespace platform::detail

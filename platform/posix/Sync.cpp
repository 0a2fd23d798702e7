// Events, waits, critical sections, interlocked counting and Sleep.
#include "Objects.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace platform::detail {

namespace {

// The waiters this thread has notified while holding SyncMutex(), woken when it lets go.
thread_local std::vector<std::shared_ptr<TWaiter>> tlWakeOwed;

void WakeOwed() {
  std::vector<std::shared_ptr<TWaiter>> owed;
  owed.swap(tlWakeOwed);
  for (const auto& waiter : owed)
    waiter->Cv.notify_all();
  owed.clear();
  if (tlWakeOwed.empty()) tlWakeOwed.swap(owed); // keeps the storage for the next time
}

} // namespace

TSyncMutex& SyncMutex() {
  static TSyncMutex* mutex = new TSyncMutex; // used by static initialisers and destructors
  return *mutex;
}

void TSyncMutex::unlock() {
  FMutex.unlock();
  // Notified after the release: a waiter that has left its wait meanwhile holds its own
  // reference and has seen the state itself; it merely gets a spurious wake-up.
  if (!tlWakeOwed.empty()) WakeOwed();
}

void WakeAfterUnlock(TWaiter& waiter) {
  tlWakeOwed.push_back(waiter.shared_from_this());
}

void WaitLocked(TSyncLock& lock, std::condition_variable& cv) {
  if (!tlWakeOwed.empty()) WakeOwed();
  std::unique_lock<std::mutex> native(lock.mutex()->Native(), std::adopt_lock);
  cv.wait(native);
  native.release();
}

void TWaitList::Remove(TWaiter* waiter) {
  auto it = std::find(FWaiters.begin(), FWaiters.end(), waiter);
  if (it != FWaiters.end()) FWaiters.erase(it);
}

void TWaitList::NotifyLocked() {
  for (TWaiter* waiter : FWaiters)
    WakeAfterUnlock(*waiter);
}

void TEvent::Set() {
  std::lock_guard lock(SyncMutex());
  SetLocked();
}

void TEvent::Reset() {
  std::lock_guard lock(SyncMutex());
  ResetLocked();
}

std::optional<TClock::time_point> DeadlineAfter(DWORD milliseconds) {
  if (milliseconds == INFINITE) return std::nullopt;
  return TClock::now() + std::chrono::milliseconds(milliseconds);
}

bool WaitUntil(TSyncLock& lock, TWaiter& waiter,
               const std::optional<TClock::time_point>& deadline) {
  if (!deadline) {
    WaitLocked(lock, waiter.Cv);
    return true;
  }
  if (!tlWakeOwed.empty()) WakeOwed();
  std::unique_lock<std::mutex> native(lock.mutex()->Native(), std::adopt_lock);
  bool woken = waiter.Cv.wait_until(native, *deadline) == std::cv_status::no_timeout;
  native.release();
  return woken || TClock::now() < *deadline;
}

int TryAcquireLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, bool waitAll) {
  if (waitAll) {
    for (const auto& object : objects)
      if (!object->IsSignalledLocked()) return -1;
    for (const auto& object : objects)
      object->AcquireLocked();
    return 0;
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->IsSignalledLocked()) {
      objects[i]->AcquireLocked();
      return static_cast<int>(i);
    }
  }
  return -1;
}

void AddWaiterLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, TWaiter& waiter) {
  for (const auto& object : objects)
    object->WaitersLocked().Add(&waiter);
}

void RemoveWaiterLocked(const std::vector<std::shared_ptr<TWaitable>>& objects, TWaiter& waiter) {
  for (const auto& object : objects)
    object->WaitersLocked().Remove(&waiter);
}

bool ResolveWaitHandles(DWORD count, const HANDLE* handles,
                        std::vector<std::shared_ptr<TWaitable>>& objects) {
  objects.clear();
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<TWaitable> object = LookupHandleAs<TWaitable>(handles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    objects.push_back(std::move(object));
  }
  return true;
}

} // namespace platform::detail

using namespace platform::detail;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
  (void)lpEventAttributes;
  // Named events would be shared between processes; nothing here needs them.
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE handle =
      InsertHandle(std::make_shared<TEvent>(bManualReset != FALSE, bInitialState != FALSE));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL SetEvent(HANDLE hEvent) {
  std::shared_ptr<TEvent> event = LookupHandleAs<TEvent>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  std::shared_ptr<TEvent> event = LookupHandleAs<TEvent>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<TWaitable>> objects;
  if (!ResolveWaitHandles(nCount, lpHandles, objects)) return WAIT_FAILED;
  if (bWaitAll) {
    // Win32 refuses the same object twice in a wait for all.
    for (size_t i = 0; i < objects.size(); ++i)
      for (size_t j = i + 1; j < objects.size(); ++j)
        if (objects[i] == objects[j]) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
  }
  auto deadline = DeadlineAfter(dwMilliseconds);
  // Shared: a wake-up may reach it after the wait (see TSyncMutex).
  auto waiterRef = std::make_shared<TWaiter>();
  TWaiter& waiter = *waiterRef;
  bool mayAssist = true;
  std::unique_lock lock(SyncMutex());
  for (;;) {
    int index = TryAcquireLocked(objects, bWaitAll != FALSE);
    if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    if (deadline && TClock::now() >= *deadline) return WAIT_TIMEOUT;
    if (mayAssist && objects.size() == 1) {
      if (std::shared_ptr<TWaitAssist> assist = objects[0]->AssistLocked()) {
        lock.unlock();
        // Refused once, it is not asked again in this wait (no spinning on a refusal); the
        // state is looked at again either way, since it may have changed meanwhile.
        mayAssist = assist->Assist(static_cast<TEvent*>(objects[0].get()), deadline);
        // Dropped before the lock: the last reference closes the device, which takes its own.
        assist.reset();
        lock.lock();
        continue;
      }
    }
    AddWaiterLocked(objects, waiter);
    WaitUntil(lock, waiter, deadline);
    RemoveWaiterLocked(objects, waiter);
  }
}

// ---- critical sections: a recursive pthread mutex, made on first use if need be ----

static pthread_mutex_t* SectionMutex(LPCRITICAL_SECTION section) {
  std::atomic_ref<void*> impl(section->Impl);
  void* current = impl.load(std::memory_order_acquire);
  if (current != nullptr) return static_cast<pthread_mutex_t*>(current);
  // A zero-filled section (a static one, say) still works: the first user makes the mutex.
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (impl.compare_exchange_strong(current, mutex, std::memory_order_acq_rel)) return mutex;
  pthread_mutex_destroy(mutex);
  delete mutex;
  return static_cast<pthread_mutex_t*>(current);
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  lpCriticalSection->Impl = nullptr;
  SectionMutex(lpCriticalSection);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  auto* mutex = static_cast<pthread_mutex_t*>(lpCriticalSection->Impl);
  lpCriticalSection->Impl = nullptr;
  if (mutex != nullptr) {
    pthread_mutex_destroy(mutex);
    delete mutex;
  }
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_lock(SectionMutex(lpCriticalSection));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  return pthread_mutex_trylock(SectionMutex(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

// A recursive mutex refuses an unlock by a thread that does not own it, so a stray Leave
// does no harm.
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  pthread_mutex_unlock(SectionMutex(lpCriticalSection));
}

// ---- interlocked: full barriers, as Win32's ----

LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand; // the initial value, whether or not it was replaced
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield(); // gives the rest of the time slice to a ready thread, as Win32
    return;
  }
  for (;;) { // INFINITE sleeps for good, as Win32 documents
    DWORD chunk = dwMilliseconds == INFINITE ? 1000000u : dwMilliseconds;
    timespec remaining{time_t(chunk / 1000), long(chunk % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
    if (dwMilliseconds != INFINITE) return;
  }
}

// Threads and their handles, priorities, and the version the program is told.
#include "Objects.h"

#include <cstring>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform::detail {

namespace {

// The kernel object behind a thread handle; signalled when the thread has ended.
class TThreadObject : public TWaitable {
public:
  bool IsSignalledLocked() const override { return Ended; }

  // Guarded by SyncMutex().
  bool Ended = false;
  DWORD ExitCode = STILL_ACTIVE;
  pid_t Tid = 0;
  DWORD SuspendCount = 0;
  int Priority = THREAD_PRIORITY_NORMAL;
  std::condition_variable StateChanged; // the thread learns of ResumeThread here
};

struct TStart {
  std::shared_ptr<TThreadObject> Thread;
  LPTHREAD_START_ROUTINE Routine;
  LPVOID Parameter;
};

thread_local pid_t tlTid = 0;
// This thread's object: set at start for our own threads, made on demand for the others.
thread_local std::shared_ptr<TThreadObject> tlSelf;

pid_t CurrentTid() {
  if (tlTid == 0) tlTid = gettid();
  return tlTid;
}

void* ThreadMain(void* arg) {
  std::unique_ptr<TStart> start(static_cast<TStart*>(arg));
  std::shared_ptr<TThreadObject> self = start->Thread;
  tlSelf = self;
  {
    std::unique_lock lock(SyncMutex());
    self->Tid = CurrentTid();
    self->StateChanged.notify_all();
    WaitLocked(lock, self->StateChanged, [&] { return self->SuspendCount == 0; });
  }
  DWORD exitCode = start->Routine(start->Parameter);
  EndThreadMessages();
  std::lock_guard lock(SyncMutex());
  self->ExitCode = exitCode;
  self->Ended = true;
  self->WaitersLocked().NotifyLocked();
  return nullptr;
}

// Nice values for the Win32 priorities; raising needs a right most processes lack.
int NiceFor(int priority) {
  switch (priority) {
  case THREAD_PRIORITY_IDLE:
    return 19;
  case THREAD_PRIORITY_LOWEST:
    return 10;
  case THREAD_PRIORITY_BELOW_NORMAL:
    return 5;
  case THREAD_PRIORITY_ABOVE_NORMAL:
    return -5;
  case THREAD_PRIORITY_HIGHEST:
    return -10;
  case THREAD_PRIORITY_TIME_CRITICAL:
    return -20;
  default:
    return 0;
  }
}

bool IsThreadPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

} // namespace

std::shared_ptr<TKernelObject> CurrentThreadObject() {
  if (!tlSelf) {
    auto self = std::make_shared<TThreadObject>();
    self->Tid = CurrentTid();
    tlSelf = std::move(self);
  }
  return tlSelf;
}

} // namespace platform::detail

using namespace platform::detail;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  (void)lpThreadAttributes;
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<TThreadObject>();
  thread->SuspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
  auto start = std::make_unique<TStart>(TStart{thread, lpStartAddress, lpParameter});

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize != 0) {
    size_t page = size_t(sysconf(_SC_PAGESIZE));
    size_t size = std::max<size_t>(dwStackSize, 64 * 1024);
    pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
  }
  pthread_t id;
  int err = pthread_create(&id, &attr, ThreadMain, start.get());
  pthread_attr_destroy(&attr);
  if (err != 0) {
    SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : platform::Win32ErrorFromErrno(err));
    return nullptr;
  }
  start.release();
  // The thread id exists once the thread runs; a suspended thread waits after reporting it.
  pid_t tid;
  {
    std::unique_lock lock(SyncMutex());
    WaitLocked(lock, thread->StateChanged, [&] { return thread->Tid != 0; });
    tid = thread->Tid;
  }
  if (lpThreadId) *lpThreadId = static_cast<DWORD>(tid);
  return InsertHandle(thread);
}

DWORD ResumeThread(HANDLE hThread) {
  std::shared_ptr<TThreadObject> thread = LookupHandleAs<TThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return DWORD(-1);
  }
  std::lock_guard lock(SyncMutex());
  DWORD previous = thread->SuspendCount;
  if (previous > 0 && --thread->SuspendCount == 0) thread->StateChanged.notify_all();
  return previous;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  std::shared_ptr<TThreadObject> thread = LookupHandleAs<TThreadObject>(hThread);
  if (!thread || lpExitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(SyncMutex());
  *lpExitCode = thread->ExitCode;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  return static_cast<DWORD>(CurrentTid());
}

HANDLE GetCurrentThread() {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  std::shared_ptr<TThreadObject> thread = LookupHandleAs<TThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!IsThreadPriority(nPriority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pid_t tid;
  {
    std::lock_guard lock(SyncMutex());
    thread->Priority = nPriority;
    tid = thread->Ended ? 0 : thread->Tid;
  }
  // Refused (no right to raise it) or gone: the thread keeps running as it was.
  if (tid != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(nPriority));
  return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
  std::shared_ptr<TThreadObject> thread = LookupHandleAs<TThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  std::lock_guard lock(SyncMutex());
  return thread->Priority;
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  // OSVERSIONINFOEXA is 8 bytes longer; its extra fields stay as the caller set them.
  if (lpVersionInformation == nullptr ||
      (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
       lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // What Windows tells a program without a compatibility manifest: 6.2, build 9200, NT.
  lpVersionInformation->dwMajorVersion = 6;
  lpVersionInformation->dwMinorVersion = 2;
  lpVersionInformation->dwBuildNumber = 9200;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  return TRUE;
}

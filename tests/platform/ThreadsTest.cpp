// Threads: handles signalled at the end, suspension, exit codes, priorities, the version.
#include "platform/Win32.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const DWORD Guard = 10000;

struct TContext {
  HANDLE Go = nullptr;
  std::atomic<bool> Ran{false};
  std::atomic<DWORD> SeenId{0};
  std::atomic<int> Nice{-100};
};

DWORD WINAPI WaitForGo(LPVOID p) {
  auto* context = static_cast<TContext*>(p);
  context->Ran = true;
  context->SeenId = GetCurrentThreadId();
  if (WaitForSingleObject(context->Go, Guard) != WAIT_OBJECT_0) return 1;
  errno = 0;
  context->Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return 42;
}

TEST(Threads, HandleIsSignalledWhenTheThreadEndsWithItsExitCode) {
  TContext context;
  context.Go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitForGo, &context, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE); // it waits for Go
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  SetEvent(context.Go);
  ASSERT_EQ(WaitForSingleObject(thread, Guard), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // and stays signalled
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(context.SeenId, id);
  EXPECT_TRUE(CloseHandle(thread));
  CloseHandle(context.Go);
}

TEST(Threads, CreateSuspendedRunsOnlyAfterResume) {
  TContext context;
  context.Go = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, WaitForGo, &context, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u); // known before it runs
  EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_TIMEOUT);
  EXPECT_FALSE(context.Ran);
  EXPECT_EQ(ResumeThread(thread), 1u); // the previous suspend count
  ASSERT_EQ(WaitForSingleObject(thread, Guard), WAIT_OBJECT_0);
  EXPECT_TRUE(context.Ran);
  EXPECT_EQ(ResumeThread(thread), 0u);
  CloseHandle(thread);
  CloseHandle(context.Go);
}

TEST(Threads, WaitForSeveralThreads) {
  TContext first, second;
  first.Go = second.Go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[] = {CreateThread(nullptr, 0, WaitForGo, &first, 0, nullptr),
                      CreateThread(nullptr, 0, WaitForGo, &second, 0, nullptr)};
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(first.Go);
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, Guard), WAIT_OBJECT_0);
  CloseHandle(threads[0]);
  CloseHandle(threads[1]);
  CloseHandle(first.Go);
}

TEST(Threads, PriorityIsAppliedWhereAllowedAndAlwaysRemembered) {
  TContext context;
  context.Go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WaitForGo, &context, 0, nullptr);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
  int baseNice = getpriority(PRIO_PROCESS, 0);
  // Lowering is always allowed.
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
  SetEvent(context.Go);
  ASSERT_EQ(WaitForSingleObject(thread, Guard), WAIT_OBJECT_0);
  if (baseNice <= 10) {
    EXPECT_EQ(context.Nice, 10);
  }
  // Raising may be refused by the system; the call still succeeds and is remembered.
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(thread, 7));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  CloseHandle(thread);
  SetLastError(0);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(context.Go);
}

DWORD WINAPI RaiseOwnPriority(LPVOID p) {
  auto* nice = static_cast<std::atomic<int>*>(p);
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) ||
      GetThreadPriority(GetCurrentThread()) != THREAD_PRIORITY_HIGHEST)
    return 1;
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL)) return 2;
  *nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  DWORD code;
  if (!GetExitCodeThread(GetCurrentThread(), &code) || code != STILL_ACTIVE) return 3;
  return GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_BELOW_NORMAL ? 0 : 4;
}

TEST(Threads, TheCurrentThreadPseudoHandleNamesTheCaller) {
  EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(intptr_t(-2)));
  EXPECT_TRUE(CloseHandle(GetCurrentThread())); // has no effect, as Win32
  std::atomic<int> nice{-100};
  HANDLE thread = CreateThread(nullptr, 0, RaiseOwnPriority, &nice, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, Guard), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 0u);
  if (getpriority(PRIO_PROCESS, 0) <= 5) {
    EXPECT_EQ(nice, 5);
  }
  CloseHandle(thread);
}

TEST(Version, ReportsTheNtPlatform) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(info.dwMajorVersion, 5u);
  info.dwOSVersionInfoSize = 12;
  EXPECT_FALSE(GetVersionExA(&info));
}

} // namespace

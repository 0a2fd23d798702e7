// Events, waits, handles, critical sections and interlocked counting.
#include "platform/Win32.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

const DWORD Guard = 10000; // a bound that only a fault reaches

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));

  HANDLE initiallySet = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  CloseHandle(initiallySet);
}

TEST(Events, AutoResetReleasesOneWaitPerSet) {
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  // Two sets before a wait release it once: an event is not a counter.
  SetEvent(event);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

  // With two threads waiting, one set lets exactly one through and leaves the event reset.
  HANDLE released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> passed{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event, Guard) == WAIT_OBJECT_0) {
      ++passed;
      SetEvent(released);
    }
  };
  std::thread a(waiter), b(waiter);
  SetEvent(event);
  ASSERT_EQ(WaitForSingleObject(released, Guard), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  SetEvent(event);
  ASSERT_EQ(WaitForSingleObject(released, Guard), WAIT_OBJECT_0);
  a.join();
  b.join();
  EXPECT_EQ(passed, 2);
  CloseHandle(event);
  CloseHandle(released);
}

TEST(Events, SetFromAnotherThreadEndsAnInfiniteWait) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([&] { SetEvent(event); });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

TEST(Waits, ForAnyReturnsTheLowestSignalledIndex) {
  HANDLE events[3];
  for (HANDLE& e : events)
    e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(events[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  std::thread setter([&] { SetEvent(events[0]); });
  setter.join();
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, Guard), WAIT_OBJECT_0);
  for (HANDLE e : events)
    CloseHandle(e);
}

TEST(Waits, ForAllNeedsEveryObjectAndConsumesAutoResetOnes) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[] = {manual, automatic};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  // The wait ends once the last one is set, and takes the auto-reset event with it.
  std::thread setter([&] { SetEvent(automatic); });
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, Guard), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  HANDLE twice[] = {manual, manual};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(Waits, BadArgumentsFail) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  HANDLE withBad[] = {event, reinterpret_cast<HANDLE>(intptr_t(0x7777))};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(event);
}

TEST(Handles, ClosedHandlesAreInvalidAndNotReusedAtOnce) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(first));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(second, first);
  CloseHandle(second);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  // An event is not a thread, and a thread handle is not an event.
  SetLastError(0);
  EXPECT_FALSE(SetEvent(GetCurrentThread()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(CriticalSections, AreRecursiveAndExclusive) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section); // the owner enters again
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
  EXPECT_FALSE(otherGotIt);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
  EXPECT_FALSE(otherGotIt); // still entered once
  LeaveCriticalSection(&section);
  std::thread([&] {
    otherGotIt = TryEnterCriticalSection(&section);
    if (otherGotIt) LeaveCriticalSection(&section);
  }).join();
  EXPECT_TRUE(otherGotIt);

  long counter = 0; // guarded by the section only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        EnterCriticalSection(&section);
        ++counter;
        LeaveCriticalSection(&section);
      }
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(counter, 20000);
  DeleteCriticalSection(&section);
}

TEST(CriticalSections, AZeroFilledSectionWorks) {
  static CRITICAL_SECTION section; // as a static one is before anyone initialises it
  EnterCriticalSection(&section);
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
}

TEST(Interlocked, ReturnsWhatWin32DocumentsAndIsAtomic) {
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9); // no match: unchanged
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);

  LONG volatile shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i)
        InterlockedIncrement(&shared);
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(shared, 40000);
}

TEST(SleepTest, SleepsAtLeastTheTimeAndZeroYields) {
  Sleep(0);
  DWORD start = GetTickCount();
  Sleep(30);
  EXPECT_GE(GetTickCount() - start, 29u);
}

} // namespace

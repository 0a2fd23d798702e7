#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial/Timers.h"

namespace {

std::atomic<DWORD> gNow{0};
DWORD TestClock() {
  return gNow.load();
}

// Runs a test on a clock the test sets by hand.
class ManualClock : public ::testing::Test {
protected:
  void SetUp() override { SetSioClockSource(TestClock); }
  void TearDown() override { SetSioClockSource(nullptr); }
  static void SetMs(DWORD ms) { gNow = ms; }
  static void SetTick(int64_t tick) { gNow = static_cast<DWORD>(tick * 55); }
};

} // namespace

TEST(TickConversions, FollowTheFixedRatio) {
  EXPECT_EQ(Secs2Ticks(1), 18);
  EXPECT_EQ(Secs2Ticks(10), 182);
  EXPECT_EQ(Secs2Ticks(0), 0);
  EXPECT_EQ(Ticks2Secs(18), 1);
  EXPECT_EQ(Ticks2Secs(0), 0);
  EXPECT_EQ(Ticks2Secs(182), 10);
  EXPECT_EQ(MSecs2Ticks(1000), 18);
  EXPECT_EQ(MSecs2Ticks(54), 0);
  EXPECT_EQ(MSecs2Ticks(5000), 91);
  // Large spans stay monotonic instead of wrapping negative in 32 bits.
  EXPECT_EQ(MSecs2Ticks(3'000'000), 54619);
  EXPECT_EQ(Secs2Ticks(2'000'000), 36413043);
  EXPECT_EQ(Secs2Ticks(INT32_MAX), INT32_MAX);
  EXPECT_GT(Ticks2Secs(MaxTimerTicks), 0);
}

TEST(CounterRate, IsTheCounterFrequencyInKilohertzRounded) {
  LARGE_INTEGER f;
  ASSERT_TRUE(QueryPerformanceFrequency(&f));
  uint64_t q = static_cast<uint64_t>(f.QuadPart);
  EXPECT_EQ(SioCounterRate(), q / 1000 + (q % 1000 > 500 ? 1 : 0));
}

TEST(SioTimeGetTime, FollowsTheRealClock) {
  DWORD a = SioTimeGetTime();
  Sleep(30);
  DWORD b = SioTimeGetTime();
  EXPECT_GE(b - a, 25u);
  EXPECT_LT(b - a, 5000u);
  DWORD t = timeGetTime();
  EXPECT_LT(static_cast<DWORD>(t - SioTimeGetTime() + 1000), 2000u) << "one process-wide clock";
}

TEST_F(ManualClock, ZeroTickTimerExpiresWhenTheTickAdvances) {
  SetTick(1000);
  EventTimer t;
  EXPECT_EQ(NewTimer(t, 0), 1000);
  EXPECT_EQ(t.ExpireTicks, 1000);
  EXPECT_FALSE(TimerExpired(t));
  SetMs(1000 * 55 + 54);
  EXPECT_FALSE(TimerExpired(t));
  SetTick(1001);
  EXPECT_TRUE(TimerExpired(t));
}

TEST_F(ManualClock, NegativeTimerIsExpiredAtOnce) {
  SetTick(500);
  EventTimer t;
  NewTimer(t, -1);
  EXPECT_TRUE(TimerExpired(t));
  EXPECT_EQ(RemainingTime(t), 0);
}

TEST_F(ManualClock, ElapsedAndRemainingWithoutWrap) {
  SetTick(2000);
  EventTimer t;
  NewTimerSecs(t, 5); // 91 ticks
  EXPECT_EQ(t.ExpireTicks - t.StartTicks, 91);
  SetTick(2050);
  EXPECT_EQ(ElapsedTime(t), 50);
  EXPECT_EQ(RemainingTime(t), 41);
  EXPECT_EQ(ElapsedTimeInSecs(t), Ticks2Secs(50));
  EXPECT_EQ(RemainingTimeInSecs(t), Ticks2Secs(41));
  EXPECT_FALSE(TimerExpired(t));
  SetTick(2091);
  EXPECT_FALSE(TimerExpired(t));
  SetTick(2092);
  EXPECT_TRUE(TimerExpired(t));
  EXPECT_EQ(RemainingTime(t), 0);
}

TEST_F(ManualClock, SpanIsCutToTheLongestTimer) {
  SetTick(10);
  EventTimer t;
  NewTimer(t, INT32_MAX);
  EXPECT_EQ(t.ExpireTicks, 10 + MaxTimerTicks);
}

TEST_F(ManualClock, TimerAcrossTheClockWrapExpiresAfterItsSpan) {
  // Start one second before the 32-bit millisecond clock wraps, with a 100-tick span.
  SetMs(0xFFFFFFFFu - 1000);
  EventTimer t;
  NewTimer(t, 100);
  int32_t startTick = t.StartTicks;
  EXPECT_EQ(startTick, static_cast<int32_t>((0xFFFFFFFFu - 1000) / 55));
  SetMs(100); // wrapped: about 20 ticks have passed
  EXPECT_FALSE(TimerExpired(t));
  int32_t elapsed = ElapsedTime(t);
  EXPECT_GE(elapsed, 19);
  EXPECT_LE(elapsed, 21);
  EXPECT_EQ(elapsed + RemainingTime(t), 100);
  // The span ends 5500 ms after the start, i.e. about 4.5 s after the wrap.
  SetMs(5500 - 1001 - 60);
  EXPECT_FALSE(TimerExpired(t));
  SetMs(5500 - 1001 + 60);
  EXPECT_TRUE(TimerExpired(t));
  EXPECT_EQ(RemainingTime(t), 0);
}

TEST_F(ManualClock, LongTimerStartedLateStillWaitsItsFullSpan) {
  SetTick(TicksPerClockWrap - 10);
  EventTimer t;
  NewTimer(t, MaxTimerTicks);
  SetTick(5); // wrapped, 15 ticks in
  EXPECT_FALSE(TimerExpired(t));
  EXPECT_EQ(ElapsedTime(t), 15);
  EXPECT_EQ(RemainingTime(t), MaxTimerTicks - 15);
  SetTick(MaxTimerTicks - 10);
  EXPECT_FALSE(TimerExpired(t));
  SetTick(MaxTimerTicks - 9);
  EXPECT_TRUE(TimerExpired(t));
}

TEST(DelayTicks, ReturnsAtOnceBelowOneTick) {
  DWORD a = SioTimeGetTime();
  EXPECT_EQ(DelayTicks(0, true), 0u);
  EXPECT_EQ(DelayTicks(-5, false), 0u);
  EXPECT_LT(SioTimeGetTime() - a, 50u);
}

TEST(DelayTicks, WaitsAtLeastItsTicksWithoutPumping) {
  EventTimer t;
  NewTimer(t, 2);
  EXPECT_EQ(DelayTicks(2, false), 0u);
  EXPECT_TRUE(TimerExpired(t));
}

namespace {
int gDispatched = 0;
LRESULT CALLBACK CountingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_USER + 1) {
    ++gDispatched;
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}
HWND MakeWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = CountingProc;
  wc.lpszClassName = "TimersTestWindow";
  RegisterClassA(&wc);
  return CreateWindowExA(0, "TimersTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                         nullptr);
}
} // namespace

TEST(SafeYield, HandlesOneMessageAtATimeAndKeepsQuitPending) {
  HWND w = MakeWindow();
  ASSERT_NE(w, nullptr);
  gDispatched = 0;
  EXPECT_EQ(SafeYield(), 0u);
  PostMessageA(w, WM_USER + 1, 0, 0);
  PostMessageA(w, WM_USER + 1, 0, 0);
  EXPECT_EQ(SafeYield(), static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(gDispatched, 1);
  EXPECT_EQ(SafeYield(), static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(gDispatched, 2);
  PostQuitMessage(7);
  EXPECT_EQ(SafeYield(), static_cast<UINT>(WM_QUIT));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit message was put back";
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  DestroyWindow(w);
}

TEST(DelayTicks, PumpingEndsEarlyOnQuitWhichStaysPending) {
  HWND w = MakeWindow();
  gDispatched = 0;
  DWORD self = GetCurrentThreadId();
  std::thread poster([w, self] {
    PostMessageA(w, WM_USER + 1, 0, 0);
    Sleep(20);
    PostThreadMessageA(self, WM_QUIT, 3, 0);
  });
  DWORD start = SioTimeGetTime();
  UINT last = DelayTicks(Secs2Ticks(30), true);
  DWORD took = SioTimeGetTime() - start;
  poster.join();
  EXPECT_EQ(last, static_cast<UINT>(WM_QUIT));
  EXPECT_LT(took, 10000u) << "the quit message must end the delay";
  EXPECT_EQ(gDispatched, 1);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 3u);
  DestroyWindow(w);
}

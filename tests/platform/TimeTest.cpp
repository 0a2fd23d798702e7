// The clocks: monotonic, in the units Win32 documents.
#include "platform/Win32.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

TEST(Time, ClocksAdvanceMonotonicallyInTheirUnits) {
  LARGE_INTEGER frequency;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 1000000000);

  LARGE_INTEGER c1, c2;
  DWORD t1 = GetTickCount(), m1 = timeGetTime();
  ASSERT_TRUE(QueryPerformanceCounter(&c1));
  timespec pause{0, 20 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  ASSERT_TRUE(QueryPerformanceCounter(&c2));
  DWORD t2 = GetTickCount(), m2 = timeGetTime();
  // Differences in DWORD arithmetic survive the 49.7-day wrap.
  EXPECT_GE(DWORD(t2 - t1), 19u);
  EXPECT_GE(DWORD(m2 - m1), 19u);
  EXPECT_GE(c2.QuadPart - c1.QuadPart, 19 * 1000 * 1000);
  // A generous bound only: the three clocks agree about the same interval.
  EXPECT_LT(DWORD(t2 - t1), 20000u);
  EXPECT_LT(c2.QuadPart - c1.QuadPart, LONGLONG(DWORD(t2 - t1) + 2) * 1000 * 1000);

  // The tick count is CLOCK_MONOTONIC in milliseconds, cut to 32 bits.
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  DWORD expected = DWORD(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000);
  EXPECT_LT(DWORD(GetTickCount() - expected), 1000u);
}

TEST(Time, NullPointersAreRefused) {
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
  EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
}

} // namespace

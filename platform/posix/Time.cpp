// Clocks: everything counts CLOCK_MONOTONIC, which never jumps with the wall clock.
#include "Objects.h"

#include <time.h>

namespace platform::detail {

static uint64_t MonotonicNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t MonotonicMilliseconds() {
  return MonotonicNanoseconds() / 1000000u;
}

} // namespace platform::detail

using namespace platform::detail;

// Wraps after 49.7 days, as Win32's does.
DWORD GetTickCount() {
  return static_cast<DWORD>(MonotonicMilliseconds());
}

DWORD timeGetTime() {
  return static_cast<DWORD>(MonotonicMilliseconds());
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(MonotonicNanoseconds());
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (lpFrequency == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  lpFrequency->QuadPart = 1000000000;
  return TRUE;
}

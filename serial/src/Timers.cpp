#include "serial/Timers.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace {

constexpr int32_t MSecsPerTick = 55;

DWORD ComputeCounterRate() {
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return 0;
  uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
  uint64_t rate = f / 1000 + ((f % 1000) > 500 ? 1 : 0);
  return static_cast<DWORD>(rate);
}

const DWORD gCounterRate = ComputeCounterRate();
std::atomic<TSioClockSource> gClockSource{nullptr};

DWORD RealClock() {
  LARGE_INTEGER count;
  if (gCounterRate != 0 && QueryPerformanceCounter(&count))
    return static_cast<DWORD>(static_cast<uint64_t>(count.QuadPart) / gCounterRate);
  return timeGetTime();
}

// Conversions are done in 64 bits and clamped: in 32 bits, Secs2Ticks and MSecs2Ticks
// would wrap to nonsense for spans beyond about 14 days and 21 minutes respectively.
int32_t Clamp32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

} // namespace

DWORD SioCounterRate() {
  return gCounterRate;
}

DWORD SioTimeGetTime() {
  TSioClockSource source = gClockSource.load(std::memory_order_acquire);
  return source ? source() : RealClock();
}

void SetSioClockSource(TSioClockSource source) {
  gClockSource.store(source, std::memory_order_release);
}

int32_t SioCurrentTick() {
  return static_cast<int32_t>(SioTimeGetTime() / MSecsPerTick);
}

int32_t NewTimer(EventTimer& timer, int32_t ticks) {
  timer.StartTicks = SioCurrentTick();
  timer.ExpireTicks = timer.StartTicks + std::min(ticks, MaxTimerTicks);
  return timer.StartTicks;
}

int32_t NewTimerSecs(EventTimer& timer, int32_t seconds) {
  return NewTimer(timer, Secs2Ticks(seconds));
}

// After the clock wraps the current tick is below the start; it is then read one whole
// tick period further on. (Correcting by only half the period, as MaxTimerTicks might
// suggest, would make a timer that spans the wrap run some 24 days late.)
bool TimerExpired(const EventTimer& timer) {
  int32_t c = SioCurrentTick();
  if (timer.ExpireTicks < c) return true;
  return c < timer.StartTicks && timer.ExpireTicks < c + TicksPerClockWrap;
}

int32_t ElapsedTime(const EventTimer& timer) {
  int32_t c = SioCurrentTick();
  int32_t elapsed = c - timer.StartTicks;
  if (c < timer.StartTicks) elapsed += TicksPerClockWrap;
  return elapsed;
}

int32_t RemainingTime(const EventTimer& timer) {
  int32_t c = SioCurrentTick();
  int32_t remaining = timer.ExpireTicks - c;
  if (c < timer.StartTicks) remaining -= TicksPerClockWrap;
  return remaining < 0 ? 0 : remaining;
}

int32_t ElapsedTimeInSecs(const EventTimer& timer) {
  return Ticks2Secs(ElapsedTime(timer));
}
int32_t RemainingTimeInSecs(const EventTimer& timer) {
  return Ticks2Secs(RemainingTime(timer));
}

int32_t Secs2Ticks(int32_t seconds) {
  return Clamp32(int64_t{seconds} * 1675 / 92);
}
int32_t Ticks2Secs(int32_t ticks) {
  return Clamp32((int64_t{ticks} + 9) * 92 / 1675);
}
int32_t MSecs2Ticks(int32_t milliseconds) {
  return Clamp32(int64_t{milliseconds} * 1675 / 92000);
}

UINT SafeYield() {
  MSG msg;
  if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return 0;
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
  } else {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return msg.message;
}

UINT DelayTicks(int32_t ticks, bool pump) {
  if (ticks < 1) return 0;
  EventTimer timer;
  NewTimer(timer, ticks);
  UINT last = 0;
  for (;;) {
    if (pump) {
      last = SafeYield();
      if (last == WM_QUIT) break;
    }
    if (TimerExpired(timer)) break;
    if (pump && last != 0) continue; // more may be queued: drain before blocking
    // Block instead of spinning until the tick after the expiry tick begins, or (pumping)
    // until a message arrives.
    DWORD now = SioTimeGetTime();
    int64_t waitMs = int64_t{RemainingTime(timer) + 1} * MSecsPerTick - now % MSecsPerTick;
    DWORD wait = static_cast<DWORD>(std::clamp<int64_t>(waitMs, 1, MSecsPerTick * 20));
    if (pump)
      MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    else
      Sleep(wait);
  }
  return last;
}

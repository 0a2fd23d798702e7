// The serial layer's time: a process-wide millisecond clock and an event timer counted in
// ticks of 55 ms (timer triggers, breaks and string waits), plus the one-message pump step
// used wherever the library waits on the user-interface thread.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

struct EventTimer {
  int32_t StartTicks;
  int32_t ExpireTicks;
};

// The longest span one timer may cover; longer requests are cut to it.
constexpr int32_t MaxTimerTicks = 39045157;
// Ticks are the 32-bit millisecond clock divided by 55, so they run 0..78090314 and wrap.
constexpr int32_t TicksPerClockWrap = 78090315;

DWORD SioTimeGetTime();
// The high-resolution counter's ticks per millisecond, rounded; 0 without such a counter.
DWORD SioCounterRate();
int32_t SioCurrentTick();

int32_t NewTimer(EventTimer& timer, int32_t ticks);
int32_t NewTimerSecs(EventTimer& timer, int32_t seconds);
bool TimerExpired(const EventTimer& timer);
int32_t ElapsedTime(const EventTimer& timer);
int32_t RemainingTime(const EventTimer& timer);
int32_t ElapsedTimeInSecs(const EventTimer& timer);
int32_t RemainingTimeInSecs(const EventTimer& timer);

int32_t Secs2Ticks(int32_t seconds);
int32_t Ticks2Secs(int32_t ticks);
int32_t MSecs2Ticks(int32_t milliseconds);

// Waits `ticks` ticks; with `pump`, handles the calling thread's messages meanwhile and ends
// early on a quit message (which stays pending). Returns the last message number handled.
UINT DelayTicks(int32_t ticks, bool pump);
// Handles at most one pending message of the calling thread; a quit message is put back
// instead of dispatched. Returns its number, 0 when none was pending.
UINT SafeYield();

// Test seam: replaces the millisecond clock (nullptr restores the real one).
using TSioClockSource = DWORD (*)();
void SetSioClockSource(TSioClockSource source);

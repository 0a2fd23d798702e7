// Bounded waits: every wait in the tests ends, with false when its time is up.
#pragma once

#include <chrono>
#include <thread>

namespace support {

inline long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline long long NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// For conditions nothing signals (a thread's exit, a counter): checks every millisecond.
template <class P> bool WaitUntil(P condition, int timeoutMs = 10000) {
  long long deadline = NowMs() + timeoutMs;
  while (!condition()) {
    if (NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace support

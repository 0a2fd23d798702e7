// Helpers shared by the dispatcher's source files.
#pragma once

#include "platform/Win32.h"
#include "serial/Exceptions.h"

namespace sio_detail {

// Holds a critical section for one scope.
class TLockGuard {
public:
  explicit TLockGuard(CRITICAL_SECTION& cs) : FCs(cs) { EnterCriticalSection(&FCs); }
  ~TLockGuard() { LeaveCriticalSection(&FCs); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  CRITICAL_SECTION& FCs;
};

// Minus the calling thread's last error, or `fallback` when no error was recorded.
inline int NegLastError(int fallback) {
  DWORD err = GetLastError();
  return err != 0 ? -static_cast<int>(err) : fallback;
}

inline bool ValidHandle(HANDLE h) {
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

} // namespace sio_detail

// The extensions' Windows bodies where the system itself does the work.
#include "platform/Win32.h"

namespace platform {

// Qt's event loop on Windows dispatches the thread's Win32 messages itself, so no toolkit
// needs waking: the hook is accepted and never called.
void SetWakeHook(DWORD, WakeHook, void*) {}

// The message tables are RCDATA resources compiled by windres, which FindResourceA finds by
// name; a blob cannot be added to the executable's resources at run time.
bool RegisterResource(const char*, const char*, const void*, size_t) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

// The com thread's own wait on its event is all Windows needs.
BOOL SetCommWaitsWatched(HANDLE hFile, BOOL) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  return GetCommState(hFile, &dcb);
}

} // namespace platform

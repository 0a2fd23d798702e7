// The handle table and CloseHandle.
#include "Objects.h"

#include <shared_mutex>
#include <unordered_map>

namespace platform::detail {

namespace {

// The pseudo handle GetCurrentThread() returns, as Win32 has it.
const uintptr_t CurrentThreadPseudoHandle = static_cast<uintptr_t>(-2);

struct THandleTable {
  // Every call on a handle looks it up; the threads of an open port do so at once all the time,
  // and only opening and closing change the table.
  std::shared_mutex Mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<TKernelObject>> Objects;
  uintptr_t Next = 4;
};

// Leaked on purpose: handles may be used from static initialisers and destructors.
THandleTable& Table() {
  static THandleTable* table = new THandleTable;
  return *table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<TKernelObject> object) {
  THandleTable& table = Table();
  std::lock_guard lock(table.Mutex);
  // Values stay below 2^31 and skip those in use, so a stale handle rarely names a new object.
  uintptr_t value;
  do {
    value = table.Next;
    table.Next = table.Next >= 0x7FFFFFF0u ? 4 : table.Next + 4;
  } while (table.Objects.count(value) != 0);
  table.Objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<TKernelObject> LookupHandle(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == CurrentThreadPseudoHandle) return CurrentThreadObject();
  THandleTable& table = Table();
  std::shared_lock lock(table.Mutex);
  auto it = table.Objects.find(value);
  return it == table.Objects.end() ? nullptr : it->second;
}

static std::shared_ptr<TKernelObject> RemoveHandle(HANDLE handle) {
  THandleTable& table = Table();
  std::lock_guard lock(table.Mutex);
  auto it = table.Objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.Objects.end()) return nullptr;
  std::shared_ptr<TKernelObject> object = std::move(it->second);
  table.Objects.erase(it);
  return object;
}

} // namespace platform::detail

using namespace platform::detail;

BOOL CloseHandle(HANDLE hObject) {
  // Closing the pseudo handle has no effect, as Win32.
  if (reinterpret_cast<uintptr_t>(hObject) == CurrentThreadPseudoHandle) return TRUE;
  std::shared_ptr<TKernelObject> object = RemoveHandle(hObject);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnClose();
  return TRUE;
}

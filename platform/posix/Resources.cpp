// The executable as a module, and the RCDATA-like resources generated code registers in it.
#include "platform/Win32.h"

#include <deque>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

const char ModuleAnchor = 0;
// The executable's pseudo module: an address of ours, never null, never a real mapping.
HMODULE ExecutableModule() {
  return reinterpret_cast<HMODULE>(const_cast<char*>(&ModuleAnchor));
}

bool IsExecutableModule(HMODULE module) {
  return module == nullptr || module == ExecutableModule();
}

std::string ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return std::string();
    if (size_t(n) < path.size()) {
      path.resize(size_t(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// A resource type or name: an integer id, or a string compared without regard to ASCII case.
// "#123" is the integer 123, as Win32 reads it.
struct TResourceId {
  bool IsInteger = false;
  WORD Integer = 0;
  std::string Name;

  static bool Parse(LPCSTR id, TResourceId& out) {
    if (id == nullptr) return false;
    if (IS_INTRESOURCE(id)) {
      out.IsInteger = true;
      out.Integer = LOWORD(id);
      return true;
    }
    if (id[0] == '#' && id[1] != '\0') {
      unsigned long value = 0;
      const char* p = id + 1;
      for (; *p >= '0' && *p <= '9' && value <= 0xFFFF; ++p)
        value = value * 10 + unsigned(*p - '0');
      if (*p == '\0' && value <= 0xFFFF) {
        out.IsInteger = true;
        out.Integer = WORD(value);
        return true;
      }
    }
    out.IsInteger = false;
    for (const char* p = id; *p; ++p)
      out.Name += AsciiUpper(*p);
    return true;
  }

  bool operator==(const TResourceId& other) const {
    return IsInteger == other.IsInteger && Integer == other.Integer && Name == other.Name;
  }
};

struct TResource {
  TResourceId Type;
  TResourceId Name;
  const void* Data;
  DWORD Size;
};

struct TRegistry {
  std::mutex Mutex;
  std::deque<TResource> Resources; // deque: HRSRC points into it and must stay put
};

// Filled from static initialisers in any order: a function-local static, never destroyed.
TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;
  return *registry;
}

const TResource* ValidResource(HRSRC hResInfo) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  for (const TResource& resource : registry.Resources)
    if (reinterpret_cast<HRSRC>(const_cast<TResource*>(&resource)) == hResInfo) return &resource;
  return nullptr;
}

const unsigned char EmptyResource = 0;

} // namespace

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return ExecutableModule();
  std::string path = ExecutablePath();
  std::string base = path.substr(path.rfind('/') + 1);
  auto same = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
  };
  std::string name = lpModuleName;
  if (!base.empty() && (same(name, base) || same(name, base + ".exe"))) return ExecutableModule();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (!IsExecutableModule(hModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path = ExecutablePath();
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (nSize == 0 || lpFilename == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Too small a buffer: truncated and terminated, nSize returned, as Win32 since Vista.
  if (path.size() + 1 > nSize) {
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  path.copy(lpFilename, path.size());
  lpFilename[path.size()] = '\0';
  return static_cast<DWORD>(path.size());
}

HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  if (!IsExecutableModule(hModule)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  TResourceId type, name;
  if (!TResourceId::Parse(lpType, type) || !TResourceId::Parse(lpName, name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  bool typeFound = false;
  for (TResource& resource : registry.Resources) {
    if (!(resource.Type == type)) continue;
    typeFound = true;
    if (resource.Name == name) return reinterpret_cast<HRSRC>(&resource);
  }
  SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
  const TResource* resource = IsExecutableModule(hModule) ? ValidResource(hResInfo) : nullptr;
  if (resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // The data are mapped for the program's life; the "global" is the data itself.
  const void* data = resource->Size == 0 ? &EmptyResource : resource->Data;
  return const_cast<void*>(data);
}

LPVOID LockResource(HGLOBAL hResData) {
  return hResData;
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  const TResource* resource = IsExecutableModule(hModule) ? ValidResource(hResInfo) : nullptr;
  if (resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return resource->Size;
}

// Obsolete in Win32 too: resources stay loaded, and the call reports FALSE.
BOOL FreeResource(HGLOBAL hResData) {
  (void)hResData;
  return FALSE;
}

namespace platform {

bool RegisterResource(const char* name, const char* type, const void* data, size_t size) {
  TResource resource;
  if (!TResourceId::Parse(type, resource.Type) || !TResourceId::Parse(name, resource.Name) ||
      (data == nullptr && size != 0) || size > 0xFFFFFFFFu)
    return false;
  resource.Data = data;
  resource.Size = static_cast<DWORD>(size);
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  for (const TResource& other : registry.Resources)
    if (other.Type == resource.Type && other.Name == resource.Name)
      return false; // the first registration stands, as a duplicate would not link on Windows
  registry.Resources.push_back(std::move(resource));
  return true;
}

} // namespace platform

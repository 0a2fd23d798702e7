#include "serial/StringResource.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

// Defined by the file resgen generates from strmgr.tsv; calling it keeps that file linked.
void RegisterResource_SIO_STRMGR_STRINGS();

namespace {

enum : int32_t {
  smNotFound = 1,
  smCannotLock = 2,
  smResourceNotFound = 3,
  smCannotOpen = 4,
  smInvalidTable = 5
};

constexpr char ResID[4] = {'S', 'T', 'R', '0'};
constexpr size_t HeaderSize = 8, EntrySize = 12;
constexpr size_t MaxResName = 255;

std::atomic<TSioStringResource*> GStringManager{nullptr};
// The tables whose lock this thread holds. A failure raised under the string manager's own
// lock is worded without a lookup, which would take that lock again.
constexpr int MaxHeld = 8;
thread_local const TSioStringResource* GHeld[MaxHeld];
thread_local int GHeldCount = 0;

struct TTableLockMark {
  explicit TTableLockMark(const TSioStringResource* table) {
    if (GHeldCount < MaxHeld) GHeld[GHeldCount] = table;
    ++GHeldCount;
  }
  ~TTableLockMark() { --GHeldCount; }
  TTableLockMark(const TTableLockMark&) = delete;
  TTableLockMark& operator=(const TTableLockMark&) = delete;
};

bool HeldByThisThread(const TSioStringResource* table) {
  if (GHeldCount > MaxHeld) return true;
  return std::find(GHeld, GHeld + GHeldCount, table) != GHeld + GHeldCount;
}

// The string manager words its own failures from its table; while that table is not open yet,
// or cannot be read now, the built-in English texts stand in (they are the same words).
std::string StringManagerText(int32_t ident) {
  static const char* const Fallback[] = {"",
                                         "String not found: %d",
                                         "Cannot lock resource",
                                         "String resource not found: %s",
                                         "Unable to open string resource: %s",
                                         "Invalid string table resource"};
  std::string text;
  TSioStringResource* manager = GStringManager.load(std::memory_order_acquire);
  if (manager != nullptr && !HeldByThisThread(manager)) {
    try {
      text = manager->GetString(ident);
    } catch (...) {
      text.clear();
    }
  }
  if (text.empty() && ident >= 1 && ident <= 5) text = Fallback[ident];
  return text;
}

// Replaces the first %d or %s of a table text; table texts never reach printf.
std::string InsertArgument(std::string text, const std::string& argument) {
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '%' && (text[i + 1] == 'd' || text[i + 1] == 's'))
      return text.replace(i, 2, argument);
  return text;
}

[[noreturn]] void RaiseStringError(int32_t ident, const std::string& argument = std::string()) {
  throw EStringResourceError(InsertArgument(StringManagerText(ident), argument));
}

uint32_t ReadLE32(const BYTE* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The entry count, or -1 when the header or the entry array does not fit in `size` bytes.
int64_t EntryCount(const BYTE* data, DWORD size) {
  if (data == nullptr || size < HeaderSize || std::memcmp(data, ResID, sizeof ResID) != 0)
    return -1;
  int32_t count = static_cast<int32_t>(ReadLE32(data + 4));
  if (count < 0 || (size - HeaderSize) / EntrySize < uint32_t(count)) return -1;
  return count;
}

bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// The tables hold UTF-16; WCHAR is wchar_t on Windows (16 bits there) and char16_t elsewhere.
static_assert(sizeof(WCHAR) == sizeof(char16_t));
LPCWSTR Wide(const char16_t* text) {
  return reinterpret_cast<LPCWSTR>(text);
}

int AnsiLength(const char16_t* text, size_t length) {
  if (length == 0) return 0;
  return WideCharToMultiByte(CP_ACP, 0, Wide(text), static_cast<int>(length), nullptr, 0, nullptr,
                             nullptr);
}

} // namespace

TSioStringResource::TSioStringResource(HMODULE module, const std::string& resourceName) {
  ChangeResource(module, resourceName);
}

TSioStringResource::~TSioStringResource() {
  TSioStringResource* self = this;
  GStringManager.compare_exchange_strong(self, nullptr);
  srCloseResource();
}

void TSioStringResource::ChangeResource(HMODULE module, const std::string& resourceName) {
  std::unique_lock lock(FTableLock);
  TTableLockMark mark(this);
  srCloseResource();
  if (resourceName.empty()) return;
  try {
    srOpenResource(module, resourceName);
  } catch (...) {
    srCloseResource();
    throw;
  }
}

void TSioStringResource::srOpenResource(HMODULE module, const std::string& resourceName) {
  srLoadResource(module, resourceName);
  TTableView view = srLock();
  bool valid = view.Data != nullptr; // srLock checked the count; a bad header leaves it unset
  srUnLock(view);
  if (!valid) RaiseStringError(smInvalidTable);
}

void TSioStringResource::srLoadResource(HMODULE module, const std::string& resourceName) {
  FResName = resourceName.substr(0, MaxResName);
  HMODULE main = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, FResName.c_str(), RT_RCDATA);
  if (info == nullptr && module != main) {
    module = main;
    info = FindResourceA(module, FResName.c_str(), RT_RCDATA);
  }
  if (info == nullptr) RaiseStringError(smResourceNotFound, FResName);
  HGLOBAL handle = LoadResource(module, info);
  if (handle == nullptr) RaiseStringError(smCannotOpen, FResName);
  FModule = module;
  FResInfo = info;
  FResHandle = handle;
}

void TSioStringResource::srCloseResource() {
  // No data pointer outlives a lookup here, so there is nothing to unlock first.
  if (FResHandle != nullptr) FreeResource(FResHandle);
  FResHandle = nullptr;
  FResInfo = nullptr;
  FModule = nullptr;
}

TSioStringResource::TTableView TSioStringResource::srLock() const {
  const BYTE* data = FResHandle ? static_cast<const BYTE*>(LockResource(FResHandle)) : nullptr;
  if (data == nullptr) RaiseStringError(smCannotLock);
  TTableView view;
  DWORD size = SizeofResource(FModule, FResInfo);
  int64_t count = EntryCount(data, size);
  if (count >= 0) {
    view.Data = data;
    view.Size = size;
    view.Count = static_cast<uint32_t>(count);
  }
  return view;
}

void TSioStringResource::srUnLock(TTableView& view) const {
  view = TTableView();
}

bool TSioStringResource::srFindIdent(const TTableView& view, int32_t ident,
                                     std::u16string& text) const {
  int64_t lo = 0, hi = int64_t(view.Count) - 1;
  while (lo <= hi) {
    int64_t mid = (lo + hi) / 2;
    const BYTE* entry = view.Data + HeaderSize + EntrySize * size_t(mid);
    int32_t entryIdent = static_cast<int32_t>(ReadLE32(entry));
    if (entryIdent == ident) {
      uint32_t offset = ReadLE32(entry + 4), length = ReadLE32(entry + 8);
      // A text reaching past the resource is treated as missing rather than read.
      if (offset > view.Size || length > (view.Size - offset) / 2 || length > INT_MAX / 4) break;
      text.resize(length);
      const BYTE* p = view.Data + offset;
      for (uint32_t i = 0; i < length; ++i)
        text[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
      return true;
    }
    if (entryIdent < ident)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  if (FReportError.load()) RaiseStringError(smNotFound, std::to_string(ident));
  return false;
}

std::u16string TSioStringResource::LookUp(int32_t ident) const {
  std::shared_lock lock(FTableLock);
  TTableLockMark mark(this);
  TTableView view = srLock();
  std::u16string text;
  try {
    if (view.Data != nullptr) srFindIdent(view, ident, text);
  } catch (...) {
    srUnLock(view);
    throw;
  }
  srUnLock(view);
  return text;
}

std::string TSioStringResource::GetString(int32_t ident) {
  std::u16string text = LookUp(ident);
  int need = AnsiLength(text.data(), text.size());
  if (need <= 0) return std::string();
  std::string out(static_cast<size_t>(need), '\0');
  int n = WideCharToMultiByte(CP_ACP, 0, Wide(text.data()), static_cast<int>(text.size()),
                              out.data(), need, nullptr, nullptr);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

WCHAR* TSioStringResource::GetWideChar(int32_t ident, WCHAR* buffer, int bufferSize) {
  if (buffer == nullptr || bufferSize < 1) return buffer;
  buffer[0] = 0;
  std::u16string text = LookUp(ident);
  size_t n = std::min(text.size(), size_t(bufferSize) - 1);
  if (n > 0 && n < text.size() && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n])) --n;
  std::copy_n(text.data(), n, buffer);
  buffer[n] = 0;
  return buffer;
}

char* TSioStringResource::GetAsciiZ(int32_t ident, char* buffer, int bufferSize) {
  if (buffer == nullptr || bufferSize < 1) return buffer;
  buffer[0] = '\0';
  std::u16string text = LookUp(ident);
  // Every UTF-16 unit or pair takes at least one byte, so longer prefixes can never fit.
  size_t n = std::min(text.size(), 2 * size_t(bufferSize) - 1);
  int need = 0;
  for (;;) {
    if (n > 0 && n < text.size() && IsHighSurrogate(text[n - 1]) && IsLowSurrogate(text[n])) {
      --n; // half a cut pair would come out as a default character
      continue;
    }
    need = AnsiLength(text.data(), n);
    if (need < bufferSize) break;
    n -= (n >= 2 && IsLowSurrogate(text[n - 1]) && IsHighSurrogate(text[n - 2])) ? 2 : 1;
  }
  if (need > 0)
    need = WideCharToMultiByte(CP_ACP, 0, Wide(text.data()), static_cast<int>(n), buffer,
                               bufferSize - 1, nullptr, nullptr);
  buffer[std::max(need, 0)] = '\0';
  return buffer;
}

TSioStringResource* SioResStrings() {
  static TSioStringResource* const instance = [] {
    RegisterResource_SIO_STRMGR_STRINGS();
    static TSioStringResource strings(GetModuleHandleA(nullptr), "SIO_STRMGR_STRINGS");
    GStringManager.store(&strings, std::memory_order_release);
    return &strings;
  }();
  return instance;
}

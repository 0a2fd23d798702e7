#include <windows.h>

#include "runtime/SysUtils.h"

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

namespace {

DWORD Attributes(const std::string& name) {
  return name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(Utf8ToWide(name).c_str());
}

} // namespace

std::string ExpandFileName(const std::string& fileName) {
  std::wstring name = Utf8ToWide(fileName.empty() ? "." : fileName);
  DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (n == 0) return fileName;
  std::wstring out(n, L'\0');
  n = GetFullPathNameW(name.c_str(), n, out.data(), nullptr);
  if (n == 0 || n >= out.size()) return fileName;
  out.resize(n);
  return WideToUtf8(out);
}

bool FileExists(const std::string& fileName) {
  DWORD a = Attributes(fileName);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& dir) {
  DWORD a = Attributes(dir);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder's rights are in its access list, which no attribute tells: a file is made there
// and let go again (deleted as its handle closes).
bool DirectoryWritable(const std::string& dir) {
  if (!DirectoryExists(dir)) return false;
  std::string probe = IncludeTrailingPathDelimiter(dir) + ".fwload-write-test." +
                      std::to_string(GetCurrentProcessId()) + "." +
                      std::to_string(GetCurrentThreadId());
  HANDLE h = CreateFileW(Utf8ToWide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool CreateDir(const std::string& dir) {
  return CreateDirectoryW(Utf8ToWide(dir).c_str(), nullptr) != 0;
}

std::string GetCurrentDir() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::string();
  std::wstring out(n, L'\0');
  n = GetCurrentDirectoryW(n, out.data());
  if (n == 0 || n >= out.size()) return std::string();
  out.resize(n);
  return WideToUtf8(out);
}

bool SetCurrentDir(const std::string& dir) {
  return !dir.empty() && SetCurrentDirectoryW(Utf8ToWide(dir).c_str()) != 0;
}

std::string ParamStr0() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    // A name that filled the buffer may have been cut.
    if (n < buf.size()) {
      buf.resize(n);
      return WideToUtf8(buf);
    }
    if (buf.size() >= 32768) return std::string();
    buf.resize(buf.size() * 2);
  }
}

#include "../FileIo.h"

#include <atomic>
#include <windows.h>

#include "runtime/SysUtils.h"

namespace {

bool WriteAll(HANDLE h, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(h, data.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

} // namespace

TFileRead ReadRegularFile(const std::string& fileName, long long maxSize, std::string& data) {
  // Others may read, write and replace the file while it is open here, as on other systems.
  HANDLE h = CreateFileW(Utf8ToWide(fileName).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    return (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) ? TFileRead::Missing
                                                                        : TFileRead::Failed;
  }
  // FILE_TYPE_DISK: a file, not a console, pipe or serial port.
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size) || size.QuadPart > maxSize) {
    CloseHandle(h);
    return TFileRead::Failed;
  }
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr) ||
        static_cast<long long>(data.size()) + n > maxSize) {
      CloseHandle(h);
      return TFileRead::Failed;
    }
    if (n == 0) break;
    data.append(buf, n);
  }
  CloseHandle(h);
  return TFileRead::Ok;
}

bool ReplaceFileContents(const std::string& fileName, const std::string& data) {
  std::wstring target = Utf8ToWide(fileName);
  static std::atomic<unsigned> counter{0};
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = target + Utf8ToWide(".~" + std::to_string(GetCurrentProcessId()) + "." +
                               std::to_string(counter++));
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, data) && FlushFileBuffers(h);
  ok = CloseHandle(h) && ok;
  // A rename onto an existing file fails here: ReplaceFileW swaps the new file in and keeps
  // the old one's attributes and access list; a file not there yet is simply moved in place.
  if (ok)
    ok = ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr) ||
         MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

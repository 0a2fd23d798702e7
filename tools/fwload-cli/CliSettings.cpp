#include "CliSettings.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "runtime/IniFiles.h"

namespace {

std::string TooLarge() {
  return "larger than " + std::to_string(MaxIniFileSize >> 20) + " MiB";
}

} // namespace

#ifdef _WIN32
std::string SettingsFileProblem(const std::string& fileName) {
  std::wstring name = Utf8ToWide(fileName);
  // A folder opens only with backup semantics; without them it would read as "no permission".
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return "not a regular file";
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_NAME)
      return "not found";
    if (err == ERROR_ACCESS_DENIED) return "no permission";
    return std::system_category().message(static_cast<int>(err));
  }
  std::string problem;
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK)
    problem = "not a regular file";
  else if (!GetFileSizeEx(h, &size))
    problem = std::system_category().message(static_cast<int>(GetLastError()));
  else if (size.QuadPart > MaxIniFileSize)
    problem = TooLarge();
  CloseHandle(h);
  return problem;
}
#else
std::string SettingsFileProblem(const std::string& fileName) {
  // Non-blocking, as the reader opens it: a pipe without a writer must not hang the check.
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) return "not found";
    if (err == EACCES || err == EPERM) return "no permission";
    return std::strerror(err);
  }
  struct stat st {};
  std::string problem;
  if (fstat(fd, &st) != 0)
    problem = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    problem = "not a regular file";
  else if (st.st_size > MaxIniFileSize)
    problem = TooLarge();
  ::close(fd);
  return problem;
}
#endif

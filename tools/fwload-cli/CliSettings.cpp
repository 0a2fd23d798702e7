#include "CliSettings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/IniFiles.h"

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
    problem = "larger than " + std::to_string(MaxIniFileSize >> 20) + " MiB";
  ::close(fd);
  return problem;
}

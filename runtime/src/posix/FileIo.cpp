#include "../FileIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace {

// Where the file really lives: a link is followed so that the rename replaces the file it
// points to, not the link.
std::string TargetPath(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return resolved;
  }
  return path;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

TFileRead ReadRegularFile(const std::string& fileName, long long maxSize, std::string& data) {
  // Non-blocking, so that a pipe without a writer cannot hang the open.
  int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? TFileRead::Missing : TFileRead::Failed;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxSize) {
    close(fd);
    return TFileRead::Failed;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || static_cast<long long>(data.size()) + std::max<ssize_t>(n, 0) > maxSize) {
      close(fd);
      return TFileRead::Failed;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return TFileRead::Ok;
}

bool ReplaceFileContents(const std::string& fileName, const std::string& data) {
  std::string target = TargetPath(fileName);
  struct stat st;
  bool existed = stat(target.c_str(), &st) == 0;
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".~" + std::to_string(getpid()) + "." + std::to_string(counter++);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return false;
  bool ok =
      WriteAll(fd, data) && (!existed || fchmod(fd, st.st_mode & 07777) == 0) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk only with its folder; the new file is in place by now,
  // so a folder that cannot be synced is no failure of the write.
  std::string dir = ExtractFileDir(target);
  int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)fsync(dirFd);
    close(dirFd);
  }
  return true;
}

// A program run as a child process: started with arguments, its standard output read as it
// comes (lines or text), standard error collected, a signal sent, the exit awaited with a
// bound through a pidfd; killed if still running at the end. Also counters of this process.
#pragma once

#include <algorithm>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/Wait.h"

extern char** environ;

namespace support {

class TProcess {
public:
  std::string OutText; // everything read from standard output so far
  std::string ErrText; // standard error, read at the exit

  TProcess(const std::string& program, std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    FOut = out[0];
    FErr = err[0];
  }
  ~TProcess() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FOut >= 0) ::close(FOut);
    if (FErr >= 0) ::close(FErr);
  }
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  pid_t Pid() const { return FPid; }
  bool Signal(int signal) const { return FPid > 0 && kill(FPid, signal) == 0; }

  // The next line of standard output (without its line break); what has come so far when
  // the output ends or `timeoutMs` passes first.
  std::string ReadLine(int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    size_t end;
    while ((end = OutText.find('\n', FLineStart)) == std::string::npos && ReadSome(deadline)) {
    }
    if (end == std::string::npos) end = OutText.size();
    std::string line = OutText.substr(FLineStart, end - FLineStart);
    FLineStart = std::min(end + 1, OutText.size());
    return line;
  }

  // Reads standard output until it holds `line` as a whole line; false at its end or after
  // `timeoutMs`.
  bool WaitForLine(const std::string& line, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
      if (("\n" + OutText).find("\n" + line + "\n") != std::string::npos) return true;
      if (!ReadSome(deadline)) return false;
    }
  }

  // The exit status (128 + signal when killed), or -1 when it has not ended in `timeoutMs`.
  // Both streams are read to their end.
  int WaitExit(int timeoutMs) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
    if (pidfd < 0) return -1;
    pollfd p{pidfd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    ::close(pidfd);
    int status = 0;
    if (ready <= 0 || waitpid(FPid, &status, 0) != FPid) return -1;
    FPid = -1;
    Drain(FOut, OutText);
    Drain(FErr, ErrText);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  bool ReadSome(long long deadline) {
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{FOut, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(FOut, buf, sizeof buf);
    if (n <= 0) return false;
    OutText.append(buf, static_cast<size_t>(n));
    return true;
  }
  static void Drain(int fd, std::string& text) {
    char buf[4096];
    ssize_t n;
    // The writer has ended: the pipe gives what is left, then its end.
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
      text.append(buf, static_cast<size_t>(n));
  }

  pid_t FPid = -1;
  size_t FLineStart = 0; // where ReadLine goes on
  int FOut = -1;
  int FErr = -1;
};

inline int CountDirEntries(const char* path) {
  DIR* dir = opendir(path);
  if (!dir) return -1;
  int count = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}
// Open descriptors of this process (the directory stream's own one excluded).
inline int OpenFdCount() {
  return CountDirEntries("/proc/self/fd") - 1;
}
inline int ThreadCount() {
  return CountDirEntries("/proc/self/task");
}
// The count to compare with: a sanitizer starts a thread of its own with the first thread.
inline int BaselineThreadCount() {
  std::thread([] {}).join();
  return ThreadCount();
}
inline double ProcessCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

} // namespace support

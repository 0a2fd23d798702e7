// fwload-sim run as a program: started with arguments, its first output line (the slave's
// path) read, ended by a signal and awaited through a pidfd.
#pragma once

#include <chrono>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct TSimProcess {
  pid_t Pid = -1;
  int Out = -1;

  explicit TSimProcess(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    args.insert(args.begin(), FWLOAD_SIM_PATH);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&Pid, FWLOAD_SIM_PATH, &fa, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    Out = fds[0];
  }
  ~TSimProcess() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Out >= 0) ::close(Out);
  }
  TSimProcess(const TSimProcess&) = delete;
  TSimProcess& operator=(const TSimProcess&) = delete;

  std::string ReadLine(int timeoutMs) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd p{Out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      if (::read(Out, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }
  // The exit status, or -1 when it has not ended within `timeoutMs`.
  int WaitExit(int timeoutMs) {
    // A pidfd becomes readable when the child ends.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
    if (pidfd < 0) return -1;
    pollfd p{pidfd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    ::close(pidfd);
    int status = 0;
    if (ready <= 0 || waitpid(Pid, &status, 0) != Pid) return -1;
    Pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

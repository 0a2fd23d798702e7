// fwload-cli run as a program: its standard output read line by line as it comes, standard
// error collected, a signal sent, the exit awaited through a pidfd.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct TCliProcess {
  pid_t Pid = -1;
  int Out = -1;
  int Err = -1;
  std::string OutText; // everything read from standard output so far
  std::string ErrText;

  explicit TCliProcess(std::vector<std::string> args,
                       const std::string& program = FWLOAD_CLI_PATH) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&Pid, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    Out = out[0];
    Err = err[0];
  }
  ~TCliProcess() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Out >= 0) ::close(Out);
    if (Err >= 0) ::close(Err);
  }
  TCliProcess(const TCliProcess&) = delete;
  TCliProcess& operator=(const TCliProcess&) = delete;

  // Reads standard output until it holds `line` as a whole line; false at its end or after
  // `timeoutMs`.
  bool WaitForLine(const std::string& line, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (("\n" + OutText).find("\n" + line + "\n") != std::string::npos) return true;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{Out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[4096];
      ssize_t n = ::read(Out, buf, sizeof buf);
      if (n <= 0) return false;
      OutText.append(buf, static_cast<size_t>(n));
    }
  }
  // The exit status (128 + signal when killed), or -1 when it has not ended in `timeoutMs`.
  // Both streams are read to their end.
  int WaitExit(int timeoutMs) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
    if (pidfd < 0) return -1;
    pollfd p{pidfd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    ::close(pidfd);
    int status = 0;
    if (ready <= 0 || waitpid(Pid, &status, 0) != Pid) return -1;
    Pid = -1;
    Drain(Out, OutText);
    Drain(Err, ErrText);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

private:
  static void Drain(int fd, std::string& text) {
    char buf[4096];
    ssize_t n;
    // The writer has ended: the pipe gives what is left, then its end.
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
      text.append(buf, static_cast<size_t>(n));
  }
};

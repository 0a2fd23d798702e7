#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

#include "CliStop.h"

namespace {

std::atomic<TCliStop*> SignalTarget{nullptr};
// KeepStopSignalsForSecond: signals taken so far, the third restores the default action.
std::atomic<int> SignalsTaken{-1};

void DefaultStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

void OnStopSignal(int) {
  int saved = errno;
  if (TCliStop* stop = SignalTarget.load()) stop->Request();
  // sigaction is async-signal-safe: after the second, the next signal ends the program.
  if (SignalsTaken.load() >= 0 && ++SignalsTaken >= 2) DefaultStopSignals();
  errno = saved;
}

} // namespace

TCliStop::TCliStop() {
  FSignalFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  FQuitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FSignalFd < 0 || FQuitFd < 0) throw std::runtime_error("no eventfd for the stop watcher");
}

TCliStop::~TCliStop() {
  StopWatcher();
  ::close(FSignalFd);
  ::close(FQuitFd);
}

void TCliStop::Request() {
  uint64_t one = 1;
  // A full counter still leaves the descriptor readable: nothing is lost.
  [[maybe_unused]] ssize_t n = ::write(FSignalFd, &one, sizeof one);
}

void TCliStop::StopWatcher() {
  if (!FWatcher.joinable()) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(FQuitFd, &one, sizeof one);
  FWatcher.join();
  uint64_t value;
  n = ::read(FQuitFd, &value, sizeof value);
}

void TCliStop::Watch() {
  for (;;) {
    pollfd fds[2] = {{FSignalFd, POLLIN, 0}, {FQuitFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t value = 0;
      [[maybe_unused]] ssize_t n = ::read(FSignalFd, &value, sizeof value);
      // Two signals may be read as one count; a graceful stop tells them apart.
      for (uint64_t i = 0; i < value && i < 2; ++i)
        StopHosts();
    }
    if (fds[1].revents & POLLIN) return;
  }
}

void InstallStopSignals(TCliStop& stop) {
  SignalTarget = &stop;
  struct sigaction sa {};
  sa.sa_handler = &OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // The first signal stops the uploads; should that hang, the same signal again ends the
  // program the ordinary way.
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal must not leave the port half written and held.
  sigaction(SIGHUP, &sa, nullptr);
}

void RemoveStopSignals() {
  DefaultStopSignals();
  SignalTarget = nullptr;
  SignalsTaken = -1;
}

void KeepStopSignalsForSecond() {
  if (!SignalTarget.load()) return;
  SignalsTaken = 0;
  struct sigaction sa {};
  sa.sa_handler = &OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

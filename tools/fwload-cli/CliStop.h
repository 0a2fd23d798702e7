// TCliStop: the user's stop reaching every running upload. On POSIX systems SIGINT, SIGTERM and
// SIGHUP: a signal handler may only write to a descriptor, so it writes to an eventfd. On
// Windows Ctrl-C, Ctrl-Break and the console's closing, through the console's control handler,
// which sets an event. A watcher thread waits for it and takes the upload hosts' ordinary Stop
// path from there. The system's half lives in CliStopPosix.cpp / CliStopWindows.cpp.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/PlainUploadHost.h"

class TCliStop {
public:
  TCliStop();
  ~TCliStop();
  TCliStop(const TCliStop&) = delete;
  TCliStop& operator=(const TCliStop&) = delete;

  // Async-signal-safe: one write to the eventfd (on Windows: one SetEvent).
  void Request();
  // Set once the watcher has taken a request.
  bool Requested() const { return FRequested.load(); }
  // Set once running uploads are to end: at the first request, or with SetGraceful at the second.
  bool StopsUploads() const { return FImmediate.load(); }
  // A station's stop: the first request only ends the waiting (uploads in progress finish), the
  // second stops the uploads. `told` hears of each, from the watcher thread, with
  // StopsUploads() as its argument. Call before StartWatcher.
  void SetGraceful(std::function<void(bool)> told);

  // A host is told at once if a stop was already taken; detach before it goes away.
  void Attach(TPlainUploadHost* host);
  void Detach(TPlainUploadHost* host);

  void StartWatcher();
  // Ends the watcher; a request not yet taken is dropped.
  void StopWatcher();

private:
  void Watch();
  // The watcher has taken a request: every host is told (with SetGraceful: from the second).
  void StopHosts();

#ifdef _WIN32
  void* FSignalEvent = nullptr;
  void* FQuitEvent = nullptr;
#else
  int FSignalFd = -1;
  int FQuitFd = -1;
#endif
  std::atomic<bool> FRequested{false};
  std::atomic<bool> FImmediate{false};
  bool FGraceful = false;
  std::function<void(bool)> FTold;
  std::mutex FLock;
  std::vector<TPlainUploadHost*> FHosts;
  std::thread FWatcher;
};

// SIGINT, SIGTERM and SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break and close) go to
// `stop` until RemoveStopSignals.
void InstallStopSignals(TCliStop& stop);
void RemoveStopSignals();
// After InstallStopSignals, for a station: the second signal is taken too (it stops the uploads)
// and only a third ends the program at once.
void KeepStopSignalsForSecond();

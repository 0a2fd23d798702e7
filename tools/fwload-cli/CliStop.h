// TCliStop: the user's stop (SIGINT, SIGTERM, SIGHUP) reaching every running upload. A signal
// handler may only write to a descriptor, so it writes to an eventfd; a watcher thread reads it and
// takes the upload hosts' ordinary Stop path from there.
#pragma once

#include <atomic>
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

  // Async-signal-safe: one write to the eventfd.
  void Request();
  // Set once the watcher has taken a request.
  bool Requested() const { return FRequested.load(); }

  // A host is told at once if a stop was already taken; detach before it goes away.
  void Attach(TPlainUploadHost* host);
  void Detach(TPlainUploadHost* host);

  void StartWatcher();
  // Ends the watcher; a request not yet taken is dropped.
  void StopWatcher();

private:
  void Watch();

  int FSignalFd = -1;
  int FQuitFd = -1;
  std::atomic<bool> FRequested{false};
  std::mutex FLock;
  std::vector<TPlainUploadHost*> FHosts;
  std::thread FWatcher;
};

// SIGINT, SIGTERM and SIGHUP go to `stop` until RemoveStopSignals.
void InstallStopSignals(TCliStop& stop);
void RemoveStopSignals();

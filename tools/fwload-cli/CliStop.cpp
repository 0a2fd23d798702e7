#include "CliStop.h"

#include <algorithm>

void TCliStop::Attach(TPlainUploadHost* host) {
  std::lock_guard<std::mutex> lock(FLock);
  FHosts.push_back(host);
  if (FImmediate.load()) host->Stop();
}

void TCliStop::Detach(TPlainUploadHost* host) {
  std::lock_guard<std::mutex> lock(FLock);
  FHosts.erase(std::remove(FHosts.begin(), FHosts.end(), host), FHosts.end());
}

void TCliStop::StartWatcher() {
  if (!FWatcher.joinable()) FWatcher = std::thread([this] { Watch(); });
}

void TCliStop::SetGraceful(std::function<void(bool)> told) {
  FGraceful = true;
  FTold = std::move(told);
}

void TCliStop::StopHosts() {
  const bool immediate = !FGraceful || FRequested.load();
  // Set before the hosts are told, so that a host attached later sees it in Attach and an
  // upload that starts later sees it in its busy check.
  FRequested = true;
  if (immediate) {
    FImmediate = true;
    std::lock_guard<std::mutex> lock(FLock);
    for (TPlainUploadHost* host : FHosts)
      host->Stop();
  }
  if (FTold) FTold(immediate);
}

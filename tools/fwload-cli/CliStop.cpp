#include "CliStop.h"

#include <algorithm>

void TCliStop::Attach(TPlainUploadHost* host) {
  std::lock_guard<std::mutex> lock(FLock);
  FHosts.push_back(host);
  if (FRequested.load()) host->Stop();
}

void TCliStop::Detach(TPlainUploadHost* host) {
  std::lock_guard<std::mutex> lock(FLock);
  FHosts.erase(std::remove(FHosts.begin(), FHosts.end(), host), FHosts.end());
}

void TCliStop::StartWatcher() {
  if (!FWatcher.joinable()) FWatcher = std::thread([this] { Watch(); });
}

void TCliStop::StopHosts() {
  // Set before the hosts are told, so that a host attached later sees it in Attach and an
  // upload that starts later sees it in its busy check.
  FRequested = true;
  std::lock_guard<std::mutex> lock(FLock);
  for (TPlainUploadHost* host : FHosts)
    host->Stop();
}

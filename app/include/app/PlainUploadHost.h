// TPlainUploadHost: an upload host without a window, for fwload-cli and the tests. It keeps the
// log lines and gauge values it is given, pumps the calling thread's platform message queue,
// and sleeps in MsgWaitForMultipleObjects until a message, a Wake or the time-out.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/UploadEngine.h"
#include "platform/Win32.h"

class TPlainUploadHost : public TUploadHost {
public:
  TPlainUploadHost();
  ~TPlainUploadHost() override;
  TPlainUploadHost(const TPlainUploadHost&) = delete;
  TPlainUploadHost& operator=(const TPlainUploadHost&) = delete;

  void SetIdle(bool idle) override;
  bool Busy() override { return FBusy.load(); }
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void SetProgress(long percent) override;
  // A WM_QUIT taken from the queue stops the upload, as the program is ending.
  void ProcessMessages() override;
  void WaitForActivity(uint32_t timeoutMs) override;
  void Wake() override;
  uint32_t TickCount() override;

  // The user's Stop, from any thread: clears the busy flag and ends the current wait.
  void Stop();
  // Added to every tick reading (to run a wait across the counter's wrap).
  void SetTickOffset(uint32_t offset) { FTickOffset = offset; }

  std::vector<std::string> Log() const;
  std::vector<long> Progress() const;
  // Called as lines, values and state changes arrive (on the uploading thread).
  std::function<void(const std::string&)> OnLogLine;
  std::function<void(long)> OnProgress;
  std::function<void(bool)> OnIdle;

private:
  HANDLE FWakeEvent;
  std::atomic<bool> FBusy{false};
  std::atomic<uint32_t> FTickOffset{0};
  mutable std::mutex FLock;
  std::vector<std::string> FLog;
  std::vector<long> FProgress;
};

// TDispatcherUploadPort: the upload's port operations on a dispatcher, its result codes turned
// into the serial library's exceptions as the port component turns them.
#pragma once

#include <atomic>

#include "app/UploadEngine.h"
#include "serial/Dispatcher.h"

class TDispatcherUploadPort : public TUploadPort {
public:
  explicit TDispatcherUploadPort(TSioBaseDispatcher& dispatcher) : FDispatcher(dispatcher) {}
  ~TDispatcherUploadPort() override;

  void FlushOutBuffer() override;
  void FlushInBuffer() override;
  void PutBlock(const void* block, uint16_t length) override;
  bool CharReady() override;
  char GetChar() override;
  void SetReceiveWake(TWake wake, void* context) override;

private:
  static void OnReceived(void* context, TSioBaseDispatcher* dispatcher);

  TSioBaseDispatcher& FDispatcher;
  // Read on the dispatch thread; set before the notification is installed.
  std::atomic<TWake> FWake{nullptr};
  std::atomic<void*> FWakeContext{nullptr};
};

// TDispatcherUploadPort: the upload's port operations on a dispatcher, its result codes turned
// into the serial library's exceptions as the port component turns them.
#pragma once

#include <atomic>

#include "app/UploadEngine.h"
#include "serial/Dispatcher.h"

// Milliseconds that `length` bytes take on a line set up as `dcb`: a start bit, the data bits,
// a parity bit unless NOPARITY, and 1, 1.5 or 2 stop bits per byte; rounded up. 0 without a
// speed.
uint32_t LineTimeMs(const DCB& dcb, size_t length);

// The driver's received bytes not yet moved into the dispatcher's ring.
bool DriverInputPending(TSioBaseDispatcher& dispatcher);

class TDispatcherUploadPort : public TUploadPort {
public:
  explicit TDispatcherUploadPort(TSioBaseDispatcher& dispatcher) : FDispatcher(dispatcher) {}
  ~TDispatcherUploadPort() override;

  void FlushOutBuffer() override;
  void FlushInBuffer() override;
  void PutBlock(const void* block, uint16_t length) override;
  bool CharReady() override;
  char GetChar() override;
  size_t OutputSize() override;
  uint32_t WireTimeMs(size_t length) override;
  bool InputPending() override;
  void SetReceiveWake(TWake wake, void* context) override;

private:
  static void OnReceived(void* context, TSioBaseDispatcher* dispatcher);

  TSioBaseDispatcher& FDispatcher;
  // Read on the dispatch thread; set before the notification is installed.
  std::atomic<TWake> FWake{nullptr};
  std::atomic<void*> FWakeContext{nullptr};
};

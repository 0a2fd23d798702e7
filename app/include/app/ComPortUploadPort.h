// TComPortUploadPort: the upload's port operations on the serial port component, which raises
// its own exceptions; received bytes wake the upload through the component's dispatcher.
#pragma once

#include <atomic>

#include "app/UploadEngine.h"

class TSioBaseDispatcher;
class TSioCustomComPort;

class TComPortUploadPort : public TUploadPort {
public:
  explicit TComPortUploadPort(TSioCustomComPort& port) : FPort(port) {}
  ~TComPortUploadPort() override;
  TComPortUploadPort(const TComPortUploadPort&) = delete;
  TComPortUploadPort& operator=(const TComPortUploadPort&) = delete;

  void FlushOutBuffer() override;
  void FlushInBuffer() override;
  void PutBlock(const void* block, uint16_t length) override;
  bool CharReady() override;
  char GetChar() override;
  // The open port's transmit queue, else the component's OutSize (PutBlock may open it).
  size_t OutputSize() override;
  uint32_t WireTimeMs(size_t length) override;
  bool InputPending() override;
  void SetReceiveWake(TWake wake, void* context) override;

private:
  static void OnReceived(void* context, TSioBaseDispatcher* dispatcher);
  void RemoveNotify();

  TSioCustomComPort& FPort;
  // The dispatcher the notification was installed on (the component makes a new one at each
  // open, so the one to remove it from must be remembered).
  TSioBaseDispatcher* FNotified = nullptr;
  std::atomic<TWake> FWake{nullptr};
  std::atomic<void*> FWakeContext{nullptr};
};

#include "app/ComPortUploadPort.h"

#include "app/DispatcherUploadPort.h"

#include "serial/ComPort.h"
#include "serial/Dispatcher.h"

TComPortUploadPort::~TComPortUploadPort() {
  RemoveNotify();
}

void TComPortUploadPort::FlushOutBuffer() {
  FPort.FlushOutBuffer();
}

void TComPortUploadPort::FlushInBuffer() {
  FPort.FlushInBuffer();
}

void TComPortUploadPort::PutBlock(const void* block, uint16_t length) {
  FPort.PutBlock(block, length);
}

bool TComPortUploadPort::CharReady() {
  return FPort.CharReady();
}

char TComPortUploadPort::GetChar() {
  return FPort.GetChar();
}

size_t TComPortUploadPort::OutputSize() {
  TSioBaseDispatcher* dispatcher = FPort.GetDispatcher();
  if (!FPort.Open() || !dispatcher) return FPort.OutSize();
  unsigned inSize = 0, outSize = 0;
  dispatcher->BufferSizes(inSize, outSize);
  return outSize;
}

uint32_t TComPortUploadPort::WireTimeMs(size_t length) {
  TSioBaseDispatcher* dispatcher = FPort.GetDispatcher();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!FPort.Open() || !dispatcher || dispatcher->GetComState(dcb) != 0) return 0;
  return LineTimeMs(dcb, length);
}

bool TComPortUploadPort::InputPending() {
  TSioBaseDispatcher* dispatcher = FPort.GetDispatcher();
  return FPort.Open() && dispatcher && DriverInputPending(*dispatcher);
}

void TComPortUploadPort::RemoveNotify() {
  // Only on the dispatcher it was installed on, and only while the port still has it.
  if (FNotified && FPort.GetDispatcher() == FNotified)
    FNotified->SetReceiveNotify(nullptr, nullptr);
  FNotified = nullptr;
}

void TComPortUploadPort::SetReceiveWake(TWake wake, void* context) {
  RemoveNotify();
  FWake = wake;
  FWakeContext = context;
  if (!wake) return;
  FNotified = FPort.GetDispatcher();
  if (FNotified) FNotified->SetReceiveNotify(&TComPortUploadPort::OnReceived, this);
}

void TComPortUploadPort::OnReceived(void* context, TSioBaseDispatcher*) {
  auto* self = static_cast<TComPortUploadPort*>(context);
  if (TWake wake = self->FWake.load()) wake(self->FWakeContext.load());
}

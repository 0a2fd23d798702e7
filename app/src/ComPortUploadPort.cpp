#include "app/ComPortUploadPort.h"

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

#include "app/DispatcherUploadPort.h"

#include "serial/Exceptions.h"

TDispatcherUploadPort::~TDispatcherUploadPort() {
  if (FWake.load()) FDispatcher.SetReceiveNotify(nullptr, nullptr);
}

void TDispatcherUploadPort::FlushOutBuffer() {
  CheckException(nullptr, FDispatcher.FlushOutBuffer());
}

void TDispatcherUploadPort::FlushInBuffer() {
  CheckException(nullptr, FDispatcher.FlushInBuffer());
}

void TDispatcherUploadPort::PutBlock(const void* block, uint16_t length) {
  CheckException(nullptr, FDispatcher.PutBlock(block, length));
}

bool TDispatcherUploadPort::CharReady() {
  return FDispatcher.CharReady();
}

char TDispatcherUploadPort::GetChar() {
  char c = 0;
  CheckException(nullptr, FDispatcher.GetChar(c));
  return c;
}

void TDispatcherUploadPort::SetReceiveWake(TWake wake, void* context) {
  if (!wake) {
    // Once this returns the dispatch thread no longer calls OnReceived.
    FDispatcher.SetReceiveNotify(nullptr, nullptr);
    FWake = nullptr;
    FWakeContext = nullptr;
    return;
  }
  FWakeContext = context;
  FWake = wake;
  FDispatcher.SetReceiveNotify(&TDispatcherUploadPort::OnReceived, this);
}

void TDispatcherUploadPort::OnReceived(void* context, TSioBaseDispatcher*) {
  auto* self = static_cast<TDispatcherUploadPort*>(context);
  if (TWake wake = self->FWake.load()) wake(self->FWakeContext.load());
}

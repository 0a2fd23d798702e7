#include "app/DispatcherUploadPort.h"

#include "serial/Exceptions.h"

namespace {

// A dispatcher that is not open answers with the device's invalid-handle error; the port
// component reports a closed port as such, and so does this stand-in for it.
void CheckOpen(TSioBaseDispatcher& dispatcher) {
  if (dispatcher.ComHandle() < 0) CheckException(nullptr, ecCommNotOpen);
}

} // namespace

TDispatcherUploadPort::~TDispatcherUploadPort() {
  if (FWake.load()) FDispatcher.SetReceiveNotify(nullptr, nullptr);
}

void TDispatcherUploadPort::FlushOutBuffer() {
  CheckOpen(FDispatcher);
  CheckException(nullptr, FDispatcher.FlushOutBuffer());
}

void TDispatcherUploadPort::FlushInBuffer() {
  CheckOpen(FDispatcher);
  CheckException(nullptr, FDispatcher.FlushInBuffer());
}

void TDispatcherUploadPort::PutBlock(const void* block, uint16_t length) {
  CheckOpen(FDispatcher);
  CheckException(nullptr, FDispatcher.PutBlock(block, length));
}

bool TDispatcherUploadPort::CharReady() {
  CheckOpen(FDispatcher);
  return FDispatcher.CharReady();
}

char TDispatcherUploadPort::GetChar() {
  CheckOpen(FDispatcher);
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

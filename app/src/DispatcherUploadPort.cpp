#include "app/DispatcherUploadPort.h"

#include "serial/Exceptions.h"

namespace {

// A dispatcher that is not open answers with the device's invalid-handle error; the port
// component reports a closed port as such, and so does this stand-in for it.
void CheckOpen(TSioBaseDispatcher& dispatcher) {
  if (dispatcher.ComHandle() < 0) CheckException(nullptr, ecCommNotOpen);
}

} // namespace

uint32_t LineTimeMs(const DCB& dcb, size_t length) {
  const uint64_t speed = BaudCodeToSpeed(dcb.BaudRate);
  if (speed == 0) return 0;
  // In half bits, for 1.5 stop bits.
  const uint64_t stopHalves = dcb.StopBits == ONESTOPBIT ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 4;
  const uint64_t halves =
      2 * (1 + uint64_t{dcb.ByteSize} + (dcb.Parity != NOPARITY ? 1 : 0)) + stopHalves;
  const uint64_t ms = (length * halves * 1000 + 2 * speed - 1) / (2 * speed);
  return ms > UINT32_MAX / 2 ? UINT32_MAX / 2 : static_cast<uint32_t>(ms);
}

bool DriverInputPending(TSioBaseDispatcher& dispatcher) {
  COMSTAT st{};
  dispatcher.RefreshStatus(&st);
  return st.cbInQue > 0;
}

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

size_t TDispatcherUploadPort::OutputSize() {
  if (FDispatcher.ComHandle() < 0) return 0;
  unsigned inSize = 0, outSize = 0;
  FDispatcher.BufferSizes(inSize, outSize);
  return outSize;
}

uint32_t TDispatcherUploadPort::WireTimeMs(size_t length) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (FDispatcher.ComHandle() < 0 || FDispatcher.GetComState(dcb) != 0) return 0;
  return LineTimeMs(dcb, length);
}

bool TDispatcherUploadPort::InputPending() {
  return FDispatcher.ComHandle() >= 0 && DriverInputPending(FDispatcher);
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

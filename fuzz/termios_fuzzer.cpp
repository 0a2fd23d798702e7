// DCB <-> termios: a DCB and a termios image both taken from the input are mapped to termios
// and back. What termios holds must come back as it was set, bits and fields the mapping has
// no business with must stay as they were, and mapping the result again changes nothing.
#include "FuzzCheck.h"

#include "CommTermios.h"

#include <asm/termbits.h> // the constants CommTermios2.cpp maps with
#include <cstring>

using platform::comm::DcbToTermios;
using platform::comm::TermiosSpeed;
using platform::comm::TermiosToDcb;
using platform::comm::TTermiosImage;

namespace {

// The combinations a Windows serial driver takes (SetCommState refuses the others).
bool Acceptable(const DCB& dcb) {
  return dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
         dcb.StopBits <= TWOSTOPBITS && !(dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) &&
         !(dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS);
}

// Fields of a DCB termios has no notion of.
bool SameOtherFields(const DCB& a, const DCB& b) {
  return a.fBinary == b.fBinary && a.fOutxDsrFlow == b.fOutxDsrFlow &&
         a.fDtrControl == b.fDtrControl && a.fDsrSensitivity == b.fDsrSensitivity &&
         a.fTXContinueOnXoff == b.fTXContinueOnXoff && a.fErrorChar == b.fErrorChar &&
         a.fNull == b.fNull && a.fAbortOnError == b.fAbortOnError && a.fDummy2 == b.fDummy2 &&
         a.wReserved == b.wReserved && a.XonLim == b.XonLim && a.XoffLim == b.XoffLim &&
         a.ErrorChar == b.ErrorChar && a.EofChar == b.EofChar && a.EvtChar == b.EvtChar &&
         a.wReserved1 == b.wReserved1;
}

bool SameDcb(const DCB& a, const DCB& b) {
  return SameOtherFields(a, b) && a.DCBlength == b.DCBlength && a.BaudRate == b.BaudRate &&
         a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow && a.fOutX == b.fOutX &&
         a.fInX == b.fInX && a.fRtsControl == b.fRtsControl && a.ByteSize == b.ByteSize &&
         a.Parity == b.Parity && a.StopBits == b.StopBits && a.XonChar == b.XonChar &&
         a.XoffChar == b.XoffChar;
}

bool SameImage(const TTermiosImage& a, const TTermiosImage& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input is a DCB, then a termios image the driver might hold; what is missing is zero.
  DCB dcb;
  TTermiosImage image;
  std::memset(&dcb, 0, sizeof dcb);
  std::memset(&image, 0, sizeof image);
  size_t n = std::min(size, sizeof dcb);
  std::memcpy(&dcb, data, n);
  if (size > n) std::memcpy(&image, data + n, std::min(size - n, sizeof image));
  dcb.DCBlength = sizeof(DCB);

  (void)TermiosSpeed(image); // any image, whatever its speed code

  TTermiosImage mapped = image;
  DcbToTermios(dcb, mapped);
  FUZZ_CHECK(TermiosSpeed(mapped) == dcb.BaudRate);
  FUZZ_CHECK((mapped.CFlag & CBAUD) == BOTHER && mapped.ISpeed == dcb.BaudRate);
  // Only the bits the DCB speaks of change.
  const uint32_t cflagOwn =
      CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  FUZZ_CHECK((mapped.CFlag & ~cflagOwn) == (image.CFlag & ~cflagOwn));
  FUZZ_CHECK((mapped.IFlag & ~uint32_t(IXON | IXOFF | INPCK)) ==
             (image.IFlag & ~uint32_t(IXON | IXOFF | INPCK)));
  FUZZ_CHECK(mapped.OFlag == image.OFlag && mapped.LFlag == image.LFlag);
  FUZZ_CHECK(mapped.Line == image.Line);
  for (size_t i = 0; i < sizeof image.Cc; ++i)
    if (i != VSTART && i != VSTOP) FUZZ_CHECK(mapped.Cc[i] == image.Cc[i]);

  // Back into a DCB that started as another one: what termios holds comes from the image.
  DCB back;
  std::memset(&back, 0, sizeof back);
  if (size > n + sizeof image)
    std::memcpy(&back, data + n + sizeof image, std::min(size - n - sizeof image, sizeof back));
  DCB before = back;
  TermiosToDcb(mapped, back);
  FUZZ_CHECK(SameOtherFields(back, before) && back.DCBlength == sizeof(DCB));
  FUZZ_CHECK(back.BaudRate == dcb.BaudRate);
  FUZZ_CHECK(back.ByteSize == (dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8));
  FUZZ_CHECK(back.Parity == (dcb.Parity <= SPACEPARITY ? dcb.Parity : NOPARITY));
  if (dcb.StopBits == ONESTOPBIT)
    FUZZ_CHECK(back.StopBits == ONESTOPBIT);
  else
    FUZZ_CHECK(back.StopBits == (back.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS));
  bool handshake = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  FUZZ_CHECK(bool(back.fOutxCtsFlow) == handshake);
  FUZZ_CHECK((back.fRtsControl == RTS_CONTROL_HANDSHAKE) == handshake);
  if (!handshake && before.fRtsControl != RTS_CONTROL_HANDSHAKE)
    FUZZ_CHECK(back.fRtsControl == before.fRtsControl);
  FUZZ_CHECK(back.fOutX == dcb.fOutX && back.fInX == dcb.fInX && back.fParity == dcb.fParity);
  FUZZ_CHECK(back.XonChar == dcb.XonChar && back.XoffChar == dcb.XoffChar);

  // A DCB the driver takes, with the CTS and RTS handshakes set together, comes back whole.
  if (Acceptable(dcb) && bool(dcb.fOutxCtsFlow) == (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)) {
    DCB same = dcb;
    TermiosToDcb(mapped, same);
    FUZZ_CHECK(SameDcb(same, dcb));
  }

  // Mapping what came back again changes nothing.
  TTermiosImage again = mapped;
  DcbToTermios(back, again);
  FUZZ_CHECK(SameImage(again, mapped));
  return 0;
}

// The kernel's termios2 record and serial ioctls. No <termios.h> here: it clashes with
// <asm/termbits.h>, which is the only way to reach BOTHER speeds such as 14400.
#include "CommTermios.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace platform::comm {

static_assert(sizeof(termios2) == sizeof(TTermiosImage));
static_assert(offsetof(termios2, c_cc) == offsetof(TTermiosImage, Cc));
static_assert(offsetof(termios2, c_ospeed) == offsetof(TTermiosImage, OSpeed));
static_assert(NCCS == sizeof(TTermiosImage::Cc));

int ReadTermios(int fd, TTermiosImage& image) {
  termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  std::memcpy(static_cast<void*>(&image), &t, sizeof t);
  return 0;
}

int WriteTermios(int fd, const TTermiosImage& image) {
  termios2 t;
  std::memcpy(&t, &image, sizeof t);
  return ioctl(fd, TCSETS2, &t) != 0 ? errno : 0;
}

void MakeRaw(TTermiosImage& image) {
  // IXON is the line discipline's default, not a choice of an earlier user: a binary protocol
  // must not lose its 0x11 and 0x13 bytes to it.
  image.IFlag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY |
                   IMAXBEL | IGNPAR | IXON | IXOFF);
  // A break is reported through the counters; it must not turn up as a NUL in the data.
  image.IFlag |= IGNBRK;
  image.OFlag &= ~OPOST;
  image.LFlag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP | XCASE);
  image.CFlag |= CREAD | CLOCAL;
  image.Cc[VMIN] = 1;
  image.Cc[VTIME] = 0;
}

namespace {

struct TSpeedCode {
  uint32_t Code;
  uint32_t Speed;
};

const TSpeedCode ClassicSpeeds[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

} // namespace

uint32_t TermiosSpeed(const TTermiosImage& image) {
  uint32_t code = image.CFlag & CBAUD;
  if (code == BOTHER) return image.OSpeed;
  for (const TSpeedCode& s : ClassicSpeeds)
    if (s.Code == code) return s.Speed;
  return image.OSpeed;
}

void DcbToTermios(const DCB& dcb, TTermiosImage& image) {
  // Any speed goes through BOTHER, the input speed following the output speed.
  image.CFlag &= ~(CBAUD | (CBAUD << IBSHIFT));
  image.CFlag |= BOTHER | (BOTHER << IBSHIFT);
  image.OSpeed = dcb.BaudRate;
  image.ISpeed = dcb.BaudRate;

  image.CFlag &= ~CSIZE;
  switch (dcb.ByteSize) {
  case 5:
    image.CFlag |= CS5;
    break;
  case 6:
    image.CFlag |= CS6;
    break;
  case 7:
    image.CFlag |= CS7;
    break;
  default:
    image.CFlag |= CS8;
    break;
  }

  image.CFlag &= ~(PARENB | PARODD | CMSPAR);
  switch (dcb.Parity) {
  case ODDPARITY:
    image.CFlag |= PARENB | PARODD;
    break;
  case EVENPARITY:
    image.CFlag |= PARENB;
    break;
  case MARKPARITY: // stick parity: PARODD selects a parity bit of 1
    image.CFlag |= PARENB | CMSPAR | PARODD;
    break;
  case SPACEPARITY:
    image.CFlag |= PARENB | CMSPAR;
    break;
  default:
    break;
  }

  // A UART with 5 data bits sends 1.5 stop bits where it is told two.
  if (dcb.StopBits == ONESTOPBIT)
    image.CFlag &= ~CSTOPB;
  else
    image.CFlag |= CSTOPB;

  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
    image.CFlag |= CRTSCTS;
  else
    image.CFlag &= ~CRTSCTS;

  image.IFlag &= ~(IXON | IXOFF | INPCK);
  if (dcb.fOutX) image.IFlag |= IXON;
  if (dcb.fInX) image.IFlag |= IXOFF;
  if (dcb.fParity) image.IFlag |= INPCK;
  image.Cc[VSTART] = static_cast<uint8_t>(dcb.XonChar);
  image.Cc[VSTOP] = static_cast<uint8_t>(dcb.XoffChar);
}

void TermiosToDcb(const TTermiosImage& image, DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = TermiosSpeed(image);
  switch (image.CFlag & CSIZE) {
  case CS5:
    dcb.ByteSize = 5;
    break;
  case CS6:
    dcb.ByteSize = 6;
    break;
  case CS7:
    dcb.ByteSize = 7;
    break;
  default:
    dcb.ByteSize = 8;
    break;
  }
  if (!(image.CFlag & PARENB))
    dcb.Parity = NOPARITY;
  else if (image.CFlag & CMSPAR)
    dcb.Parity = (image.CFlag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb.Parity = (image.CFlag & PARODD) ? ODDPARITY : EVENPARITY;
  if (!(image.CFlag & CSTOPB))
    dcb.StopBits = ONESTOPBIT;
  else
    dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;

  bool rtscts = (image.CFlag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = rtscts;
  if (rtscts)
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = (image.IFlag & IXON) != 0;
  dcb.fInX = (image.IFlag & IXOFF) != 0;
  dcb.fParity = (image.IFlag & INPCK) != 0;
  dcb.XonChar = static_cast<char>(image.Cc[VSTART]);
  dcb.XoffChar = static_cast<char>(image.Cc[VSTOP]);
}

int FlushQueues(int fd, bool input, bool output) {
  if (!input && !output) return 0;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return ioctl(fd, TCFLSH, queue) != 0 ? errno : 0;
}

int SuspendOutput(int fd, bool suspend) {
  return ioctl(fd, TCXONC, suspend ? TCOOFF : TCOON) != 0 ? errno : 0;
}

bool ReadLineCounters(int fd, TLineCounters& counters) {
  serial_icounter_struct c;
  std::memset(&c, 0, sizeof c);
  if (ioctl(fd, TIOCGICOUNT, &c) != 0) return false;
  counters.Cts = static_cast<uint32_t>(c.cts);
  counters.Dsr = static_cast<uint32_t>(c.dsr);
  counters.Ring = static_cast<uint32_t>(c.rng);
  counters.Dcd = static_cast<uint32_t>(c.dcd);
  counters.Frame = static_cast<uint32_t>(c.frame);
  counters.Overrun = static_cast<uint32_t>(c.overrun);
  counters.Parity = static_cast<uint32_t>(c.parity);
  counters.Break = static_cast<uint32_t>(c.brk);
  counters.BufferOverrun = static_cast<uint32_t>(c.buf_overrun);
  return true;
}

void RequestLowLatency(int fd) {
  serial_struct s;
  std::memset(&s, 0, sizeof s);
  if (ioctl(fd, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY)) return;
  s.flags |= ASYNC_LOW_LATENCY;
  int saved = errno;
  (void)ioctl(fd, TIOCSSERIAL, &s); // not allowed everywhere, and not needed to work
  errno = saved;
}

} // namespace platform::comm

// DCB <-> termios2, and the tty ioctls that need the kernel's own termios headers.
// <asm/termbits.h> clashes with <termios.h>, so this header includes neither: it carries the
// kernel record as a plain image, and CommTermios2.cpp is the one file that speaks to it.
#pragma once

#include "platform/Win32.h"

#include <cstdint>

namespace platform::comm {

// struct termios2 as the kernel lays it out (x86 and most others).
struct TTermiosImage {
  uint32_t IFlag = 0;
  uint32_t OFlag = 0;
  uint32_t CFlag = 0;
  uint32_t LFlag = 0;
  uint8_t Line = 0;
  uint8_t Cc[19] = {};
  uint32_t ISpeed = 0;
  uint32_t OSpeed = 0;
};

// 0 or errno.
int ReadTermios(int fd, TTermiosImage& image);
int WriteTermios(int fd, const TTermiosImage& image);

// Raw mode as a Windows port has it: no line discipline (nor its default XON/XOFF), no echo,
// VMIN=1 VTIME=0, modem lines not watched by the kernel (CLOCAL: a dropped DCD must not hang
// the port up). Speed, character size, parity and stop bits stay as the driver has them.
void MakeRaw(TTermiosImage& image);

// Writes the DCB's fields that termios can hold into the image, keeping its other bits:
// speed (any value, through BOTHER), data bits, parity (mark and space through CMSPAR), stop
// bits (1.5 is CSTOPB with 5 data bits), IXON/IXOFF with VSTART/VSTOP, CRTSCTS for the RTS
// handshake or CTS output flow, INPCK for parity checking.
void DcbToTermios(const DCB& dcb, TTermiosImage& image);

// The DCB fields termios holds; fields it has no notion of are left as they are.
void TermiosToDcb(const TTermiosImage& image, DCB& dcb);

// The speed in bits per second the image carries (BOTHER or a classic B code); 0 for B0.
uint32_t TermiosSpeed(const TTermiosImage& image);

// Discards what the driver holds: received bytes (input) and bytes not yet sent (output).
// 0 or errno.
int FlushQueues(int fd, bool input, bool output);
// Stops or restarts transmission as a received XOFF or XON would. 0 or errno.
int SuspendOutput(int fd, bool suspend);

// Error counters of a real UART (TIOCGICOUNT). false (with errno) where the device has none.
struct TLineCounters {
  uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  uint32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
};
bool ReadLineCounters(int fd, TLineCounters& counters);

// Asks the driver for low latency (ASYNC_LOW_LATENCY) where it has serial settings and lets us
// change them; silently does nothing elsewhere.
void RequestLowLatency(int fd);

} // namespace platform::comm

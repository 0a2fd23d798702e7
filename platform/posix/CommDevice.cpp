// Comm devices: exclusive open and close, the gate and failure rule of every call, and the
// line controls. The I/O thread and the transfers are in CommDeviceIo.cpp, the events in
// CommDeviceEvents.cpp.
#include "CommDevice.h"

#include <cstring>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::comm {

using detail::TClock;
using namespace std::chrono_literals;

namespace {

DWORD OpenError(int err) {
  switch (err) {
  case ENOENT:
  case ENOTDIR:
  case ENXIO:
  case ENODEV:
  case EIO: // the slave of a pseudo-terminal whose master has gone
    return ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EROFS:
    return ERROR_PRIVILEGE_NOT_HELD;
  case EBUSY: // TIOCEXCL held by another opener
    return ERROR_ACCESS_DENIED;
  default:
    return platform::Win32ErrorFromErrno(err);
  }
}

bool IsMissingIoctl(int err) {
  return err == ENOTTY || err == EINVAL;
}

} // namespace

// ---- open and close ----

std::shared_ptr<TCommDevice> TCommDevice::Open(const std::string& path, DWORD access,
                                               bool overlapped, DWORD& error) {
  std::shared_ptr<TCommDevice> device(new TCommDevice);
  if (!device->Start(path, access, overlapped, error))
    return nullptr; // the destructor closes what Start opened
  return device;
}

bool TCommDevice::Start(const std::string& path, DWORD access, bool overlapped, DWORD& error) {
  std::lock_guard lock(FMutex);
  int mode = O_RDWR;
  if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_READ)
    mode = O_RDONLY;
  else if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_WRITE)
    mode = O_WRONLY;
  FFd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FFd < 0) {
    error = OpenError(errno);
    return false;
  }
  struct stat st;
  TTermiosImage image;
  if (fstat(FFd, &st) != 0 || !S_ISCHR(st.st_mode) || ReadTermios(FFd, image) != 0) {
    error = ERROR_NOT_SUPPORTED; // not a tty
    return false;
  }
  // flock holds against root too, who passes TIOCEXCL; TIOCEXCL also stops plain open()s.
  if (flock(FFd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : platform::Win32ErrorFromErrno(errno);
    return false;
  }
  (void)ioctl(FFd, TIOCEXCL);
  RequestLowLatency(FFd);

  MakeRaw(image);
  FDcb.DCBlength = sizeof(DCB);
  FDcb.fBinary = 1;
  FDcb.fDtrControl = DTR_CONTROL_ENABLE; // the open raised DTR and RTS
  FDcb.fRtsControl = RTS_CONTROL_ENABLE;
  FDcb.XonLim = 2048;
  FDcb.XoffLim = 512;
  TermiosToDcb(image, FDcb);
  if (FDcb.BaudRate == 0) { // B0 would hang the line up
    FDcb.BaudRate = CBR_9600;
    DcbToTermios(FDcb, image);
  }
  if (int err = WriteTermios(FFd, image); err != 0) {
    error = platform::Win32ErrorFromErrno(err);
    return false;
  }
  // A fresh Windows handle starts with empty queues.
  (void)FlushQueues(FFd, true, true);

  int bits = 0;
  FHasModemLines = ioctl(FFd, TIOCMGET, &bits) == 0;
  FLastModemBits = FHasModemLines ? bits : 0;
  FHasCounters = ReadLineCounters(FFd, FEventCounters);
  FErrorCounters = FEventCounters;
  FOverlapped = overlapped;

  FEpoll = epoll_create1(EPOLL_CLOEXEC);
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEpoll < 0 || FWakeFd < 0) {
    error = platform::Win32ErrorFromErrno(errno);
    return false;
  }
  epoll_event ev{};
  FInterest = EPOLLIN | EPOLLET;
  ev.events = FInterest;
  ev.data.fd = FFd;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = FWakeFd;
  if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, FFd, &ev) != 0 ||
      epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &wake) != 0) {
    error = platform::Win32ErrorFromErrno(errno);
    return false;
  }
  // Without it a waiter simply sleeps until the I/O thread completes its wait.
  FAssistEpoll = epoll_create1(EPOLL_CLOEXEC);
  FAssistWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event input{};
  input.events = EPOLLIN | EPOLLET;
  input.data.fd = FFd;
  epoll_event assistWake{};
  assistWake.events = EPOLLIN;
  assistWake.data.fd = FAssistWakeFd;
  if (FAssistEpoll < 0 || FAssistWakeFd < 0 ||
      epoll_ctl(FAssistEpoll, EPOLL_CTL_ADD, FFd, &input) != 0 ||
      epoll_ctl(FAssistEpoll, EPOLL_CTL_ADD, FAssistWakeFd, &assistWake) != 0) {
    if (FAssistEpoll >= 0) ::close(FAssistEpoll);
    FAssistEpoll = -1;
  }
  try {
    FThread = std::thread(&TCommDevice::Run, this);
  } catch (const std::system_error&) {
    error = ERROR_NO_SYSTEM_RESOURCES;
    return false;
  }
  return true;
}

TCommDevice::~TCommDevice() {
  OnClose();
  // Only now: an assisting waiter holds the device until it returns.
  if (FAssistEpoll >= 0) ::close(FAssistEpoll);
  if (FAssistWakeFd >= 0) ::close(FAssistWakeFd);
}

void TCommDevice::OnClose() {
  {
    std::lock_guard lock(FMutex);
    if (FStopping) return;
    FStopping = true;
    CompleteAll(FReads, ERROR_OPERATION_ABORTED);
    CompleteAll(FWrites, ERROR_OPERATION_ABORTED);
    if (FWait) CompleteWait(0, ERROR_OPERATION_ABORTED);
  }
  Wake();
  if (FThread.joinable()) FThread.join();

  std::lock_guard lock(FMutex);
  if (FFd >= 0) {
    if (!FVanished) {
      // Like a Windows port, let what the driver holds go out, but never wait long: the
      // kernel's own close would wait up to half a minute for a line stopped by XOFF.
      int queued = 0;
      if (ioctl(FFd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        DWORD baud = FDcb.BaudRate ? FDcb.BaudRate : CBR_9600;
        auto limit =
            TClock::now() + std::min<std::chrono::milliseconds>(
                                2000ms, 100ms + std::chrono::milliseconds(20000LL * queued / baud));
        while (!FXoffHold && TClock::now() < limit && ioctl(FFd, TIOCOUTQ, &queued) == 0 &&
               queued > 0)
          usleep(5000);
        (void)FlushQueues(FFd, false, true);
      }
      (void)ioctl(FFd, TIOCNXCL);
    }
    ::close(FFd); // releases the flock
    FFd = -1;
  }
  if (FEpoll >= 0) ::close(FEpoll);
  if (FWakeFd >= 0) ::close(FWakeFd);
  FEpoll = FWakeFd = -1;
}

void TCommDevice::Wake() {
  int fd;
  {
    std::lock_guard lock(FMutex);
    fd = FWakeFd;
  }
  uint64_t one = 1;
  if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

// ---- the gate and the failure rule ----

bool TCommDevice::IsOpen() {
  if (!FStopping && FFd >= 0) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool TCommDevice::Usable() {
  if (!IsOpen()) return false;
  if (!FVanished) return true;
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return false;
}

BOOL TCommDevice::Fail(int err) {
  SetLastError(IsGone(err) ? Vanish() : platform::Win32ErrorFromErrno(err));
  return FALSE;
}

// ---- control ----

BOOL TCommDevice::Purge(DWORD flags) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Only a purge that touches transfers the I/O thread is working on needs it to look again;
  // an upload purges both ways before every block, with nothing pending.
  const bool busy = !FReads.empty() || !FWrites.empty();
  if (flags & PURGE_TXABORT) CompleteAll(FWrites, ERROR_OPERATION_ABORTED);
  if (flags & PURGE_RXABORT) CompleteAll(FReads, ERROR_OPERATION_ABORTED);
  int err = FlushQueues(FFd, flags & PURGE_RXCLEAR, flags & PURGE_TXCLEAR);
  if (flags & PURGE_RXCLEAR) FAnnounced = 0;
  if (IsGone(err)) return Fail(err);
  // An emptied output queue is EV_TXEMPTY now, not at the next sample.
  if ((flags & PURGE_TXCLEAR) && FTxDrainPending && FWrites.empty()) CheckTxEmpty();
  if (busy) WakeLocked();
  return TRUE;
}

BOOL TCommDevice::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(FMutex);
  if (errors) *errors = 0;
  if (!Usable()) return FALSE;
  DWORD bits = 0;
  if (FHasCounters) {
    TLineCounters c;
    if (ReadLineCounters(FFd, c)) {
      const TLineCounters& b = FErrorCounters;
      if (c.BufferOverrun != b.BufferOverrun) bits |= CE_RXOVER;
      if (c.Overrun != b.Overrun) bits |= CE_OVERRUN;
      if (c.Parity != b.Parity) bits |= CE_RXPARITY;
      if (c.Frame != b.Frame) bits |= CE_FRAME;
      if (c.Break != b.Break) bits |= CE_BREAK;
      FErrorCounters = c;
    } else if (int err = errno; IsGone(err)) {
      return Fail(err);
    }
  }
  if (stat) {
    std::memset(stat, 0, sizeof *stat);
    int in = 0, out = 0;
    if (ioctl(FFd, FIONREAD, &in) != 0) return Fail(EIO); // fails only on a hung-up tty
    if (ioctl(FFd, TIOCOUTQ, &out) != 0) out = 0;
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
    for (const TOperation& op : FWrites)
      stat->cbOutQue += op.Size - op.Done;
    int lines = 0;
    if (FHasModemLines && ioctl(FFd, TIOCMGET, &lines) == 0) {
      stat->fCtsHold = FDcb.fOutxCtsFlow && !(lines & TIOCM_CTS);
      stat->fDsrHold = FDcb.fOutxDsrFlow && !(lines & TIOCM_DSR);
    }
    stat->fXoffHold = FXoffHold && FDcb.fOutX && !FWrites.empty();
  }
  if (errors) *errors = bits;
  return TRUE;
}

BOOL TCommDevice::Escape(DWORD function) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  int err = 0;
  auto lines = [&](unsigned long request, int bit) {
    return ioctl(FFd, request, &bit) == 0 ? 0 : errno;
  };
  switch (function) {
  case SETXOFF:
  case SETXON:
    err = SuspendOutput(FFd, function == SETXOFF);
    break;
  case SETRTS:
  case CLRRTS:
    // Lines under the driver's handshake are not the caller's, as Win32 has it.
    if (FDcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    err = lines(function == SETRTS ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    break;
  case SETDTR:
  case CLRDTR:
    if (FDcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    err = lines(function == SETDTR ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
    break;
  case SETBREAK:
    err = ioctl(FFd, TIOCSBRK) == 0 ? 0 : errno;
    break;
  case CLRBREAK:
    err = ioctl(FFd, TIOCCBRK) == 0 ? 0 : errno;
    break;
  default: // RESETDEV is for printers; 10 and others are not functions of a serial port
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A pseudo-terminal has no modem lines and no break: nothing to do there.
  if (err != 0 && !IsMissingIoctl(err)) return Fail(err);
  return TRUE;
}

BOOL TCommDevice::GetModemStatus(DWORD* status) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  DWORD result = 0;
  int bits = 0;
  if (FHasModemLines) {
    if (ioctl(FFd, TIOCMGET, &bits) != 0) {
      if (int err = errno; IsGone(err)) return Fail(err);
      bits = 0;
    }
    if (bits & TIOCM_CTS) result |= MS_CTS_ON;
    if (bits & TIOCM_DSR) result |= MS_DSR_ON;
    if (bits & TIOCM_RI) result |= MS_RING_ON;
    if (bits & TIOCM_CD) result |= MS_RLSD_ON;
  }
  if (status) *status = result;
  return TRUE;
}

BOOL TCommDevice::SetState(const DCB& dcb) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  // The combinations a Windows serial driver refuses.
  bool valid = dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 &&
               dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS &&
               !(dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) &&
               !(dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS) &&
               dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE &&
               !((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
  if (!valid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TTermiosImage image;
  int err = ReadTermios(FFd, image);
  if (err == 0) {
    DcbToTermios(dcb, image);
    err = WriteTermios(FFd, image);
  }
  if (err != 0) return Fail(err); // a driver's EINVAL is ERROR_INVALID_PARAMETER
  // The control modes set the lines now; the handshakes leave them to the driver, and
  // toggling RTS around each write is beyond a tty: it stays low.
  int bit;
  if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
    bit = TIOCM_DTR;
    (void)ioctl(FFd, dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &bit);
  }
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    bit = TIOCM_RTS;
    (void)ioctl(FFd, dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, &bit);
  }
  // Termios forgets what it cannot hold (and a pseudo-terminal forces 8 bits, no parity):
  // the handle keeps the DCB as given, so that it reads back as it was written.
  FDcb = dcb;
  FDcb.DCBlength = sizeof(DCB);
  if (!dcb.fOutX) FXoffHold = false;
  WakeLocked(); // clearing IXON lets a blocked write go on
  return TRUE;
}

BOOL TCommDevice::GetState(DCB& dcb) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  TTermiosImage image;
  if (int err = ReadTermios(FFd, image); IsGone(err)) return Fail(err);
  dcb = FDcb;
  return TRUE;
}

BOOL TCommDevice::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  FTimeouts = timeouts; // for operations started from now on
  return TRUE;
}

BOOL TCommDevice::GetTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  timeouts = FTimeouts;
  return TRUE;
}

BOOL TCommDevice::Setup(DWORD inQueue, DWORD outQueue) {
  std::lock_guard lock(FMutex);
  if (!Usable()) return FALSE;
  // Recommendations only: a tty's queues have the sizes its driver gives them.
  FInQueue = inQueue;
  FOutQueue = outQueue;
  return TRUE;
}

} // namespace platform::comm

// Comm devices and overlapped I/O under their Win32 names; included by Win32.h.
// On Linux they are implemented on termios in platform/posix/.
#pragma once

#include <string>
#include <vector>

#ifndef _WIN32

// ---- files ----
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

typedef struct _OVERLAPPED {
  ULONG_PTR Internal; // status: STATUS_PENDING while the operation runs, else its Win32 error
  ULONG_PTR InternalHigh; // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    void* Pointer;
  } u;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);

// Opening a device the user has no right to (not in the dialout group, say). Distinct from
// ERROR_ACCESS_DENIED, which means another program holds the port.
#ifndef ERROR_PRIVILEGE_NOT_HELD
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#endif

// ---- comm devices ----
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010
#define CE_TXFULL 0x0100

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);

#endif // _WIN32

namespace platform {

// Port numbers and devices. An explicit map comes first (the settings file's section Ports,
// and tests mapping ports to pseudo-terminals); without an entry, COMn is the n-th serial
// device that discovery finds. Numbers run from 1 to 255. On Windows COMn is the system's own
// port; discovery lists the COM devices the system has, and the sysfs roots are ignored.
bool SetPortDevice(int portNumber, const std::string& devicePath); // empty path removes
void ClearPortMap();
// The device COMn names now, or "" when there is none.
std::string ResolvePortDevice(int portNumber);

// A serial device found in sysfs.
struct TSerialDevice {
  std::string Name;        // ttyUSB0
  std::string DevicePath;  // devDir/ttyUSB0
  std::string Description; // driver, USB vendor and product where sysfs has them
};
// Discovery on a sysfs tree ("/sys" in use; a tree laid out by a test otherwise), in port
// order: UARTs ttyS* whose type is not 0, then ttyUSB*, ttyACM*, then other ttys with a
// device link, each by number. Opens nothing and skips what console/active names.
std::vector<TSerialDevice> DiscoverSerialDevices(const std::string& sysfsRoot,
                                                 const std::string& devDir = "/dev");
// Where ResolvePortDevice and EnumerateSerialPorts discover; "" restores /sys and /dev.
void SetDiscoveryRoots(const std::string& sysfsRoot, const std::string& devDir = "/dev");
// The roots in use ("/sys" and "/dev" unless set; empty on Windows).
void GetDiscoveryRoots(std::string& sysfsRoot, std::string& devDir);

struct TSerialPortInfo {
  int PortNumber;           // COMn
  std::string DevicePath;   // /dev/ttyUSB0
  std::string Description;  // driver, USB vendor and product where sysfs has them
  bool Mapped;              // from the explicit map rather than discovery
};
// Reads sysfs only: opens nothing, and never lists the kernel console.
std::vector<TSerialPortInfo> EnumerateSerialPorts();

// The thread that posts WaitCommEvent on this comm handle promises to wait for each of them
// itself, with WaitForSingleObject on the OVERLAPPED's event, as the serial dispatcher's com
// thread does. Then no other thread watches the device for it: on Linux the waiter sleeps on
// the device and the handle's I/O thread stays asleep. A wait nobody comes to watch after all
// (the watch is refused, or the waiter gives up at a time-out) is handed back to the I/O
// thread. Nothing to do on Windows. FALSE for a handle that is not a comm device.
BOOL SetCommWaitsWatched(HANDLE hFile, BOOL watched);

#ifdef _WIN32
// The name to give CreateFileA for a port name: a mapped COMn's entry, else the system's own
// "\\.\COMn" (COM10 and above open only with the prefix); any other name as it is.
std::string CommDeviceName(const char* name);
#endif

} // namespace platform

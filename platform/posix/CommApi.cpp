// The Win32 file and comm functions on comm-device handles.
#include "CommDevice.h"
#include "CommPorts.h"

#include <atomic>

using platform::comm::TCommDevice;

namespace {

std::shared_ptr<TCommDevice> Device(HANDLE handle) {
  std::shared_ptr<TCommDevice> device = platform::detail::LookupHandleAs<TCommDevice>(handle);
  if (!device) SetLastError(ERROR_INVALID_HANDLE);
  return device;
}

} // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwShareMode; // comm devices are exclusive whatever is asked
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int port = platform::comm::ParseComPortName(lpFileName);
  std::string path = lpFileName;
  if (port != 0) {
    path = port > 0 ? platform::ResolvePortDevice(port) : "";
    if (path.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  DWORD error = ERROR_SUCCESS;
  std::shared_ptr<TCommDevice> device = TCommDevice::Open(
      path, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, error);
  if (!device) {
    // A port number that names something other than a serial device has no device.
    if (port > 0 && error == ERROR_NOT_SUPPORTED) error = ERROR_FILE_NOT_FOUND;
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return platform::detail::InsertHandle(std::move(device));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (lpOverlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // As Win32, the record alone tells the result; the handle is needed only to wait.
  auto status = [&] {
    return std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).load(std::memory_order_acquire);
  };
  if (status() == STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    auto device = platform::detail::LookupHandleAs<TCommDevice>(hFile);
    if (!(device && device->WaitForCompletion(lpOverlapped))) {
      if (lpOverlapped->hEvent == nullptr ||
          WaitForSingleObject(lpOverlapped->hEvent, INFINITE) != WAIT_OBJECT_0 ||
          status() == STATUS_PENDING) {
        SetLastError(device ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
      }
    }
  }
  ULONG_PTR result = status();
  if (lpNumberOfBytesTransferred)
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (result == ERROR_SUCCESS) return TRUE;
  SetLastError(static_cast<DWORD>(result));
  return FALSE;
}

BOOL CancelIo(HANDLE hFile) {
  auto device = Device(hFile);
  return device ? device->Cancel() : FALSE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  auto device = Device(hFile);
  return device ? device->Setup(dwInQueue, dwOutQueue) : FALSE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->GetState(*lpDCB);
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpDCB == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->SetState(*lpDCB);
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpCommTimeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->GetTimeouts(*lpCommTimeouts);
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  auto device = Device(hFile);
  if (!device) return FALSE;
  if (lpCommTimeouts == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return device->SetTimeouts(*lpCommTimeouts);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  auto device = Device(hFile);
  return device ? device->SetMask(dwEvtMask) : FALSE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  auto device = Device(hFile);
  return device ? device->GetMask(lpEvtMask) : FALSE;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  auto device = Device(hFile);
  return device ? device->WaitEvent(lpEvtMask, lpOverlapped) : FALSE;
}

BOOL platform::SetCommWaitsWatched(HANDLE hFile, BOOL watched) {
  auto device = Device(hFile);
  return device ? device->SetWaitsWatched(watched != FALSE) : FALSE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  auto device = Device(hFile);
  return device ? device->Purge(dwFlags) : FALSE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  auto device = Device(hFile);
  return device ? device->ClearError(lpErrors, lpStat) : FALSE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  auto device = Device(hFile);
  return device ? device->Escape(dwFunc) : FALSE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  auto device = Device(hFile);
  return device ? device->GetModemStatus(lpModemStat) : FALSE;
}

BOOL SetCommBreak(HANDLE hFile) {
  return EscapeCommFunction(hFile, SETBREAK);
}

BOOL ClearCommBreak(HANDLE hFile) {
  return EscapeCommFunction(hFile, CLRBREAK);
}

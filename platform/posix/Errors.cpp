// The last error (thread-local, as Win32) and the errno it stands for.
#include "platform/Win32.h"

#include <cerrno>

namespace {
thread_local DWORD tlLastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
  return tlLastError;
}

void SetLastError(DWORD dwErrCode) {
  tlLastError = dwErrCode;
}

namespace platform {

DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
  case 0:
    return ERROR_SUCCESS;
  case ENOENT:
    return ERROR_FILE_NOT_FOUND;
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EMFILE:
  case ENFILE:
    return ERROR_TOO_MANY_OPEN_FILES;
  case EACCES:
  case EPERM:
  case EISDIR:
    return ERROR_ACCESS_DENIED;
  case EBADF:
    return ERROR_INVALID_HANDLE;
  case ENOMEM:
    return ERROR_NOT_ENOUGH_MEMORY;
  case ENOBUFS:
    return ERROR_NO_SYSTEM_RESOURCES;
  case EINVAL:
  case E2BIG:
  case EDOM:
    return ERROR_INVALID_PARAMETER;
  case ENOEXEC:
    return ERROR_BAD_FORMAT;
  case EXDEV:
    return ERROR_NOT_SAME_DEVICE;
  case EROFS:
    return ERROR_WRITE_PROTECT;
  case ENOTTY: // an ioctl the device does not have
    return ERROR_INVALID_FUNCTION;
  case ENOSYS:
  case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
  case ENOTSUP:
#endif
    return ERROR_NOT_SUPPORTED;
  case EIO:
    return ERROR_IO_DEVICE;
  case ENXIO:
  case ENODEV:
    return ERROR_DEVICE_NOT_CONNECTED;
  case EBUSY:
  case EAGAIN:
#if EWOULDBLOCK != EAGAIN
  case EWOULDBLOCK:
#endif
    return ERROR_BUSY;
  case ETXTBSY:
    return ERROR_SHARING_VIOLATION;
  case EEXIST:
    return ERROR_ALREADY_EXISTS;
  case ENOSPC:
    return ERROR_DISK_FULL;
  case EPIPE:
    return ERROR_BROKEN_PIPE;
  case ESPIPE:
    return ERROR_SEEK_ON_DEVICE;
  case ENAMETOOLONG:
    return ERROR_FILENAME_EXCED_RANGE;
  case ENOTEMPTY:
    return ERROR_DIR_NOT_EMPTY;
  case ELOOP:
    return ERROR_CANT_RESOLVE_FILENAME;
  case EFAULT:
    return ERROR_NOACCESS;
  case EDEADLK:
    return ERROR_POSSIBLE_DEADLOCK;
  case ECHILD:
    return ERROR_WAIT_NO_CHILDREN;
  case ESRCH:
    return ERROR_INVALID_THREAD_ID;
  case EILSEQ:
    return ERROR_NO_UNICODE_TRANSLATION;
  case ERANGE:
  case EOVERFLOW:
    return ERROR_ARITHMETIC_OVERFLOW;
  case ETIMEDOUT:
    return ERROR_TIMEOUT;
  case EINTR:
  case ECANCELED:
    return ERROR_OPERATION_ABORTED;
  default:
    return ERROR_GEN_FAILURE;
  }
}

} // namespace platform

// Last error, errno mapping and the system texts FormatMessageA gives for them.
#include "platform/Win32.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

std::string SystemText(DWORD id,
                       DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) {
  char buffer[512];
  DWORD n = FormatMessageA(flags, nullptr, id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                           sizeof buffer, nullptr);
  return n == 0 ? std::string() : std::string(buffer, n);
}

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 12345;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_TIMEOUT);
  });
  other.join();
  EXPECT_EQ(seenByOther, DWORD(ERROR_SUCCESS));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST(Win32ErrorFromErrno, MapsTheErrorsOfFilesAndDevices) {
  EXPECT_EQ(platform::Win32ErrorFromErrno(0), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENOENT), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENOTDIR), DWORD(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EACCES), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EPERM), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EBADF), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENOMEM), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EINVAL), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EBUSY), DWORD(ERROR_BUSY));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EIO), DWORD(ERROR_IO_DEVICE));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENXIO), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENODEV), DWORD(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ENOTTY), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EOPNOTSUPP), DWORD(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(EPIPE), DWORD(ERROR_BROKEN_PIPE));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ETIMEDOUT), DWORD(ERROR_TIMEOUT));
  EXPECT_EQ(platform::Win32ErrorFromErrno(ECANCELED), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(platform::Win32ErrorFromErrno(123456), DWORD(ERROR_GEN_FAILURE));
}

TEST(FormatMessage, WordsSystemTextsAsWindowsAndEndsThemInCrLf) {
  EXPECT_EQ(SystemText(ERROR_SUCCESS), "The operation completed successfully.\r\n");
  EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), "Access is denied.\r\n");
  EXPECT_EQ(SystemText(ERROR_INVALID_HANDLE), "The handle is invalid.\r\n");
  EXPECT_EQ(SystemText(ERROR_NOT_SUPPORTED), "The request is not supported.\r\n");
  EXPECT_EQ(SystemText(ERROR_INVALID_PARAMETER), "The parameter is incorrect.\r\n");
  EXPECT_EQ(SystemText(ERROR_OPERATION_ABORTED),
            "The I/O operation has been aborted because of either a thread exit or an "
            "application request.\r\n");
  EXPECT_EQ(SystemText(ERROR_IO_PENDING), "Overlapped I/O operation is in progress.\r\n");
  EXPECT_EQ(SystemText(ERROR_INVALID_WINDOW_HANDLE), "Invalid window handle.\r\n");
  EXPECT_EQ(SystemText(ERROR_TIMEOUT),
            "This operation returned because the timeout period expired.\r\n");
  // Without IGNORE_INSERTS a text without inserts formats the same.
  EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED, FORMAT_MESSAGE_FROM_SYSTEM), "Access is denied.\r\n");
}

TEST(FormatMessage, HasATextForEveryNumberPlatformProduces) {
  const DWORD constants[] = {ERROR_SUCCESS,
                             ERROR_INVALID_FUNCTION,
                             ERROR_FILE_NOT_FOUND,
                             ERROR_PATH_NOT_FOUND,
                             ERROR_TOO_MANY_OPEN_FILES,
                             ERROR_ACCESS_DENIED,
                             ERROR_INVALID_HANDLE,
                             ERROR_NOT_ENOUGH_MEMORY,
                             ERROR_INVALID_DATA,
                             ERROR_OUTOFMEMORY,
                             ERROR_NOT_READY,
                             ERROR_BAD_COMMAND,
                             ERROR_GEN_FAILURE,
                             ERROR_SHARING_VIOLATION,
                             ERROR_HANDLE_EOF,
                             ERROR_NOT_SUPPORTED,
                             ERROR_INVALID_PARAMETER,
                             ERROR_BROKEN_PIPE,
                             ERROR_INSUFFICIENT_BUFFER,
                             ERROR_BUSY,
                             ERROR_ALREADY_EXISTS,
                             ERROR_NO_UNICODE_TRANSLATION,
                             ERROR_OPERATION_ABORTED,
                             ERROR_IO_INCOMPLETE,
                             ERROR_IO_PENDING,
                             ERROR_IO_DEVICE,
                             ERROR_DEVICE_NOT_CONNECTED,
                             ERROR_NOT_FOUND,
                             ERROR_CLASS_ALREADY_EXISTS,
                             ERROR_CLASS_DOES_NOT_EXIST,
                             ERROR_INVALID_WINDOW_HANDLE,
                             ERROR_INVALID_THREAD_ID,
                             ERROR_NOT_ENOUGH_QUOTA,
                             ERROR_RESOURCE_DATA_NOT_FOUND,
                             ERROR_RESOURCE_TYPE_NOT_FOUND,
                             ERROR_RESOURCE_NAME_NOT_FOUND,
                             ERROR_TIMEOUT,
                             ERROR_INVALID_FLAGS,
                             ERROR_BAD_FORMAT,
                             ERROR_NOT_SAME_DEVICE,
                             ERROR_WRITE_PROTECT,
                             ERROR_LOCK_VIOLATION,
                             ERROR_FILE_EXISTS,
                             ERROR_DISK_FULL,
                             ERROR_SEM_TIMEOUT,
                             ERROR_INVALID_NAME,
                             ERROR_MOD_NOT_FOUND,
                             ERROR_WAIT_NO_CHILDREN,
                             ERROR_SEEK_ON_DEVICE,
                             ERROR_DIR_NOT_EMPTY,
                             ERROR_FILENAME_EXCED_RANGE,
                             ERROR_NO_DATA,
                             ERROR_PIPE_NOT_CONNECTED,
                             ERROR_MORE_DATA,
                             ERROR_MR_MID_NOT_FOUND,
                             ERROR_ARITHMETIC_OVERFLOW,
                             ERROR_NOACCESS,
                             ERROR_POSSIBLE_DEADLOCK,
                             ERROR_CANCELLED,
                             ERROR_PRIVILEGE_NOT_HELD,
                             ERROR_CANNOT_FIND_WND_CLASS,
                             ERROR_WINDOW_OF_OTHER_THREAD,
                             ERROR_CLASS_HAS_WINDOWS,
                             ERROR_INVALID_INDEX,
                             ERROR_NO_SYSTEM_RESOURCES,
                             ERROR_CANT_RESOLVE_FILENAME};
  for (DWORD id : constants) {
    std::string text = SystemText(id);
    EXPECT_GE(text.size(), 5u) << "no text for " << id;
    EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << id;
  }
  for (int err = 0; err < 200; ++err) {
    DWORD id = platform::Win32ErrorFromErrno(err);
    EXPECT_FALSE(SystemText(id).empty()) << "errno " << err << " maps to " << id;
  }
}

TEST(FormatMessage, ReportsUnknownNumbersAndSmallBuffers) {
  char buffer[64];
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           0x2BADF00D, 0, buffer, sizeof buffer, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));

  // "Access is denied.\r\n" is 19 characters and needs 20 with the NUL.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 19,
                           nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 20,
                           nullptr),
            19u);
  EXPECT_STREQ(buffer, "Access is denied.\r\n");
}

TEST(FormatMessage, HandlesInsertsWidthAndAllocatedBuffers) {
  EXPECT_EQ(SystemText(ERROR_MR_MID_NOT_FOUND),
            "The system cannot find message text for message number 0x%1 in the message file "
            "for %2.\r\n");
  // Inserts with nothing to fill them fail rather than read arguments that are not there.
  char buffer[256];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, buffer,
                           sizeof buffer, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("2A"), reinterpret_cast<DWORD_PTR>("System")};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                           ERROR_MR_MID_NOT_FOUND, 0, buffer, sizeof buffer, args);
  EXPECT_EQ(std::string(buffer, n), "The system cannot find message text for message number "
                                    "0x2A in the message file for System.\r\n");

  // MAX_WIDTH_MASK drops the regular line break at the end.
  EXPECT_EQ(
      SystemText(ERROR_ACCESS_DENIED, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK),
      "Access is denied.");
  // A width breaks lines at spaces so that none is longer.
  std::string wrapped = SystemText(ERROR_FILE_NOT_FOUND, FORMAT_MESSAGE_FROM_SYSTEM | 20);
  std::string joined;
  size_t start = 0;
  for (size_t stop; (stop = wrapped.find("\r\n", start)) != std::string::npos; start = stop + 2) {
    EXPECT_LE(stop - start, 20u);
    joined += wrapped.substr(start, stop - start) + " ";
  }
  joined += wrapped.substr(start);
  EXPECT_GT(wrapped.find("\r\n"), 0u);
  EXPECT_EQ(joined, "The system cannot find the file specified.");

  char* allocated = nullptr;
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                     ERROR_TIMEOUT, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(n, std::strlen(allocated));
  EXPECT_STREQ(allocated, "This operation returned because the timeout period expired.\r\n");
  EXPECT_EQ(LocalFree(allocated), nullptr);
}

} // namespace

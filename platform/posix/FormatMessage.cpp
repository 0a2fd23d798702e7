// FormatMessageA for system error numbers, with the texts as Windows words them.
#include "platform/Win32.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct TSystemText {
  DWORD Id;
  const char* Text;
};

// Every number platform/ can produce; sorted by number. CR LF is added on output.
const TSystemText SystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {128, "There are no child processes to wait for."},
    {132, "The file pointer cannot be set on the specified device or file."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {233, "No process is on the other end of the pipe."},
    {234, "More data is available."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for "
          "%2."},
    {534, "Arithmetic result exceeded 32 bits."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1131, "A potential deadlock condition has been detected."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1314, "A required privilege is not held by the client."},
    {1400, "Invalid window handle."},
    {1407, "Cannot find window class."},
    {1408, "Invalid window; it belongs to other thread."},
    {1410, "Class already exists."},
    {1411, "Class does not exist."},
    {1412, "Class still has open windows."},
    {1413, "Invalid index."},
    {1444, "Invalid thread identifier."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1816, "Not enough quota is available to process this command."},
    {1921, "The name of the file cannot be resolved by the system."},
};

const char* FindSystemText(DWORD id) {
  auto it = std::lower_bound(std::begin(SystemTexts), std::end(SystemTexts), id,
                             [](const TSystemText& t, DWORD v) { return t.Id < v; });
  return it != std::end(SystemTexts) && it->Id == id ? it->Text : nullptr;
}

// Expands %1..%99 from an argument array of strings; escapes as FormatMessage has them.
// False when an insert has no argument or asks for a printf format we do not carry.
bool ExpandInserts(const std::string& text, bool ignoreInserts, const DWORD_PTR* args,
                   std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '%' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    char next = text[i + 1];
    if (next >= '1' && next <= '9') {
      if (ignoreInserts) {
        out += c;
        continue;
      }
      size_t j = i + 1;
      int number = 0;
      while (j < text.size() && j < i + 3 && text[j] >= '0' && text[j] <= '9')
        number = number * 10 + (text[j++] - '0');
      if (j < text.size() && text[j] == '!') return false;
      if (args == nullptr) return false;
      const char* arg = reinterpret_cast<const char*>(args[number - 1]);
      out += arg ? arg : "(null)";
      i = j - 1;
      continue;
    }
    ++i;
    switch (next) {
    case '0':
      return true;
    case 'n':
      out += "\r\n";
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'b':
      out += ' ';
      break;
    default: // %% %. %! %space and the like stand for the character itself
      out += next;
      break;
    }
  }
  return true;
}

// Width 1..254: lines broken at spaces so that none is longer; the trailing break is dropped.
std::string WrapLines(const std::string& text, size_t width) {
  std::string out, line;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find(' ', start);
    std::string word =
        text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
    start = stop == std::string::npos ? text.size() : stop + 1;
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\r\n";
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  return out + line;
}

} // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, void* Arguments) {
  (void)lpSource;
  (void)dwLanguageId; // one language only
  const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE |
                      FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  // No message tables of our own: only the system's, reached from a module search too.
  if ((dwFlags & ~known) != 0 || (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = FindSystemText(dwMessageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  // Only an argument array can be read portably; a va_list cannot cross into this code.
  const DWORD_PTR* args = (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY)
                              ? static_cast<const DWORD_PTR*>(Arguments)
                              : nullptr;
  std::string body;
  if (!ExpandInserts(text, (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0, args, body)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  std::string result;
  if (width == 0)
    result = body + "\r\n"; // the line break that ends every system text
  else if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK)
    result = body; // regular line breaks ignored
  else
    result = WrapLines(body, width);

  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t bytes = std::max<size_t>(result.size() + 1, nSize);
    char* block = static_cast<char*>(std::malloc(bytes));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(block, result.c_str(), result.size() + 1);
    *reinterpret_cast<char**>(lpBuffer) = block;
    return static_cast<DWORD>(result.size());
  }
  if (result.size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, result.c_str(), result.size() + 1);
  return static_cast<DWORD>(result.size());
}

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

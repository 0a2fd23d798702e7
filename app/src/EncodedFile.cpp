#include "app/EncodedFile.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "runtime/SysUtils.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32
std::FILE* OpenEncodedFile(const char* fileName) {
  if (!fileName || !*fileName) return nullptr;
  std::FILE* file = _wfopen(Utf8ToWide(fileName).c_str(), L"rb");
  if (!file) return nullptr;
  // Only a file on a disk: a name such as COM1, NUL or CON opens a device.
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}
#else
std::FILE* OpenEncodedFile(const char* fileName) {
  if (!fileName || !*fileName) return nullptr;
  int fd = ::open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (!file) ::close(fd);
  return file;
}
#endif

namespace {

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The white space a formatted conversion skips (the "C" locale's).
bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `next()` returns the next character or -1 at the end; one character of look-ahead is kept,
// as the conversion pushes back the character that ends a number.
template <class TNext> TEncodedRead ReadHex(TNext next, uint8_t* image, size_t capacity) {
  TEncodedRead result;
  int c = next();
  for (;;) {
    while (IsSpace(c))
      c = next();
    int high = HexValue(c);
    if (high < 0) break;
    if (result.Count >= capacity) {
      result.TooBig = true;
      break;
    }
    c = next();
    int low = HexValue(c);
    int value = high;
    if (low >= 0) {
      value = high * 16 + low;
      c = next();
    }
    image[result.Count++] = static_cast<uint8_t>(value);
  }
  return result;
}

} // namespace

TEncodedRead ReadEncodedImage(std::FILE* file, uint8_t* image, size_t capacity) {
#ifdef _WIN32
  _lock_file(file);
  TEncodedRead result = ReadHex(
      [file] {
        int c = _getc_nolock(file);
        return c == EOF ? -1 : c;
      },
      image, capacity);
  _unlock_file(file);
#else
  flockfile(file);
  TEncodedRead result = ReadHex(
      [file] {
        int c = getc_unlocked(file);
        return c == EOF ? -1 : c;
      },
      image, capacity);
  funlockfile(file);
#endif
  return result;
}

TEncodedRead ReadEncodedText(std::string_view text, uint8_t* image, size_t capacity) {
  size_t pos = 0;
  return ReadHex([&] { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : -1; },
                 image, capacity);
}

TImageCheck CheckImage(const uint8_t* image, size_t count, size_t maxBlock, TBlockAt* at) {
  size_t position = 0;
  while (position < count) {
    if (at) *at = {position, count - position};
    if (count - position < 2) return TImageCheck::Corrupt;
    size_t length = static_cast<size_t>(image[position]) << 8 | image[position + 1];
    size_t blockSize = length + 2;
    if (at) at->Size = blockSize;
    if (blockSize > 0xFFFF) return TImageCheck::Corrupt;
    if (blockSize > count - position) return TImageCheck::Corrupt;
    if (blockSize > maxBlock) return TImageCheck::TooLarge;
    position += blockSize;
  }
  return TImageCheck::Ok;
}

// The encoded firmware file: a text of hexadecimal numbers of one or two digits, each the
// value of one byte, read into the firmware image; and the check of the image's blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// Opens an encoded file for reading; nullptr when it cannot be opened. Only a regular file is
// a firmware file: a folder opens for reading here but not on the system the format comes
// from, and would read as an empty image; a named pipe without a writer would block the open
// (and the window) for good; a device could stream forever. The open itself never blocks.
std::FILE* OpenEncodedFile(const char* fileName);

// Room in the firmware image.
constexpr size_t FirmwareImageSize = 262144;

struct TEncodedRead {
  size_t Count = 0;    // bytes stored in the image
  bool TooBig = false; // the text held more numbers than the image has room for
};

// Reads as repeated "%2X" conversions do: skip white space, then take one or two hex digits
// (0-9, A-F, a-f) as the next byte. Reading ends at the end of the text or at the first text
// that is not a hex digit; what follows is ignored. Signs and "0x" prefixes are not part of
// the format, so they end the reading as any other text does. Nothing is written at or past
// `capacity`: a further number there sets TooBig.
TEncodedRead ReadEncodedImage(std::FILE* file, uint8_t* image, size_t capacity);
TEncodedRead ReadEncodedText(std::string_view text, uint8_t* image, size_t capacity);

enum class TImageCheck {
  Ok,
  // A block's length runs past the data read (a lone byte at the end included), or its size
  // L + 2 does not fit a 16-bit length (L of 65534 or 65535).
  Corrupt,
  // A block is well formed but its L + 2 exceeds `maxBlock`.
  TooLarge,
};

// The block a check stopped at: the offset of its length bytes and its L + 2.
struct TBlockAt {
  size_t Offset = 0;
  size_t Size = 0;
};

// Walks the blocks laid end to end from the image's first byte and stops at the first that
// fails; `at` (when given) receives that block.
TImageCheck CheckImage(const uint8_t* image, size_t count, size_t maxBlock = 0xFFFF,
                       TBlockAt* at = nullptr);

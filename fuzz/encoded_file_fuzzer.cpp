// The encoded-file reader and the block check on what it read: the text path and the FILE path
// must agree, a smaller image must hold a prefix of a larger one, and nothing is read or
// written outside the bytes handed over (the buffers are exactly as large as stated, so ASan
// sees any access past them).
#include "FuzzCheck.h"
#include "app/EncodedFile.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

bool IsHex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsBlank(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// How many numbers the text holds before the reading stops: a run of hex digits of length n
// gives ceil(n / 2) numbers, white space separates runs, anything else ends the text.
size_t NumberCount(std::string_view text) {
  size_t count = 0, run = 0;
  for (unsigned char c : text) {
    if (IsHex(c)) {
      ++run;
      continue;
    }
    count += (run + 1) / 2;
    run = 0;
    if (!IsBlank(c)) return count;
  }
  return count + (run + 1) / 2;
}

// The block walk, stated by its rule: lengths L (big-endian) and L bytes each, no block of
// L + 2 > 65535, the last block ending exactly at the end of the data.
TImageCheck ExpectedCheck(const std::vector<uint8_t>& data) {
  size_t at = 0;
  while (at != data.size()) {
    if (at + 2 > data.size()) return TImageCheck::Corrupt;
    size_t length = size_t(data[at]) * 256 + data[at + 1];
    if (length + 2 > 65535 || at + 2 + length > data.size()) return TImageCheck::Corrupt;
    at += 2 + length;
  }
  return TImageCheck::Ok;
}

// memcmp wants valid pointers even for no bytes.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  return n == 0 || std::memcmp(a, b, n) == 0;
}

void CheckRead(const TEncodedRead& read, size_t capacity, size_t numbers) {
  FUZZ_CHECK(read.Count <= capacity);
  FUZZ_CHECK(read.TooBig == (numbers > capacity));
  FUZZ_CHECK(read.Count == (read.TooBig ? capacity : numbers));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t numbers = NumberCount(text);

  // The image as the program has it.
  static const std::unique_ptr<uint8_t[]> image(new uint8_t[FirmwareImageSize]);
  TEncodedRead full = ReadEncodedText(text, image.get(), FirmwareImageSize);
  CheckRead(full, FirmwareImageSize, numbers);
  std::vector<uint8_t> bytes(image.get(), image.get() + full.Count);

  // The file path reads the same numbers the same way.
  if (size > 0) {
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    FUZZ_CHECK(file != nullptr);
    static const std::unique_ptr<uint8_t[]> fromFile(new uint8_t[FirmwareImageSize]);
    TEncodedRead read = ReadEncodedImage(file, fromFile.get(), FirmwareImageSize);
    std::fclose(file);
    FUZZ_CHECK(read.Count == full.Count && read.TooBig == full.TooBig);
    FUZZ_CHECK(SameBytes(fromFile.get(), bytes.data(), bytes.size()));
  }

  // A small image, so that the too-big path is reached: the first byte picks its room.
  size_t capacity = size > 0 ? data[0] % 64 : 0;
  std::unique_ptr<uint8_t[]> small(new uint8_t[capacity > 0 ? capacity : 1]);
  TEncodedRead part = ReadEncodedText(text, capacity > 0 ? small.get() : nullptr, capacity);
  CheckRead(part, capacity, numbers);
  FUZZ_CHECK(SameBytes(small.get(), bytes.data(), part.Count));

  // The check reads only the bytes it is given: a copy of exactly that size.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  FUZZ_CHECK(CheckImage(exact.get(), bytes.size()) == ExpectedCheck(bytes));
  return 0;
}

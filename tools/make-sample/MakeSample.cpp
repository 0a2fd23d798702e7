// fwload-make-sample: writes an encoded firmware file to try fwload with: blocks of a
// pseudo-random payload, each a big-endian 16-bit length and the payload, as two-digit
// hexadecimal numbers, 32 bytes a line.
//   fwload-make-sample [--] OUT.enc [BLOCKS [PAYLOAD]]  (defaults: 32 blocks of 256 bytes)
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const Usage = "usage: fwload-make-sample OUT.enc [BLOCKS [PAYLOAD]]\n"
                          "Writes an encoded firmware file of BLOCKS blocks (32) of PAYLOAD\n"
                          "pseudo-random bytes (256) each.\n";

int UsageError(const std::string& what) {
  std::fprintf(stderr, "fwload-make-sample: %s\n%s", what.c_str(), Usage);
  return 1;
}

// A whole decimal number; strtol would take "12abc" as 12 and "abc" as 0.
bool ParseCount(const char* text, long& value) {
  const char* end = text + std::strlen(text);
  auto [last, ec] = std::from_chars(text, end, value);
  return *text && ec == std::errc() && last == end;
}

} // namespace

int main(int argc, char** argv) {
  std::vector<const char*> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (optionsEnded || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
      operands.push_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    } else {
      // Never a file named like an option: "--help" or "-x" is a mistake, not a name.
      return UsageError(std::string("unknown option ") + arg);
    }
  }
  if (operands.empty() || operands.size() > 3)
    return UsageError(operands.empty() ? "no output file given" : "too many arguments");
  const char* outName = operands[0];
  long blocks = 32, payload = 256;
  if (operands.size() > 1 && !ParseCount(operands[1], blocks))
    return UsageError(std::string("bad block count '") + operands[1] + "'");
  if (operands.size() > 2 && !ParseCount(operands[2], payload))
    return UsageError(std::string("bad payload size '") + operands[2] + "'");
  // The image holds 262144 bytes; a block's size L + 2 must fit 16 bits.
  if (blocks < 0 || payload < 0 || payload > 65533 || blocks > 262144 ||
      blocks * (payload + 2) > 262144) {
    std::fprintf(stderr, "fwload-make-sample: %ld blocks of %ld bytes do not fit the image\n",
                 blocks, payload);
    return 1;
  }
  std::vector<uint8_t> image;
  uint32_t seed = 0x2545F491;
  for (long b = 0; b < blocks; ++b) {
    image.push_back(static_cast<uint8_t>(payload >> 8));
    image.push_back(static_cast<uint8_t>(payload));
    for (long i = 0; i < payload; ++i) {
      seed ^= seed << 13;
      seed ^= seed >> 17;
      seed ^= seed << 5;
      image.push_back(static_cast<uint8_t>(seed));
    }
  }
  std::FILE* out = std::fopen(outName, "w");
  if (!out) {
    std::perror(outName);
    return 2;
  }
  for (size_t i = 0; i < image.size(); ++i)
    std::fprintf(out, "%02X%s", image[i], (i % 32 == 31 || i + 1 == image.size()) ? "\n" : " ");
  if (std::fclose(out) != 0) {
    std::perror(outName);
    return 2;
  }
  std::printf("%s: %ld blocks of %ld bytes\n", outName, blocks, payload);
  return 0;
}

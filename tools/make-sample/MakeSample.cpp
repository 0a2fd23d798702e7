// fwload-make-sample: writes an encoded firmware file to try fwload with: blocks of a
// pseudo-random payload, each a big-endian 16-bit length and the payload, as two-digit
// hexadecimal numbers, 32 bytes a line.
//   fwload-make-sample OUT.enc [BLOCKS [PAYLOAD]]     (defaults: 32 blocks of 256 bytes)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: fwload-make-sample OUT.enc [BLOCKS [PAYLOAD]]\n");
    return 1;
  }
  long blocks = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 32;
  long payload = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 256;
  // The image holds 262144 bytes; a block's size L + 2 must fit 16 bits.
  if (blocks < 0 || payload < 0 || payload > 65533 || blocks * (payload + 2) > 262144) {
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
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 2;
  }
  for (size_t i = 0; i < image.size(); ++i)
    std::fprintf(out, "%02X%s", image[i], (i % 32 == 31 || i + 1 == image.size()) ? "\n" : " ");
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 2;
  }
  std::printf("%s: %ld blocks of %ld bytes\n", argv[1], blocks, payload);
  return 0;
}

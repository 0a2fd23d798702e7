// Reading the encoded text into the image, as repeated two-digit hexadecimal conversions do,
// and the check of the image's blocks before anything is sent.
#include <gtest/gtest.h>

#include <vector>

#include "app/EncodedFile.h"
#include "support/TempDir.h"

using support::TTempDir;

namespace {

std::vector<uint8_t> Read(std::string_view text, size_t capacity = 64) {
  std::vector<uint8_t> image(capacity);
  TEncodedRead r = ReadEncodedText(text, image.data(), capacity);
  EXPECT_FALSE(r.TooBig) << text;
  image.resize(r.Count);
  return image;
}

using B = std::vector<uint8_t>;

} // namespace

TEST(EncodedReader, PairsWithOrWithoutWhiteSpaceAndInEitherCase) {
  EXPECT_EQ(Read("0A1B"), (B{0x0A, 0x1B}));
  EXPECT_EQ(Read("0A 1B"), (B{0x0A, 0x1B}));
  EXPECT_EQ(Read("0A\n1B"), (B{0x0A, 0x1B}));
  EXPECT_EQ(Read("0a\r\n1b\n"), (B{0x0A, 0x1B}));
  EXPECT_EQ(Read(" \t\v\f\r\nff\tFf  "), (B{0xFF, 0xFF}));
  EXPECT_EQ(Read("00"), (B{0x00}));
  EXPECT_EQ(Read(""), B{});
  EXPECT_EQ(Read("   \n"), B{});
}

TEST(EncodedReader, OddDigitsMakeOneDigitNumbers) {
  EXPECT_EQ(Read("ABC"), (B{0xAB, 0x0C}));
  EXPECT_EQ(Read("1 2 A"), (B{0x01, 0x02, 0x0A}));
  EXPECT_EQ(Read("12 3 45"), (B{0x12, 0x03, 0x45}));
  EXPECT_EQ(Read("12345"), (B{0x12, 0x34, 0x05}));
}

TEST(EncodedReader, TheFirstNonHexTextEndsTheReading) {
  EXPECT_EQ(Read("0A1G"), (B{0x0A, 0x01}));
  EXPECT_EQ(Read("0A G 1B"), (B{0x0A}));
  EXPECT_EQ(Read("\xEF\xBB\xBF"
                 "0A1B"),
            B{})
      << "a byte-order mark gives an empty image";
  EXPECT_EQ(Read("x0A"), B{});
  EXPECT_EQ(Read("0A,1B"), (B{0x0A}));
  // Not part of the format: signs and a C prefix stop it like any other text.
  EXPECT_EQ(Read("-1 0A"), B{});
  EXPECT_EQ(Read("+1"), B{});
  EXPECT_EQ(Read("0x12"), (B{0x00}));
  EXPECT_EQ(Read(std::string_view("0A\0"
                                  "1B",
                                  5)),
            (B{0x0A}));
}

TEST(EncodedReader, NeverWritesPastTheImageAndReportsTheOverflow) {
  std::vector<uint8_t> buf(6, 0xEE);
  TEncodedRead r = ReadEncodedText("01 02 03 04", buf.data(), 4);
  EXPECT_FALSE(r.TooBig);
  EXPECT_EQ(r.Count, 4u);
  r = ReadEncodedText("01 02 03 04  \n", buf.data(), 4);
  EXPECT_FALSE(r.TooBig) << "white space after the last number is no number";
  r = ReadEncodedText("01 02 03 04 G", buf.data(), 4);
  EXPECT_FALSE(r.TooBig) << "nor is text that ends the reading";
  r = ReadEncodedText("01020304 5", buf.data(), 4);
  EXPECT_TRUE(r.TooBig);
  EXPECT_EQ(r.Count, 4u);
  EXPECT_EQ(buf[4], 0xEE);
  EXPECT_EQ(buf[5], 0xEE);
}

TEST(EncodedReader, AFileReadsAsItsText) {
  TTempDir dir;
  std::string text = "00 03 AA bb C\r\n0001 7";
  std::string path = dir.Write("fw.enc", text);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_TRUE(f);
  std::vector<uint8_t> image(FirmwareImageSize);
  TEncodedRead r = ReadEncodedImage(f, image.data(), image.size());
  std::fclose(f);
  image.resize(r.Count);
  EXPECT_EQ(image, (B{0x00, 0x03, 0xAA, 0xBB, 0x0C, 0x00, 0x01, 0x07}));
  EXPECT_EQ(image, Read(text));

  // One more number than the image holds.
  std::string big;
  for (size_t i = 0; i <= FirmwareImageSize; ++i)
    big += "5A";
  path = dir.Write("big.enc", big);
  f = std::fopen(path.c_str(), "rb");
  ASSERT_TRUE(f);
  image.assign(FirmwareImageSize, 0);
  r = ReadEncodedImage(f, image.data(), image.size());
  std::fclose(f);
  EXPECT_TRUE(r.TooBig);
  EXPECT_EQ(r.Count, FirmwareImageSize);
}

TEST(ImageCheck, WholeBlocksPass) {
  EXPECT_EQ(CheckImage(nullptr, 0), TImageCheck::Ok);
  B one{0x00, 0x02, 0xAA, 0xBB};
  EXPECT_EQ(CheckImage(one.data(), one.size()), TImageCheck::Ok);
  B empties{0x00, 0x00, 0x00, 0x01, 0x42, 0x00, 0x00};
  EXPECT_EQ(CheckImage(empties.data(), empties.size()), TImageCheck::Ok);
  // The largest block a 16-bit length can carry: L = 65533, 65535 bytes in all.
  B largest(65535, 0x00);
  largest[0] = 0xFF;
  largest[1] = 0xFD;
  EXPECT_EQ(CheckImage(largest.data(), largest.size()), TImageCheck::Ok);
}

TEST(ImageCheck, TruncatedAndOversizedBlocksAreCorrupt) {
  B lone{0x00, 0x01, 0x42, 0x00};
  EXPECT_EQ(CheckImage(lone.data(), lone.size()), TImageCheck::Corrupt) << "a lone byte at the end";
  B shortBlock{0x00, 0x01, 0x42, 0x00, 0x03, 0x01, 0x02};
  EXPECT_EQ(CheckImage(shortBlock.data(), shortBlock.size()), TImageCheck::Corrupt);
  B justOneShort{0x00, 0x03, 0x01, 0x02};
  EXPECT_EQ(CheckImage(justOneShort.data(), justOneShort.size()), TImageCheck::Corrupt);
  for (unsigned length : {65534u, 65535u}) {
    B big(length + 2, 0x00);
    big[0] = static_cast<uint8_t>(length >> 8);
    big[1] = static_cast<uint8_t>(length & 0xFF);
    EXPECT_EQ(CheckImage(big.data(), big.size()), TImageCheck::Corrupt) << length;
  }
}

// Firmware for the upload tests: payloads, blocks as they go on the line, and the text of an
// encoded file.
#pragma once

#include <string>
#include <vector>

namespace support {

inline std::string Payload(size_t len, unsigned seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i)
    s[i] = static_cast<char>((i * 31 + seed * 7 + 3) & 0xFF);
  return s;
}

// A block as it goes on the line: 16-bit big-endian length, then the payload.
inline std::string BlockBytes(const std::string& payload) {
  std::string b;
  b.push_back(static_cast<char>(payload.size() >> 8));
  b.push_back(static_cast<char>(payload.size() & 0xFF));
  return b + payload;
}

// The text of an encoded file holding these payloads as blocks, in pairs with line breaks.
inline std::string EncodeBlocks(const std::vector<std::string>& payloads) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  int column = 0;
  auto put = [&](unsigned char b) {
    text += digits[b >> 4];
    text += digits[b & 15];
    text += (++column % 16 == 0) ? '\n' : ' ';
  };
  for (const std::string& p : payloads)
    for (char c : BlockBytes(p))
      put(static_cast<unsigned char>(c));
  return text;
}

inline std::vector<std::string> SomeBlocks(unsigned count, size_t size = 40) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < count; ++i)
    blocks.push_back(Payload(size, i));
  return blocks;
}

} // namespace support

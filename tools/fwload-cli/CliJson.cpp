#include "CliJson.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at `p` (shortest form, no surrogates, at most
// U+10FFFF), or 0.
size_t SequenceLength(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return n;
}

} // namespace

std::string Utf8Text(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    size_t n = SequenceLength(p + i, text.size() - i);
    if (n) {
      result.append(text.substr(i, n));
      i += n;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", p[i]);
      result += escaped;
      ++i;
    }
  }
  return result;
}

std::string JsonLine(const TJson& object) {
  return object.dump(-1, ' ', false, TJson::error_handler_t::replace) + "\n";
}

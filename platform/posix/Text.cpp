// UTF-8 <-> UTF-16 with Win32's counting rules and replacement of invalid input.
#include "platform/Win32.h"

#include <cstring>
#include <string>

namespace {

const char16_t ReplacementChar = 0xFFFD;

bool IsAnsiCodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP;
}

bool IsContinuation(unsigned char b, unsigned char low = 0x80, unsigned char high = 0xBF) {
  return b >= low && b <= high;
}

// Decodes one code point at `p`, advancing it. An ill-formed sequence yields -1 and skips its
// longest valid prefix (at least one byte): one replacement per maximal subpart.
long DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
  unsigned char lead = *p++;
  if (lead < 0x80) return lead;
  int more;
  unsigned char low = 0x80, high = 0xBF;
  long cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0; // overlong
    else if (lead == 0xED)
      high = 0x9F; // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90; // overlong
    else if (lead == 0xF4)
      high = 0x8F; // beyond U+10FFFF
  } else {
    return -1;
  }
  for (int i = 0; i < more; ++i) {
    if (p == end || !IsContinuation(*p, i == 0 ? low : 0x80, i == 0 ? high : 0xBF)) return -1;
    cp = (cp << 6) | (*p++ & 0x3F);
  }
  return cp;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t WideLength(LPCWSTR s) {
  size_t n = 0;
  while (s[n] != 0)
    ++n;
  return n;
}

} // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (CodePage != CP_UTF8 && !IsAnsiCodePage(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD allowed =
      CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
  if ((dwFlags & ~allowed) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (lpWideCharStr == nullptr && cchWideChar != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
  const auto* p = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  const auto* end = p + length;
  std::u16string out;
  out.reserve(length);
  while (p != end) {
    long cp = DecodeUtf8(p, end);
    if (cp < 0) {
      if (dwFlags & MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      out += ReplacementChar;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  if (out.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (cchWideChar == 0) return static_cast<int>(out.size());
  if (out.size() > size_t(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(char16_t));
  return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  bool utf8 = CodePage == CP_UTF8;
  if (!utf8 && !IsAnsiCodePage(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS;
  if ((dwFlags & ~allowed) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // Win32 refuses a default character for UTF-8, which can represent everything.
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
      (utf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  size_t length = cchWideChar == -1 ? WideLength(lpWideCharStr) + 1 : size_t(cchWideChar);
  std::string out;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    unsigned long c = lpWideCharStr[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
        lpWideCharStr[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (dwFlags & WC_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      if (utf8) {
        AppendUtf8(out, ReplacementChar);
      } else {
        out += lpDefaultChar ? lpDefaultChar : "?";
        if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
      }
    } else {
      AppendUtf8(out, c);
    }
  }
  if (out.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (cbMultiByte == 0) return static_cast<int>(out.size());
  if (out.size() > size_t(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, out.data(), out.size());
  return static_cast<int>(out.size());
}

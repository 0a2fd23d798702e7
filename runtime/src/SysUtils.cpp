#include "runtime/SysUtils.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

std::string FormatV(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string out(static_cast<size_t>(needed) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(needed);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

std::string IntToStr(int64_t value) {
  return std::to_string(value);
}

std::string IntToHex(uint64_t value, int digits) {
  char buf[32];
  snprintf(buf, sizeof buf, "%0*llX", digits < 0 ? 0 : (digits > 16 ? 16 : digits),
           static_cast<unsigned long long>(value));
  return buf;
}

bool TryStrToInt(const std::string& text, int32_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  int64_t magnitude = 0;
  for (; i < n; ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    magnitude = magnitude * base + digit;
    // Hexadecimal may spell the full 32-bit pattern ($FFFFFFFF is -1), decimal may not.
    if (magnitude > (base == 16 ? int64_t{0xFFFFFFFF} : int64_t{INT32_MAX} + 1)) return false;
  }
  int64_t result = negative ? -magnitude : magnitude;
  if (base == 16 && !negative && magnitude > INT32_MAX) result = static_cast<int32_t>(magnitude);
  if (result < INT32_MIN || result > INT32_MAX) return false;
  value = static_cast<int32_t>(result);
  return true;
}

int32_t StrToInt(const std::string& text) {
  int32_t value;
  if (!TryStrToInt(text, value))
    throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
  return value;
}

int32_t StrToIntDef(const std::string& text, int32_t defaultValue) {
  int32_t value;
  return TryStrToInt(text, value) ? value : defaultValue;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
    ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
    --e;
  return s.substr(b, e - b);
}

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

bool SameText(const std::string& a, const std::string& b) {
  return UpperCase(a) == UpperCase(b);
}

namespace {

// Where the last folder or drive part of a name ends.
size_t LastDelimiter(const std::string& fileName) {
#ifdef _WIN32
  return fileName.find_last_of("\\/:");
#else
  return fileName.rfind(PathDelim);
#endif
}

} // namespace

bool IsPathDelimiter(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == PathDelim;
#endif
}

size_t PathRootLength(const std::string& path) {
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
    return path.size() > 2 && IsPathDelimiter(path[2]) ? 3 : 2;
  if (path.size() >= 2 && IsPathDelimiter(path[0]) && IsPathDelimiter(path[1])) {
    // \\server\share\ (or \\.\device, \\?\...): the first two names after the two delimiters.
    size_t i = 2;
    for (int names = 0; names < 2 && i < path.size(); ++names) {
      while (i < path.size() && !IsPathDelimiter(path[i]))
        ++i;
      if (i < path.size()) ++i;
    }
    return i;
  }
#endif
  return !path.empty() && IsPathDelimiter(path[0]) ? 1 : 0;
}

bool IsAbsolutePath(const std::string& path) {
  size_t root = PathRootLength(path);
  return root > 0 && IsPathDelimiter(path[root - 1]);
}

std::string ExtractFilePath(const std::string& fileName) {
  size_t p = LastDelimiter(fileName);
  return p == std::string::npos ? std::string() : fileName.substr(0, p + 1);
}

std::string ExtractFileDir(const std::string& fileName) {
  size_t p = LastDelimiter(fileName);
  if (p == std::string::npos) return std::string();
  // The root keeps its delimiter: the folder of "/a" is "/", of "C:\a" "C:\".
  return p < PathRootLength(fileName) ? fileName.substr(0, p + 1) : fileName.substr(0, p);
}

std::string ExtractFileName(const std::string& fileName) {
  size_t p = LastDelimiter(fileName);
  return p == std::string::npos ? fileName : fileName.substr(p + 1);
}

std::string ExtractFileExt(const std::string& fileName) {
  std::string name = ExtractFileName(fileName);
  size_t p = name.rfind('.');
  return p == std::string::npos ? std::string() : name.substr(p);
}

std::string ChangeFileExt(const std::string& fileName, const std::string& ext) {
  std::string dir = ExtractFilePath(fileName), name = ExtractFileName(fileName);
  size_t p = name.rfind('.');
  if (p != std::string::npos) name.resize(p);
  return dir + name + ext;
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  return (!path.empty() && IsPathDelimiter(path.back())) ? path : path + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
  std::string r = path;
  size_t root = std::max<size_t>(PathRootLength(r), 1);
  while (r.size() > root && IsPathDelimiter(r.back()))
    r.pop_back();
  return r;
}

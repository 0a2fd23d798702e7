#include "runtime/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

std::string ExtractFilePath(const std::string& fileName) {
  size_t p = fileName.rfind(PathDelim);
  return p == std::string::npos ? std::string() : fileName.substr(0, p + 1);
}

std::string ExtractFileDir(const std::string& fileName) {
  size_t p = fileName.rfind(PathDelim);
  if (p == std::string::npos) return std::string();
  return p == 0 ? std::string(1, PathDelim) : fileName.substr(0, p);
}

std::string ExtractFileName(const std::string& fileName) {
  size_t p = fileName.rfind(PathDelim);
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
  return (!path.empty() && path.back() == PathDelim) ? path : path + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
  std::string r = path;
  while (r.size() > 1 && r.back() == PathDelim)
    r.pop_back();
  return r;
}

std::string ExpandFileName(const std::string& fileName) {
  std::string full = (!fileName.empty() && fileName[0] == PathDelim)
                         ? fileName
                         : IncludeTrailingPathDelimiter(GetCurrentDir()) + fileName;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t j = full.find(PathDelim, i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& p : parts)
    out += PathDelim + p;
  if (out.empty()) out = std::string(1, PathDelim);
  if (fileName.size() > 1 && fileName.back() == PathDelim && out.back() != PathDelim)
    out += PathDelim;
  return out;
}

bool FileExists(const std::string& fileName) {
  struct stat st;
  return stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& dir) {
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DirectoryWritable(const std::string& dir) {
  return DirectoryExists(dir) && access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string GetCurrentDir() {
  std::vector<char> buf(4096);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

bool SetCurrentDir(const std::string& dir) {
  return chdir(dir.c_str()) == 0;
}

std::string ParamStr0() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  return std::string(buf.data(), static_cast<size_t>(n));
}

// Run-time library basics: the exception classes, formatting and conversions, path helpers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

// The framework's base object class.
class TObject {
public:
  virtual ~TObject() = default;
};

// Base of every exception the framework and the libraries raise: a message and a help context.
class Exception : public std::exception {
public:
  explicit Exception(std::string message, int helpContext = 0)
      : FMessage(std::move(message)), FHelpContext(helpContext) {}
  ~Exception() override = default;
  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string message) { FMessage = std::move(message); }
  int HelpContext() const { return FHelpContext; }
  void SetHelpContext(int helpContext) { FHelpContext = helpContext; }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
  int FHelpContext;
};

// An input/output failure; ErrorCode is the (positive) operating-system or run-time number.
class EInOutError : public Exception {
public:
  explicit EInOutError(std::string message, int errorCode = 0)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

class EOutOfMemory : public Exception {
public:
  EOutOfMemory() : Exception("Out of memory") {}
  explicit EOutOfMemory(std::string message) : Exception(std::move(message)) {}
};

class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

std::string IntToStr(int64_t value);
std::string IntToHex(uint64_t value, int digits);
// Decimal, or hexadecimal with a leading "$", "0x" or "0X"; an optional sign; leading blanks.
// Anything else, or a value outside 32-bit signed range, raises EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);
int32_t StrToIntDef(const std::string& text, int32_t defaultValue);
bool TryStrToInt(const std::string& text, int32_t& value);

std::string Trim(const std::string& s);
std::string UpperCase(const std::string& s); // ASCII letters only
std::string LowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b); // ASCII case-insensitive

// Paths: '/' separated; on Windows '\' separated, '/' also taken, with drive letters
// ("C:\...") and shares ("\\server\share\...").
#ifdef _WIN32
constexpr char PathDelim = '\\';
#else
constexpr char PathDelim = '/';
#endif
bool IsPathDelimiter(char c);
// How many characters of `path` name its root: "/" here; "C:\", "C:" or "\\server\share\" on
// Windows too. 0 for a relative path.
size_t PathRootLength(const std::string& path);
bool IsAbsolutePath(const std::string& path);
std::string ExtractFilePath(const std::string& fileName); // with its trailing delimiter
std::string ExtractFileDir(const std::string& fileName);  // without it
std::string ExtractFileName(const std::string& fileName);
std::string ExtractFileExt(const std::string& fileName); // with its dot
std::string ChangeFileExt(const std::string& fileName, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& path);
std::string ExcludeTrailingPathDelimiter(const std::string& path);

// The file system; each system has its own body (runtime/src/posix, runtime/src/windows).
// Names are UTF-8 on every system.
std::string ExpandFileName(const std::string& fileName); // absolute, . and .. resolved
bool FileExists(const std::string& fileName);
bool DirectoryExists(const std::string& dir);
bool DirectoryWritable(const std::string& dir);
bool CreateDir(const std::string& dir); // one level; false when it cannot be made
std::string GetCurrentDir();
bool SetCurrentDir(const std::string& dir);
std::string ParamStr0(); // the executable's full path

#ifdef _WIN32
// UTF-8 to and from the wide strings the Windows file functions take.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
#endif

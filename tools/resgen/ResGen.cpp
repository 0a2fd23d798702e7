#include "ResGen.h"

#include <cstdio>
#include <limits>

namespace resgen {

EResgenError::EResgenError(const std::string& fileName, int line, const std::string& reason)
    : std::runtime_error(fileName + ":" + std::to_string(line) + ": " + reason), FileName(fileName),
      Line(line), Reason(reason) {}

namespace {

bool IsSurrogate(uint32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

void AppendCodePoint(std::u16string& out, uint32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class TLineParser {
public:
  TLineParser(std::string_view text, const std::string& fileName, int line)
      : FText(text), FFileName(fileName), FLine(line) {}

  std::u16string Decode() {
    std::u16string out;
    while (FPos < FText.size()) {
      unsigned char c = static_cast<unsigned char>(FText[FPos]);
      if (c == '\\') {
        ++FPos;
        DecodeEscape(out);
      } else if (c < 0x20 || c == 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", c);
        Fail(std::string("raw control character ") + hex + " in the text; write it as an escape");
      } else if (c < 0x80) {
        out.push_back(c);
        ++FPos;
      } else {
        AppendCodePoint(out, DecodeUtf8());
      }
    }
    return out;
  }

private:
  [[noreturn]] void Fail(const std::string& reason) const {
    throw EResgenError(FFileName, FLine, reason);
  }

  uint32_t TakeHex(int digits, char escape) {
    if (FText.size() - FPos < static_cast<size_t>(digits))
      Fail(std::string("bad escape \\") + escape + ": needs " + std::to_string(digits) +
           " hex digits");
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
      int h = HexValue(FText[FPos + i]);
      if (h < 0)
        Fail(std::string("bad escape \\") + escape + ": needs " + std::to_string(digits) +
             " hex digits");
      v = v * 16 + static_cast<uint32_t>(h);
    }
    FPos += digits;
    return v;
  }

  void DecodeEscape(std::u16string& out) {
    if (FPos >= FText.size()) Fail("bad escape: a lone backslash ends the line");
    char e = FText[FPos++];
    uint32_t c = 0;
    switch (e) {
    case 't':
      c = '\t';
      break;
    case 'n':
      c = '\n';
      break;
    case 'r':
      c = '\r';
      break;
    case '\\':
      c = '\\';
      break;
    case '"':
      c = '"';
      break;
    case '\'':
      c = '\'';
      break;
    case 'x':
      c = TakeHex(2, e);
      break;
    case 'u':
      c = TakeHex(4, e);
      break;
    case 'U':
      c = TakeHex(8, e);
      break;
    default:
      Fail(std::string("bad escape \\") + e);
    }
    if (c == 0) Fail("a NUL character cannot stand in a text");
    if (IsSurrogate(c)) Fail("bad escape: a surrogate is not a character (use \\U for it)");
    if (c > 0x10FFFF) Fail("bad escape: beyond the last Unicode character");
    AppendCodePoint(out, c);
  }

  uint32_t DecodeUtf8() {
    unsigned char lead = static_cast<unsigned char>(FText[FPos]);
    int extra;
    uint32_t c;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07u, min = 0x10000;
    } else {
      Fail("invalid UTF-8 in the text");
    }
    if (FText.size() - FPos <= static_cast<size_t>(extra)) Fail("invalid UTF-8 in the text");
    for (int i = 1; i <= extra; ++i) {
      unsigned char b = static_cast<unsigned char>(FText[FPos + i]);
      if ((b & 0xC0) != 0x80) Fail("invalid UTF-8 in the text");
      c = (c << 6) | (b & 0x3Fu);
    }
    if (c < min || c > 0x10FFFF || IsSurrogate(c)) Fail("invalid UTF-8 in the text");
    FPos += extra + 1;
    return c;
  }

  std::string_view FText;
  const std::string& FFileName;
  int FLine;
  size_t FPos = 0;
};

bool ParseIdent(std::string_view s, int32_t& ident) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && s[i] == '-') negative = true, ++i;
  if (i == s.size() || s.size() - i > 10) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  ident = static_cast<int32_t>(v);
  return true;
}

void PutLE32(std::vector<unsigned char>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

std::vector<TResEntry> ParseTable(std::string_view source, const std::string& fileName) {
  std::vector<TResEntry> entries;
  int lineNo = 0;
  size_t pos = 0;
  while (pos < source.size()) {
    size_t end = source.find('\n', pos);
    if (end == std::string_view::npos) end = source.size();
    std::string_view line = source.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    if (line.back() == '\r')
      throw EResgenError(fileName, lineNo, "carriage return at the line end; use LF line ends");
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
      throw EResgenError(fileName, lineNo, "malformed line: expected an ident, a tab and the text");
    int32_t ident;
    if (!ParseIdent(line.substr(0, tab), ident))
      throw EResgenError(fileName, lineNo,
                         "malformed line: '" + std::string(line.substr(0, tab)) +
                             "' is not a 32-bit decimal ident");
    if (!entries.empty()) {
      const TResEntry& prev = entries.back();
      if (ident == prev.Ident)
        throw EResgenError(fileName, lineNo,
                           "duplicate ident " + std::to_string(ident) + " (first at line " +
                               std::to_string(prev.Line) + ")");
      if (ident < prev.Ident)
        throw EResgenError(fileName, lineNo,
                           "ident " + std::to_string(ident) + " is out of order after " +
                               std::to_string(prev.Ident) + " (line " + std::to_string(prev.Line) +
                               "); idents must ascend");
    }
    TLineParser parser(line.substr(tab + 1), fileName, lineNo);
    entries.push_back({ident, parser.Decode(), lineNo});
  }
  return entries;
}

std::vector<unsigned char> CompileTable(const std::vector<TResEntry>& entries) {
  uint64_t size = 8 + 12 * uint64_t(entries.size());
  for (const TResEntry& e : entries)
    size += 2 * uint64_t(e.Text.size());
  if (size > uint64_t(std::numeric_limits<int32_t>::max()))
    throw std::length_error("string table larger than 2 GB");

  std::vector<unsigned char> out(size);
  out[0] = 'S', out[1] = 'T', out[2] = 'R', out[3] = '0';
  PutLE32(out, 4, static_cast<uint32_t>(entries.size()));
  size_t text = 8 + 12 * entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const TResEntry& e = entries[i];
    PutLE32(out, 8 + 12 * i, static_cast<uint32_t>(e.Ident));
    PutLE32(out, 12 + 12 * i, static_cast<uint32_t>(text));
    PutLE32(out, 16 + 12 * i, static_cast<uint32_t>(e.Text.size()));
    for (char16_t u : e.Text) {
      out[text++] = static_cast<unsigned char>(u & 0xFF);
      out[text++] = static_cast<unsigned char>(u >> 8);
    }
  }
  return out;
}

bool ValidResourceName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

std::string RegistrationFunction(const std::string& resourceName) {
  return "RegisterResource_" + resourceName;
}

std::string GenerateSource(const std::vector<unsigned char>& table, const std::string& resourceName,
                           const std::string& sourceName) {
  const std::string fn = RegistrationFunction(resourceName);
  std::string s;
  s.reserve(table.size() * 6 + 1024);
  s += "// Generated by resgen from " + sourceName + ": the STR0 table " + resourceName +
       ". Do not edit.\n";
  s += "#include \"platform/Win32.h\"\n\nnamespace {\n";
  s += "alignas(8) const unsigned char Data[" + std::to_string(table.size()) + "] = {";
  char hex[8];
  for (size_t i = 0; i < table.size(); ++i) {
    s += (i % 16 == 0) ? "\n    " : " ";
    std::snprintf(hex, sizeof hex, "0x%02X,", table[i]);
    s += hex;
  }
  s += "\n};\n} // namespace\n\n";
  s += "void " + fn + "();\n";
  s += "void " + fn + "() {\n";
  s += "  static const bool registered =\n";
  s +=
      "      platform::RegisterResource(\"" + resourceName + "\", RT_RCDATA, Data, sizeof Data);\n";
  s += "  (void)registered;\n}\n\n";
  s += "namespace {\n[[maybe_unused]] const bool Registered = (" + fn + "(), true);\n}\n";
  return s;
}

std::string GenerateResourceScript(const std::string& resourceName, const std::string& binaryPath,
                                   const std::string& sourceName) {
  // windres and rc both take '/' in a path; a '\\' would need doubling inside the quotes.
  std::string path = binaryPath;
  for (char& c : path)
    if (c == '\\') c = '/';
  return "// Generated by resgen from " + sourceName + ": the STR0 table " + resourceName +
         ". Do not edit.\n" + resourceName + " RCDATA \"" + path + "\"\n";
}

std::string GenerateStubSource(const std::string& resourceName, const std::string& sourceName) {
  const std::string fn = RegistrationFunction(resourceName);
  return "// Generated by resgen from " + sourceName + ": the STR0 table " + resourceName +
         " is an RCDATA resource of the executable (its .rc file). Do not edit.\n" + "void " + fn +
         "();\nvoid " + fn + "() {}\n";
}

} // namespace resgen

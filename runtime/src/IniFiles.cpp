#include "runtime/IniFiles.h"

#include <algorithm>

#include "FileIo.h"

namespace {

// The profile functions hand values over in a buffer of 2048 bytes, terminator included.
constexpr size_t MaxValueLength = 2047;

// The file as lines without their '\n'; a line keeps its '\r' so that untouched lines are
// written back exactly. New lines follow the file's own line ends.
struct TIniText {
  std::vector<std::string> Lines;
  bool Crlf = false;
  bool FinalNewline = true;
};

enum class TLoad { Ok, Missing, Failed };

TLoad Load(const std::string& path, TIniText& text) {
  std::string data;
  // Larger than any profile file; a path that leads to something else (a device, a pipe, a
  // runaway log) must not fill the memory or block the program.
  switch (ReadRegularFile(path, MaxIniFileSize, data)) {
  case TFileRead::Missing:
    return TLoad::Missing;
  case TFileRead::Failed:
    return TLoad::Failed;
  case TFileRead::Ok:
    break;
  }
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) {
      text.Lines.push_back(data.substr(start));
      text.FinalNewline = false;
      break;
    }
    text.Lines.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  // The first line end decides (a file may well start with an empty line).
  size_t firstEnd = data.find('\n');
  text.Crlf = firstEnd != std::string::npos && firstEnd > 0 && data[firstEnd - 1] == '\r';
  return TLoad::Ok;
}

std::string WithoutCr(const std::string& line) {
  return (!line.empty() && line.back() == '\r') ? line.substr(0, line.size() - 1) : line;
}

bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(WithoutCr(line));
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// A "key=value" line; comments (';') and lines without '=' are no keys.
bool KeyLine(const std::string& line, std::string& key, std::string& value) {
  std::string t = WithoutCr(line);
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  if (key.empty() || key[0] == ';') return false;
  value = Trim(t.substr(eq + 1));
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  return true;
}

size_t FindSection(const TIniText& text, const std::string& section) {
  std::string name;
  for (size_t i = 0; i < text.Lines.size(); ++i)
    if (SectionName(text.Lines[i], name) && SameText(name, section)) return i;
  return std::string::npos;
}

size_t SectionEnd(const TIniText& text, size_t header) {
  std::string name;
  size_t i = header + 1;
  while (i < text.Lines.size() && !SectionName(text.Lines[i], name))
    ++i;
  return i;
}

size_t FindKey(const TIniText& text, size_t header, const std::string& key, std::string* value) {
  std::string k, v;
  for (size_t i = header + 1, end = SectionEnd(text, header); i < end; ++i)
    if (KeyLine(text.Lines[i], k, v) && SameText(k, key)) {
      if (value) *value = v;
      return i;
    }
  return std::string::npos;
}

[[noreturn]] void RaiseWriteError(const std::string& fileName) {
  throw Exception(Format("Unable to write to %s", fileName.c_str()));
}

void Save(const std::string& fileName, const TIniText& text) {
  std::string data;
  for (size_t i = 0; i < text.Lines.size(); ++i) {
    data += text.Lines[i];
    if (i + 1 < text.Lines.size() || text.FinalNewline) data += '\n';
  }
  if (!ReplaceFileContents(fileName, data)) RaiseWriteError(fileName);
}

// Names and values that would break the file's line structure are refused rather than
// written: a newline in a value would smuggle in lines of its own.
void CheckEntry(const std::string& section, const std::string* key, const std::string* value) {
  auto bad = [](const std::string& s, const char* chars) {
    return s.find_first_of(chars) != std::string::npos;
  };
  if (Trim(section).empty() || bad(section, "]\r\n"))
    throw Exception(Format("Invalid INI section name '%s'", section.c_str()));
  if (key &&
      (Trim(*key).empty() || bad(*key, "=\r\n") || Trim(*key)[0] == '[' || Trim(*key)[0] == ';'))
    throw Exception(Format("Invalid INI key name '%s'", key->c_str()));
  if (value && bad(*value, "\r\n"))
    throw Exception(Format("Invalid INI value for key '%s'", key ? key->c_str() : ""));
}

std::string Cut(std::string value) {
  if (value.size() <= MaxValueLength) return value;
  size_t n = MaxValueLength;
  // Do not leave half a UTF-8 character behind.
  while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80)
    --n;
  value.resize(n);
  return value;
}

// Sets one value in the text: an existing key keeps its line (and its own line end), a new
// key goes after its section's last non-blank line, a new section at the end.
void Put(TIniText& text, const std::string& section, const std::string& key,
         const std::string& value) {
  std::string eol = text.Crlf ? "\r" : "";
  std::string line = Trim(key) + "=" + value + eol;
  size_t header = FindSection(text, section);
  if (header == std::string::npos) {
    if (!text.Lines.empty() && !Trim(text.Lines.back()).empty()) text.Lines.push_back(eol);
    text.Lines.push_back("[" + Trim(section) + "]" + eol);
    text.Lines.push_back(line);
    text.FinalNewline = true;
    return;
  }
  size_t at = FindKey(text, header, key, nullptr);
  if (at != std::string::npos) {
    std::string oldKey, oldValue;
    KeyLine(text.Lines[at], oldKey, oldValue);
    const std::string& old = text.Lines[at];
    text.Lines[at] = oldKey + "=" + value + (!old.empty() && old.back() == '\r' ? "\r" : "");
    return;
  }
  // After the section's last non-blank line, so blank lines before the next section stay.
  size_t end = SectionEnd(text, header);
  while (end > header + 1 && Trim(text.Lines[end - 1]).empty())
    --end;
  text.Lines.insert(text.Lines.begin() + static_cast<ptrdiff_t>(end), line);
  if (end == text.Lines.size() - 1) text.FinalNewline = true;
}

} // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return defaultValue;
  size_t header = FindSection(text, section);
  std::string value;
  if (header == std::string::npos || FindKey(text, header, key, &value) == std::string::npos)
    return defaultValue;
  return Cut(value);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
  std::string text = ReadString(section, key, "");
  int32_t value;
  bool ok = (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
                ? TryStrToInt("$" + text.substr(2), value)
                : TryStrToInt(text, value);
  return ok ? value : defaultValue;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  WriteEntries({{section, key, value}});
}

void TIniFile::WriteEntries(const std::vector<TIniEntry>& entries) {
  for (const TIniEntry& e : entries)
    CheckEntry(e.Section, &e.Key, &e.Value);
  TIniText text;
  // A file that exists but cannot be read must not be replaced by one holding only our keys.
  if (Load(FFileName, text) == TLoad::Failed) RaiseWriteError(FFileName);
  for (const TIniEntry& e : entries)
    Put(text, e.Section, e.Key, e.Value);
  Save(FFileName, text);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return keys;
  size_t header = FindSection(text, section);
  if (header == std::string::npos) return keys;
  std::string k, v;
  for (size_t i = header + 1, end = SectionEnd(text, header); i < end; ++i)
    if (KeyLine(text.Lines[i], k, v)) keys.push_back(k);
  return keys;
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> sections;
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return sections;
  std::string name;
  for (const std::string& line : text.Lines)
    if (SectionName(line, name)) sections.push_back(name);
  return sections;
}

bool TIniFile::SectionExists(const std::string& section) const {
  TIniText text;
  return Load(FFileName, text) == TLoad::Ok && FindSection(text, section) != std::string::npos;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return false;
  size_t header = FindSection(text, section);
  return header != std::string::npos && FindKey(text, header, key, nullptr) != std::string::npos;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return;
  size_t header = FindSection(text, section);
  if (header == std::string::npos) return;
  size_t at = FindKey(text, header, key, nullptr);
  if (at == std::string::npos) return;
  text.Lines.erase(text.Lines.begin() + static_cast<ptrdiff_t>(at));
  Save(FFileName, text);
}

void TIniFile::EraseSection(const std::string& section) {
  TIniText text;
  if (Load(FFileName, text) != TLoad::Ok) return;
  size_t header = FindSection(text, section);
  if (header == std::string::npos) return;
  text.Lines.erase(text.Lines.begin() + static_cast<ptrdiff_t>(header),
                   text.Lines.begin() + static_cast<ptrdiff_t>(SectionEnd(text, header)));
  Save(FFileName, text);
}

// TIniFile: a profile (INI) file read and written with the Windows profile-file rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

// Every call opens the file anew and lets it go again; nothing is cached between calls, so
// other programs' changes are seen and ours reach the disk at once. A write replaces the file
// through a temporary file and a rename, so a crash never leaves half a file behind. Section
// and key names compare without regard to ASCII case; lines the class does not touch are kept
// byte for byte. Only regular files of up to 64 MiB are read; anything else reads as
// unreadable (the defaults) and is never overwritten.
// The largest file read; callers that check a file up front use the same limit.
constexpr long long MaxIniFileSize = 64LL << 20;

// One value for TIniFile::WriteEntries.
struct TIniEntry {
  std::string Section, Key, Value;
};

class TIniFile : public TObject {
public:
  explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

  const std::string& FileName() const { return FFileName; }

  // The value's text with blanks around it and one pair of enclosing quotes removed, cut to
  // 2047 bytes as the profile functions' 2048-byte buffer does; `defaultValue` when the file,
  // section or key is missing.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // Longer than 2 characters and starting with "0x"/"0X": hexadecimal; otherwise decimal or
  // "$" hexadecimal. Anything that does not convert wholly into 32 bits gives the default.
  int32_t ReadInteger(const std::string& section, const std::string& key,
                      int32_t defaultValue) const;
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

  // Creates the file, the section and the key as needed; an existing key keeps its line.
  // A refused write raises Exception "Unable to write to <file name>".
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Several values, in order, with one replace of the file: all of them reach it or, when the
  // write is refused, none (the file is left as it was).
  void WriteEntries(const std::vector<TIniEntry>& entries);

  // Key names of a section in file order (empty when the section is missing).
  std::vector<std::string> ReadSection(const std::string& section) const;
  std::vector<std::string> ReadSections() const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  void DeleteKey(const std::string& section, const std::string& key);
  void EraseSection(const std::string& section);

private:
  std::string FFileName;
};

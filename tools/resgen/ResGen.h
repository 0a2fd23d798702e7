// resgen's parser and compiler: message-table sources (.tsv) to STR0 tables and to the C++
// file that embeds one. Kept apart from main() so that tests can drive it directly.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace resgen {

struct TResEntry {
  int32_t Ident;
  std::u16string Text;
  int Line; // where the entry stands in its source, for later diagnostics
};

// A fault in a table source; what() reads "<file>:<line>: <reason>".
class EResgenError : public std::runtime_error {
public:
  EResgenError(const std::string& fileName, int line, const std::string& reason);
  std::string FileName;
  int Line;
  std::string Reason;
};

// One entry a line: a decimal ident, one tab, the text. Blank lines and lines starting with
// '#' are skipped. Idents must strictly ascend. Escapes in the text: \t \n \r \\ \" \' \xNN
// (U+00NN), \uNNNN (a BMP character) and \UNNNNNNNN (any character); raw UTF-8 is accepted,
// raw control characters are not.
std::vector<TResEntry> ParseTable(std::string_view source, const std::string& fileName);

// The STR0 layout: "STR0", the entry count, 12-byte entries (ident, offset, length in UTF-16
// units), then the UTF-16LE texts in entry order. All integers little-endian.
std::vector<unsigned char> CompileTable(const std::vector<TResEntry>& entries);

// Resource names become C++ identifiers and string literals, so only [A-Za-z0-9_] is allowed.
bool ValidResourceName(const std::string& name);

// The function the generated file defines; it registers the table (once) and is called both
// from the file's static initialiser and by the reader, which keeps the object file linked.
std::string RegistrationFunction(const std::string& resourceName);

std::string GenerateSource(const std::vector<unsigned char>& table, const std::string& resourceName,
                           const std::string& sourceName);

// For Windows, where the table is a real RCDATA resource: a resource script naming the table's
// bytes in `binaryPath`, and a C++ file whose registration function has nothing to do.
std::string GenerateResourceScript(const std::string& resourceName, const std::string& binaryPath,
                                   const std::string& sourceName);
std::string GenerateStubSource(const std::string& resourceName, const std::string& sourceName);

} // namespace resgen

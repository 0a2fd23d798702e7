// fwload-cli's JSON writer on texts it takes from outside: paths, port names, ids. Whatever the
// bytes, the record is one line that a strict reader takes, and the texts come back as
// Utf8Text made them (unchanged when they were valid UTF-8).
#include <cstddef>
#include <cstdint>
#include <string>

#include "CliJson.h"
#include "CliReport.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Two texts: the file and, after the first 0xFF, the port (also the batch).
  const size_t cut = input.find('\xFF');
  const std::string file = input.substr(0, cut);
  const std::string port = cut == std::string::npos ? "" : input.substr(cut + 1);

  const std::string safeFile = Utf8Text(file);
  FUZZ_CHECK(Utf8Text(safeFile) == safeFile);
  if (safeFile.find("\\x") == std::string::npos) FUZZ_CHECK(safeFile == file);

  TRunRecord r;
  r.File = file;
  r.Port = port;
  r.Device = port;
  r.Batch = port;
  TJson object = ReportObject(r);
  std::string line;
  try {
    // The strict handler: a byte that Utf8Text let through invalid would throw here.
    line = object.dump() + "\n";
  } catch (const TJson::exception&) {
    FUZZ_CHECK(!"Utf8Text left invalid UTF-8");
  }
  FUZZ_CHECK(line == JsonLine(object));
  FUZZ_CHECK(line.find('\n') == line.size() - 1);
  TJson back = TJson::parse(line, nullptr, false);
  FUZZ_CHECK(back.is_object());
  FUZZ_CHECK(back["file"] == safeFile);
  FUZZ_CHECK(back["port"] == Utf8Text(port));
  FUZZ_CHECK(back["v"] == CliJsonVersion);

  // CSV: one record on one line unless a field holds a line break, which is then quoted.
  const std::string csv = CsvLine(r);
  FUZZ_CHECK(!csv.empty() && csv.back() == '\n');
  return 0;
}

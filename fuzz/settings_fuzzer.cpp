// The settings file: the input is the file's content. It is read, the settings are written
// back, and then the file must read back exactly what was written, keep every other section
// and key with its value (and every line it did not replace, byte for byte), leave no
// temporary file behind, and give the same bytes when the same settings are written again.
#include "FuzzCheck.h"
#include "app/Settings.h"
#include "runtime/IniFiles.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// One folder per process, removed at exit (test.sh also points TMPDIR at a scratch folder).
struct TFuzzDir {
  std::string Path;
  std::string File;
  TFuzzDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/fwload-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    Path = pattern;
    File = Path + "/fwload.INI";
  }
  ~TFuzzDir() {
    for (const std::string& name : Names())
      unlink((Path + "/" + name).c_str());
    rmdir(Path.c_str());
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(Path.c_str())) {
      while (dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
          names.push_back(e->d_name);
      closedir(dir);
    }
    return names;
  }
};

TFuzzDir& FuzzDir() {
  static TFuzzDir dir;
  return dir;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(size == 0 || write(fd, data, size) == ssize_t(size));
  close(fd);
}

std::string ReadFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    text.append(buf, size_t(n));
  close(fd);
  return text;
}

// Lines as the profile file has them: split at '\n', no empty line after a final '\n'.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
           return up(x) == up(y);
         });
}

bool IsSettingsKey(const std::string& section, const std::string& key) {
  return (SameText(section, "Form") && (SameText(key, "Top") || SameText(key, "Left"))) ||
         (SameText(section, "COM") && (SameText(key, "Number") || SameText(key, "Baud")));
}

// A line the write may replace: one that names one of the four keys before an '='.
bool MayBeReplaced(const std::string& line) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string key = Trim(line.substr(0, eq));
  return SameText(key, "Top") || SameText(key, "Left") || SameText(key, "Number") ||
         SameText(key, "Baud");
}

// Every section's keys and values as TIniFile sees them, the four settings keys left out.
using TSnapshot =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

TSnapshot Snapshot(const TIniFile& ini) {
  constexpr size_t MaxSections = 32, MaxKeys = 32; // every look-up reads the whole file again
  TSnapshot snapshot;
  for (const std::string& section : ini.ReadSections()) {
    if (snapshot.size() == MaxSections) break;
    std::vector<std::pair<std::string, std::string>> keys;
    for (const std::string& key : ini.ReadSection(section)) {
      if (keys.size() == MaxKeys) break;
      if (IsSettingsKey(section, key)) continue;
      std::string value = ini.ReadString(section, key, "\n"); // no value holds a line end
      FUZZ_CHECK(value != "\n");                              // a listed key reads
      keys.emplace_back(key, value);
    }
    // The write makes Form and COM when they are missing: they count by their other keys.
    bool own = SameText(section, "Form") || SameText(section, "COM");
    if (!own || !keys.empty()) snapshot.emplace_back(section, std::move(keys));
  }
  return snapshot;
}

uint64_t Hash(const uint8_t* data, size_t size) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i)
    h = (h ^ data[i]) * 1099511628211ull;
  return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TFuzzDir& dir = FuzzDir();
  WriteFile(dir.File, data, size);
  std::string original(reinterpret_cast<const char*>(data), size);
  TIniFile ini(dir.File);

  TSnapshot before = Snapshot(ini);
  auto portsBefore = ReadPortMap(dir.File);
  int last = 0;
  for (const auto& [port, device] : portsBefore) {
    FUZZ_CHECK(port > last && port <= 50 && !device.empty());
    last = port;
  }

  TSettings read = ReadSettingsFile(dir.File);
  // New values from the input, so that each run writes something else than it found.
  uint64_t h = Hash(data, size);
  TSettings wanted;
  wanted.Top = int32_t(uint32_t(h));
  wanted.Left = int32_t(uint32_t(h >> 32)) ^ read.Left;
  wanted.ComNumber = uint16_t(h >> 17);
  wanted.Baud = (h & 1) ? read.Baud : int32_t(uint32_t(h >> 23));
  WriteSettingsFile(dir.File, wanted);

  TSettings back = ReadSettingsFile(dir.File);
  FUZZ_CHECK(back.Top == wanted.Top && back.Left == wanted.Left);
  FUZZ_CHECK(back.ComNumber == wanted.ComNumber && back.Baud == wanted.Baud);
  FUZZ_CHECK(Snapshot(ini) == before);
  FUZZ_CHECK(ReadPortMap(dir.File) == portsBefore);

  // The lines it cannot have replaced are all there, in their order and byte for byte. (A
  // line that may have been replaced is not matched: it could match a copy further down.)
  std::string written = ReadFile(dir.File);
  std::vector<std::string> now = Lines(written);
  size_t at = 0;
  for (const std::string& line : Lines(original)) {
    if (MayBeReplaced(line)) continue;
    while (at < now.size() && now[at] != line)
      ++at;
    FUZZ_CHECK(at < now.size());
    ++at;
  }

  // The replace through a temporary file leaves nothing else in the folder.
  std::vector<std::string> names = dir.Names();
  FUZZ_CHECK(names.size() == 1 && names[0] == "fwload.INI");

  WriteSettingsFile(dir.File, wanted);
  FUZZ_CHECK(ReadFile(dir.File) == written);
  return 0;
}

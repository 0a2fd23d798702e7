// A fresh temporary folder per test, removed with what it holds at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace support {

class TTempDir {
public:
#ifdef _WIN32
  static constexpr char Separator = '\\';
  TTempDir() {
    static int counter = 0;
    std::wstring base = std::filesystem::temp_directory_path().wstring();
    std::string path = ExcludeTrailingPathDelimiter(WideToUtf8(base)) + "\\fwload-test-" +
                       std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDir(path)) FPath = path;
  }
#else
  static constexpr char Separator = '/';
  TTempDir() {
    char pattern[] = "/tmp/fwload-test-XXXXXX";
    if (mkdtemp(pattern)) FPath = pattern;
  }
#endif
  ~TTempDir() {
    std::error_code ec;
    if (!FPath.empty()) std::filesystem::remove_all(FsPath(FPath), ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + Separator + name; }
  // Writes `bytes` to `name` (folders on the way made) and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string path = File(name);
    std::filesystem::create_directories(FsPath(path).parent_path());
    WriteWholeFile(path, bytes);
    return path;
  }
  std::string Read(const std::string& name) const { return ReadWholeFile(File(name)); }
  void Link(const std::string& name, const std::string& target) const {
    std::string path = File(name);
    std::filesystem::create_directories(FsPath(path).parent_path());
    std::filesystem::create_symlink(FsPath(target), FsPath(path));
  }

private:
  std::string FPath;
};

} // namespace support

// A fresh temporary folder per test, removed with what it holds at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Text.h"

namespace support {

class TTempDir {
public:
  TTempDir() {
    char pattern[] = "/tmp/fwload-test-XXXXXX";
    if (mkdtemp(pattern)) FPath = pattern;
  }
  ~TTempDir() {
    std::error_code ec;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  // Writes `bytes` to `name` (folders on the way made) and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string path = File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteWholeFile(path, bytes);
    return path;
  }
  std::string Read(const std::string& name) const { return ReadWholeFile(File(name)); }
  void Link(const std::string& name, const std::string& target) const {
    std::string path = File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::create_symlink(target, path);
  }

private:
  std::string FPath;
};

} // namespace support

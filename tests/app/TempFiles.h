// A fresh temporary folder per test, with small file helpers.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class TTempDir {
public:
  TTempDir() {
    char tmpl[] = "/tmp/fwload-app-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    FPath = d ? d : "";
  }
  ~TTempDir() {
    if (!FPath.empty()) std::system(("rm -rf '" + FPath + "'").c_str());
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string path = File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

private:
  std::string FPath;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

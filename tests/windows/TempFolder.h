// A fresh folder under the user's temporary folder, removed with what it holds at the end.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <windows.h>

#include "runtime/SysUtils.h"

class TTempFolder {
public:
  TTempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    static int counter = 0;
    FPath = ExcludeTrailingPathDelimiter(WideToUtf8(base)) + "\\fwload-test-" +
            std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    CreateDir(FPath);
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(Utf8ToWide(FPath)), ec);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "\\" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(std::filesystem::path(Utf8ToWide(File(name))), std::ios::binary) << bytes;
    return File(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(std::filesystem::path(Utf8ToWide(File(name))), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

private:
  std::string FPath;
};

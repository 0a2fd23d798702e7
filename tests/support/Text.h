// Whole files and lines.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "runtime/SysUtils.h"
#endif

namespace support {

// A UTF-8 path as the file system takes it (Windows: wide).
inline std::filesystem::path FsPath(const std::string& path) {
#ifdef _WIN32
  return std::filesystem::path(Utf8ToWide(path));
#else
  return std::filesystem::path(path);
#endif
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(FsPath(path), std::ios::binary) << bytes;
}

// The pieces between separators; a trailing separator ends the last piece, nothing more.
inline std::vector<std::string> Split(const std::string& text, char separator = '\n') {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

inline std::vector<std::string> Lines(const std::string& text) {
  return Split(text, '\n');
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  return Lines(ReadWholeFile(path));
}

} // namespace support

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "runtime/SysUtils.h"

std::string ExpandFileName(const std::string& fileName) {
  std::string full = IsAbsolutePath(fileName)
                         ? fileName
                         : IncludeTrailingPathDelimiter(GetCurrentDir()) + fileName;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= full.size()) {
    size_t j = full.find(PathDelim, i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& p : parts)
    out += PathDelim + p;
  if (out.empty()) out = std::string(1, PathDelim);
  if (fileName.size() > 1 && fileName.back() == PathDelim && out.back() != PathDelim)
    out += PathDelim;
  return out;
}

bool FileExists(const std::string& fileName) {
  struct stat st;
  return stat(fileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& dir) {
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DirectoryWritable(const std::string& dir) {
  return DirectoryExists(dir) && access(dir.c_str(), W_OK | X_OK) == 0;
}

bool CreateDir(const std::string& dir) {
  return ::mkdir(dir.c_str(), 0777) == 0;
}

std::string GetCurrentDir() {
  std::vector<char> buf(4096);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

bool SetCurrentDir(const std::string& dir) {
  return chdir(dir.c_str()) == 0;
}

std::string ParamStr0() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  return std::string(buf.data(), static_cast<size_t>(n));
}

#include "CliReport.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "CliJson.h"

#ifdef _WIN32
#include <windows.h>

#include "runtime/SysUtils.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const CsvColumns[] = {
    "time",    "host",       "station_id", "operator", "batch",    "port",        "device",
    "usb_id",  "usb_serial", "usb_port",   "file",     "sha256",   "image_bytes", "outcome",
    "exit",    "sends",      "accepted",   "rejects",  "timeouts", "seconds",     "version",
    "attempt", "attempts",   "final",      "slot",     "unit"};

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

} // namespace

std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &now);
#else
  gmtime_r(&now, &tm);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string HostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  return GetComputerNameA(name, &size) ? name : "";
#else
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

TJson ReportObject(const TRunRecord& r) {
  TJson o = {{"v", CliJsonVersion},
             {"time", r.Time},
             {"host", Utf8Text(r.Host)},
             {"port", Utf8Text(r.Port)},
             {"device", Utf8Text(r.Device)},
             {"file", Utf8Text(r.File)},
             {"sha256", r.Sha256.empty() ? TJson() : TJson(r.Sha256)},
             {"image_bytes", r.ImageBytes},
             {"outcome", r.Outcome},
             {"exit", r.Exit},
             {"sends", r.Sends},
             {"accepted", r.Accepted},
             {"rejects", r.Rejects},
             {"timeouts", r.Timeouts},
             {"seconds", r.Seconds},
             {"version", r.Version},
             {"attempt", r.Attempt},
             {"attempts", r.Attempts},
             {"final", r.Final}};
  if (r.Slot) {
    o["slot"] = r.Slot;
    o["unit"] = r.Unit;
  }
  if (!r.Station.empty()) o["station_id"] = Utf8Text(r.Station);
  if (!r.Operator.empty()) o["operator"] = Utf8Text(r.Operator);
  if (!r.Batch.empty()) o["batch"] = Utf8Text(r.Batch);
  if (!r.Usb.VidPid.empty())
    o["usb"] = {{"id", Utf8Text(r.Usb.VidPid)},
                {"serial", Utf8Text(r.Usb.Serial)},
                {"port_path", Utf8Text(r.Usb.PortPath)}};
  return o;
}

std::string CsvHeader() {
  std::string line;
  for (size_t i = 0; i < std::size(CsvColumns); ++i)
    line += (i ? "," : "") + std::string(CsvColumns[i]);
  return line + "\n";
}

std::string CsvLine(const TRunRecord& r) {
  const std::string fields[] = {r.Time,
                                r.Host,
                                r.Station,
                                r.Operator,
                                r.Batch,
                                r.Port,
                                r.Device,
                                r.Usb.VidPid,
                                r.Usb.Serial,
                                r.Usb.PortPath,
                                r.File,
                                r.Sha256,
                                std::to_string(r.ImageBytes),
                                r.Outcome,
                                std::to_string(r.Exit),
                                std::to_string(r.Sends),
                                std::to_string(r.Accepted),
                                std::to_string(r.Rejects),
                                std::to_string(r.Timeouts),
                                Seconds(r.Seconds),
                                r.Version,
                                std::to_string(r.Attempt),
                                std::to_string(r.Attempts),
                                r.Final ? "true" : "false",
                                r.Slot ? std::to_string(r.Slot) : "",
                                r.Slot ? std::to_string(r.Unit) : ""};
  static_assert(std::size(fields) == std::size(CsvColumns));
  std::string line;
  for (size_t i = 0; i < std::size(fields); ++i)
    line += (i ? "," : "") + CsvField(fields[i]);
  return line + "\n";
}

#ifdef _WIN32
TAppendFile::~TAppendFile() {
  if (FHandle) CloseHandle(FHandle);
}

bool TAppendFile::IsOpen() const {
  return FHandle != nullptr;
}

bool TAppendFile::Open(const std::string& path, std::string& error) {
  FPath = path;
  // FILE_APPEND_DATA alone: every write goes to the end, as O_APPEND does.
  HANDLE h = CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  FHandle = h;
  return true;
}

bool TAppendFile::Append(const std::string& text, std::string& error, const std::string& header) {
  std::lock_guard lock(FLock);
  LARGE_INTEGER size{};
  std::string data = text;
  if (!header.empty() && GetFileSizeEx(FHandle, &size) && size.QuadPart == 0) data = header + text;
  DWORD written = 0;
  if (!WriteFile(FHandle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) ||
      written != data.size()) {
    error = "write failed (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}
#else
TAppendFile::~TAppendFile() {
  if (FFd >= 0) ::close(FFd);
}

bool TAppendFile::IsOpen() const {
  return FFd >= 0;
}

bool TAppendFile::Open(const std::string& path, std::string& error) {
  FPath = path;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = "not a regular file";
    return false;
  }
  FFd = fd;
  return true;
}

bool TAppendFile::Append(const std::string& text, std::string& error, const std::string& header) {
  std::lock_guard lock(FLock);
  std::string data = text;
  const bool locked = !header.empty() && flock(FFd, LOCK_EX) == 0;
  struct stat st {};
  if (!header.empty() && fstat(FFd, &st) == 0 && st.st_size == 0) data = header + text;
  ssize_t n = ::write(FFd, data.data(), data.size());
  const int code = errno;
  if (locked) flock(FFd, LOCK_UN);
  if (n != static_cast<ssize_t>(data.size())) {
    error = n < 0 ? std::strerror(code) : "short write";
    return false;
  }
  return true;
}
#endif

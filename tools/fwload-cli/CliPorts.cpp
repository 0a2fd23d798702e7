#include "CliPorts.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/Win32.h"
#include "serial/Exceptions.h"

namespace {

constexpr unsigned QueueSize = 4096;
constexpr unsigned BufferFull = 3072;
constexpr unsigned BufferResume = 1024;
constexpr unsigned OptionDtrOn = 0x01;
constexpr unsigned SwFlowReceive = 2;

constexpr int LowestPathNumber = 51;
constexpr int HighestPortNumber = 255;

std::mutex MappedLock;
std::set<int> MappedNumbers;

// What the open's code does not tell: a directory fails as a held file would, a path too long
// for the system as an error of no name. Empty when the device itself may be a serial one.
std::string DeviceProblem(const std::string& device) {
  if (device.empty()) return "";
  struct stat st {};
  if (stat(device.c_str(), &st) != 0) {
    if (errno != ENAMETOOLONG) return "";
    return "the device path is too long (" + std::to_string(device.size()) +
           " bytes; a path holds at most " + std::to_string(PATH_MAX - 1) + ", a name in it " +
           std::to_string(NAME_MAX) + ")";
  }
  if (S_ISCHR(st.st_mode)) return "";
  if (S_ISDIR(st.st_mode)) return "not a serial device (a directory)";
  if (S_ISREG(st.st_mode)) return "not a serial device (a regular file)";
  return "not a serial device";
}

// A name too long to read in a message is cut; the message says what is wrong with it.
std::string Shortened(const std::string& name) {
  constexpr size_t Longest = 80;
  if (name.size() <= Longest) return name;
  size_t cut = Longest - 3;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut; // not inside a UTF-8 character
  return name.substr(0, cut) + "...";
}

// The codes an open reports, as the port component turns them into its own.
[[noreturn]] void RaiseOpenError(int code, int portNumber, const std::string& label, int baud,
                                 const std::string& baudOrigin) {
  std::string device = platform::ResolvePortDevice(portNumber);
  std::string where = label;
  if (where.empty())
    where = "COM" + std::to_string(portNumber) + (device.empty() ? "" : " (" + device + ")");
  where = Shortened(where);
  std::string problem = DeviceProblem(device);
  if (code == -5) code = ecAlreadyOpen;
  if (code == -2 || code == -3 || !problem.empty()) code = ecBadId;
  try {
    CheckException(nullptr, code);
  } catch (Exception& e) {
    std::string hint;
    if (code == ecAlreadyOpen) hint = " (another program holds the port)";
    if (code == -static_cast<int>(ERROR_PRIVILEGE_NOT_HELD))
      hint = " - is the user in the device's group (usually dialout)?";
    if ((code == ecBadArgument || code == ecBaudRate) && !baudOrigin.empty())
      hint = " (speed " + std::to_string(baud) + ", " + baudOrigin + ")";
    e.SetMessage(where + ": " + (problem.empty() ? e.Message() + hint : problem));
    throw;
  }
  throw ESioException(where + ": cannot open, code " + std::to_string(code));
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ProcessCommand(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  std::getline(in, command);
  return command;
}

// A flock on the device: /proc/locks gives "MAJ:MIN:INODE" of the file and the holder's pid.
pid_t FindFlockHolder(const struct stat& device) {
  std::ifstream in("/proc/locks");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind == "->") fields >> kind; // a waiter, listed under the holder
    fields >> mode >> access >> pid >> file;
    if (kind != "FLOCK") continue;
    unsigned maj = 0, min = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &maj, &min, &inode) != 3) continue;
    if (maj == major(device.st_dev) && min == minor(device.st_dev) && inode == device.st_ino)
      return static_cast<pid_t>(std::stol(pid));
  }
  return 0;
}

pid_t FindDescriptorHolder(const struct stat& device) {
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue; // another user's process
    while (dirent* fd = readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      // stat follows the descriptor's link to the open file itself; nothing is opened.
      if (stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && SameFile(st, device)) {
        found = static_cast<pid_t>(pid);
        break;
      }
    }
    closedir(fds);
    if (found) break;
  }
  closedir(proc);
  return found;
}

std::string DescriptionOf(const std::string& devicePath,
                          const std::vector<platform::TSerialDevice>& devices) {
  struct stat target {};
  if (stat(devicePath.c_str(), &target) != 0) return "";
  for (const platform::TSerialDevice& d : devices) {
    struct stat st {};
    if (stat(d.DevicePath.c_str(), &st) == 0 && SameFile(st, target)) return d.Description;
  }
  return "";
}

} // namespace

std::unique_ptr<TSioBaseDispatcher>
OpenUploadPort(int portNumber, int baud, const std::string& label, const std::string& baudOrigin) {
  if (portNumber == 0) CheckException(nullptr, ecNoPortSelected);
  auto port = std::make_unique<TSioWin32Dispatcher>(nullptr);
  std::string name = "\\\\.\\COM" + std::to_string(portNumber);
  int result =
      port->InitPort(name.c_str(), baud, NOPARITY, 8, 1, QueueSize, QueueSize, OptionDtrOn);
  if (result < 0) RaiseOpenError(result, portNumber, label, baud, baudOrigin);
  // The rest of the window's configuration, in the order the component applies it.
  CheckException(nullptr, port->HWFlowOptions(BufferFull, BufferResume, 0));
  CheckException(nullptr, port->SWFlowEnable(BufferFull, BufferResume, SwFlowReceive));
  CheckException(nullptr, port->SetDtr(true));
  CheckException(nullptr, port->SetRts(false));
  return port;
}

void RunLineSteps(TSioBaseDispatcher& port, const std::vector<TLineStep>& steps, TUploadHost& host,
                  const std::function<bool()>& stopped) {
  for (const TLineStep& step : steps) {
    switch (step.Kind) {
    case TLineStep::Dtr:
      CheckException(nullptr, port.SetDtr(step.Value != 0));
      break;
    case TLineStep::Rts:
      CheckException(nullptr, port.SetRts(step.Value != 0));
      break;
    case TLineStep::Wait: {
      // The host's wait ends early on a Stop, so a stop need not sit out the step.
      const DWORD start = GetTickCount();
      DWORD elapsed = 0;
      while (elapsed < static_cast<DWORD>(step.Value) && !stopped()) {
        host.WaitForActivity(static_cast<DWORD>(step.Value) - elapsed);
        elapsed = GetTickCount() - start;
      }
      break;
    }
    }
  }
}

TMappedPath::TMappedPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(MappedLock);
  for (int n = HighestPortNumber; n >= LowestPathNumber; --n) {
    if (MappedNumbers.count(n) || !platform::ResolvePortDevice(n).empty()) continue;
    if (!platform::SetPortDevice(n, path)) continue;
    MappedNumbers.insert(n);
    FNumber = n;
    return;
  }
}

TMappedPath::~TMappedPath() {
  if (!FNumber) return;
  std::lock_guard<std::mutex> lock(MappedLock);
  platform::SetPortDevice(FNumber, "");
  MappedNumbers.erase(FNumber);
}

TPortHolder FindPortHolder(const std::string& devicePath) {
  struct stat device {};
  if (stat(devicePath.c_str(), &device) != 0) return {};
  pid_t pid = FindDescriptorHolder(device);
  if (!pid) pid = FindFlockHolder(device);
  if (!pid) return {};
  return {pid, ProcessCommand(pid)};
}

int ListPorts(std::FILE* out, const std::string& sysfsRoot, const std::string& devDir) {
  std::vector<platform::TSerialDevice> devices;
  int listed = 0;
  for (const platform::TSerialPortInfo& info : platform::EnumerateSerialPorts()) {
    if (info.PortNumber > ListedPorts) break;
    std::string description = info.Description;
    if (info.Mapped) {
      if (devices.empty()) devices = platform::DiscoverSerialDevices(sysfsRoot, devDir);
      description = DescriptionOf(info.DevicePath, devices);
      description = description.empty() ? "mapped" : "mapped, " + description;
    }
    TPortHolder holder = FindPortHolder(info.DevicePath);
    std::string held = holder.Pid ? "held by " + std::to_string(holder.Pid) +
                                        (holder.Command.empty() ? "" : " (" + holder.Command + ")")
                                  : "free";
    std::fprintf(out, "COM%d\t%s\t%s\t%s\n", info.PortNumber, info.DevicePath.c_str(),
                 description.empty() ? "-" : description.c_str(), held.c_str());
    ++listed;
  }
  std::fflush(out);
  return listed;
}

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "CliPorts.h"
#include "platform/Win32.h"

namespace {

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

std::string PermissionHint() {
  return " - is the user in the device's group (usually dialout)?";
}

bool DeviceGone(const std::string& device) {
  struct stat st {};
  return !device.empty() && stat(device.c_str(), &st) != 0;
}

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) != 0;
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

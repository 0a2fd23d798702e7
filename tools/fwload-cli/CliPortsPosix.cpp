#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "CliIdentity.h"
#include "CliPorts.h"
#include "platform/Win32.h"

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ProcessCommand(pid_t pid, const std::string& procRoot) {
  std::ifstream in(procRoot + "/" + std::to_string(pid) + "/comm");
  std::string command;
  std::getline(in, command);
  return command;
}

// A flock on the device: /proc/locks gives "MAJ:MIN:INODE" of the file and the holder's pid.
pid_t FindFlockHolder(const struct stat& device, const std::string& procRoot) {
  std::ifstream in(procRoot + "/locks");
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

pid_t FindDescriptorHolder(const struct stat& device, const std::string& procRoot) {
  DIR* proc = opendir(procRoot.c_str());
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string fdDir = procRoot + "/" + entry->d_name + "/fd";
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

// The discovered device that is the same file as `devicePath`; null when none is.
const platform::TSerialDevice* DeviceOf(const std::string& devicePath,
                                        const std::vector<platform::TSerialDevice>& devices) {
  for (const platform::TSerialDevice& d : devices)
    if (d.DevicePath == devicePath) return &d;
  struct stat target {};
  if (stat(devicePath.c_str(), &target) != 0) return nullptr;
  for (const platform::TSerialDevice& d : devices) {
    struct stat st {};
    if (stat(d.DevicePath.c_str(), &st) == 0 && SameFile(st, target)) return &d;
  }
  return nullptr;
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

TPortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot) {
  struct stat device {};
  if (stat(devicePath.c_str(), &device) != 0) return {};
  pid_t pid = FindDescriptorHolder(device, procRoot);
  if (!pid) pid = FindFlockHolder(device, procRoot);
  if (!pid) return {};
  return {pid, ProcessCommand(pid, procRoot)};
}

int ListPorts(std::FILE* out, const std::string& sysfsRoot, const std::string& devDir) {
  TSystemRoots roots;
  roots.Sys = sysfsRoot;
  roots.Dev = devDir;
  const std::vector<platform::TSerialDevice> devices =
      platform::DiscoverSerialDevices(sysfsRoot, devDir);
  int listed = 0;
  for (const platform::TSerialPortInfo& info : platform::EnumerateSerialPorts()) {
    if (info.PortNumber > ListedPorts) break;
    const platform::TSerialDevice* device = DeviceOf(info.DevicePath, devices);
    std::string description = info.Description;
    if (info.Mapped) {
      description = device ? device->Description : "";
      description = description.empty() ? "mapped" : "mapped, " + description;
    }
    TPortHolder holder = FindPortHolder(info.DevicePath);
    std::string held = holder.Pid ? "held by " + std::to_string(holder.Pid) +
                                        (holder.Command.empty() ? "" : " (" + holder.Command + ")")
                                  : "free";
    // Names that stay the same between plugs, ready to paste after -p.
    std::string names;
    if (device)
      for (const std::string& name : PortIdentityStrings(device->Name, roots))
        names += (names.empty() ? "" : " ") + name;
    std::fprintf(out, "COM%d\t%s\t%s\t%s\t%s\n", info.PortNumber, info.DevicePath.c_str(),
                 description.empty() ? "-" : description.c_str(), held.c_str(),
                 names.empty() ? "-" : names.c_str());
    ++listed;
  }
  std::fflush(out);
  return listed;
}

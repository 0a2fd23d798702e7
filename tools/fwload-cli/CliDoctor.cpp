#include "CliDoctor.h"

#ifdef _WIN32

TDoctorUser CurrentDoctorUser() {
  return {};
}

std::vector<TDoctorLine> DoctorChecks(const TPortSpec&, int, const TSystemRoots&,
                                      const TDoctorUser&) {
  return {};
}

int RunDoctor(const TPortSpec&, int, std::FILE* out) {
  std::fputs("fwload-cli: --doctor is not supported on this system\n", out);
  return cliexit::Usage;
}

#else

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "CliConnect.h"
#include "CliPorts.h"
#include "app/PlainUploadHost.h"
#include "platform/Win32.h"

namespace {

const char RuleName[] = "99-fwload-serial.rules";

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The tty's name in sysfs: the discovered device that is the same file, else the node's name.
std::string TtyNameOf(const std::string& device, const struct stat& st, const TSystemRoots& roots) {
  for (const platform::TSerialDevice& d : platform::DiscoverSerialDevices(roots.Sys, roots.Dev)) {
    struct stat other {};
    if (stat(d.DevicePath.c_str(), &other) == 0 && other.st_dev == st.st_dev &&
        other.st_ino == st.st_ino)
      return d.Name;
  }
  char resolved[4096];
  std::string path = realpath(device.c_str(), resolved) ? resolved : device;
  return path.substr(path.find_last_of('/') + 1);
}

struct TGroupEntry {
  std::string Name;
  std::vector<std::string> Members;
};

// The group database line for `gid`; its name is the number when there is none.
TGroupEntry GroupOf(unsigned gid, const TSystemRoots& roots) {
  std::ifstream in(roots.Prefix + "/etc/group");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string f; std::getline(split, f, ':');)
      fields.push_back(f);
    if (fields.size() < 3 || fields[2] != std::to_string(gid)) continue;
    TGroupEntry entry{fields[0], {}};
    if (fields.size() > 3) {
      std::istringstream members(fields[3]);
      for (std::string m; std::getline(members, m, ',');)
        entry.Members.push_back(m);
    }
    return entry;
  }
  return {std::to_string(gid), {}};
}

TDoctorLine PermissionCheck(const std::string& device, const struct stat& st,
                            const TSystemRoots& roots, const TDoctorUser& user) {
  const bool groupMember = std::find(user.Groups.begin(), user.Groups.end(),
                                     static_cast<unsigned>(st.st_gid)) != user.Groups.end();
  if (user.Uid == 0) return {TDoctorLine::Ok, "permission: running as root"};
  if (st.st_uid == user.Uid && (st.st_mode & 0600) == 0600)
    return {TDoctorLine::Ok, "permission: " + user.Name + " owns " + device};
  TGroupEntry group = GroupOf(st.st_gid, roots);
  if (groupMember && (st.st_mode & 0060) == 0060)
    return {TDoctorLine::Ok,
            "permission: " + user.Name + " is in group " + group.Name + ", which owns " + device};
  if ((st.st_mode & 0006) == 0006)
    return {TDoctorLine::Ok, "permission: " + device + " is open to every user"};
  if (groupMember)
    return {TDoctorLine::Fail, "permission: " + device + " is not writable for its group " +
                                   group.Name + "; fix: install " + RuleName +
                                   " (it sets MODE=0660), then unplug and plug the device"};
  if (std::find(group.Members.begin(), group.Members.end(), user.Name) != group.Members.end())
    return {TDoctorLine::Fail, "permission: " + user.Name + " was added to group " + group.Name +
                                   " after this login; fix: log out and in again (or run newgrp " +
                                   group.Name + ")"};
  return {TDoctorLine::Fail, "permission: " + device + " belongs to group " + group.Name +
                                 ", which " + user.Name + " is not in; fix: sudo usermod -aG " +
                                 group.Name + " " + user.Name + ", then log in again"};
}

TDoctorLine HolderCheck(const std::string& device, const TSystemRoots& roots) {
  TPortHolder holder = FindPortHolder(device, roots.Proc);
  if (!holder.Pid) return {TDoctorLine::Ok, "holder: no program holds " + device};
  std::string who = std::to_string(holder.Pid) + " (" + holder.Command + ")";
  return {TDoctorLine::Fail, "holder: " + device + " is held by " + who +
                                 "; fix: end that program (kill " + std::to_string(holder.Pid) +
                                 ") or close the port in it"};
}

bool ModemManagerRuns(const TSystemRoots& roots) {
  DIR* proc = opendir(roots.Proc.c_str());
  if (!proc) return false;
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    if (ReadFirstLine(roots.Proc + "/" + entry->d_name + "/comm") == "ModemManager") {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

// udev's database keeps the properties its rules gave a device ("E:KEY=VALUE" lines).
bool ToldToIgnore(const std::string& tty, const TSystemRoots& roots) {
  std::string numbers = ReadFirstLine(roots.Sys + "/class/tty/" + tty + "/dev");
  if (numbers.empty()) return false;
  std::ifstream in(roots.Prefix + "/run/udev/data/c" + numbers);
  std::string line;
  while (std::getline(in, line))
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return true;
  return false;
}

TDoctorLine ModemManagerCheck(const std::string& tty, const TSystemRoots& roots) {
  if (!ModemManagerRuns(roots)) return {TDoctorLine::Ok, "ModemManager: not running"};
  if (!tty.empty() && ToldToIgnore(tty, roots))
    return {TDoctorLine::Ok, "ModemManager: running, told to ignore " + tty};
  return {TDoctorLine::Warn,
          "ModemManager: running and not told to ignore " + (tty.empty() ? "the port" : tty) +
              " (it probes new ports and holds them meanwhile); fix: install " + RuleName +
              " (ID_MM_DEVICE_IGNORE), or sudo systemctl disable --now ModemManager"};
}

TDoctorLine BrlttyCheck(const TSystemRoots& roots) {
  for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
    if (Exists(roots.Prefix + dir + "brltty"))
      return {TDoctorLine::Warn, "brltty: installed (it claims some USB serial adapters as "
                                 "braille displays); fix: sudo apt-get remove brltty, unless a "
                                 "braille display is used"};
  return {TDoctorLine::Ok, "brltty: not installed"};
}

TDoctorLine LatencyCheck(const std::string& tty, const TSystemRoots& roots) {
  const std::string timer = roots.Sys + "/class/tty/" + tty + "/device/latency_timer";
  std::string value = ReadFirstLine(timer);
  if (tty.empty() || value.empty())
    return {TDoctorLine::Ok, "latency timer: none (not an FTDI-type adapter)"};
  if (value == "0" || value == "1")
    return {TDoctorLine::Ok, "latency timer: " + value + " ms on " + tty};
  return {TDoctorLine::Warn, "latency timer: " + value + " ms on " + tty +
                                 " (each reply waits that long); fix: echo 1 | sudo tee "
                                 "/sys/bus/usb-serial/devices/" +
                                 tty + "/latency_timer"};
}

TDoctorLine UdevRuleCheck(const TSystemRoots& roots) {
  for (const char* dir :
       {"/etc/udev/rules.d/", "/run/udev/rules.d/", "/lib/udev/rules.d/", "/usr/lib/udev/rules.d/"})
    if (Exists(roots.Prefix + dir + RuleName))
      return {TDoctorLine::Ok, std::string("udev rule: ") + dir + RuleName};
  return {TDoctorLine::Warn,
          std::string("udev rule: ") + RuleName + " is not installed; fix: sudo cp " + RuleName +
              " /etc/udev/rules.d/ (it is in share/fwload/udev/ of the installation), then "
              "sudo udevadm control --reload && sudo udevadm trigger"};
}

TDoctorLine OpenCheck(const TPortSpec& port, int baud) {
  TPlainUploadHost host;
  try {
    TConnection c = ConnectPort(port, baud, "", 0, host, [] { return false; });
    c.Port->DonePort();
    return {TDoctorLine::Ok, "open: " + port.Label + " opens at " + std::to_string(baud) + " baud"};
  } catch (const std::exception& e) {
    return {TDoctorLine::Fail, std::string("open: ") + e.what() + "; fix: see the lines above"};
  }
}

} // namespace

TDoctorUser CurrentDoctorUser() {
  TDoctorUser user;
  user.Uid = geteuid();
  int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  if (count > 0) count = getgroups(count, groups.data());
  for (int i = 0; i < count; ++i)
    user.Groups.push_back(groups[static_cast<size_t>(i)]);
  user.Groups.push_back(getegid());
  if (passwd* pw = getpwuid(user.Uid)) user.Name = pw->pw_name;
  if (user.Name.empty()) user.Name = std::to_string(user.Uid);
  return user;
}

std::vector<TDoctorLine> DoctorChecks(const TPortSpec& port, int baud, const TSystemRoots& roots,
                                      const TDoctorUser& user) {
  std::vector<TDoctorLine> lines;
  std::string error;
  const std::string device = PortDeviceOf(port, roots, error);
  struct stat st {};
  std::string tty;
  if (!error.empty()) {
    lines.push_back({TDoctorLine::Fail, "port: " + error});
  } else if (device.empty() || stat(device.c_str(), &st) != 0) {
    lines.push_back({TDoctorLine::Fail,
                     "port: " + port.Label + " leads to no device" +
                         (device.empty() || device == port.Label ? "" : " (" + device + ")") +
                         "; fix: plug the device in, or pick a port from fwload-cli --list-ports"});
  } else {
    lines.push_back(
        {TDoctorLine::Ok, "port: " + port.Label + (device == port.Label ? "" : " is " + device)});
    tty = TtyNameOf(device, st, roots);
    lines.push_back(PermissionCheck(device, st, roots, user));
    lines.push_back(HolderCheck(device, roots));
  }
  lines.push_back(ModemManagerCheck(tty, roots));
  lines.push_back(BrlttyCheck(roots));
  lines.push_back(LatencyCheck(tty, roots));
  lines.push_back(UdevRuleCheck(roots));
  if (!tty.empty()) lines.push_back(OpenCheck(port, baud));
  return lines;
}

int RunDoctor(const TPortSpec& port, int baud, std::FILE* out) {
  int status = cliexit::Success;
  for (const TDoctorLine& line : DoctorChecks(port, baud, CliSystemRoots(), CurrentDoctorUser())) {
    static const char* const Levels[] = {"OK  ", "WARN", "FAIL"};
    std::fprintf(out, "%s %s\n", Levels[line.Level], line.Text.c_str());
    if (line.Level == TDoctorLine::Fail) status = cliexit::Port;
  }
  std::fflush(out);
  return status;
}

#endif

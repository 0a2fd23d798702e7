// Port numbers and devices: the explicit map, then discovery from sysfs.
#include "CommPorts.h"
#include "../common/PortMap.h"

#include "platform/Win32.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

using platform::detail::MaxPortNumber;

// Where discovery looks.
struct TPortState {
  std::mutex Mutex;
  std::string SysfsRoot = "/sys";
  std::string DevDir = "/dev";
};

// Leaked on purpose: ports may be opened from static destructors.
TPortState& State() {
  static TPortState* state = new TPortState;
  return *state;
}

// The first line of a sysfs attribute, without its line break; "" when unreadable.
std::string ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
    line.pop_back();
  return line;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec)) && !ec;
}

// Splits "ttyUSB12" into "ttyUSB" and 12 (-1 without a number) for ordering.
std::pair<std::string, long> SplitName(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
    --digits;
  if (digits == name.size() || name.size() - digits > 9) return {name, -1};
  return {name.substr(0, digits), std::stol(name.substr(digits))};
}

// Driver name and, for USB adapters, vendor:product and the names the device reports.
std::string Describe(const fs::path& ttyDir) {
  std::error_code ec;
  fs::path device = fs::canonical(ttyDir / "device", ec);
  if (ec) return "";
  std::string text;
  fs::path driver = fs::read_symlink(device / "driver", ec);
  if (!ec) text = driver.filename().string();
  fs::path dir = device;
  for (int up = 0; up < 4 && !dir.empty() && dir != dir.root_path();
       ++up, dir = dir.parent_path()) {
    std::string vendor = ReadAttribute(dir / "idVendor");
    if (vendor.empty()) continue;
    std::string usb = vendor + ":" + ReadAttribute(dir / "idProduct");
    for (const char* attribute : {"manufacturer", "product"}) {
      std::string value = ReadAttribute(dir / attribute);
      if (!value.empty()) usb += " " + value;
    }
    text += text.empty() ? usb : ", " + usb;
    break;
  }
  return text;
}

} // namespace

namespace platform {

std::vector<TSerialDevice> DiscoverSerialDevices(const std::string& sysfsRoot,
                                                 const std::string& devDir) {
  fs::path classDir = fs::path(sysfsRoot) / "class" / "tty";
  std::vector<std::string> consoles;
  {
    std::istringstream active(ReadAttribute(classDir / "console" / "active"));
    std::string name;
    while (active >> name)
      consoles.push_back(name);
  }

  struct TCandidate {
    int Group;
    std::string Prefix;
    long Number;
    std::string Name;
  };
  std::vector<TCandidate> found;
  std::error_code ec;
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
    bool hasDevice = Exists(it->path() / "device");
    auto [prefix, number] = SplitName(name);
    int group;
    if (prefix == "ttyS" && number >= 0) {
      // Unprobed 8250 slots are listed too, with type 0.
      std::string type = ReadAttribute(it->path() / "type");
      if (type.empty() ? !hasDevice : type == "0") continue;
      group = 0;
    } else if (prefix == "ttyUSB" && number >= 0) {
      group = 1;
    } else if (prefix == "ttyACM" && number >= 0) {
      group = 2;
    } else if (hasDevice) {
      group = 3;
    } else {
      continue; // virtual terminals, ptmx, console, tty
    }
    found.push_back({group, prefix, number, name});
  }
  std::sort(found.begin(), found.end(), [](const TCandidate& a, const TCandidate& b) {
    return std::tie(a.Group, a.Prefix, a.Number, a.Name) <
           std::tie(b.Group, b.Prefix, b.Number, b.Name);
  });

  std::vector<TSerialDevice> devices;
  for (const TCandidate& c : found)
    devices.push_back({c.Name, (fs::path(devDir) / c.Name).string(), Describe(classDir / c.Name)});
  return devices;
}

void SetDiscoveryRoots(const std::string& sysfsRoot, const std::string& devDir) {
  TPortState& state = State();
  std::lock_guard lock(state.Mutex);
  state.SysfsRoot = sysfsRoot.empty() ? "/sys" : sysfsRoot;
  state.DevDir = devDir.empty() ? "/dev" : devDir;
}

void GetDiscoveryRoots(std::string& sysfsRoot, std::string& devDir) {
  TPortState& state = State();
  std::lock_guard lock(state.Mutex);
  sysfsRoot = state.SysfsRoot;
  devDir = state.DevDir;
}

std::string ResolvePortDevice(int portNumber) {
  if (portNumber < 1 || portNumber > MaxPortNumber) return "";
  if (std::optional<std::string> mapped = detail::MappedDevice(portNumber)) return *mapped;
  TPortState& state = State();
  std::string sysfsRoot, devDir;
  {
    std::lock_guard lock(state.Mutex);
    sysfsRoot = state.SysfsRoot;
    devDir = state.DevDir;
  }
  std::vector<TSerialDevice> devices = DiscoverSerialDevices(sysfsRoot, devDir);
  return static_cast<size_t>(portNumber) <= devices.size() ? devices[portNumber - 1].DevicePath
                                                           : "";
}

std::vector<TSerialPortInfo> EnumerateSerialPorts() {
  TPortState& state = State();
  std::map<int, std::string> map = detail::PortMapCopy();
  std::string sysfsRoot, devDir;
  {
    std::lock_guard lock(state.Mutex);
    sysfsRoot = state.SysfsRoot;
    devDir = state.DevDir;
  }
  std::vector<TSerialDevice> devices = DiscoverSerialDevices(sysfsRoot, devDir);
  std::vector<TSerialPortInfo> ports;
  for (int n = 1; n <= MaxPortNumber; ++n) {
    auto it = map.find(n);
    if (it != map.end())
      ports.push_back({n, it->second, "", true});
    else if (static_cast<size_t>(n) <= devices.size())
      ports.push_back({n, devices[n - 1].DevicePath, devices[n - 1].Description, false});
  }
  return ports;
}

namespace comm {

int ParseComPortName(const char* name) {
  if (name == nullptr) return 0;
  std::string s(name);
  // Behind the device prefix only port names are known; without it, other names are paths.
  bool devicePrefix = s.rfind("\\\\.\\", 0) == 0;
  if (devicePrefix) s.erase(0, 4);
  auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  bool com = s.size() > 3 && std::toupper(static_cast<unsigned char>(s[0])) == 'C' &&
             std::toupper(static_cast<unsigned char>(s[1])) == 'O' &&
             std::toupper(static_cast<unsigned char>(s[2])) == 'M' &&
             std::all_of(s.begin() + 3, s.end(), isDigit);
  if (!com) return devicePrefix ? -1 : 0;
  std::string digits = s.substr(3);
  if (digits.size() > 3 || digits[0] == '0') return -1;
  int n = std::stoi(digits);
  return n <= MaxPortNumber ? n : -1;
}

} // namespace comm

} // namespace platform

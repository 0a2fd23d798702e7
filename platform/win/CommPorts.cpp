// Port numbers and names on Windows: the explicit map, then the system's own COM ports.
#include "platform/Win32.h"
#include "../common/PortMap.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace {

using platform::detail::MaxPortNumber;

// n for "\\.\COMn" or "COMn" (any case, 1..255, no leading zeros); 0 for any other name.
int ComPortNumber(const std::string& name) {
  std::string s = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
  if (s.size() < 4 || s.size() > 6 || _strnicmp(s.c_str(), "COM", 3) != 0 || s[3] == '0') return 0;
  if (!std::all_of(s.begin() + 3, s.end(), [](char c) { return c >= '0' && c <= '9'; })) return 0;
  int n = std::stoi(s.substr(3));
  return n <= MaxPortNumber ? n : 0;
}

std::string DevicePrefixed(const std::string& name) {
  return ComPortNumber(name) && name.rfind("\\\\.\\", 0) != 0 ? "\\\\.\\" + name : name;
}

// What the system's DOS device COMn stands for ("\Device\Serial0"), or "" when absent.
std::string DosDeviceTarget(int portNumber) {
  std::string name = "COM" + std::to_string(portNumber);
  char target[1024];
  DWORD n = QueryDosDeviceA(name.c_str(), target, sizeof target);
  return n ? std::string(target) : std::string();
}

} // namespace

namespace platform {

std::vector<TSerialDevice> DiscoverSerialDevices(const std::string&, const std::string&) {
  // All DOS device names: "COM3\0LPT1\0...\0\0"; the buffer grows until the list fits.
  std::vector<char> names(16384);
  for (;;) {
    DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22)) return {};
    names.resize(names.size() * 2);
  }
  std::map<int, TSerialDevice> found;
  for (const char* p = names.data(); *p; p += std::strlen(p) + 1) {
    int number = ComPortNumber(p);
    if (number == 0) continue;
    std::string name = "COM" + std::to_string(number);
    found[number] = {name, "\\\\.\\" + name, DosDeviceTarget(number)};
  }
  std::vector<TSerialDevice> devices;
  for (auto& [number, device] : found)
    devices.push_back(device);
  return devices;
}

void SetDiscoveryRoots(const std::string&, const std::string&) {}

void GetDiscoveryRoots(std::string& sysfsRoot, std::string& devDir) {
  sysfsRoot.clear();
  devDir.clear();
}

std::string ResolvePortDevice(int portNumber) {
  if (portNumber < 1 || portNumber > MaxPortNumber) return "";
  if (std::optional<std::string> mapped = detail::MappedDevice(portNumber))
    return DevicePrefixed(*mapped);
  return DosDeviceTarget(portNumber).empty() ? "" : "\\\\.\\COM" + std::to_string(portNumber);
}

std::vector<TSerialPortInfo> EnumerateSerialPorts() {
  std::map<int, std::string> map = detail::PortMapCopy();
  std::map<int, TSerialPortInfo> ports;
  for (const TSerialDevice& device : DiscoverSerialDevices("", "")) {
    int number = ComPortNumber(device.Name);
    ports[number] = {number, device.DevicePath, device.Description, false};
  }
  for (const auto& [number, device] : map)
    ports[number] = {number, DevicePrefixed(device), "", true};
  std::vector<TSerialPortInfo> list;
  for (auto& [number, info] : ports)
    list.push_back(info);
  return list;
}

std::string CommDeviceName(const char* name) {
  if (name == nullptr) return "";
  int number = ComPortNumber(name);
  if (number == 0) return name;
  if (std::optional<std::string> mapped = detail::MappedDevice(number))
    return DevicePrefixed(*mapped);
  return "\\\\.\\COM" + std::to_string(number);
}

} // namespace platform

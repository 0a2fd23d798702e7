#include <cstdio>
#include <io.h>
#include <map>
#include <windows.h>
// After <windows.h>: the ports class and the device registry.
#include <devguid.h>
#include <setupapi.h>

#include "CliPorts.h"
#include "platform/Win32.h"
#include "runtime/SysUtils.h"

namespace {

// "COM3" for "\\.\COM3"; empty for any other name.
std::string DosName(const std::string& device) {
  return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : std::string();
}

std::wstring RegistryString(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  wchar_t buf[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(buf),
                                         sizeof buf - sizeof(wchar_t), nullptr))
    return L"";
  return buf; // a multi-string's first string
}

// "0403:6001" from a hardware id such as "USB\VID_0403&PID_6001&REV_0600"; empty without one.
std::string UsbIds(const std::wstring& hardwareId) {
  size_t vid = hardwareId.find(L"VID_"), pid = hardwareId.find(L"PID_");
  if (vid == std::wstring::npos || pid == std::wstring::npos || hardwareId.size() < pid + 8 ||
      hardwareId.size() < vid + 8)
    return "";
  return WideToUtf8(hardwareId.substr(vid + 4, 4) + L":" + hardwareId.substr(pid + 4, 4));
}

// The ports class's devices that are present, by their port name ("COM3"): the friendly name,
// with the USB ids after it where there are some.
std::map<std::string, std::string> PortDescriptions() {
  std::map<std::string, std::string> found;
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t), type = 0;
    LONG read =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    std::string description = WideToUtf8(RegistryString(set, info, SPDRP_FRIENDLYNAME));
    if (description.empty()) description = WideToUtf8(RegistryString(set, info, SPDRP_DEVICEDESC));
    std::string ids = UsbIds(RegistryString(set, info, SPDRP_HARDWAREID));
    if (!ids.empty()) description += (description.empty() ? "USB " : ", USB ") + ids;
    found[WideToUtf8(name)] = description;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

// The system does not say who holds a port: one that cannot be opened alone is in use.
std::string Holder(const std::string& device) {
  HANDLE h = CreateFileW(Utf8ToWide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return "free";
  }
  DWORD err = GetLastError();
  return err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? "in use" : "-";
}

} // namespace

std::string DeviceProblem(const std::string& device) {
  if (device.empty() || !DosName(device).empty()) return "";
  DWORD attributes = GetFileAttributesW(Utf8ToWide(device).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILENAME_EXCED_RANGE) return "";
    return "the device path is too long (" + std::to_string(device.size()) + " bytes)";
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "not a serial device (a directory)";
  return "not a serial device (a regular file)";
}

std::string PermissionHint() {
  return " - Windows refused this user access to the device";
}

bool DeviceGone(const std::string& device) {
  if (device.empty()) return false;
  // A pulled USB adapter takes its COMn name with it.
  std::string dos = DosName(device);
  if (!dos.empty()) {
    wchar_t target[1024];
    return QueryDosDeviceW(Utf8ToWide(dos).c_str(), target, 1024) == 0 &&
           GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  return GetFileAttributesW(Utf8ToWide(device).c_str()) == INVALID_FILE_ATTRIBUTES &&
         (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

int ListPorts(std::FILE* out, const std::string&, const std::string&) {
  std::map<std::string, std::string> descriptions = PortDescriptions();
  int listed = 0;
  for (const platform::TSerialPortInfo& info : platform::EnumerateSerialPorts()) {
    if (info.PortNumber > ListedPorts) break;
    auto known = descriptions.find(DosName(info.DevicePath));
    std::string description = known != descriptions.end() ? known->second : info.Description;
    if (info.Mapped) description = description.empty() ? "mapped" : "mapped, " + description;
    std::fprintf(out, "COM%d\t%s\t%s\t%s\n", info.PortNumber, info.DevicePath.c_str(),
                 description.empty() ? "-" : description.c_str(), Holder(info.DevicePath).c_str());
    ++listed;
  }
  std::fflush(out);
  return listed;
}

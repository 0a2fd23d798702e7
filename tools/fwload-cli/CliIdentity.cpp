#include "CliIdentity.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Win32.h"

namespace fs = std::filesystem;

namespace {

const char UsbPrefix[] = "usb:";
const char UsbPortPrefix[] = "usb-port:";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsHexId(const std::string& s) {
  if (s.size() != 4) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "1-2.3": a bus, a dash, then ports joined by dots.
bool IsUsbPortPath(const std::string& s) {
  size_t dash = s.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == s.size()) return false;
  bool digitBefore = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digitBefore = true;
    } else if ((c == '.' && i > dash) || i == dash) {
      if (!digitBefore) return false;
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

struct TUsbIds {
  std::string Vendor, Product, Serial; // as sysfs has them (lower-case hex)
  std::string Port;                    // "1-2.3"
  bool HasSerial = false;
};

// "usb:0403:6001:A1B2" into its fields; the serial may itself hold colons.
TUsbIds SplitUsbIdentity(const std::string& text) {
  TUsbIds id;
  std::string rest = text.substr(sizeof UsbPrefix - 1);
  size_t colon = rest.find(':');
  id.Vendor = Lower(rest.substr(0, colon));
  if (colon == std::string::npos) return id;
  rest = rest.substr(colon + 1);
  colon = rest.find(':');
  id.Product = Lower(rest.substr(0, colon));
  if (colon != std::string::npos) {
    id.Serial = rest.substr(colon + 1);
    id.HasSerial = true;
  }
  return id;
}

#ifndef _WIN32

// The USB device above the tty in sysfs; false for a tty that is no USB one.
bool UsbIdsOf(const std::string& ttyName, const TSystemRoots& roots, TUsbIds& id) {
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(roots.Sys) / "class" / "tty" / ttyName / "device", ec);
  if (ec) return false;
  // The interface, or a driver's own node below it, lies at most a few levels down.
  for (int up = 0; up < 4 && !dir.empty() && dir != dir.root_path();
       ++up, dir = dir.parent_path()) {
    std::string vendor = ReadFirstLine((dir / "idVendor").string());
    if (vendor.empty()) continue;
    id.Vendor = Lower(vendor);
    id.Product = Lower(ReadFirstLine((dir / "idProduct").string()));
    id.Serial = ReadFirstLine((dir / "serial").string());
    id.HasSerial = !id.Serial.empty();
    id.Port = dir.filename().string();
    return true;
  }
  return false;
}

// Links in DEV/serial/by-id or by-path whose target is the tty (udev makes them "../../ttyUSB0").
std::vector<std::string> SerialLinksTo(const std::string& ttyName, const TSystemRoots& roots) {
  std::vector<std::string> links;
  for (const char* kind : {"by-id", "by-path"}) {
    std::error_code ec;
    fs::path dir = fs::path(roots.Dev) / "serial" / kind;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code linkError;
      fs::path target = fs::read_symlink(it->path(), linkError);
      if (!linkError && target.filename() == ttyName) links.push_back(it->path().string());
    }
  }
  std::sort(links.begin(), links.end());
  return links;
}

#endif

} // namespace

TSystemRoots CliSystemRoots() {
  TSystemRoots roots;
  if (const char* test = std::getenv("FWLOAD_CLI_TEST_ROOT"); test && *test) {
    roots.Sys = std::string(test) + "/sys";
    roots.Dev = std::string(test) + "/dev";
    roots.Proc = std::string(test) + "/proc";
    roots.Prefix = test;
    return roots;
  }
  platform::GetDiscoveryRoots(roots.Sys, roots.Dev);
  return roots;
}

bool IsPortIdentity(const std::string& text) {
  return StartsWith(text, UsbPrefix) || StartsWith(text, UsbPortPrefix);
}

bool CheckPortIdentity(const std::string& text, std::string& error) {
  if (StartsWith(text, UsbPortPrefix)) {
    if (IsUsbPortPath(text.substr(sizeof UsbPortPrefix - 1))) return true;
    error = "bad USB socket: '" + text + "' (usb-port:BUS-PORT.PORT..., e.g. usb-port:1-2.3)";
    return false;
  }
  TUsbIds id = SplitUsbIdentity(text);
  if (IsHexId(id.Vendor) && IsHexId(id.Product) && (!id.HasSerial || !id.Serial.empty()))
    return true;
  error =
      "bad USB identity: '" + text + "' (usb:VID:PID or usb:VID:PID:SERIAL, e.g. usb:0403:6001)";
  return false;
}

#ifdef _WIN32

std::string ResolvePortIdentity(const std::string& identity, const TSystemRoots&,
                                std::string& error) {
  error = identity + ": usb: and usb-port: ports are not supported on this system";
  return "";
}

std::vector<std::string> PortIdentityStrings(const std::string&, const TSystemRoots&) {
  return {};
}

TUsbIdentity UsbIdentityOf(const std::string&, const TSystemRoots&) {
  return {};
}

#else

std::string ResolvePortIdentity(const std::string& identity, const TSystemRoots& roots,
                                std::string& error) {
  const bool byPort = StartsWith(identity, UsbPortPrefix);
  const std::string wantedPort = byPort ? identity.substr(sizeof UsbPortPrefix - 1) : "";
  const TUsbIds wanted = byPort ? TUsbIds() : SplitUsbIdentity(identity);
  struct TMatch {
    std::string Path, Port;
  };
  std::vector<TMatch> matches;
  for (const platform::TSerialDevice& device :
       platform::DiscoverSerialDevices(roots.Sys, roots.Dev)) {
    TUsbIds id;
    if (!UsbIdsOf(device.Name, roots, id)) continue;
    bool match = byPort ? id.Port == wantedPort
                        : id.Vendor == wanted.Vendor && id.Product == wanted.Product &&
                              (!wanted.HasSerial || id.Serial == wanted.Serial);
    if (match) matches.push_back({device.DevicePath, id.Port});
  }
  if (matches.size() == 1) return matches[0].Path;
  if (matches.empty()) {
    error = identity + ": no such device is present (--list-ports shows the identities there are)";
    return "";
  }
  // Never a guess: the user picks one by a name that tells them apart.
  error = identity + " matches " + std::to_string(matches.size()) + " devices:";
  for (size_t i = 0; i < matches.size(); ++i)
    error += (i ? ", " : " ") + matches[i].Path + " (usb-port:" + matches[i].Port + ")";
  error += byPort ? "; name one by its /dev/serial/by-path link"
                  : "; name one by its serial number or its USB socket (usb-port:)";
  return "";
}

std::vector<std::string> PortIdentityStrings(const std::string& ttyName,
                                             const TSystemRoots& roots) {
  std::vector<std::string> names;
  TUsbIds id;
  if (UsbIdsOf(ttyName, roots, id)) {
    names.push_back(UsbPrefix + id.Vendor + ":" + id.Product +
                    (id.HasSerial ? ":" + id.Serial : ""));
    names.push_back(UsbPortPrefix + id.Port);
  }
  for (std::string& link : SerialLinksTo(ttyName, roots))
    names.push_back(std::move(link));
  return names;
}

TUsbIdentity UsbIdentityOf(const std::string& devicePath, const TSystemRoots& roots) {
  TUsbIdentity identity;
  TUsbIds id;
  // The path's own name first (a test tree's dev/ttyUSB0 may link anywhere), then the node a
  // by-id or by-path link leads to.
  std::string tty = fs::path(devicePath).filename().string();
  std::error_code ec;
  if (tty.empty() || !UsbIdsOf(tty, roots, id)) {
    fs::path real = fs::canonical(devicePath, ec);
    if (ec || !UsbIdsOf(real.filename().string(), roots, id)) return identity;
  }
  identity.VidPid = id.Vendor + ":" + id.Product;
  identity.Serial = id.Serial;
  identity.PortPath = id.Port;
  return identity;
}

#endif

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
    line.pop_back();
  return line;
}

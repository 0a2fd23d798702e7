// The explicit port map: SetPortDevice and ClearPortMap, and the lookups behind them.
#include "PortMap.h"

#include "platform/Win32.h"

#include <mutex>

namespace platform {

namespace {

struct TPortMap {
  std::mutex Mutex;
  std::map<int, std::string> Map;
};

// Leaked on purpose: ports may be opened from static destructors.
TPortMap& Ports() {
  static TPortMap* ports = new TPortMap;
  return *ports;
}

} // namespace

bool SetPortDevice(int portNumber, const std::string& devicePath) {
  if (portNumber < 1 || portNumber > detail::MaxPortNumber) return false;
  TPortMap& ports = Ports();
  std::lock_guard lock(ports.Mutex);
  if (devicePath.empty())
    ports.Map.erase(portNumber);
  else
    ports.Map[portNumber] = devicePath;
  return true;
}

void ClearPortMap() {
  TPortMap& ports = Ports();
  std::lock_guard lock(ports.Mutex);
  ports.Map.clear();
}

namespace detail {

std::optional<std::string> MappedDevice(int portNumber) {
  TPortMap& ports = Ports();
  std::lock_guard lock(ports.Mutex);
  auto it = ports.Map.find(portNumber);
  if (it == ports.Map.end()) return std::nullopt;
  return it->second;
}

std::map<int, std::string> PortMapCopy() {
  TPortMap& ports = Ports();
  std::lock_guard lock(ports.Mutex);
  return ports.Map;
}

} // namespace detail

} // namespace platform

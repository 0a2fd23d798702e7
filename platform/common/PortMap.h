// The explicit port map (COMn = device), shared by the POSIX and Windows port code.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform::detail {

constexpr int MaxPortNumber = 255;

// The device mapped to COMn, if any.
std::optional<std::string> MappedDevice(int portNumber);
// The whole map, copied under its lock.
std::map<int, std::string> PortMapCopy();

} // namespace platform::detail

// fwload-cli's ports: opening one as fwload's main window opens its own, giving a device path
// a port number, and the --list-ports table with who holds each port.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "app/UploadEngine.h"
#include "serial/Win32Dispatcher.h"

// Opens "\\.\COMn" with the main window's port configuration: `baud`, 8N1, queues 4096/4096,
// DTR on, RTS off, no hardware flow control, software flow control on the receive side only
// with buffer-full 3072 and resume 1024. Raises the serial library's exception on failure (a
// held port as EAlreadyOpen, a missing one as EBadId, no permission with a message saying so).
// Messages name the port as `label`, or as "COMn (device)" when it is empty; a device that is
// no serial one (a directory, a file) or a path too long says so. A speed the port refuses is
// named with `baudOrigin` ("key Baud of section COM in FILE") when it did not come from the
// command line. The one place that knows how the port is opened.
std::unique_ptr<TSioBaseDispatcher> OpenUploadPort(int portNumber, int baud,
                                                   const std::string& label = "",
                                                   const std::string& baudOrigin = "");

// Drives DTR and RTS and waits as the steps say; a wait sleeps in the host's wait and ends
// early once `stopped` is true.
void RunLineSteps(TSioBaseDispatcher& port, const std::vector<TLineStep>& steps, TUploadHost& host,
                  const std::function<bool()>& stopped);

// A port number for a device path given on the command line, taken from the top of the range
// so that it meets none the user numbers; the map entry goes with the object.
class TMappedPath {
public:
  explicit TMappedPath(const std::string& path);
  ~TMappedPath();
  TMappedPath(const TMappedPath&) = delete;
  TMappedPath& operator=(const TMappedPath&) = delete;
  int Number() const { return FNumber; } // 0 when every number is taken

private:
  int FNumber = 0;
};

// ---- The system's part: CliPortsPosix.cpp or CliPortsWindows.cpp ----

// What the open's code does not tell: a directory fails as a held file would, a path too long
// for the system as an error of no name. Empty when the device itself may be a serial one.
std::string DeviceProblem(const std::string& device);
// Appended to "no permission" when the port is refused to this user.
std::string PermissionHint();
// After an upload that heard no reply: is the port's device gone (an adapter pulled)?
bool DeviceGone(const std::string& device);
bool IsTerminal(std::FILE* stream);

// The ports --list-ports looks at: COM1..ListedPorts.
constexpr int ListedPorts = 50;

#ifdef _WIN32
// COM1..COM50 that are present (the system's ports class), one line each: port, device,
// friendly name with the USB VID:PID, and "in use" or "free" (the system does not tell who
// holds a port; a port that cannot be opened alone is in use); tab separated. Returns how many
// ports were listed. The roots are the sysfs ones of other systems, unused here.
int ListPorts(std::FILE* out, const std::string& = "", const std::string& = "");
#else
struct TPortHolder {
  pid_t Pid = 0; // 0: nobody found
  std::string Command;
};

// Who has `devicePath` open, without opening it: processes whose descriptors lead to the
// device (those this user may look at; all of them for root) and flock holders from
// /proc/locks (any user's, which covers fwload's own programs). `procRoot` is /proc but in tests.
TPortHolder FindPortHolder(const std::string& devicePath, const std::string& procRoot = "/proc");

// COM1..COM50 that are present, one line each: port, device, description, holder and the
// names that stay the same between plugs (usb:..., usb-port:..., /dev/serial/by-id/...; "-" for
// none); tab separated. Reads sysfs and /proc only. The roots are those discovery was given
// (platform::SetDiscoveryRoots); a mapped port's description is looked up there. Returns how
// many ports were listed.
int ListPorts(std::FILE* out, const std::string& sysfsRoot = "/sys",
              const std::string& devDir = "/dev");
#endif

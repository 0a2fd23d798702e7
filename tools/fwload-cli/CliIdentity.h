// Ports named by what they are rather than by a tty name that changes between plugs:
// "usb:VID:PID[:SERIAL]" (the adapter) and "usb-port:BUS-PORT.PORT..." (the USB socket it is in),
// looked up in sysfs each time a connection is made.
#pragma once

#include <string>
#include <vector>

// Where the system's trees are read. Tests point them at trees of their own through the
// environment variable FWLOAD_CLI_TEST_ROOT (DIR/sys, DIR/dev, DIR/proc, and DIR in front of
// /etc, /run, /usr and /lib); otherwise sysfs and /dev are those discovery uses.
struct TSystemRoots {
  std::string Sys = "/sys";
  std::string Dev = "/dev";
  std::string Proc = "/proc";
  std::string Prefix; // in front of /etc, /run, /usr, /lib
};
TSystemRoots CliSystemRoots();

// The first line of a file (a sysfs attribute, a /proc entry) without its trailing blanks;
// "" when it cannot be read.
std::string ReadFirstLine(const std::string& path);

// True for text that starts like an identity ("usb:" or "usb-port:").
bool IsPortIdentity(const std::string& text);
// Checks the form; the VID and PID are four hex digits each. False with `error` set.
bool CheckPortIdentity(const std::string& text, std::string& error);

// The device path the identity names now. "" with `error` set when no device or more than one
// matches (the error names them all) or the system has no sysfs.
std::string ResolvePortIdentity(const std::string& identity, const TSystemRoots& roots,
                                std::string& error);

// The names under which the tty `ttyName` can be given to -p and stay the same between plugs:
// usb:VID:PID[:SERIAL], usb-port:..., and the /dev/serial/by-id and by-path links to it.
std::vector<std::string> PortIdentityStrings(const std::string& ttyName, const TSystemRoots& roots);

// A USB device's identity from sysfs; empty fields where the device is no USB one.
struct TUsbIdentity {
  std::string VidPid;   // "0403:6001"
  std::string Serial;   // the serial number the device reports
  std::string PortPath; // the USB port path, "1-1.4"
};
// The identity of the USB device behind a device path (a tty node or a link to one).
TUsbIdentity UsbIdentityOf(const std::string& devicePath, const TSystemRoots& roots);

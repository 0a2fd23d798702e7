// A connection to a port as the user named it, made anew each time: an identity is looked up
// in sysfs, a path gets a port number, and the port opens as OpenUploadPort opens it. A station
// calls ConnectPort again for every unit.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "CliIdentity.h"
#include "CliOptions.h"
#include "CliPorts.h"

struct TConnection {
  std::unique_ptr<TMappedPath> Mapped; // before Port: the number outlives the open port
  std::unique_ptr<TSioBaseDispatcher> Port;
  std::string Device; // what the name led to ("" when it led nowhere)
};

// Raises the open's exception, or an ESioException with the lookup's error. With waitMs > 0 a
// failed lookup or open is tried again every 100 ms until it succeeds or the time is up (then
// the last error is raised, saying how long it waited); a stop ends the wait and returns a
// connection without a port. The waits sleep in the host's wait, which a stop ends at once.
// `waiting` is told once, when the first try has failed and the waiting begins.
TConnection ConnectPort(const TPortSpec& spec, int baud, const std::string& baudOrigin, int waitMs,
                        TUploadHost& host, const std::function<bool()>& stopped,
                        const std::function<void()>& waiting = {});

// The device a port name leads to now, without opening it: COMn through the map and
// discovery, an identity through sysfs (error set when it resolves to none or to several).
std::string PortDeviceOf(const TPortSpec& spec, const TSystemRoots& roots, std::string& error);

#include "CliConnect.h"

#include "CliIdentity.h"
#include "platform/Win32.h"
#include "serial/Exceptions.h"

namespace {

constexpr uint32_t RetryMs = 100;

TConnection ConnectOnce(const TPortSpec& spec, int baud, const std::string& baudOrigin) {
  TConnection c;
  std::string error;
  c.Device = PortDeviceOf(spec, CliSystemRoots(), error);
  if (!error.empty()) throw ESioException(error);
  int number = spec.Number;
  std::string label;
  // COM0 (no port chosen) goes to the open, which says so.
  if (spec.Identity || !spec.Path.empty()) {
    c.Mapped = std::make_unique<TMappedPath>(c.Device);
    number = c.Mapped->Number();
    if (!number) throw ESioException(spec.Label + ": no free port number to map the device to");
    label = spec.Identity ? spec.Label + " (" + c.Device + ")" : spec.Label;
  }
  c.Port = OpenUploadPort(number, baud, label, baudOrigin);
  return c;
}

} // namespace

std::string PortDeviceOf(const TPortSpec& spec, const TSystemRoots& roots, std::string& error) {
  error.clear();
  if (spec.Identity) return ResolvePortIdentity(spec.Label, roots, error);
  return spec.Number ? platform::ResolvePortDevice(spec.Number) : spec.Path;
}

TConnection ConnectPort(const TPortSpec& spec, int baud, const std::string& baudOrigin, int waitMs,
                        TUploadHost& host, const std::function<bool()>& stopped,
                        const std::function<void()>& waiting) {
  const DWORD start = GetTickCount();
  for (bool first = true;; first = false) {
    try {
      return ConnectOnce(spec, baud, baudOrigin);
    } catch (Exception& e) {
      const DWORD elapsed = GetTickCount() - start;
      if (waitMs <= 0) throw;
      if (stopped()) return {};
      if (first && waiting) waiting();
      if (elapsed >= static_cast<DWORD>(waitMs)) {
        e.SetMessage(e.Message() + " (waited " + std::to_string(waitMs / 1000) + " s)");
        throw;
      }
      // Sleeps in the host's wait, which a stop ends at once.
      DWORD left = static_cast<DWORD>(waitMs) - elapsed;
      host.WaitForActivity(left < RetryMs ? left : RetryMs);
      if (stopped()) return {};
    }
  }
}

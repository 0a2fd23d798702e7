// Port validation: ValidateComport, IsPortAvailable and the chooser hook.
#include "serial/PortSelect.h"

#include <mutex>

#include "platform/Win32.h"
#include "serial/ComPort.h"
#include "serial/Exceptions.h"
#include "serial/Win32Dispatcher.h"

bool UseDispatcherForAvail = true;
bool ShowPortsInUse = true;

namespace {

constexpr unsigned ListedPorts = 50;

std::mutex gChooserLock;
TComPortChooser gChooser;

bool HeldElsewhere(DWORD error) {
  return ShowPortsInUse && error == ERROR_ACCESS_DENIED;
}

} // namespace

void SetComPortChooser(TComPortChooser chooser) {
  std::lock_guard lock(gChooserLock);
  gChooser = std::move(chooser);
}

bool ComPortChooserInstalled() {
  std::lock_guard lock(gChooserLock);
  return static_cast<bool>(gChooser);
}

bool IsPortAvailable(uint32_t portNumber) {
  if (portNumber == 0) return false;
  std::string name = Format("\\\\.\\COM%u", static_cast<unsigned>(portNumber));
  if (UseDispatcherForAvail) {
    TSioWin32Dispatcher dispatcher(nullptr);
    if (dispatcher.OpenCom(name.c_str(), 64, 64) >= 0) {
      dispatcher.CloseCom();
      return true;
    }
    return HeldElsewhere(GetLastError());
  }
#ifdef _WIN32
  name = platform::CommDeviceName(name.c_str()); // a port the settings map elsewhere
#endif
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && h != nullptr) {
    CloseHandle(h);
    return true;
  }
  return HeldElsewhere(GetLastError());
}

std::vector<unsigned> AvailablePorts() {
  std::vector<unsigned> ports;
  for (unsigned n = 1; n <= ListedPorts; ++n)
    if (IsPortAvailable(n)) ports.push_back(n);
  return ports;
}

void TSioCustomComPort::ValidateComport() {
  if (FComNumber != 0) return;
  if (!FPromptForPort) throw ENoPortSelected(ecNoPortSelected);
  TComPortChooser chooser;
  {
    std::lock_guard lock(gChooserLock);
    chooser = gChooser;
  }
  if (!chooser) throw ENoPortSelected(ecNoPortSelected);
  int chosen = chooser(AvailablePorts());
  if (chosen <= 0 || chosen > 0xFFFF) throw ENoPortSelected(ecNoPortSelected);
  SetComNumber(static_cast<WORD>(chosen));
  if (FComNumber == 0) throw ENoPortSelected(ecNoPortSelected);
}

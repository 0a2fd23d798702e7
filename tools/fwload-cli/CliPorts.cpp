#include "CliPorts.h"

#include <mutex>
#include <set>

#include "platform/Win32.h"
#include "serial/Exceptions.h"

namespace {

constexpr unsigned QueueSize = 4096;
constexpr unsigned BufferFull = 3072;
constexpr unsigned BufferResume = 1024;
constexpr unsigned OptionDtrOn = 0x01;
constexpr unsigned SwFlowReceive = 2;

constexpr int LowestPathNumber = 51;
constexpr int HighestPortNumber = 255;

std::mutex MappedLock;
std::set<int> MappedNumbers;

// A name too long to read in a message is cut; the message says what is wrong with it.
std::string Shortened(const std::string& name) {
  constexpr size_t Longest = 80;
  if (name.size() <= Longest) return name;
  size_t cut = Longest - 3;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
    --cut; // not inside a UTF-8 character
  return name.substr(0, cut) + "...";
}

// The codes an open reports, as the port component turns them into its own.
[[noreturn]] void RaiseOpenError(int code, int portNumber, const std::string& label, int baud,
                                 const std::string& baudOrigin) {
  std::string device = platform::ResolvePortDevice(portNumber);
  std::string where = label;
  if (where.empty())
    where = "COM" + std::to_string(portNumber) + (device.empty() ? "" : " (" + device + ")");
  where = Shortened(where);
  std::string problem = DeviceProblem(device);
  if (code == -5) code = ecAlreadyOpen;
  if (code == -2 || code == -3 || !problem.empty()) code = ecBadId;
  try {
    CheckException(nullptr, code);
  } catch (Exception& e) {
    std::string hint;
    if (code == ecAlreadyOpen) hint = " (another program holds the port)";
    if (code == -static_cast<int>(ERROR_PRIVILEGE_NOT_HELD)) hint = PermissionHint();
    if ((code == ecBadArgument || code == ecBaudRate) && !baudOrigin.empty())
      hint = " (speed " + std::to_string(baud) + ", " + baudOrigin + ")";
    e.SetMessage(where + ": " + (problem.empty() ? e.Message() + hint : problem));
    throw;
  }
  throw ESioException(where + ": cannot open, code " + std::to_string(code));
}

} // namespace

std::unique_ptr<TSioBaseDispatcher>
OpenUploadPort(int portNumber, int baud, const std::string& label, const std::string& baudOrigin) {
  if (portNumber == 0) CheckException(nullptr, ecNoPortSelected);
  auto port = std::make_unique<TSioWin32Dispatcher>(nullptr);
  std::string name = "\\\\.\\COM" + std::to_string(portNumber);
  int result =
      port->InitPort(name.c_str(), baud, NOPARITY, 8, 1, QueueSize, QueueSize, OptionDtrOn);
  if (result < 0) RaiseOpenError(result, portNumber, label, baud, baudOrigin);
  // The rest of the window's configuration, in the order the component applies it.
  CheckException(nullptr, port->HWFlowOptions(BufferFull, BufferResume, 0));
  CheckException(nullptr, port->SWFlowEnable(BufferFull, BufferResume, SwFlowReceive));
  CheckException(nullptr, port->SetDtr(true));
  CheckException(nullptr, port->SetRts(false));
  return port;
}

void RunLineSteps(TSioBaseDispatcher& port, const std::vector<TLineStep>& steps, TUploadHost& host,
                  const std::function<bool()>& stopped) {
  for (const TLineStep& step : steps) {
    switch (step.Kind) {
    case TLineStep::Dtr:
      CheckException(nullptr, port.SetDtr(step.Value != 0));
      break;
    case TLineStep::Rts:
      CheckException(nullptr, port.SetRts(step.Value != 0));
      break;
    case TLineStep::Wait: {
      // The host's wait ends early on a Stop, so a stop need not sit out the step.
      const DWORD start = GetTickCount();
      DWORD elapsed = 0;
      while (elapsed < static_cast<DWORD>(step.Value) && !stopped()) {
        host.WaitForActivity(static_cast<DWORD>(step.Value) - elapsed);
        elapsed = GetTickCount() - start;
      }
      break;
    }
    }
  }
}

TMappedPath::TMappedPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(MappedLock);
  for (int n = HighestPortNumber; n >= LowestPathNumber; --n) {
    if (MappedNumbers.count(n) || !platform::ResolvePortDevice(n).empty()) continue;
    if (!platform::SetPortDevice(n, path)) continue;
    MappedNumbers.insert(n);
    FNumber = n;
    return;
  }
}

TMappedPath::~TMappedPath() {
  if (!FNumber) return;
  std::lock_guard<std::mutex> lock(MappedLock);
  platform::SetPortDevice(FNumber, "");
  MappedNumbers.erase(FNumber);
}

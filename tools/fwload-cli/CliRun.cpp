#include "CliRun.h"

#include <memory>
#include <thread>

#include "CliConnect.h"
#include "CliDoctor.h"
#include "CliIdentity.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "CliPorts.h"
#include "CliSettings.h"
#include "app/DispatcherUploadPort.h"
#include "app/EncodedFile.h"
#include "app/Settings.h"
#include "platform/Win32.h"
#include "runtime/SysUtils.h"

namespace {

// The window's host without a window; a stop taken before the upload set itself busy still
// counts once it has.
class TCliHost : public TPlainUploadHost {
public:
  explicit TCliHost(TCliStop& stop) : FStop(stop) { FStop.Attach(this); }
  ~TCliHost() override { FStop.Detach(this); }
  void SetIdle(bool idle) override {
    TPlainUploadHost::SetIdle(idle);
    if (!idle && FStop.Requested()) Stop();
  }

private:
  TCliStop& FStop;
};

// Counts the bytes of accepted blocks for the bar: the gauge gives only a percentage.
class TCountingPort : public TUploadPort {
public:
  explicit TCountingPort(TUploadPort& port) : FPort(port) {}
  void FlushOutBuffer() override { FPort.FlushOutBuffer(); }
  void FlushInBuffer() override { FPort.FlushInBuffer(); }
  void PutBlock(const void* block, uint16_t length) override {
    FPort.PutBlock(block, length);
    FLastBlock = length;
  }
  bool CharReady() override { return FPort.CharReady(); }
  size_t OutputSize() override { return FPort.OutputSize(); }
  uint32_t WireTimeMs(size_t length) override { return FPort.WireTimeMs(length); }
  bool InputPending() override { return FPort.InputPending(); }
  char GetChar() override {
    char c = FPort.GetChar();
    if (c == ReplyAccepted) Accepted += FLastBlock;
    return c;
  }
  void SetReceiveWake(TWake wake, void* context) override { FPort.SetReceiveWake(wake, context); }

  uint64_t Accepted = 0;

private:
  TUploadPort& FPort;
  uint64_t FLastBlock = 0;
};

struct TPortResult {
  int Exit = cliexit::Success;
  std::string LastLine;
  std::string Error;
};

struct TJob {
  size_t Index;
  TPortSpec Spec;
  int Baud;
  uint64_t Total;         // image bytes, for the bar; 0 unknown
  std::string BaudOrigin; // where a speed not given on the command line came from
};

TPortResult RunPortUpload(const TJob& job, const TCliOptions& options, TCliOutput& output,
                          TCliStop& stop, bool prefixed) {
  TPortResult result;
  TCliHost host(stop);
  TCountingPort* counting = nullptr;
  if (!options.Quiet)
    host.OnLogLine = [&](const std::string& line) { output.LogLine(job.Index, line); };
  host.OnProgress = [&](long percent) {
    output.Progress(job.Index, percent, counting ? counting->Accepted : 0, job.Total);
  };
  std::string device;
  try {
    TConnection connection = ConnectPort(
        job.Spec, job.Baud, job.BaudOrigin, options.WaitPortSeconds * 1000, host,
        [&] { return stop.Requested(); },
        [&] {
          if (!options.Quiet)
            output.LogLine(job.Index, "waiting for " + job.Spec.Label + " (up to " +
                                          std::to_string(options.WaitPortSeconds) + " s)");
        });
    if (!connection.Port) {
      result.Exit = cliexit::Stopped;
      result.Error = job.Spec.Label + ": stopped while waiting for the port";
      return result;
    }
    device = connection.Device;
    TSioBaseDispatcher* port = connection.Port.get();
    RunLineSteps(*port, options.Before, host, [&] { return stop.Requested(); });
    TDispatcherUploadPort adapter(*port);
    TCountingPort countingPort(adapter);
    counting = &countingPort;
    TUploadEngine engine(host, countingPort);
    result.Exit = ExitStatusOf(engine.Run(options.File));
    // The log calls the file damaged; say which block the port could not take.
    if (const TOversizedBlock& big = engine.Oversized(); big.Size)
      result.Error = (prefixed ? job.Spec.Label + ": " : "") + "the block at offset " +
                     std::to_string(big.Offset) + " is " + std::to_string(big.Size) +
                     " bytes, more than the port's output buffer of " + std::to_string(big.Limit) +
                     " bytes; nothing was sent";
    counting = nullptr;
    port->DonePort();
    // A device that went away mid-upload (adapter pulled) only shows as silence to the
    // engine; its node is gone with it, and that is a failing port, not a mute device.
    if (result.Exit == cliexit::NoAnswer && DeviceGone(device)) {
      result.Exit = cliexit::Port;
      result.Error = (job.Spec.Label == device ? device : job.Spec.Label + " (" + device + ")") +
                     ": the device has gone";
    }
  } catch (const std::exception& e) {
    counting = nullptr;
    result.Exit = cliexit::Port;
    std::string message = e.what();
    // Open errors name their port already; errors during the upload do not.
    if (prefixed && message.rfind(job.Spec.Label, 0) != 0 && message.rfind("COM", 0) != 0)
      message = job.Spec.Label + ": " + message;
    result.Error = message;
  }
  std::vector<std::string> log = host.Log();
  if (!log.empty()) result.LastLine = log.back();
  return result;
}

// Bytes the image holds, for the bar's byte count and time left.
uint64_t ImageBytes(const std::string& fileName) {
  std::FILE* file = OpenEncodedFile(fileName.c_str());
  if (!file) return 0;
  std::unique_ptr<uint8_t[]> image(new uint8_t[FirmwareImageSize]);
  TEncodedRead read = ReadEncodedImage(file, image.get(), FirmwareImageSize);
  std::fclose(file);
  return read.TooBig ? 0 : read.Count;
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  size_t first = text.find_first_not_of(' ');
  size_t last = text.find_last_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

} // namespace

int ExitStatusOf(TUploadOutcome outcome) {
  switch (outcome) {
  case TUploadOutcome::Success:
    return cliexit::Success;
  case TUploadOutcome::NotFound:
  case TUploadOutcome::TooBig:
  case TUploadOutcome::Corrupt:
    return cliexit::File;
  case TUploadOutcome::TimedOut:
  case TUploadOutcome::NoAnswer:
    return cliexit::NoAnswer;
  case TUploadOutcome::Rejected:
    return cliexit::Rejected;
  case TUploadOutcome::Stopped:
    return cliexit::Stopped;
  }
  return cliexit::Port;
}

std::string CliSettingsPath() {
  const std::string window = ExtractFilePath(ParamStr0()) + "fwload";
  return SettingsReadPath(SettingsFilePathFor(window), window);
}

int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, TCliStop& stop) {
  TCliOptions options;
  std::string error;
  if (!ParseCliArguments(args, options, error)) {
    std::fprintf(err, "fwload-cli: %s\n%s", error.c_str(), CliUsage().c_str());
    return cliexit::Usage;
  }
  if (options.Help) {
    std::fputs(CliUsage().c_str(), out);
    return cliexit::Success;
  }
  if (options.Version) {
    std::fputs(CliVersion().c_str(), out);
    return cliexit::Success;
  }

  std::string settingsFile = options.SettingsFile;
  if (settingsFile.empty()) {
    settingsFile = CliSettingsPath();
  } else if (std::string problem = SettingsFileProblem(settingsFile); !problem.empty()) {
    // Read anyway, it would give the defaults and the run would fail later for no clear reason.
    if (problem != "not found") problem = "cannot be read: " + problem;
    std::fprintf(err, "fwload-cli: settings file %s %s\n", settingsFile.c_str(), problem.c_str());
    return cliexit::Usage;
  }
  TSettings settings = ReadSettingsFile(settingsFile);
  ApplyPortMap(settingsFile);

  if (options.Doctor)
    return RunDoctor(options.Ports.empty() ? TPortSpec{"COM" + std::to_string(settings.ComNumber),
                                                       settings.ComNumber, ""}
                                           : options.Ports[0],
                     options.Baud ? options.Baud : settings.Baud, out);
  if (options.ListPorts) {
    // An empty list alone reads like a hang or a fault; say what was looked for.
    const TSystemRoots roots = CliSystemRoots();
    if (ListPorts(out, roots.Sys, roots.Dev) == 0)
      std::fprintf(err, "fwload-cli: no serial port present among COM1..COM%d\n", ListedPorts);
    return cliexit::Success;
  }

  if (options.Ports.empty())
    options.Ports.push_back({"COM" + std::to_string(settings.ComNumber), settings.ComNumber, ""});
  const int baud = options.Baud ? options.Baud : settings.Baud;
  const bool gang = options.Ports.size() > 1;

  TProgressMode mode = options.Progress;
  if (mode == TProgressMode::Auto)
    mode = !options.Quiet && IsTerminal(err) ? TProgressMode::Bar : TProgressMode::None;
  uint64_t total = mode == TProgressMode::Bar ? ImageBytes(options.File) : 0;

  std::vector<std::string> labels;
  for (const TPortSpec& spec : options.Ports)
    labels.push_back(spec.Label);
  TCliOutput output(out, err, mode, labels, gang);

  std::vector<TPortResult> results(options.Ports.size());
  stop.StartWatcher();
  {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < options.Ports.size(); ++i) {
      TJob job{i, options.Ports[i], baud, total,
               options.Baud ? "" : "key Baud of section COM in " + settingsFile};
      threads.emplace_back(
          [&, job] { results[job.Index] = RunPortUpload(job, options, output, stop, gang); });
    }
    for (std::thread& t : threads)
      t.join();
  }
  stop.StopWatcher();
  output.Finish();

  int worst = cliexit::Success;
  for (size_t i = 0; i < results.size(); ++i) {
    const TPortResult& r = results[i];
    if (!r.Error.empty()) output.Error(r.Error);
    if (r.Exit > worst) worst = r.Exit;
  }
  if (options.Quiet) {
    for (size_t i = 0; i < results.size(); ++i) {
      if (results[i].LastLine.empty()) continue;
      std::string prefix = gang ? labels[i] + ": " : "";
      output.Print(prefix + (gang ? OneLine(results[i].LastLine) : results[i].LastLine) + "\n");
    }
  } else if (gang) {
    std::string summary;
    size_t flashed = 0;
    for (size_t i = 0; i < results.size(); ++i) {
      const TPortResult& r = results[i];
      if (r.Exit == cliexit::Success) ++flashed;
      summary += labels[i] + ": exit " + std::to_string(r.Exit) + ": " +
                 OneLine(r.Error.empty() ? r.LastLine : r.Error) + "\n";
    }
    summary += "summary: " + std::to_string(flashed) + " of " + std::to_string(results.size()) +
               " flashed, exit status " + std::to_string(worst) + "\n";
    output.Print(summary);
  }
  return worst;
}

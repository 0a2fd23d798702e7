#include "CliRun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "CliConnect.h"
#include "CliDoctor.h"
#include "CliHash.h"
#include "CliIdentity.h"
#include "CliJson.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "CliPorts.h"
#include "CliReport.h"
#include "CliSettings.h"
#include "CliStation.h"
#include "CliTrace.h"
#include "app/DispatcherUploadPort.h"
#include "app/EncodedFile.h"
#include "app/Settings.h"
#include "platform/Win32.h"
#include "runtime/SysUtils.h"
#include "serial/ComPort.h"

namespace {

using json = TJson;

std::string OneLine(std::string text);

// What one port's run counted, from the engine's sends and replies.
struct TPortCounts {
  uint64_t Sends = 0, Accepted = 0, Rejects = 0, Refused = 0, Timeouts = 0;
};

// The file, hashed and read once for all ports.
struct TFileFacts {
  bool Read = false; // false: the hash and size are unknown
  std::string Sha256;
  uint64_t Size = 0;
  uint64_t ImageBytes = 0;
  uint32_t Blocks = 0;
};

// What the run shares between its ports besides the output.
struct TRunShared {
  const TCliOptions& Options;
  TCliOutput& Output;
  TFileFacts File;
  TAppendFile Report, ReportCsv;
  TStationBoard* Board = nullptr; // --station: the slots' events go there
};

// Which unit and attempt a run is.
struct TUnitInfo {
  size_t Slot = 0;   // --station: the slot's index
  uint64_t Unit = 0; // --station: the station's unit counter, from 1; 0 outside a station
  int Attempt = 1, Attempts = 1;
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
};

// The window's host without a window; a stop taken before the upload set itself busy still
// counts once it has.
class TCliHost : public TPlainUploadHost {
public:
  TCliHost(TCliStop& stop, TRunShared& shared, size_t port, std::string label,
           json tags = json::object())
      : FStop(stop), FShared(shared), FPort(port), FLabel(std::move(label)),
        FTags(std::move(tags)) {
    FStop.Attach(this);
  }
  ~TCliHost() override { FStop.Detach(this); }
  void SetIdle(bool idle) override {
    TPlainUploadHost::SetIdle(idle);
    if (!idle && (FStop.StopsUploads() || Expired.load())) Stop();
  }

  // Sends and replies: counted, and shown as events (--json) and resend lines (-v).
  void BlockSent(const TBlockSend& send) override {
    ++Counts.Sends;
    Last = send;
    if (send.Attempt == 1) FBlockStart = std::chrono::steady_clock::now();
    if (FShared.Options.Json)
      Event(TCliEvent::Send, {{"index", send.Index},
                              {"offset", send.Offset},
                              {"size", send.Size},
                              {"attempt", send.Attempt}});
  }
  void ReplyTaken(const TBlockSend& send, char reply) override {
    const auto byte = static_cast<unsigned char>(reply);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", byte);
    const char* verdict = "rejected";
    if (reply == ReplyAccepted) {
      verdict = "accepted";
      ++Counts.Accepted;
    } else if (reply == ReplyRefused) {
      verdict = "refused";
      ++Counts.Refused;
    } else {
      ++Counts.Rejects;
    }
    if (FShared.Options.Json)
      Event(TCliEvent::Reply, {{"index", send.Index}, {"byte", hex}, {"verdict", verdict}});
    if (!FShared.Options.Verbose) return;
    std::string block = "block " + std::to_string(send.Index + 1) + " of " +
                        std::to_string(FShared.File.Blocks) + ": ";
    if (reply == ReplyAccepted) {
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FBlockStart)
              .count();
      char took[64];
      std::snprintf(took, sizeof took, "accepted, %.1f ms (%u send%s)", ms, send.Attempt,
                    send.Attempt == 1 ? "" : "s");
      FShared.Output.Note(FPort, block + took);
    } else if (reply != ReplyRefused) {
      std::string text = block + "rejected (0x" + hex + "), ";
      if (send.Attempt < MaxRejections)
        text += "sending again, " + std::to_string(send.Attempt + 1) + " of " +
                std::to_string(MaxRejections);
      else
        text += "the last of " + std::to_string(MaxRejections) + " sends";
      FShared.Output.Note(FPort, text);
    }
  }

  // One JSON object of this port's run.
  void Event(TCliEvent event, json fields) {
    json object = {
        {"v", CliJsonVersion}, {"event", CliEventName(event)}, {"port", Utf8Text(FLabel)}};
    object.update(FTags);
    object.update(fields);
    FShared.Output.Json(JsonLine(object));
  }

  TPortCounts Counts;
  TBlockSend Last;                  // the latest send, for a time-out's event
  std::atomic<bool> Expired{false}; // --deadline passed: the upload was stopped for it

private:
  TCliStop& FStop;
  TRunShared& FShared;
  size_t FPort;
  std::string FLabel;
  json FTags;                                        // --station: the slot and unit, in every event
  std::chrono::steady_clock::time_point FBlockStart; // the block's first send
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
  std::string Outcome;
  bool Final = true;              // no further attempt follows
  int Attempt = 1;                // the unit's runs so far
  std::vector<std::string> Trace; // --trace: the port's lines
  uint64_t TraceCut = 0;
  std::string Device;
};

struct TJob {
  size_t Index;
  TPortSpec Spec;
  int Baud;
  uint64_t Total;         // image bytes, for the bar; 0 unknown
  std::string BaudOrigin; // where a speed not given on the command line came from
};

const char* OutcomeWord(TUploadOutcome outcome) {
  switch (outcome) {
  case TUploadOutcome::Success:
    return "success";
  case TUploadOutcome::NotFound:
    return "file-not-found";
  case TUploadOutcome::TooBig:
    return "file-too-big";
  case TUploadOutcome::Corrupt:
    return "file-corrupt";
  case TUploadOutcome::TimedOut:
    return "timeout";
  case TUploadOutcome::Stopped:
    return "stopped";
  case TUploadOutcome::NoAnswer:
    return "refused";
  case TUploadOutcome::Rejected:
    return "rejected";
  }
  return "port-error";
}

// "115200 baud 8N1, DTR on, RTS off, ..." as the port holds it now.
std::string LineSettings(TSioBaseDispatcher& port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (port.GetComState(dcb) != 0) return "line settings unknown";
  static const char parity[] = "NOEMS";
  const char* stop = dcb.StopBits == ONESTOPBIT ? "1" : dcb.StopBits == ONE5STOPBITS ? "1.5" : "2";
  return std::to_string(BaudCodeToSpeed(dcb.BaudRate)) + " baud " + std::to_string(dcb.ByteSize) +
         (dcb.Parity < 5 ? parity[dcb.Parity] : '?') + stop + ", DTR " +
         (dcb.fDtrControl == DTR_CONTROL_DISABLE ? "off" : "on") + ", RTS " +
         (dcb.fRtsControl == RTS_CONTROL_DISABLE ? "off" : "on") + ", CTS flow " +
         (dcb.fOutxCtsFlow ? "on" : "off") + ", XON/XOFF " + (dcb.fOutX ? "out " : "") +
         (dcb.fInX ? "in" : "") + (dcb.fOutX || dcb.fInX ? "" : "off");
}

// Stops the trace before the dispatcher it reads goes, whichever way the upload ends.
struct TTraceDetach {
  TCliTrace* Trace;
  ~TTraceDetach() {
    if (Trace) Trace->Detach();
  }
};

// No answer, a gone device or a port error may pass on another run; a rejected block, a bad
// file or a stop would not.
bool Retryable(int exit) {
  return exit == cliexit::NoAnswer || exit == cliexit::Port;
}

// --deadline: stops the host's upload when the unit's time is up; ended with the run.
class TDeadlineWatch {
public:
  TDeadlineWatch(TCliHost& host, std::chrono::steady_clock::time_point deadline) {
    if (deadline == std::chrono::steady_clock::time_point::max()) return;
    FThread = std::thread([this, &host, deadline] {
      std::unique_lock<std::mutex> lock(FLock);
      if (FCondition.wait_until(lock, deadline, [this] { return FDone; })) return;
      host.Expired = true;
      host.Stop();
    });
  }
  ~TDeadlineWatch() {
    if (!FThread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDone = true;
    }
    FCondition.notify_all();
    FThread.join();
  }

private:
  std::mutex FLock;
  std::condition_variable FCondition;
  bool FDone = false;
  std::thread FThread;
};

json UnitTags(const TRunShared& shared, const TUnitInfo& unit) {
  if (!shared.Board) return json::object();
  return {{"slot", unit.Slot + 1}, {"unit", unit.Unit}};
}

// One run on one port: connect (unless `ready` holds the open port), --before, upload, record.
TPortResult RunPortUpload(const TJob& job, TRunShared& shared, TCliStop& stop, bool prefixed,
                          const TUnitInfo& unit, TConnection ready, int waitMs) {
  const TCliOptions& options = shared.Options;
  TCliOutput& output = shared.Output;
  TStationBoard* board = shared.Board;
  TPortResult result;
  const auto started = std::chrono::steady_clock::now();
  TCliHost host(stop, shared, job.Index, job.Spec.Label, UnitTags(shared, unit));
  TDeadlineWatch deadline(host, unit.Deadline);
  // What the port's name led to; known once the connection is made (an identity resolves then).
  std::string device;
  bool announced = false;
  // The start event, once: when the port is open, or when it could not be.
  auto announce = [&] {
    if (!options.Json || announced) return;
    announced = true;
    const TFileFacts& f = shared.File;
    host.Event(TCliEvent::Start, {{"device", Utf8Text(device)},
                                  {"file", Utf8Text(options.File)},
                                  {"file_size", f.Read ? json(f.Size) : json()},
                                  {"sha256", f.Read ? json(f.Sha256) : json()},
                                  {"image_bytes", f.ImageBytes},
                                  {"blocks", f.Blocks},
                                  {"baud", job.Baud},
                                  {"version", FWLOAD_VERSION},
                                  {"attempt", unit.Attempt},
                                  {"attempts", unit.Attempts}});
  };
  std::unique_ptr<TCliTrace> trace;
  if (!options.Trace.empty()) trace = std::make_unique<TCliTrace>(MaxTraceSize);
  bool gone = false;
  TUploadOutcome outcome = TUploadOutcome::Success;
  bool ran = false;
  TCountingPort* counting = nullptr;
  // A station shows its slots on its board, not the engine's lines.
  if (!options.Quiet && !board)
    host.OnLogLine = [&](const std::string& line) { output.LogLine(job.Index, line); };
  long lastPercent = -1;
  host.OnProgress = [&](long percent) {
    if (board)
      board->Progress(unit.Slot, percent);
    else
      output.Progress(job.Index, percent, counting ? counting->Accepted : 0, job.Total);
    if (options.Json && percent != lastPercent)
      host.Event(TCliEvent::Progress, {{"percent", percent}});
    lastPercent = percent;
  };
  const bool quietWait = unit.Attempt > 1 || board;
  const auto stopsUpload = [&] { return stop.StopsUploads() || host.Expired.load(); };
  try {
    TConnection connection =
        ready.Port
            ? std::move(ready)
            : ConnectPort(
                  job.Spec, job.Baud, job.BaudOrigin, waitMs, host,
                  [&] { return stop.Requested() || host.Expired.load(); },
                  [&] {
                    if (!options.Quiet && !quietWait)
                      output.LogLine(job.Index, "waiting for " + job.Spec.Label + " (up to " +
                                                    std::to_string(waitMs / 1000) + " s)");
                  });
    device = connection.Device;
    result.Device = device;
    if (!connection.Port) {
      result.Exit = cliexit::Stopped;
      result.Error = job.Spec.Label + ": stopped while waiting for the port";
    } else {
      announce();
      if (board) board->Flashing(unit.Slot, unit.Unit, unit.Attempt, unit.Attempts);
      TSioBaseDispatcher* port = connection.Port.get();
      TTraceDetach detach{trace.get()};
      if (trace) trace->Attach(*port);
      if (options.Verbose)
        output.Note(job.Index,
                    (job.Spec.Label == device ? device : job.Spec.Label + " (" + device + ")") +
                        ": " + LineSettings(*port));
      RunLineSteps(*port, options.Before, host, stopsUpload);
      TDispatcherUploadPort adapter(*port);
      TCountingPort countingPort(adapter);
      counting = &countingPort;
      TUploadEngine engine(host, countingPort);
      outcome = engine.Run(options.File);
      ran = true;
      result.Exit = ExitStatusOf(outcome);
      // The log calls the file damaged; say which block the port could not take.
      if (const TOversizedBlock& big = engine.Oversized(); big.Size)
        result.Error = (prefixed ? job.Spec.Label + ": " : "") + "the block at offset " +
                       std::to_string(big.Offset) + " is " + std::to_string(big.Size) +
                       " bytes, more than the port's output buffer of " +
                       std::to_string(big.Limit) + " bytes; nothing was sent";
      counting = nullptr;
      if (trace) trace->Detach();
      port->DonePort();
      // A device that went away mid-upload (adapter pulled) only shows as silence to the
      // engine; its node is gone with it, and that is a failing port, not a mute device.
      if (result.Exit == cliexit::NoAnswer && DeviceGone(device)) {
        gone = true;
        result.Exit = cliexit::Port;
        result.Error = (job.Spec.Label == device ? device : job.Spec.Label + " (" + device + ")") +
                       ": the device has gone";
      }
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
  announce();
  std::vector<std::string> log = host.Log();
  if (!log.empty()) result.LastLine = log.back();
  if (ran && outcome == TUploadOutcome::TimedOut) host.Counts.Timeouts = 1;
  result.Outcome = gone                              ? "gone"
                   : ran                             ? OutcomeWord(outcome)
                   : result.Exit == cliexit::Stopped ? "stopped"
                                                     : "port-error";
  // Stopped by the deadline rather than by the user: the device did not finish in time.
  if (host.Expired.load() && result.Exit == cliexit::Stopped) {
    result.Exit = cliexit::NoAnswer;
    result.Outcome = "deadline";
    result.Error = job.Spec.Label + ": the deadline of " + std::to_string(options.DeadlineSeconds) +
                   " s has passed";
  }
  result.Final = !(Retryable(result.Exit) && unit.Attempt < unit.Attempts && !stop.Requested() &&
                   std::chrono::steady_clock::now() < unit.Deadline);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (trace) {
    result.Trace = trace->Lines();
    result.TraceCut = trace->CutBytes();
  }

  const TPortCounts& c = host.Counts;
  if (options.Json) {
    if (c.Timeouts)
      host.Event(TCliEvent::Timeout, {{"index", host.Last.Index}, {"attempt", host.Last.Attempt}});
    if (gone) host.Event(TCliEvent::Gone, {{"device", Utf8Text(device)}});
    json fields = {{"exit", result.Exit},       {"last_line", Utf8Text(result.LastLine)},
                   {"outcome", result.Outcome}, {"sends", c.Sends},
                   {"accepted", c.Accepted},    {"rejects", c.Rejects},
                   {"timeouts", c.Timeouts},    {"seconds", seconds},
                   {"attempt", unit.Attempt},   {"attempts", unit.Attempts},
                   {"final", result.Final}};
    if (!result.Error.empty()) fields["error"] = Utf8Text(result.Error);
    host.Event(TCliEvent::Result, fields);
  }
  if (shared.Report.IsOpen() || shared.ReportCsv.IsOpen()) {
    TRunRecord r;
    r.Time = UtcNow();
    r.Host = HostName();
    r.Station = options.StationId;
    r.Operator = options.Operator;
    r.Batch = options.Batch;
    r.Port = job.Spec.Label;
    r.Device = device;
    r.Usb = UsbIdentityOf(device, CliSystemRoots());
    r.File = options.File;
    r.Sha256 = shared.File.Sha256;
    r.ImageBytes = shared.File.ImageBytes;
    r.Outcome = result.Outcome;
    r.Exit = result.Exit;
    r.Sends = c.Sends;
    r.Accepted = c.Accepted;
    r.Rejects = c.Rejects;
    r.Timeouts = c.Timeouts;
    r.Seconds = seconds;
    r.Version = FWLOAD_VERSION;
    r.Attempt = unit.Attempt;
    r.Attempts = unit.Attempts;
    r.Final = result.Final;
    if (board) {
      r.Slot = unit.Slot + 1;
      r.Unit = unit.Unit;
    }
    std::string error;
    // A record that cannot be written is said, and fails the run: never a silent loss.
    if (shared.Report.IsOpen() && !shared.Report.Append(JsonLine(ReportObject(r)), error)) {
      output.Error("report " + shared.Report.Path() + " not written: " + error);
      if (result.Exit == cliexit::Success) result.Exit = cliexit::Usage;
    }
    if (shared.ReportCsv.IsOpen() && !shared.ReportCsv.Append(CsvLine(r), error, CsvHeader())) {
      output.Error("report " + shared.ReportCsv.Path() + " not written: " + error);
      if (result.Exit == cliexit::Success) result.Exit = cliexit::Usage;
    }
  }
  return result;
}

// How long a retry waits for the port at least: a device reset by a failed run may enumerate anew.
constexpr int RetryWaitMs = 5000;
// How often a station's slot looks for a board coming or going.
constexpr uint32_t SlotPollMs = 100;

// A unit's runs: again on the same unit while a run ends with no answer or a port error, up to
// --attempts runs, all within --deadline. `ready` is the port a station has found open.
TPortResult RunUnit(const TJob& job, TRunShared& shared, TCliStop& stop, bool prefixed,
                    TUnitInfo unit, TConnection ready) {
  const TCliOptions& options = shared.Options;
  if (options.DeadlineSeconds)
    unit.Deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.DeadlineSeconds);
  unit.Attempts = options.Attempts;
  std::vector<std::string> trace;
  uint64_t traceCut = 0;
  for (unit.Attempt = 1;; ++unit.Attempt) {
    long long waitMs = options.WaitPortSeconds * 1000LL;
    if (unit.Attempt > 1) waitMs = std::max<long long>(waitMs, RetryWaitMs);
    if (options.DeadlineSeconds) {
      const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 unit.Deadline - std::chrono::steady_clock::now())
                                 .count();
      waitMs = std::min(waitMs, std::max(left, 1LL));
    }
    TPortResult r = RunPortUpload(job, shared, stop, prefixed, unit,
                                  unit.Attempt == 1 ? std::move(ready) : TConnection(),
                                  static_cast<int>(waitMs));
    r.Attempt = unit.Attempt;
    if (options.Attempts > 1 && !options.Trace.empty()) {
      trace.push_back("# attempt " + std::to_string(unit.Attempt) + " of " +
                      std::to_string(unit.Attempts));
      trace.insert(trace.end(), r.Trace.begin(), r.Trace.end());
      traceCut += r.TraceCut;
      r.Trace = trace;
      r.TraceCut = traceCut;
    }
    if (r.Final) return r;
    if (shared.Board) {
      shared.Board->Retrying(unit.Slot, unit.Unit, unit.Attempt, unit.Attempts, r.Exit, r.Outcome);
    } else if (!options.Quiet) {
      std::string why = OneLine(r.Error.empty() ? r.LastLine : r.Error);
      shared.Output.LogLine(job.Index, "attempt " + std::to_string(unit.Attempt) + " of " +
                                           std::to_string(unit.Attempts) + " failed: exit " +
                                           std::to_string(r.Exit) + " " + r.Outcome +
                                           (why.empty() ? "" : ": " + why) + "; trying again");
    }
  }
}

struct TStationCount {
  uint64_t Limit = 0; // --units; 0 none
  std::atomic<uint64_t> Claimed{0};
  bool LimitReached() const { return Limit && Claimed.load() >= Limit; }
  // The next unit's number; 0 once the limit is reached.
  uint64_t Claim() {
    uint64_t n = Claimed.load();
    do {
      if (Limit && n >= Limit) return 0;
    } while (!Claimed.compare_exchange_weak(n, n + 1));
    return n + 1;
  }
};

// Between a slot's looks for a board; a stop is seen at the next look.
void PauseSlot() {
  std::this_thread::sleep_for(std::chrono::milliseconds(SlotPollMs));
}

// One slot of a station: wait for a board, flash it, record it, wait until it has gone; again
// until a stop or the station's last unit. Whatever a unit does, the slot goes on.
void RunSlot(const TJob& job, TRunShared& shared, TCliStop& stop, TStationCount& count) {
  TStationBoard& board = *shared.Board;
  const auto over = [&] { return stop.Requested() || count.LimitReached(); };
  // For ConnectPort, which takes a host; it does not wait here.
  TCliHost idle(stop, shared, job.Index, job.Spec.Label);
  while (!over()) {
    board.Waiting(job.Index);
    TConnection connection;
    while (!over()) {
      try {
        connection = ConnectPort(job.Spec, job.Baud, job.BaudOrigin, 0, idle, over);
        if (connection.Port) break;
      } catch (const std::exception&) {
        // Not there yet, or not ready: udev may still be setting it up.
      }
      PauseSlot();
    }
    if (!connection.Port) return;
    TUnitInfo unit;
    unit.Slot = job.Index;
    unit.Unit = count.Claim();
    if (!unit.Unit) return;
    const std::string device = connection.Device;
    TPortResult r = RunUnit(job, shared, stop, true, unit, std::move(connection));
    board.UnitDone(job.Index, unit.Unit, r.Exit, r.Attempt, r.Outcome,
                   r.Exit == cliexit::Success ? ""
                   : r.Error.empty()          ? r.LastLine
                                              : r.Error);
    // The next board only once this one has been taken out (its node has gone).
    while (!over() && !device.empty() && !DeviceGone(device))
      PauseSlot();
  }
}

// The image's size and block count (0 when the file cannot be read or is malformed).
void ReadImageFacts(const std::string& fileName, TFileFacts& facts) {
  std::FILE* file = OpenEncodedFile(fileName.c_str());
  if (!file) return;
  std::unique_ptr<uint8_t[]> image(new uint8_t[FirmwareImageSize]);
  TEncodedRead read = ReadEncodedImage(file, image.get(), FirmwareImageSize);
  std::fclose(file);
  if (read.TooBig || CheckImage(image.get(), read.Count, 0xFFFF, nullptr) != TImageCheck::Ok)
    return;
  facts.ImageBytes = read.Count;
  for (size_t at = 0; at + 1 < read.Count; at += (image[at] << 8 | image[at + 1]) + 2)
    ++facts.Blocks;
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

// A text file for writing, by a UTF-8 name on every system.
std::FILE* OpenTextForWriting(const std::string& path) {
#ifdef _WIN32
  return _wfopen(Utf8ToWide(path).c_str(), L"wb");
#else
  return std::fopen(path.c_str(), "wb");
#endif
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
  // A station's lines always name their slot.
  const bool gang = options.Ports.size() > 1 || options.Station;

  TProgressMode mode = options.Progress;
  if (mode == TProgressMode::Auto)
    mode = !options.Quiet && IsTerminal(err) ? TProgressMode::Bar : TProgressMode::None;
  // Its board shows the slots' progress.
  if (options.Station) mode = TProgressMode::None;
  uint64_t total = mode == TProgressMode::Bar ? ImageBytes(options.File) : 0;

  std::vector<std::string> labels;
  for (const TPortSpec& spec : options.Ports)
    labels.push_back(spec.Label);
  TCliOutput output(out, err, mode, labels, gang);
  // Standard output carries only the JSON lines then.
  if (options.Json) output.SetJson();

  // Whatever can refuse the run does so before a port is opened.
  TRunShared shared{options, output, {}, {}, {}};
  for (auto [file, path] : {std::pair{&shared.Report, &options.Report},
                            std::pair{&shared.ReportCsv, &options.ReportCsv}}) {
    if (path->empty()) continue;
    if (!file->Open(*path, error)) {
      std::fprintf(err, "fwload-cli: report %s cannot be written: %s\n", path->c_str(),
                   error.c_str());
      return cliexit::Usage;
    }
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, &std::fclose);
  if (!options.Trace.empty()) {
    traceFile.reset(OpenTextForWriting(options.Trace));
    if (!traceFile) {
      std::fprintf(err, "fwload-cli: trace %s cannot be written: %s\n", options.Trace.c_str(),
                   std::strerror(errno));
      return cliexit::Usage;
    }
  }
  TFileFacts& facts = shared.File;
  if (options.Json || !options.ExpectSha256.empty() || shared.Report.IsOpen() ||
      shared.ReportCsv.IsOpen()) {
    facts.Read = Sha256File(options.File, facts.Sha256, facts.Size, error);
    if (!options.ExpectSha256.empty() && !facts.Read) {
      std::fprintf(err, "fwload-cli: %s: no SHA-256 to check: %s; nothing was sent\n",
                   options.File.c_str(), error.c_str());
      return cliexit::File;
    }
    if (!options.ExpectSha256.empty() && facts.Sha256 != options.ExpectSha256) {
      std::fprintf(err, "fwload-cli: %s: SHA-256 %s, expected %s; nothing was sent\n",
                   options.File.c_str(), facts.Sha256.c_str(), options.ExpectSha256.c_str());
      return cliexit::File;
    }
    ReadImageFacts(options.File, facts);
  } else if (options.Verbose) {
    ReadImageFacts(options.File, facts);
  }

  if (options.Station) {
    TStationBoard board(output, labels, IsTerminal(options.Json ? err : out));
    shared.Board = &board;
    TStationCount count;
    count.Limit = options.Units;
    // The first stop ends the waiting and lets the running uploads finish; a second ends them.
    stop.SetGraceful([&board](bool immediate) { board.Stopping(immediate); });
    KeepStopSignalsForSecond();
    stop.StartWatcher();
    {
      std::vector<std::thread> threads;
      for (size_t i = 0; i < options.Ports.size(); ++i) {
        TJob job{i, options.Ports[i], baud, 0,
                 options.Baud ? "" : "key Baud of section COM in " + settingsFile};
        threads.emplace_back([&, job] { RunSlot(job, shared, stop, count); });
      }
      for (std::thread& t : threads)
        t.join();
    }
    stop.StopWatcher();
    stop.SetGraceful({});
    board.Finish();
    const TStationTotals t = board.Totals();
    output.Print(board.SummaryLine());
    if (options.Json)
      output.Json(JsonLine({{"v", CliJsonVersion},
                            {"event", CliEventName(TCliEvent::Summary)},
                            {"ports", options.Ports.size()},
                            {"flashed", t.Passed},
                            {"exit", t.Worst},
                            {"units", t.Units},
                            {"passed", t.Passed},
                            {"failed", t.Failed},
                            {"first_pass", t.FirstPass},
                            {"first_pass_yield", t.FirstPassYield()},
                            {"retries", t.Retries},
                            {"units_per_hour", t.UnitsPerHour()},
                            {"seconds", t.Seconds}}));
    return t.Worst;
  }

  std::vector<TPortResult> results(options.Ports.size());
  stop.StartWatcher();
  {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < options.Ports.size(); ++i) {
      TJob job{i, options.Ports[i], baud, total,
               options.Baud ? "" : "key Baud of section COM in " + settingsFile};
      threads.emplace_back([&, job] {
        results[job.Index] = RunUnit(job, shared, stop, gang, TUnitInfo(), TConnection());
      });
    }
    for (std::thread& t : threads)
      t.join();
  }
  stop.StopWatcher();
  output.Finish();

  if (traceFile) {
    // Written also after a failed or stopped upload: that is when it is wanted.
    for (size_t i = 0; i < results.size(); ++i) {
      const TPortResult& r = results[i];
      if (gang) std::fprintf(traceFile.get(), "# %s (%s)\n", labels[i].c_str(), r.Device.c_str());
      if (r.TraceCut) {
        std::fprintf(
            traceFile.get(), "# cut: the oldest %llu bytes were dropped (the trace keeps %u)\n",
            static_cast<unsigned long long>(r.TraceCut), static_cast<unsigned>(MaxTraceSize));
        output.Error("trace " + options.Trace + (gang ? " (" + labels[i] + ")" : "") + ": cut at " +
                     std::to_string(MaxTraceSize) + " bytes, the oldest " +
                     std::to_string(r.TraceCut) + " dropped");
      }
      for (const std::string& line : r.Trace)
        std::fprintf(traceFile.get(), "%s\n", line.c_str());
    }
    if (std::fflush(traceFile.get()) != 0 || std::ferror(traceFile.get()))
      output.Error("trace " + options.Trace + " not written: " + std::strerror(errno));
  }

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
  if (options.Json && gang) {
    size_t flashed = 0;
    for (const TPortResult& r : results)
      flashed += r.Exit == cliexit::Success;
    output.Json(JsonLine({{"v", CliJsonVersion},
                          {"event", CliEventName(TCliEvent::Summary)},
                          {"ports", results.size()},
                          {"flashed", flashed},
                          {"exit", worst}}));
  }
  return worst;
}

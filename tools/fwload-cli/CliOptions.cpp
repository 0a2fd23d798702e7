#include "CliOptions.h"

#include <cctype>
#include <cstdint>
#include <utility>

#include "CliIdentity.h"
#include "ToolOptions.h"

namespace {

constexpr int MaxPortNumber = 255;

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ParseInt(const std::string& text, int min, int max, int& value) {
  uint64_t n = 0;
  if (!ParseNumber(text, static_cast<uint64_t>(min), static_cast<uint64_t>(max), n)) return false;
  value = static_cast<int>(n);
  return true;
}

const char* const UsageHead = "usage: fwload-cli [options] FILE.enc\n"
                              "       fwload-cli --list-ports\n"
                              "       fwload-cli --doctor [options] [PORT]\n"
                              "Sends an encoded firmware file to the device's boot loader.\n";
const char* const UsageTail =
    "Exit status: 0 success, 1 usage, 2 file, 3 no answer, 4 rejected, 5 stopped,\n"
    "6 port.\n";

// The options, their usage lines and where each value goes.
std::vector<TOption> CliTable(TCliOptions& o) {
  auto port = [&o](const std::string&, const std::string& value, std::string& error) {
    TPortSpec spec;
    if (!ParsePortSpec(value, spec, error)) return false;
    for (const TPortSpec& other : o.Ports)
      if (other.Label == spec.Label) {
        error = "port " + spec.Label + " given twice";
        return false;
      }
    o.Ports.push_back(spec);
    return true;
  };
  auto baud = [&o](const std::string&, const std::string& value, std::string& error) {
    if (ParseInt(value, 1, MaxBaud, o.Baud)) return true;
    error = "bad speed: '" + value + "' (1.." + std::to_string(MaxBaud) + " baud)";
    return false;
  };
  auto progress = [&o](const std::string&, const std::string& value, std::string& error) {
    static const std::pair<const char*, TProgressMode> modes[] = {{"auto", TProgressMode::Auto},
                                                                  {"bar", TProgressMode::Bar},
                                                                  {"plain", TProgressMode::Plain},
                                                                  {"none", TProgressMode::None}};
    for (const auto& [name, mode] : modes)
      if (value == name) {
        o.Progress = mode;
        return true;
      }
    error = "bad --progress '" + value + "' (auto, bar, plain or none)";
    return false;
  };
  auto before = [&o](const std::string&, const std::string& value, std::string& error) {
    return ParseLineSequence(value, o.Before, error);
  };
  auto settings = [&o](const std::string&, const std::string& value, std::string& error) {
    if (value.empty()) error = "option --settings needs a file name";
    o.SettingsFile = value;
    return !value.empty();
  };
  // Production lines.
  auto waitPort = [&o](const std::string&, const std::string& value, std::string& error) {
    if (ParseInt(value, 0, MaxWaitPortSeconds, o.WaitPortSeconds)) return true;
    error =
        "bad --wait-port: '" + value + "' (0.." + std::to_string(MaxWaitPortSeconds) + " seconds)";
    return false;
  };
  auto attempts = [&o](const std::string&, const std::string& value, std::string& error) {
    if (ParseInt(value, 1, MaxAttempts, o.Attempts)) return true;
    error = "bad --attempts: '" + value + "' (1.." + std::to_string(MaxAttempts) + ")";
    return false;
  };
  auto deadline = [&o](const std::string&, const std::string& value, std::string& error) {
    if (ParseInt(value, 1, MaxDeadlineSeconds, o.DeadlineSeconds)) return true;
    error =
        "bad --deadline: '" + value + "' (1.." + std::to_string(MaxDeadlineSeconds) + " seconds)";
    return false;
  };
  auto units = [&o](const std::string&, const std::string& value, std::string& error) {
    uint64_t n = 0;
    if (ParseNumber(value, 1, 1000000000, n)) {
      o.Units = n;
      return true;
    }
    error = "bad --units: '" + value + "' (1..1000000000)";
    return false;
  };
  auto text = [](std::string& field) {
    return [&field](const std::string& name, const std::string& value, std::string& error) {
      if (value.empty()) error = "option " + name + " needs a value";
      field = value;
      return !value.empty();
    };
  };
  auto sha256 = [&o](const std::string&, const std::string& value, std::string& error) {
    std::string hex = value;
    for (char& c : hex)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
      error = "bad --expect-sha256 '" + value + "' (64 hex digits)";
      return false;
    }
    o.ExpectSha256 = hex;
    return true;
  };
  return {
      {'p', "port", "PORT",
       "COMn (through the port map), a device path, usb:VID:PID[:SERIAL]\n"
       "or usb-port:BUS-PORT.PORT...; repeat it to flash several devices\n"
       "at once (default: fwload's port)",
       port},
      {'b', "baud", "N", "line speed (default: fwload's speed)", baud},
      {0, "before", "SEQ", "drive the lines first, e.g. dtr=0,rts=1,wait=50,rts=0", before},
      {0, "progress", "MODE",
       "auto (a bar on a terminal), bar, plain (\"progress N\" lines\n"
       "on standard error) or none",
       progress},
      {'q', "quiet", "", "print only the last line", SetFlag(o.Quiet)},
      {0, "settings", "FILE", "read defaults and the port map from FILE", settings},
      {0, "list-ports", "",
       "list COM1..COM50 with device, description, holder and the\nnames that stay the same "
       "between plugs",
       SetFlag(o.ListPorts)},
      {0, "wait-port", "SECONDS", "wait up to SECONDS for the port to appear and open", waitPort},
      {0, "doctor", "", "check what keeps PORT from working, one line per check",
       SetFlag(o.Doctor)},
      {0, "attempts", "K",
       "run an upload that ended with no answer or a port error\nagain, up to K runs in all "
       "(default 1)",
       attempts},
      {0, "deadline", "SECONDS", "overall time limit per unit, its attempts included", deadline},
      {0, "station", "",
       "each -p is a slot: wait for a board, flash it, record it,\nwait for it to go, and again",
       SetFlag(o.Station)},
      {0, "units", "N", "end the station after N units in all", units},
      // Machine-readable runs.
      {0, "json", "",
       "JSON lines on standard output (docs/json.md); log lines go\n"
       "to standard error",
       SetFlag(o.Json)},
      {0, "report", "FILE", "append one JSON record per device and run to FILE", text(o.Report)},
      {0, "report-csv", "FILE", "the same records as CSV lines", text(o.ReportCsv)},
      {0, "station-id", "ID", "station id for the records", text(o.StationId)},
      {0, "operator", "NAME", "operator for the records", text(o.Operator)},
      {0, "batch", "ID", "batch for the records", text(o.Batch)},
      {0, "expect-sha256", "HEX", "refuse a file whose SHA-256 differs", sha256},
      {0, "trace", "FILE", "write the bytes sent and received to FILE", text(o.Trace)},
      {'v', "verbose", "", "resends, line settings and block times on standard error",
       SetFlag(o.Verbose)},
      {'h', "help", "", "this text", SetFlag(o.Help)},
      {0, "version", "", "the program's version", SetFlag(o.Version)},
  };
}

} // namespace

bool ParsePortSpec(const std::string& text, TPortSpec& spec, std::string& error) {
  if (IsPortIdentity(text)) {
    if (!CheckPortIdentity(text, error)) return false;
    spec = {text, 0, "", true};
    return true;
  }
  std::string upper = Upper(text);
  if (upper.rfind("COM", 0) == 0 && upper.size() > 3) {
    std::string digits = upper.substr(3);
    int n = 0;
    // A name, not a number: no leading zero, no 0x.
    if (digits[0] == '0' || !ParseInt(digits, 1, MaxPortNumber, n)) {
      error = "bad port number: " + text + " (COM1..COM255)";
      return false;
    }
    spec = {"COM" + std::to_string(n), n, ""};
    return true;
  }
#ifdef _WIN32
  // "\\.\COM12", "\\.\CNCA0" and the like name a device there.
  const char* pathDelimiters = "/\\";
#else
  const char* pathDelimiters = "/";
#endif
  if (text.find_first_of(pathDelimiters) != std::string::npos) {
    spec = {text, 0, text};
    return true;
  }
  error = "not a port: '" + text +
          "' (COMn, a device path such as /dev/ttyUSB0, usb:VID:PID[:SERIAL] or usb-port:BUS-PORT)";
  return false;
}

bool ParseLineSequence(const std::string& text, std::vector<TLineStep>& steps, std::string& error) {
  steps.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t eq = item.find('=');
    std::string key = eq == std::string::npos ? item : item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    key = Upper(key);
    int v = 0;
    if ((key == "DTR" || key == "RTS") && (value == "0" || value == "1")) {
      steps.push_back({key == "DTR" ? TLineStep::Dtr : TLineStep::Rts, value == "1"});
    } else if (key == "WAIT" && ParseInt(value, 0, MaxBeforeWaitMs, v)) {
      steps.push_back({TLineStep::Wait, v});
    } else {
      error = "bad --before step '" + item + "' (dtr=0|1, rts=0|1, wait=MS up to " +
              std::to_string(MaxBeforeWaitMs) + ")";
      steps.clear();
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

bool ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options,
                       std::string& error) {
  options = TCliOptions();
  std::vector<std::string> files;
  if (!ParseOptions(CliTable(options), args, files, error)) return false;
  if (options.Help || options.Version) return true;
  if (options.Doctor) {
    // The port as an operand too: "--doctor /dev/ttyUSB0".
    if (files.size() > 1 || (files.size() == 1 && !options.Ports.empty())) {
      error = "--doctor checks one port";
      return false;
    }
    if (!files.empty()) {
      TPortSpec spec;
      if (!ParsePortSpec(files[0], spec, error)) return false;
      options.Ports.push_back(spec);
    }
    if (options.Ports.size() > 1) {
      error = "--doctor checks one port";
      return false;
    }
    return true;
  }
  if (options.ListPorts) {
    if (!files.empty()) {
      error = "--list-ports takes no file";
      return false;
    }
    return true;
  }
  if (files.size() != 1) {
    error = files.empty() ? "no firmware file given" : "more than one firmware file given";
    return false;
  }
  options.File = files[0];
  if (options.Units && !options.Station) {
    error = "--units needs --station";
    return false;
  }
  // One trace file holds one run per port; a station makes many.
  if (options.Station && !options.Trace.empty()) {
    error = "--trace cannot be used with --station";
    return false;
  }
  return true;
}

std::string CliUsage() {
  TCliOptions unused;
  return UsageHead + OptionUsage(CliTable(unused)) + UsageTail;
}

std::string CliVersion() {
  return std::string("fwload-cli ") + FWLOAD_VERSION + "\n";
}

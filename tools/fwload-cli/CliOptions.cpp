#include "CliOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

constexpr int MaxPortNumber = 255;

bool ParseNumber(const std::string& text, long long max, int& value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > max) return false;
  value = static_cast<int>(v);
  return true;
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

} // namespace

bool ParsePortSpec(const std::string& text, TPortSpec& spec, std::string& error) {
  std::string upper = Upper(text);
  if (upper.rfind("COM", 0) == 0 && upper.size() > 3) {
    std::string digits = upper.substr(3);
    int n = 0;
    if (digits[0] == '0' || !ParseNumber(digits, MaxPortNumber, n) || n < 1) {
      error = "bad port number: " + text + " (COM1..COM255)";
      return false;
    }
    spec = {"COM" + std::to_string(n), n, ""};
    return true;
  }
  if (text.find('/') != std::string::npos) {
    spec = {text, 0, text};
    return true;
  }
  error = "not a port: '" + text + "' (COMn or a device path such as /dev/ttyUSB0)";
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
    } else if (key == "WAIT" && ParseNumber(value, MaxBeforeWaitMs, v)) {
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
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // --name=value, --name value, -x value and -xvalue.
    std::string name = arg, value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      inlineValue = true;
    }
    auto takeValue = [&]() {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto noValue = [&]() {
      if (!inlineValue) return true;
      error = "option " + name + " takes no value";
      return false;
    };

    if (name == "-p" || name == "--port") {
      if (!takeValue()) return false;
      TPortSpec spec;
      if (!ParsePortSpec(value, spec, error)) return false;
      for (const TPortSpec& other : options.Ports)
        if (other.Label == spec.Label) {
          error = "port " + spec.Label + " given twice";
          return false;
        }
      options.Ports.push_back(spec);
    } else if (name == "-b" || name == "--baud") {
      if (!takeValue()) return false;
      if (!ParseNumber(value, MaxBaud, options.Baud) || options.Baud < 1) {
        error = "bad speed: '" + value + "' (1.." + std::to_string(MaxBaud) + " baud)";
        return false;
      }
    } else if (name == "--progress") {
      if (!takeValue()) return false;
      if (value == "auto")
        options.Progress = TProgressMode::Auto;
      else if (value == "bar")
        options.Progress = TProgressMode::Bar;
      else if (value == "plain")
        options.Progress = TProgressMode::Plain;
      else if (value == "none")
        options.Progress = TProgressMode::None;
      else {
        error = "bad --progress '" + value + "' (auto, bar, plain or none)";
        return false;
      }
    } else if (name == "--before") {
      if (!takeValue() || !ParseLineSequence(value, options.Before, error)) return false;
    } else if (name == "--settings") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "option --settings needs a file name";
        return false;
      }
      options.SettingsFile = value;
    } else if (name == "-q" || name == "--quiet") {
      if (!noValue()) return false;
      options.Quiet = true;
    } else if (name == "--list-ports") {
      if (!noValue()) return false;
      options.ListPorts = true;
    } else if (name == "-h" || name == "--help") {
      if (!noValue()) return false;
      options.Help = true;
    } else if (name == "--version") {
      if (!noValue()) return false;
      options.Version = true;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.Help || options.Version) return true;
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
  return true;
}

std::string CliUsage() {
  return "usage: fwload-cli [options] FILE.enc\n"
         "       fwload-cli --list-ports\n"
         "Sends an encoded firmware file to the device's boot loader.\n"
         "  -p, --port PORT     COMn (through the port map) or a device path; repeat it to\n"
         "                      flash several devices at once (default: fwload's port)\n"
         "  -b, --baud N        line speed (default: fwload's speed)\n"
         "      --before SEQ    drive the lines first, e.g. dtr=0,rts=1,wait=50,rts=0\n"
         "      --progress MODE auto (a bar on a terminal), bar, plain (\"progress N\" lines\n"
         "                      on standard error) or none\n"
         "  -q, --quiet         print only the last line\n"
         "      --settings FILE read defaults and the port map from FILE\n"
         "      --list-ports    list COM1..COM50 with device, description and holder\n"
         "  -h, --help          this text\n"
         "      --version       the program's version\n"
         "Exit status: 0 success, 1 usage, 2 file, 3 no answer, 4 rejected, 5 stopped,\n"
         "6 port.\n";
}

std::string CliVersion() {
  return std::string("fwload-cli ") + FWLOAD_VERSION + "\n";
}

#include "SimOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "ToolOptions.h"

namespace {

bool ParseProbability(const std::string& text, double& value) {
  // strtod would take blanks, a sign, "nan" or "inf".
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
    return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  // The comparison is false for NaN too.
  if (errno != 0 || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  value = v;
  return true;
}

TOptionTake SetProbability(double& target) {
  return [&target](const std::string& name, const std::string& text, std::string& error) {
    if (ParseProbability(text, target)) return true;
    error = name + ": '" + text + "' is not a probability from 0 to 1";
    return false;
  };
}

const char* const UsageHead =
    "usage: fwload-sim [scenario] [options]\n"
    "Creates a pseudo-terminal, prints its slave's path and answers each firmware\n"
    "block (16-bit big-endian length, then the payload) by the scenario, until\n"
    "SIGINT, SIGTERM or SIGHUP. Numbers are decimal or 0x-hexadecimal; --name=value\n"
    "works as --name value.\n";
const char* const UsageTail =
    "A block counts as accepted when the first byte after it is 0x11; noise that\n"
    "leads an answer never starts with 0x00.\n";

// The options, their usage lines and where each value goes. One scenario at most: `given`
// remembers whether one came.
std::vector<TOption> SimTable(TSimOptions& o, bool& given) {
  TSimScenario& sc = o.Scenario;
  auto scenario = [&sc, &given](TSimReply reply) {
    return [&sc, &given, reply](const std::string& name, const std::string&, std::string& error) {
      if (given) {
        error = "only one scenario may be given (" + name + ")";
        return false;
      }
      given = true;
      sc.Reply = reply;
      return true;
    };
  };
  auto reject = [&sc, take = scenario(TSimReply::RejectThenAccept)](
                    const std::string& name, const std::string& value, std::string& error) {
    return take(name, value, error) && SetNumber(sc.Rejections, 0, 1000000)(name, value, error);
  };
  auto rejectByte = [&sc](const std::string& name, const std::string& value, std::string& error) {
    if (!SetNumber(sc.RejectByte, 0, 255)(name, value, error)) return false;
    if (sc.RejectByte != SimAcceptByte && sc.RejectByte != SimRefuseByte) return true;
    error = "--reject-byte may be neither 0x11 nor 0x00";
    return false;
  };
  auto seed = [&o](const std::string& name, const std::string& value, std::string& error) {
    o.SeedGiven = true;
    return SetNumber(o.Scenario.Seed, 0, UINT64_MAX)(name, value, error);
  };
  return {
      {0, "", "", "scenario (one; default --accept):", {}},
      {0, "accept", "", "answer 0x11", scenario(TSimReply::Accept)},
      {0, "zero", "", "answer 0x00", scenario(TSimReply::Zero)},
      {0, "silent", "", "never answer", scenario(TSimReply::Silent)},
      {0, "reject", "K", "answer the reject byte K times for each block, then 0x11", reject},
      {0, "twice", "", "answer 0x11 twice", scenario(TSimReply::Twice)},
      {0, "", "", "options:", {}},
      {0, "reject-byte", "B", "the rejecting answer (default 0x55; not 0x00 or 0x11)", rejectByte},
      {0, "after", "N", "accept the first N blocks before the scenario applies",
       SetNumber(sc.After, 0, 100000000)},
      {0, "latency", "MS", "wait MS milliseconds before each answer",
       SetNumber(sc.LatencyMs, 0, 3600000)},
      {0, "baud", "N", "pace the line at N baud (8N1, 10 bits a byte)",
       SetNumber(sc.Baud, 1, 100000000)},
      {0, "link", "PATH", "make PATH a symlink to the slave (removed at the end)",
       SetText(o.LinkPath)},
      {0, "record", "FILE",
       "write the payloads of the accepted blocks, in order, to\n"
       "FILE (emptied first; a named pipe needs a reader first)",
       SetText(o.RecordPath)},
      {0, "", "", "random faults (P a probability per block, 0..1):", {}},
      {0, "seed", "N", "seed of the random faults (default: a new one, printed)", seed},
      {0, "reject-random", "P", "answer the reject byte instead of accepting",
       SetProbability(sc.RejectRandom)},
      {0, "twice-random", "P", "send an acceptance twice", SetProbability(sc.TwiceRandom)},
      {0, "noise-before", "P", "random bytes ahead of the answer (the program reads\nthem first)",
       SetProbability(sc.NoiseBefore)},
      {0, "noise-after", "P", "random bytes behind the answer (the program must\ndiscard them)",
       SetProbability(sc.NoiseAfter)},
      {0, "noise-instead", "P", "random bytes in place of the answer",
       SetProbability(sc.NoiseInstead)},
      {0, "noise-bytes", "N", "a burst of noise is 1..N bytes (default 8)",
       SetNumber(sc.NoiseBytes, 1, 4096)},
      {0, "jitter", "MS", "a random extra 0..MS milliseconds before each answer",
       SetNumber(sc.JitterMs, 0, 60000)},
      {0, "reject-limit", "K", "at most K random misses in a row for one block\n(default 3)",
       SetNumber(sc.RejectLimit, 0, 1000000)},
      {0, "vanish-after", "N", "after N accepted blocks, vanish as the next block\narrives",
       SetNumber(sc.VanishAfter, 0, 100000000)},
      {0, "", "", "program:", {}},
      {'h', "help", "", "this text", SetFlag(o.Help)},
      {0, "version", "", "the version", SetFlag(o.Version)},
  };
}

} // namespace

bool ParseSimArguments(const std::vector<std::string>& args, TSimOptions& options,
                       std::string& error) {
  TSimOptions result;
  bool scenarioGiven = false;
  std::vector<std::string> operands;
  if (!ParseOptions(SimTable(result, scenarioGiven), args, operands, error)) return false;
  if (!operands.empty()) {
    error = "unknown argument '" + operands[0] + "'";
    return false;
  }
  options = result;
  return true;
}

std::string SimUsage() {
  TSimOptions unused;
  bool given = false;
  return UsageHead + OptionUsage(SimTable(unused, given)) + UsageTail;
}

// fwload-sim: a device boot loader on a pseudo-terminal, for trying fwload without hardware.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "SimCore.h"
#include "SimOptions.h"

namespace {

TBootSim* Sim = nullptr;

void OnSignal(int) {
  if (Sim) Sim->Stop();
}

// Replaces an old symlink of ours; never a file or directory that happens to have the name.
bool MakeLink(const std::string& target, const std::string& link, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symbolic link";
      return false;
    }
    if (unlink(link.c_str()) != 0) {
      error = link + ": " + std::strerror(errno);
      return false;
    }
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    error = link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Removes the link only while it still points at our slave: another simulator may have taken
// the name over since.
void RemoveLink(const std::string& target, const std::string& link) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  if (n > 0 && static_cast<size_t>(n) < sizeof buf &&
      std::string(buf, static_cast<size_t>(n)) == target)
    unlink(link.c_str());
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  TSimOptions options;
  std::string error;
  if (!ParseSimArguments(args, options, error)) {
    std::fprintf(stderr, "fwload-sim: %s\n%s", error.c_str(), SimUsage().c_str());
    return 2;
  }
  if (options.Help) {
    std::fputs(SimUsage().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("fwload-sim %s\n", FWLOAD_VERSION);
    return 0;
  }

  // A run with random faults can be repeated with the seed it names.
  if (!options.SeedGiven) options.Scenario.Seed = std::random_device()();
  std::fprintf(stderr, "fwload-sim: seed %llu\n",
               static_cast<unsigned long long>(options.Scenario.Seed));

  TBootSim sim(options.Scenario);
  // The program keeps counts only; the payloads go to --record as they come.
  sim.SetHistoryLimit(0);
  // Before the link exists, so that a signal from then on ends the run and removes it. A stop
  // that comes before the serving starts waits in the simulator's pipe.
  Sim = &sim;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // The terminal it was started from going away ends it as cleanly.
  sigaction(SIGHUP, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (!sim.Open(error) ||
      (!options.RecordPath.empty() && !sim.RecordTo(options.RecordPath, error)) ||
      (!options.LinkPath.empty() && !MakeLink(sim.SlavePath(), options.LinkPath, error))) {
    Sim = nullptr;
    std::fprintf(stderr, "fwload-sim: %s\n", error.c_str());
    return 1;
  }

  std::printf("%s\n", sim.SlavePath().c_str());
  std::fflush(stdout);
  sim.Run();

  Sim = nullptr;
  if (!options.LinkPath.empty()) RemoveLink(sim.SlavePath(), options.LinkPath);
  if (sim.Vanished()) std::fprintf(stderr, "fwload-sim: the device vanished\n");
  if (std::string why = sim.RecordError(); !why.empty())
    std::fprintf(stderr, "fwload-sim: the record stopped: %s\n", why.c_str());
  std::fprintf(stderr, "fwload-sim: %u blocks, %llu accepted\n", sim.BlocksSeen(),
               static_cast<unsigned long long>(sim.AcceptedBlocks()));
  return 0;
}

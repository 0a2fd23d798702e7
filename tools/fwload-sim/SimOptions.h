// fwload-sim's command line: the scenario, the random faults and the program's own options.
#pragma once

#include <string>
#include <vector>

#include "SimCore.h"

struct TSimOptions {
  TSimScenario Scenario;
  bool Help = false;      // -h, --help: print the usage and end
  bool Version = false;   // --version: print it and end
  std::string LinkPath;   // symlink to the slave; empty for none
  std::string RecordPath; // accepted payloads, in order; empty for none
  bool SeedGiven = false; // --seed was on the command line
};

// Parses fwload-sim's command line (argv[0] excluded). False with `error` set on bad input.
bool ParseSimArguments(const std::vector<std::string>& args, TSimOptions& options,
                       std::string& error);
std::string SimUsage();

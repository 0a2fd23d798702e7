// fwload-cli: fwload's upload from the command line, for scripts and production lines.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CliRun.h"
#include "CliStop.h"

int main(int argc, char** argv) {
  // A closed pipe on standard output must not end an upload half way.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  TCliStop stop;
  InstallStopSignals(stop);
  int status = RunCli(args, stdout, stderr, stop);
  RemoveStopSignals();
  return status;
}

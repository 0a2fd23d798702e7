// fwload-cli: fwload's upload from the command line, for scripts and production lines.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CliRun.h"
#include "CliStop.h"

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // The messages are UTF-8 (the Russian log lines among them).
  SetConsoleOutputCP(CP_UTF8);
#else
  // A closed pipe on standard output must not end an upload half way.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  TCliStop stop;
  InstallStopSignals(stop);
  int status = RunCli(args, stdout, stderr, stop);
  RemoveStopSignals();
  return status;
}

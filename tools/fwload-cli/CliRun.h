// fwload-cli as a function: parse, read fwload's settings, run one upload per port (each on a
// thread of its own with its own host and port; with --station a loop of units per slot),
// print, and give the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CliStop.h"
#include "app/UploadEngine.h"

int ExitStatusOf(TUploadOutcome outcome);

// fwload's settings file as the window finds it: the window's executable lies beside this one.
std::string CliSettingsPath();

// `args` without the program's name. The stop's watcher runs while the uploads do.
int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, TCliStop& stop);

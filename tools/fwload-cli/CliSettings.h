// The settings file fwload-cli is pointed at with --settings: checked before it is read, as
// the settings reader takes a file it cannot read for an empty one and the run would fail
// later for a reason that names neither the file nor the cause.
#pragma once

#include <string>

// Empty when `fileName` can be read; else why not: "not found", "no permission", "not a
// regular file", "larger than 64 MiB" or the system's text.
std::string SettingsFileProblem(const std::string& fileName);

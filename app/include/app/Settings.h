// The settings file: the main window's place and the port's number and speed between runs, and
// the port map (section Ports) that ties port numbers to devices on this system.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TSettings {
  int32_t Top = 100;
  int32_t Left = 100;
  uint16_t ComNumber = 1; // the stored value's low 16 bits
  int32_t Baud = 19200;
};

// The executable's path with its extension replaced by ".INI" (appended to a name without one).
std::string SettingsFileBeside(const std::string& executablePath);
// Beside the executable while its folder can be written; else `configHome`/fwload/ with the
// same file name, `configHome` being $XDG_CONFIG_HOME, or `home`/.config when that is unset
// or not absolute.
std::string SettingsFilePath(const std::string& executablePath, const char* xdgConfigHome,
                             const char* home);
// On Windows: beside the executable while its folder can be written; else
// `appData`\fwload\ with the same file name (beside it still when `appData` is no absolute path).
std::string AppDataSettingsPath(const std::string& executablePath, const std::string& appData);
// The rule of this system for `executablePath`, with this process's environment
// (%APPDATA% on Windows, $XDG_CONFIG_HOME and $HOME elsewhere).
std::string SettingsFilePathFor(const std::string& executablePath);
// For this process: its executable and environment.
std::string SettingsFilePath();
// The file the settings are read from: `settingsFile` (SettingsFilePath's answer) once it
// exists; until then, for a program installed in a folder it cannot write, the file beside
// the executable, so that an installer's defaults and port map count. Writes still go to
// `settingsFile`.
std::string SettingsReadPath(const std::string& settingsFile, const std::string& executablePath);
// For this process: SettingsReadPath(SettingsFilePath(), its executable).
std::string SettingsReadPath();

// Missing file, section or key, empty or unconvertible values: the defaults of TSettings.
TSettings ReadSettingsFile(const std::string& fileName);
// Form/Top, Form/Left, COM/Number, COM/Baud in that order, creating the file's folder when it
// is missing; everything else in the file is kept. The four go in one atomic replace: a
// refused write raises Exception "Unable to write to <file>" and leaves the file as it was.
void WriteSettingsFile(const std::string& fileName, const TSettings& settings);

// Keys COM1..COM50 of section Ports with a non-empty value, in port order.
std::vector<std::pair<int, std::string>> ReadPortMap(const std::string& fileName);
// Gives each of them to platform::SetPortDevice; returns how many were taken.
int ApplyPortMap(const std::string& fileName);

#include "app/Settings.h"

#include <cstdlib>

#include "platform/Win32.h"
#include "runtime/IniFiles.h"
#include "runtime/SysUtils.h"

namespace {

constexpr int MaxMappedPort = 50;

// mkdir -p; what cannot be made shows later as the write's own error.
void MakeDirectories(const std::string& dir) {
  if (dir.empty() || DirectoryExists(dir)) return;
  std::string parent = ExtractFileDir(ExcludeTrailingPathDelimiter(dir));
  if (!parent.empty() && parent != dir) MakeDirectories(parent);
  CreateDir(dir);
}

#ifdef _WIN32
// The environment in UTF-8, as every other name here (getenv gives the ANSI code page's).
std::string EnvironmentValue(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value ? WideToUtf8(value) : std::string();
}
#endif

} // namespace

std::string SettingsFileBeside(const std::string& executablePath) {
  return ChangeFileExt(executablePath, ".INI");
}

std::string SettingsFilePath(const std::string& executablePath, const char* xdgConfigHome,
                             const char* home) {
  std::string beside = SettingsFileBeside(executablePath);
  if (DirectoryWritable(ExtractFileDir(beside))) return beside;
  std::string configHome;
  if (xdgConfigHome && xdgConfigHome[0] == '/') {
    configHome = xdgConfigHome;
  } else {
    configHome = IncludeTrailingPathDelimiter(home && home[0] ? home : "/") + ".config";
  }
  return IncludeTrailingPathDelimiter(configHome) + "fwload/" + ExtractFileName(beside);
}

std::string AppDataSettingsPath(const std::string& executablePath, const std::string& appData) {
  std::string beside = SettingsFileBeside(executablePath);
  if (DirectoryWritable(ExtractFileDir(beside)) || !IsAbsolutePath(appData)) return beside;
  return IncludeTrailingPathDelimiter(appData) + "fwload" + PathDelim + ExtractFileName(beside);
}

std::string SettingsFilePathFor(const std::string& executablePath) {
#ifdef _WIN32
  return AppDataSettingsPath(executablePath, EnvironmentValue(L"APPDATA"));
#else
  return SettingsFilePath(executablePath, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
#endif
}

std::string SettingsFilePath() {
  return SettingsFilePathFor(ParamStr0());
}

std::string SettingsReadPath(const std::string& settingsFile, const std::string& executablePath) {
  std::string beside = SettingsFileBeside(executablePath);
  if (settingsFile == beside || FileExists(settingsFile)) return settingsFile;
  // A writable folder keeps its own file: the fallback is for an installed program only.
  if (!DirectoryWritable(ExtractFileDir(beside)) && FileExists(beside)) return beside;
  return settingsFile;
}

std::string SettingsReadPath() {
  return SettingsReadPath(SettingsFilePath(), ParamStr0());
}

TSettings ReadSettingsFile(const std::string& fileName) {
  TIniFile ini(fileName);
  TSettings defaults;
  TSettings s;
  s.Top = ini.ReadInteger("Form", "Top", defaults.Top);
  s.Left = ini.ReadInteger("Form", "Left", defaults.Left);
  s.ComNumber = static_cast<uint16_t>(ini.ReadInteger("COM", "Number", defaults.ComNumber));
  s.Baud = ini.ReadInteger("COM", "Baud", defaults.Baud);
  return s;
}

void WriteSettingsFile(const std::string& fileName, const TSettings& settings) {
  MakeDirectories(ExtractFileDir(fileName));
  // One replace for the four keys: a write that fails or is cut short leaves the old file
  // whole, never one with some of the new values.
  TIniFile ini(fileName);
  ini.WriteEntries({{"Form", "Top", IntToStr(settings.Top)},
                    {"Form", "Left", IntToStr(settings.Left)},
                    {"COM", "Number", IntToStr(settings.ComNumber)},
                    {"COM", "Baud", IntToStr(settings.Baud)}});
}

std::vector<std::pair<int, std::string>> ReadPortMap(const std::string& fileName) {
  std::vector<std::pair<int, std::string>> map;
  TIniFile ini(fileName);
  if (!ini.SectionExists("Ports")) return map;
  for (int n = 1; n <= MaxMappedPort; ++n) {
    std::string device = ini.ReadString("Ports", "COM" + std::to_string(n), "");
    if (!device.empty()) map.emplace_back(n, device);
  }
  return map;
}

int ApplyPortMap(const std::string& fileName) {
  int taken = 0;
  for (const auto& [port, device] : ReadPortMap(fileName))
    if (platform::SetPortDevice(port, device)) ++taken;
  return taken;
}

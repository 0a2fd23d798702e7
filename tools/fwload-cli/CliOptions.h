// fwload-cli's command line: the options, the port names it takes, the line sequence of
// --before, and the exit statuses the program ends with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cliexit {
constexpr int Success = 0;
constexpr int Usage = 1;
constexpr int File = 2;     // not found, unreadable, too big or malformed
constexpr int NoAnswer = 3; // time-out or the reply 0x00
constexpr int Rejected = 4; // the fourth rejection of a block
constexpr int Stopped = 5;  // SIGINT, SIGTERM or SIGHUP
constexpr int Port = 6;     // the port cannot be opened or fails
} // namespace cliexit

enum class TProgressMode {
  Auto,  // a bar when standard error is a terminal, else nothing
  Bar,   // a bar even when it is not
  Plain, // "progress N" lines
  None,
};

// One step of --before: drive a modem line or wait.
struct TLineStep {
  enum TKind { Dtr, Rts, Wait };
  TKind Kind;
  int Value; // 0 or 1 for a line, milliseconds for a wait
};

// A port as the user named it: COMn (through the port map), a device path, or an identity
// (usb:..., usb-port:...) looked up at each connection.
struct TPortSpec {
  std::string Label;     // as shown in prefixes: "COM3", the path or the identity
  int Number = 0;        // n of COMn; 0 for a path
  std::string Path;      // the device path; empty for COMn and identities
  bool Identity = false; // Label is a usb: or usb-port: identity
};

struct TCliOptions {
  std::vector<TPortSpec> Ports; // empty: the settings file's port
  int Baud = 0;                 // 0: the settings file's speed
  std::string File;
  std::string SettingsFile; // empty: fwload's own settings file
  std::vector<TLineStep> Before;
  TProgressMode Progress = TProgressMode::Auto;
  bool Quiet = false;
  // Machine-readable runs (CliJson, CliReport, CliHash, CliTrace).
  bool Json = false;
  std::string Report, ReportCsv; // files the run's records are appended to
  std::string StationId, Operator, Batch;
  std::string ExpectSha256; // lower-case hex; empty: no check
  std::string Trace;        // file the wire trace is written to
  bool Verbose = false;
  bool ListPorts = false;
  bool Help = false;
  bool Version = false;
  // Production lines.
  int WaitPortSeconds = 0; // --wait-port: how long the port may take to appear and open
  bool Doctor = false;     // --doctor: check the system for the port instead of uploading
  int Attempts = 1;        // --attempts: runs per unit when one ends with no answer or a port error
  int DeadlineSeconds = 0; // --deadline: overall limit per unit; 0 none
  bool Station = false;    // --station: each port is a slot flashing board after board
  uint64_t Units = 0;      // --units: the station ends after this many units; 0 at a stop
};

// Longest wait one --before step may ask for.
constexpr int MaxBeforeWaitMs = 10000;
constexpr int MaxBaud = 4000000;
constexpr int MaxWaitPortSeconds = 3600;
constexpr int MaxAttempts = 100;
constexpr int MaxDeadlineSeconds = 86400;

// False with `error` set on wrong usage. Help and version need no file; --list-ports takes none.
bool ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options,
                       std::string& error);
// "COM3" (any case, 1..255), a path holding a '/' (on Windows a '\' too, as in "\\.\COM12"),
// usb:VID:PID[:SERIAL] or usb-port:BUS-PORT.PORT...
bool ParsePortSpec(const std::string& text, TPortSpec& spec, std::string& error);
// "dtr=0,rts=1,wait=50,rts=0".
bool ParseLineSequence(const std::string& text, std::vector<TLineStep>& steps, std::string& error);
std::string CliUsage();
// "fwload-cli VERSION", the project's version, and a line break.
std::string CliVersion();

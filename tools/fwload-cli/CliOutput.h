// TCliOutput: where fwload-cli's uploads write. Log lines go to standard output (prefixed
// with the port when several run), progress to standard error as a bar or as "progress N"
// lines. One lock keeps the lines of concurrent uploads whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "CliOptions.h"

class TCliOutput {
public:
  // `progress` is resolved: Bar, Plain or None. An empty prefix list means one port, unprefixed.
  TCliOutput(std::FILE* out, std::FILE* err, TProgressMode progress,
             std::vector<std::string> labels, bool prefixed);

  void LogLine(size_t port, const std::string& line);
  // The gauge value, and the bytes accepted so far of `total` (0 when unknown).
  void Progress(size_t port, long percent, uint64_t accepted, uint64_t total);
  // A line on standard error, the bar kept intact.
  void Error(const std::string& message);
  // Plain text on standard output (the summary, -q's last lines).
  void Print(const std::string& text);
  // Takes the bar off the terminal.
  void Finish();
  // --json: log lines and plain text go to standard error, standard output takes JSON only.
  void SetJson();
  // One JSON line (with its line break) on standard output.
  void Json(const std::string& line);
  // A -v line on standard error, with the port's prefix.
  void Note(size_t port, const std::string& line);

private:
  struct TPortProgress {
    long Percent = -1;
    uint64_t Accepted = 0;
    uint64_t Total = 0;
    std::chrono::steady_clock::time_point Start;
  };
  std::string Prefix(size_t port) const;
  std::string BarText() const;
  void EraseBar();
  void DrawBar();

  std::mutex FLock;
  std::FILE* FOut;
  std::FILE* FErr;
  std::FILE* FText; // log lines and plain text: FOut, or FErr with --json
  TProgressMode FMode;
  std::vector<std::string> FLabels;
  bool FPrefixed;
  std::vector<TPortProgress> FProgress;
  bool FBarShown = false;
};

// "1:05" for 65 seconds.
std::string FormatDuration(double seconds);

// --report and --report-csv: one record per device per run, appended to a file that several
// fwload-cli processes may share (one write per record on a file opened for appending).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "CliIdentity.h"
#include "CliJson.h"

struct TRunRecord {
  std::string Time; // UTC, "2026-12-09T22:58:30Z"
  std::string Host;
  std::string Station, Operator, Batch; // empty when not given
  std::string Port, Device;
  TUsbIdentity Usb;
  std::string File, Sha256; // Sha256 empty when the file could not be read
  uint64_t ImageBytes = 0;
  std::string Outcome;
  int Exit = 0;
  uint64_t Sends = 0, Accepted = 0, Rejects = 0, Timeouts = 0;
  double Seconds = 0;
  std::string Version;
  // --attempts: this run is attempt n of K; Final when it decided the unit.
  int Attempt = 1, Attempts = 1;
  bool Final = true;
  // --station: the slot (from 1) and the station's unit counter; 0 outside a station.
  size_t Slot = 0;
  uint64_t Unit = 0;
};

std::string UtcNow();
std::string HostName();

TJson ReportObject(const TRunRecord& record);
// The CSV columns, and one record as a CSV line (RFC 4180 quoting), each with its line break.
std::string CsvHeader();
std::string CsvLine(const TRunRecord& record);

// A file opened for appending at the start of the run, so that one that cannot be written is
// known before anything is sent.
class TAppendFile {
public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // Creates the file when missing; false with `error` set when it cannot be opened.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const;
  // Appends `text` in one write. `header` goes first when the file is empty (under an
  // exclusive lock on POSIX, so that of several writers only one adds it).
  bool Append(const std::string& text, std::string& error, const std::string& header = "");
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  // The ports of one run share the descriptor, and a flock on it does not keep them apart.
  std::mutex FLock;
#ifdef _WIN32
  void* FHandle = nullptr;
#else
  int FFd = -1;
#endif
};

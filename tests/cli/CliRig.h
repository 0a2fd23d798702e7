// fwload-cli driven in-process: its RunCli with captured standard output and error, against
// simulators on pseudo-terminals.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CliRun.h"
#include "CliStop.h"
#include "SimCore.h"
#include "support/Firmware.h"
#include "support/Sim.h"
#include "support/TempDir.h"

// A stream whose text is read back after the run.
class TCapture {
public:
  TCapture() { FFile = open_memstream(&FBuffer, &FSize); }
  ~TCapture() {
    if (FFile) std::fclose(FFile);
    std::free(FBuffer);
  }
  TCapture(const TCapture&) = delete;
  TCapture& operator=(const TCapture&) = delete;
  std::FILE* File() { return FFile; }
  std::string Text() {
    std::fflush(FFile);
    return std::string(FBuffer, FSize);
  }

private:
  std::FILE* FFile = nullptr;
  char* FBuffer = nullptr;
  size_t FSize = 0;
};

struct TCliRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

inline TCliRun RunCliCaptured(const std::vector<std::string>& args, TCliStop* stop = nullptr) {
  TCapture out, err;
  TCliStop ownStop;
  TCliRun run;
  run.Status = RunCli(args, out.File(), err.File(), stop ? *stop : ownStop);
  run.Out = out.Text();
  run.Err = err.Text();
  return run;
}

using support::TRunningSim;

inline std::string FirmwareFile(support::TTempDir& dir, const std::vector<std::string>& payloads,
                                const std::string& name = "fw.enc") {
  return dir.Write(name, support::EncodeBlocks(payloads));
}

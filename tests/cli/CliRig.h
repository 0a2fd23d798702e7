// fwload-cli driven in-process: its RunCli with captured standard output and error, against
// simulators on pseudo-terminals; and the program itself as a child process.
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
#include "TempFiles.h"
#include "UploadRig.h"

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

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A simulator running on its own thread.
struct TSimOnPty {
  TBootSim Sim;
  explicit TSimOnPty(TSimScenario scenario = {}) : Sim(scenario) {
    std::string error;
    EXPECT_TRUE(Sim.Open(error)) << error;
    Sim.Start();
  }
  const std::string& Path() const { return Sim.SlavePath(); }
};

inline std::string FirmwareFile(TTempDir& dir, const std::vector<std::string>& payloads,
                                const std::string& name = "fw.enc") {
  return dir.Write(name, EncodeBlocks(payloads));
}

inline std::vector<std::string> SomeBlocks(unsigned count, size_t size = 40) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < count; ++i)
    blocks.push_back(Payload(size, i));
  return blocks;
}

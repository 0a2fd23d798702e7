// The upload as fwload's window runs it: the engine over TComPortUploadPort on a TSioComPort set
// up as the main window's port, against the simulator in-process. The port number maps to a
// symlink, so that a new simulator (the device back again) is reached at the same port.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "SimCore.h"
#include "app/ComPortUploadPort.h"
#include "app/PlainUploadHost.h"
#include "app/UploadEngine.h"
#include "platform/Win32.h"
#include "serial/ComPort.h"
#include "support/TempDir.h"

// Notes what the engine does on the port: every block it sends and every byte it takes as a
// reply, so that a test can hold them against what the device sent.
class TTakenReplies : public TUploadPort {
public:
  explicit TTakenReplies(TUploadPort& port) : FPort(port) {}
  void FlushOutBuffer() override { FPort.FlushOutBuffer(); }
  void FlushInBuffer() override { FPort.FlushInBuffer(); }
  void PutBlock(const void* block, uint16_t length) override {
    FPort.PutBlock(block, length);
    ++Sends;
  }
  bool CharReady() override { return FPort.CharReady(); }
  size_t OutputSize() override { return FPort.OutputSize(); }
  uint32_t WireTimeMs(size_t length) override { return FPort.WireTimeMs(length); }
  bool InputPending() override { return FPort.InputPending(); }
  char GetChar() override {
    char c = FPort.GetChar();
    Taken.push_back(c);
    return c;
  }
  void SetReceiveWake(TWake wake, void* context) override { FPort.SetReceiveWake(wake, context); }

  unsigned Sends = 0;
  std::string Taken;

private:
  TUploadPort& FPort;
};

struct TComPortRig {
  support::TTempDir Dir;
  std::string Link = Dir.File("device");
  int PortNumber;
  std::unique_ptr<TBootSim> Sim;
  TSioComPort Port{nullptr};
  TPlainUploadHost Host;

  explicit TComPortRig(const TSimScenario& scenario = {}) : PortNumber(NextPort()) {
    StartSim(scenario);
    platform::SetPortDevice(PortNumber, Link);
    // As fwload's main window designs ComPort1.
    Port.BeginLoading();
    Port.SetComNumber(static_cast<WORD>(PortNumber));
    Port.SetBaud(115200);
    Port.SetAutoOpen(false);
    Port.SetRTS(false);
    Port.SetSWFlowOptions(swfReceive);
    Port.SetBufferFull(3072);
    Port.SetBufferResume(1024);
    Port.EndLoading();
  }
  ~TComPortRig() {
    if (Port.Open()) Port.SetOpen(false);
    platform::SetPortDevice(PortNumber, "");
  }
  TComPortRig(const TComPortRig&) = delete;
  TComPortRig& operator=(const TComPortRig&) = delete;

  // A new device at the same port: the old simulator is gone, the link names the new one.
  void StartSim(const TSimScenario& scenario) {
    Sim.reset();
    Sim = std::make_unique<TBootSim>(scenario);
    std::string error;
    ASSERT_TRUE(Sim->Open(error)) << error;
    Sim->Start();
    std::string fresh = Link + ".new";
    ::unlink(fresh.c_str());
    ASSERT_EQ(::symlink(Sim->SlavePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(std::rename(fresh.c_str(), Link.c_str()), 0);
  }

  // One upload on the open port, as WriteDeviceExecute runs it.
  TUploadOutcome Upload(const std::string& fileName, TTakenReplies** seen = nullptr) {
    return Upload(fileName, Host, seen);
  }
  TUploadOutcome Upload(const std::string& fileName, TUploadHost& host,
                        TTakenReplies** seen = nullptr) {
    TComPortUploadPort adapter(Port);
    Last = std::make_unique<TTakenReplies>(adapter);
    if (seen) *seen = Last.get();
    TUploadEngine engine(host, *Last);
    return engine.Run(fileName);
  }
  std::unique_ptr<TTakenReplies> Last;

  static int NextPort() {
    static int next = 120;
    return next++;
  }
};

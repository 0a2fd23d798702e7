// A whole upload path for the tests: the engine, the dispatcher adapter over a real
// TSioWin32Dispatcher, and the simulator in-process on the other side of a pseudo-terminal.
// A recording layer over the adapter notes each send next to the gauge values and times how
// quickly a reply is taken once the receive path has announced it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "SimCore.h"
#include "app/DispatcherUploadPort.h"
#include "app/PlainUploadHost.h"
#include "app/UploadEngine.h"
#include "platform/Win32.h"
#include "serial/Win32Dispatcher.h"
#include "support/Firmware.h"
#include "support/Line.h"
#include "support/Process.h"
#include "support/TempDir.h"

class TRecordingPort : public TUploadPort {
public:
  TRecordingPort(TUploadPort& port, std::vector<std::string>& events)
      : FPort(port), FEvents(events) {}

  void FlushOutBuffer() override { FPort.FlushOutBuffer(); }
  void FlushInBuffer() override { FPort.FlushInBuffer(); }
  void PutBlock(const void* block, uint16_t length) override {
    FPort.PutBlock(block, length);
    FEvents.push_back("S" + std::to_string(length));
  }
  bool CharReady() override { return FPort.CharReady(); }
  size_t OutputSize() override { return FPort.OutputSize(); }
  uint32_t WireTimeMs(size_t length) override { return FPort.WireTimeMs(length); }
  bool InputPending() override { return FPort.InputPending(); }
  char GetChar() override {
    char c = FPort.GetChar();
    long long woken = FLastWakeUs.exchange(0);
    if (woken != 0) ReplyDelaysUs.push_back(support::NowUs() - woken);
    return c;
  }
  void SetReceiveWake(TWake wake, void* context) override {
    if (!wake) {
      FPort.SetReceiveWake(nullptr, nullptr);
      FWake = nullptr;
      return;
    }
    FWake = wake;
    FContext = context;
    FPort.SetReceiveWake(&TRecordingPort::OnWake, this);
  }

  // From the receive path's announcement to the engine's GetChar, per reply.
  std::vector<long long> ReplyDelaysUs;

private:
  static void OnWake(void* context) {
    auto* self = static_cast<TRecordingPort*>(context);
    long long expected = 0;
    self->FLastWakeUs.compare_exchange_strong(expected, support::NowUs());
    self->FWake.load()(self->FContext.load());
  }

  TUploadPort& FPort;
  std::vector<std::string>& FEvents;
  std::atomic<TWake> FWake{nullptr};
  std::atomic<void*> FContext{nullptr};
  std::atomic<long long> FLastWakeUs{0};
};

struct TUploadRig {
  support::TTempDir Dir;
  TBootSim Sim;
  int PortNumber;
  std::unique_ptr<TSioWin32Dispatcher> Disp;
  std::unique_ptr<TDispatcherUploadPort> Adapter;
  std::vector<std::string> Events; // "P<percent>" and "S<length>" in the order they happened
  std::vector<bool> IdleCalls;
  std::unique_ptr<TRecordingPort> Port;
  TPlainUploadHost Host;

  explicit TUploadRig(TSimScenario scenario = {}, bool open = true, unsigned outSize = 4096)
      : Sim(scenario), PortNumber(NextPort()) {
    std::string error;
    EXPECT_TRUE(Sim.Open(error)) << error;
    Sim.Start();
    platform::SetPortDevice(PortNumber, Sim.SlavePath());
    Disp = std::make_unique<TSioWin32Dispatcher>(nullptr);
    if (open) {
      EXPECT_EQ(Disp->InitPort(support::ComName(PortNumber).c_str(), 115200, 0, 8, 1, 4096, outSize,
                               0x01),
                0);
    }
    Adapter = std::make_unique<TDispatcherUploadPort>(*Disp);
    Port = std::make_unique<TRecordingPort>(*Adapter, Events);
    Host.OnProgress = [this](long p) { Events.push_back("P" + std::to_string(p)); };
    Host.OnIdle = [this](bool idle) { IdleCalls.push_back(idle); };
  }
  ~TUploadRig() {
    Port.reset();
    Adapter.reset();
    Disp.reset();
    platform::SetPortDevice(PortNumber, "");
  }
  TUploadRig(const TUploadRig&) = delete;
  TUploadRig& operator=(const TUploadRig&) = delete;

  std::string WriteFirmware(const std::vector<std::string>& payloads,
                            const std::string& name = "fw.enc") {
    return Dir.Write(name, support::EncodeBlocks(payloads));
  }
  TUploadOutcome Run(const std::string& fileName) {
    TUploadEngine engine(Host, *Port);
    TUploadOutcome outcome = engine.Run(fileName);
    BlockedPasses = engine.BlockedPasses();
    Oversized = engine.Oversized();
    return outcome;
  }
  unsigned long BlockedPasses = 0;
  TOversizedBlock Oversized;

  static int NextPort() {
    static std::atomic<int> next{60};
    return next++;
  }
};

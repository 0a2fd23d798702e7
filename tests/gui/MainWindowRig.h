// The main window tests' rig: fwload's two windows over boot-loader simulators mapped as COM1
// and COM2, the settings file in a temporary folder, and what the error display showed.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "SimCore.h"
#include "Unit1.h"
#include "Unit2.h"
#include "app/Settings.h"
#include "framework/Memo.h"
#include "framework/ToolBar.h"
#include "platform/Win32Comm.h"
#include "support/Firmware.h"
#include "support/Gui.h"
#include "support/TempDir.h"

inline std::vector<std::string> LogOf(TForm1* f) {
  std::vector<std::string> lines;
  for (int i = 0; i < f->Memo1->Lines()->Count(); ++i)
    lines.push_back(f->Memo1->Lines()->Strings(i));
  return lines;
}

// The program's two windows over a simulator mapped as COM1 (and another as COM2), with
// the settings file in a temporary folder.
class TMainWindowRig : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureApplication();
    Serve(1);
    Serve(2);
    SettingsFile = Dir.File("fwload.INI");
  }
  void TearDown() override {
    delete Form2;
    Form2 = nullptr;
    if (Form1) Form1->OnClose = nullptr; // the test's end is not the program's
    delete Form1;
    Form1 = nullptr;
    platform::SetPortDevice(1, "");
    platform::SetPortDevice(2, "");
  }

  // A simulator with `scenario` behind port `n` (replacing the one there).
  TBootSim& Serve(int n, TSimScenario scenario = {}) {
    auto& sim = n == 1 ? Sim : Sim2;
    sim = std::make_unique<TBootSim>(scenario);
    std::string error;
    EXPECT_TRUE(sim->Open(error)) << error;
    sim->Start();
    platform::SetPortDevice(n, sim->SlavePath());
    return *sim;
  }

  // Start-up as the program does it: the main window (FormCreate opens the port and reads
  // the settings), then the dialog.
  void StartUp(const std::string& settings = "") {
    if (!settings.empty()) Dir.Write("fwload.INI", settings);
    Form1 = new TForm1(&Owner);
    Form1->SettingsFile = SettingsFile;
    Form1->AfterConstruction();
    Form2 = TForm::Create<TForm2>(&Owner);
    Form1->Show();
  }

  std::string Firmware(const std::vector<size_t>& blockSizes) {
    std::vector<std::string> payloads;
    for (size_t i = 0; i < blockSizes.size(); ++i)
      payloads.push_back(support::Payload(blockSizes[i] - 2, unsigned(i)));
    Payloads = payloads;
    return Dir.Write("fw.enc", support::EncodeBlocks(payloads));
  }

  void Upload() { Form1->ToolButton3->click(); }

  bool IdleButtons() const {
    return Form1->ToolButton1->Enabled() && Form1->ToolButton2->Enabled() &&
           Form1->ToolButton3->Enabled() && !Form1->ToolButton4->Enabled() && !Form1->Busy();
  }

  support::TTempDir Dir;
  std::unique_ptr<TBootSim> Sim;
  std::unique_ptr<TBootSim> Sim2;
  std::string SettingsFile;
  std::vector<std::string> Payloads;
  TComponent Owner{nullptr};
  TShownMessages Shown;
};

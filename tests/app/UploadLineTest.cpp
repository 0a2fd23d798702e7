// Uploads where the line itself matters: the port closed and reopened between uploads (as
// around the settings dialog), a block without payload, a paced line, and the simulator as
// the separate program the demo runs.
#include <gtest/gtest.h>

#include "UploadRig.h"
#include "support/Process.h"

using support::BlockBytes;
using support::ComName;
using support::EncodeBlocks;
using support::NowUs;
using support::Payload;
using support::ReadWholeFile;
using support::TProcess;
using support::TTempDir;

TEST(UploadLine, ThePortClosedAndReopenedBetweenUploads) {
  TUploadRig rig;
  std::string path = rig.WriteFirmware({Payload(10, 1), Payload(20, 2)});
  ASSERT_EQ(rig.Run(path), TUploadOutcome::Success);
  for (int round = 0; round < 3; ++round) {
    rig.Disp->DonePort();
    ASSERT_TRUE(rig.Sim.WaitForHangups(static_cast<unsigned>(round) + 1, 5000));
    ASSERT_EQ(rig.Disp->InitPort(ComName(rig.PortNumber).c_str(), 57600, 0, 8, 1, 4096, 4096, 1), 0)
        << "round " << round;
    EXPECT_EQ(rig.Run(path), TUploadOutcome::Success) << "round " << round;
  }
  EXPECT_EQ(rig.Sim.Accepted().size(), 8u);
  EXPECT_EQ(rig.Sim.EarlyBlocks(), 0u);
}

TEST(UploadLine, ABlockWithoutPayloadGoesAsItsTwoLengthBytes) {
  TUploadRig rig;
  std::string path = rig.WriteFirmware({"", Payload(2, 5), ""});
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  // 8 bytes in all: 0 before the first, 2 × 100 / 8 before the second, 6 × 100 / 8 before
  // the third.
  EXPECT_EQ(rig.Events, (std::vector<std::string>{"P0", "S2", "P25", "S4", "P75", "S2", "P100"}));
  EXPECT_EQ(rig.Sim.Received(), BlockBytes("") + BlockBytes(Payload(2, 5)) + BlockBytes(""));
}

TEST(UploadLine, APacedLineTakesTheTimeOfItsBytes) {
  TSimScenario paced{.Baud = 38400};
  TUploadRig rig(paced);
  // 8 blocks of 482 bytes: 3856 bytes of 10 bits at 38400 baud are about 1 s.
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < 8; ++i)
    blocks.push_back(Payload(480, i));
  std::string path = rig.WriteFirmware(blocks);
  long long t0 = NowUs();
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  long long tookMs = (NowUs() - t0) / 1000;
  EXPECT_GE(tookMs, 1000);
  EXPECT_LT(tookMs, 4000);
  EXPECT_EQ(rig.Sim.Accepted(), blocks);
}

TEST(UploadLine, AgainstTheSimulatorProgram) {
  TTempDir dir;
  std::string record = dir.File("accepted.bin");
  std::string link = dir.File("device");
  TProcess sim(FWLOAD_SIM_PATH, {"--reject", "1", "--record", record, "--link", link});
  ASSERT_GT(sim.Pid(), 0);
  ASSERT_FALSE(sim.ReadLine(5000).empty());

  const int port = 250;
  platform::SetPortDevice(port, link);
  {
    TSioWin32Dispatcher disp(nullptr);
    ASSERT_EQ(disp.InitPort(ComName(port).c_str(), 19200, 0, 8, 1, 4096, 4096, 1), 0);
    TDispatcherUploadPort adapter(disp);
    TPlainUploadHost host;
    std::vector<std::string> blocks = {Payload(100, 1), Payload(7, 2), Payload(300, 3)};
    std::string path = dir.Write("fw.enc", EncodeBlocks(blocks));
    TUploadEngine engine(host, adapter);
    EXPECT_EQ(engine.Run(path), TUploadOutcome::Success);
    EXPECT_EQ(host.Log().back(), "Прошивка обновлена успешно!");
    // Each block was rejected once and sent again, with the same gauge value: 413 bytes,
    // 102 × 100 / 413 and 111 × 100 / 413 truncated.
    EXPECT_EQ(host.Progress(), (std::vector<long>{0, 0, 24, 24, 26, 26, 100}));
    kill(sim.Pid(), SIGTERM);
    EXPECT_EQ(sim.WaitExit(5000), 0);
    EXPECT_EQ(ReadWholeFile(record), blocks[0] + blocks[1] + blocks[2]);
  }
  platform::SetPortDevice(port, "");
}

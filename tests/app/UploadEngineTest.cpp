// Whole uploads through the engine and the dispatcher on a real pseudo-terminal, the device
// played by the simulator: every way out, the log lines in order, the gauge before each send
// and what the device received.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include "UploadRig.h"
#include "app/EncodedFile.h"
#include "serial/Exceptions.h"

using support::BlockBytes;
using support::EncodeBlocks;
using support::NowUs;
using support::Payload;
using support::ProcessCpuMs;

using Lines = std::vector<std::string>;
using Events = std::vector<std::string>;

namespace {

// The texts as the user reads them, written out here rather than taken from the engine.
const std::string Start = "Старт";
const std::string NoAnswer = "Устройство не отвечает!";
const std::string Stopped = "Прервано пользователем";
const std::string CrcError = "\nОшибка CRC . Файл поврежден.\n";
const std::string Success = "Прошивка обновлена успешно!";

// Block sizes (L + 2) of 10, 10 and 20: 40 bytes in all.
const std::vector<std::string> ThreeBlocks = {Payload(8, 1), Payload(8, 2), Payload(18, 3)};

Lines Loaded(const std::string& name) {
  return {Start, "Файл " + name + " загружен", "Загрузка..."};
}

Lines Plus(Lines a, const std::string& line) {
  a.push_back(line);
  return a;
}

std::string Concat(const std::vector<std::string>& blocks) {
  std::string all;
  for (const auto& p : blocks)
    all += BlockBytes(p);
  return all;
}

TSimScenario Scenario(TSimReply reply, unsigned after = 0, unsigned rejections = 0) {
  return TSimScenario{.Reply = reply, .Rejections = rejections, .After = after};
}

} // namespace

TEST(Upload, SuccessSendsEachBlockOnceWithTheGaugeSetBeforeEachSend) {
  TUploadRig rig;
  std::string path = rig.WriteFirmware(ThreeBlocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), Success));
  EXPECT_EQ(rig.Events, (Events{"P0", "S10", "P25", "S10", "P50", "S20", "P100"}));
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true}));
  EXPECT_FALSE(rig.Host.Busy());
  EXPECT_EQ(rig.Sim.Accepted(), ThreeBlocks);
  EXPECT_EQ(rig.Sim.Received(), Concat(ThreeBlocks));
}

TEST(Upload, AFullImageGoesThroughWhole) {
  // 1024 blocks of 256 bytes fill the image's 262144 bytes exactly.
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < 1024; ++i)
    blocks.push_back(Payload(254, i));
  TUploadRig rig;
  std::string path = rig.WriteFirmware(blocks, "full.enc");
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log().back(), Success);
  EXPECT_TRUE(rig.Sim.Accepted() == blocks);
  std::vector<long> progress = rig.Host.Progress();
  ASSERT_EQ(progress.size(), 1025u);
  EXPECT_EQ(progress[512], 50);
  EXPECT_EQ(progress[1023], 99);
}

TEST(Upload, TwoUploadsInARowClearTheLogEachTime) {
  TUploadRig rig;
  std::string path = rig.WriteFirmware({Payload(2, 1)}, "a.enc");
  ASSERT_EQ(rig.Run(path), TUploadOutcome::Success);
  rig.Host.AddLogLine("left over");
  ASSERT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("a.enc"), Success));
  EXPECT_EQ(rig.Events, (Events{"P0", "S4", "P100", "P0", "S4", "P100"}));
}

TEST(Upload, ReplyZeroEndsAfterOneSend) {
  TUploadRig rig(Scenario(TSimReply::Zero));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::NoAnswer);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), NoAnswer));
  EXPECT_EQ(rig.Events, (Events{"P0", "S10"}));
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true}));
}

TEST(Upload, ThreeRejectionsOfEachBlockStillSucceed) {
  TUploadRig rig(Scenario(TSimReply::RejectThenAccept, 0, 3));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), Success));
  Events expected;
  for (auto [p, s] : {std::pair{"P0", "S10"}, {"P25", "S10"}, {"P50", "S20"}})
    for (int i = 0; i < 4; ++i) {
      expected.push_back(p);
      expected.push_back(s);
    }
  expected.push_back("P100");
  EXPECT_EQ(rig.Events, expected);
  EXPECT_EQ(rig.Sim.BlocksSeen(), 12u);
  EXPECT_EQ(rig.Sim.Accepted(), ThreeBlocks);
}

TEST(Upload, TheFourthRejectionEndsWithTheCrcMessage) {
  // The first block goes through; the second is rejected four times.
  TUploadRig rig(Scenario(TSimReply::RejectThenAccept, 1, 4));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Rejected);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), CrcError));
  EXPECT_EQ(rig.Host.Log().back().front(), '\n');
  EXPECT_EQ(rig.Events,
            (Events{"P0", "S10", "P25", "S10", "P25", "S10", "P25", "S10", "P25", "S10"}));
  EXPECT_EQ(rig.Sim.Accepted().size(), 1u);
}

TEST(Upload, ASecondReplyByteIsDiscardedByTheNextPurge) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < 20; ++i)
    blocks.push_back(Payload(30, i));
  TSimScenario twice = Scenario(TSimReply::Twice);
  twice.LatencyMs = 5;
  TUploadRig rig(twice);
  std::string path = rig.WriteFirmware(blocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  // Read as the next block's reply, a stale 0x11 would send the block after it before the
  // device has answered.
  EXPECT_EQ(rig.Sim.EarlyBlocks(), 0u);
  EXPECT_EQ(rig.Sim.BlocksSeen(), 20u);
  EXPECT_EQ(rig.Sim.Accepted(), blocks);
}

TEST(Upload, SilenceTimesOutAfterFiveSecondsWithoutSpinning) {
  // Two blocks accepted, then silence; the tick counter wraps during the wait.
  TUploadRig rig(Scenario(TSimReply::Silent, 2));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  rig.Host.SetTickOffset(0u - GetTickCount() - 2000u);
  double cpu0 = ProcessCpuMs();
  long long t0 = NowUs();
  EXPECT_EQ(rig.Run(path), TUploadOutcome::TimedOut);
  double wallMs = (NowUs() - t0) / 1000.0;
  double cpuMs = ProcessCpuMs() - cpu0;
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), NoAnswer));
  EXPECT_EQ(rig.Events, (Events{"P0", "S10", "P25", "S10", "P50", "S20"}));
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true}));
  EXPECT_GE(wallMs, 5000.0);
  EXPECT_LT(wallMs, 7000.0);
  // Each pass that finds nothing blocks until the deadline: a handful, not millions.
  EXPECT_LT(rig.BlockedPasses, 50u);
  double percent = 100.0 * cpuMs / wallMs;
  std::printf("wait_cpu_percent: %.2f (%.1f ms CPU in %.0f ms, %lu blocked passes)\n", percent,
              cpuMs, wallMs, rig.BlockedPasses);
  EXPECT_LT(percent, 5.0);
}

TEST(Upload, AReplyAcrossTheTickWrapIsStillAwaited) {
  TSimScenario slow{.LatencyMs = 300};
  TUploadRig rig(slow);
  std::string path = rig.WriteFirmware({Payload(4, 1)});
  // The deadline lies past the wrap: an absolute comparison would time out at once.
  rig.Host.SetTickOffset(0u - GetTickCount() - 100u);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log().back(), Success);
}

TEST(Upload, RepliesAreTakenTheMomentTheyArrive) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < 200; ++i)
    blocks.push_back(Payload(16, i));
  TUploadRig rig;
  std::string path = rig.WriteFirmware(blocks);
  ASSERT_EQ(rig.Run(path), TUploadOutcome::Success);
  std::vector<long long> d = rig.Port->ReplyDelaysUs;
  ASSERT_GE(d.size(), 150u) << "most replies arrive while the engine waits";
  std::sort(d.begin(), d.end());
  long long median = d[d.size() / 2];
  std::printf("reply_take_us: median %lld, max %lld\n", median, d.back());
  // A reply that waited for the wait's own time-out would take seconds; the figure itself
  // (tens of microseconds here) is for reading, not for a bound a loaded machine could miss.
  EXPECT_LT(median, 100000);
}

TEST(Upload, StopDuringTheWaitEndsAtTheNextPass) {
  TUploadRig rig(Scenario(TSimReply::Silent, 1));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  TUploadOutcome outcome = TUploadOutcome::Success;
  std::thread ui([&] { outcome = rig.Run(path); });
  ASSERT_TRUE(rig.Sim.WaitForBlocks(2, 5000));
  long long stopAt = NowUs();
  rig.Host.Stop();
  ui.join();
  EXPECT_LT(NowUs() - stopAt, 500000);
  EXPECT_EQ(outcome, TUploadOutcome::Stopped);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("fw.enc"), Stopped));
  EXPECT_EQ(rig.Events, (Events{"P0", "S10", "P25", "S10"}));
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true}));
}

TEST(Upload, AQuitMessageStopsTheUploadAndStaysQueued) {
  TUploadRig rig(Scenario(TSimReply::Silent));
  std::string path = rig.WriteFirmware(ThreeBlocks);
  TUploadOutcome outcome = TUploadOutcome::Success;
  bool quitLeft = false;
  DWORD uiThread = 0;
  std::atomic<bool> ready{false};
  std::thread ui([&] {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE); // this thread's queue exists from here
    uiThread = GetCurrentThreadId();
    ready = true;
    outcome = rig.Run(path);
    quitLeft = PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && m.wParam == 7;
  });
  ASSERT_TRUE(rig.Sim.WaitForBlocks(1, 5000));
  ASSERT_TRUE(ready.load());
  ASSERT_TRUE(PostThreadMessageA(uiThread, WM_QUIT, 7, 0));
  ui.join();
  EXPECT_EQ(outcome, TUploadOutcome::Stopped);
  EXPECT_TRUE(quitLeft);
}

// ---- files that are refused ----

TEST(UploadRefused, MissingAndUnchosenFilesSendNothing) {
  TUploadRig rig;
  std::string missing = rig.Dir.File("missing.enc");
  EXPECT_EQ(rig.Run(missing), TUploadOutcome::NotFound);
  EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл " + missing + " не найден"}));
  EXPECT_EQ(rig.Run(""), TUploadOutcome::NotFound);
  EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл  не найден"}));
  EXPECT_EQ(rig.Run(rig.Dir.Path()), TUploadOutcome::NotFound) << "a folder is no file";
  // A named pipe nobody writes to would block the open for good.
  std::string pipe = rig.Dir.File("pipe.enc");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(rig.Run(pipe), TUploadOutcome::NotFound);
  EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл " + pipe + " не найден"}));
  EXPECT_EQ(rig.Run("/dev/zero"), TUploadOutcome::NotFound) << "a device is no file";
  EXPECT_TRUE(rig.Events.empty()) << "neither gauge nor port is touched";
  EXPECT_EQ(rig.IdleCalls,
            (std::vector<bool>{false, true, false, true, false, true, false, true, false, true}));
}

TEST(UploadRefused, TooBigAndCorruptImagesSendNothing) {
  TUploadRig rig;
  std::string big;
  for (size_t i = 0; i <= FirmwareImageSize; ++i)
    big += "00";
  std::string bigPath = rig.Dir.Write("big.enc", big);
  EXPECT_EQ(rig.Run(bigPath), TUploadOutcome::TooBig);
  EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл " + bigPath + " слишком большой"}));

  for (const std::string text : {"00 02 AA BB 00", "00 05 01 02", "FF FE 00"}) {
    std::string path = rig.Dir.Write("bad.enc", text);
    EXPECT_EQ(rig.Run(path), TUploadOutcome::Corrupt) << text;
    EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл " + path + " поврежден"})) << text;
  }
  EXPECT_TRUE(rig.Events.empty());
  EXPECT_EQ(rig.Sim.BlocksSeen(), 0u);
}

TEST(UploadRefused, AnEmptyImageIsASuccessWithNothingSent) {
  TUploadRig rig;
  std::string path = rig.Dir.Write("bom.enc", "\xEF\xBB\xBF"
                                              "00 02 AA BB");
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Host.Log(), Plus(Loaded("bom.enc"), Success));
  EXPECT_EQ(rig.Events, (Events{"P100"}));
}

TEST(UploadRefused, AStrayLetterEndsTheImageThere) {
  TUploadRig rig;
  std::string path =
      rig.Dir.Write("stray.enc", EncodeBlocks({ThreeBlocks[0]}) + "G" + EncodeBlocks({"zz"}));
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Events, (Events{"P0", "S10", "P100"}));
  EXPECT_EQ(rig.Sim.Accepted(), (std::vector<std::string>{ThreeBlocks[0]}));
}

// ---- port errors ----

TEST(UploadPortErrors, AClosedPortRaisesAfterTheLoadedLinesAndLeavesTheHostIdle) {
  TUploadRig rig({}, false);
  std::string path = rig.WriteFirmware(ThreeBlocks);
  EXPECT_THROW(rig.Run(path), ECommNotOpen);
  EXPECT_EQ(rig.Host.Log(), Loaded("fw.enc"));
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true}));
  EXPECT_FALSE(rig.Host.Busy());
}

TEST(UploadRefused, ABlockLargerThanThePortsTransmitQueueIsRefusedBeforeAnythingIsSent) {
  // Opened with 1024 bytes of transmit queue: the limit is the port's, not a fixed one.
  TUploadRig rig({}, true, 1024);
  std::string fits = rig.WriteFirmware({Payload(1022, 1)}, "fits.enc");
  EXPECT_EQ(rig.Run(fits), TUploadOutcome::Success);
  EXPECT_EQ(rig.Oversized.Size, 0u);
  rig.Events.clear();
  // The blocks before it would be accepted first and leave the device with half a firmware.
  std::string tooLarge = rig.WriteFirmware({Payload(8, 1), Payload(1023, 2)}, "large.enc");
  EXPECT_EQ(rig.Run(tooLarge), TUploadOutcome::Corrupt);
  EXPECT_EQ(rig.Host.Log(), (Lines{Start, "Ошибка: Файл " + tooLarge + " поврежден"}));
  EXPECT_TRUE(rig.Events.empty()) << "neither gauge nor port is touched";
  EXPECT_EQ(rig.Oversized.Offset, 10u);
  EXPECT_EQ(rig.Oversized.Size, 1025u);
  EXPECT_EQ(rig.Oversized.Limit, 1024u);
  EXPECT_EQ(rig.Sim.BlocksSeen(), 1u);
  EXPECT_EQ(rig.IdleCalls, (std::vector<bool>{false, true, false, true}));
}

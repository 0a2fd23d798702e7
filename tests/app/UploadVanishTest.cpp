// The device vanishing in the middle of an upload (a USB adapter pulled), through the port
// component as the window uses it: the upload ends within the reply time-out with a line that
// says so, nothing spins afterwards, and once a device is back at the same port the next upload
// in the same process works.
#include <gtest/gtest.h>

#include <thread>

#include "serial/Exceptions.h"

#include "ComPortRig.h"
#include "UploadRig.h"

using support::EncodeBlocks;
using support::NowUs;
using support::Payload;
using support::ProcessCpuMs;

namespace {

std::vector<std::string> Blocks(unsigned count) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < count; ++i)
    blocks.push_back(Payload(40 + i, i));
  return blocks;
}

// Process CPU time over a second of wall time, as a share of one core.
double CpuShareOverASecond() {
  double cpu0 = ProcessCpuMs();
  long long t0 = NowUs();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return (ProcessCpuMs() - cpu0) / ((NowUs() - t0) / 1000.0);
}

} // namespace

TEST(UploadVanish, TheUploadEndsInTimeNothingSpinsAndTheDeviceCanComeBack) {
  TSimScenario vanishing{.VanishAfter = 3};
  TComPortRig rig(vanishing);
  std::vector<std::string> blocks = Blocks(10);
  std::string path = rig.Dir.Write("fw.enc", EncodeBlocks(blocks));
  rig.Port.SetOpen(true);

  long long t0 = NowUs();
  TUploadOutcome outcome = TUploadOutcome::Success;
  std::string error;
  try {
    outcome = rig.Upload(path);
  } catch (const std::exception& e) {
    error = e.what();
  }
  long long tookMs = (NowUs() - t0) / 1000;
  EXPECT_TRUE(rig.Sim->Vanished());
  EXPECT_EQ(rig.Sim->Accepted().size(), 3u);
  EXPECT_LT(tookMs, ReplyTimeoutMs + 1500);
  std::vector<std::string> log = rig.Host.Log();
  ASSERT_FALSE(log.empty());
  // The line the engine has for a device that stops answering: it cannot tell a pulled device
  // from a mute one, and the line is true of both.
  EXPECT_EQ(error, "");
  EXPECT_EQ(outcome, TUploadOutcome::TimedOut);
  EXPECT_EQ(log.back(), uploadtext::NoAnswer);
  EXPECT_GE(tookMs, ReplyTimeoutMs);
  EXPECT_FALSE(rig.Host.Busy());

  double share = CpuShareOverASecond();
  EXPECT_LT(share, 0.05) << "CPU " << share * 100 << " % with the port still open";

  // Update pressed again on the dead port: the first port operation fails at once, as an error
  // the window shows, and the window is idle again.
  long long t1 = NowUs();
  try {
    rig.Upload(path);
    ADD_FAILURE() << "an upload on a vanished device did not fail";
  } catch (const ESioException& e) {
    EXPECT_STRNE(e.what(), "");
  }
  EXPECT_LT((NowUs() - t1) / 1000, 1000);
  EXPECT_FALSE(rig.Host.Busy());
  EXPECT_NE(rig.Host.Log().back(), uploadtext::Success);

  long long c0 = NowUs();
  rig.Port.SetOpen(false);
  EXPECT_LT((NowUs() - c0) / 1000, 2000) << "closing the dead port";

  // The device is back at the same port: the same component opens it and uploads.
  rig.StartSim({});
  rig.Port.SetOpen(true);
  EXPECT_EQ(rig.Upload(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Sim->Accepted(), blocks);
  EXPECT_EQ(rig.Host.Log().back(), uploadtext::Success);
}

TEST(UploadVanish, OnDemandWhileAnAnswerIsDueThenClosedAndReopened) {
  TSimScenario slow{.LatencyMs = 100};
  TComPortRig rig(slow);
  std::vector<std::string> blocks = Blocks(6);
  std::string path = rig.Dir.Write("fw.enc", EncodeBlocks(blocks));
  rig.Port.SetOpen(true);
  // The device goes as soon as it has the second block, with its answer still due.
  std::thread puller([&] {
    if (rig.Sim->WaitForBlocks(2, 10000)) rig.Sim->Vanish();
  });
  long long t0 = NowUs();
  TUploadOutcome outcome = rig.Upload(path);
  long long tookMs = (NowUs() - t0) / 1000;
  puller.join();
  EXPECT_EQ(outcome, TUploadOutcome::TimedOut);
  EXPECT_EQ(rig.Host.Log().back(), uploadtext::NoAnswer);
  EXPECT_LT(tookMs, ReplyTimeoutMs + 1500);
  // The device took the second block, but its answer never left it.
  EXPECT_EQ(rig.Sim->Accepted().size(), 2u);
  long total = 0;
  for (const std::string& b : blocks)
    total += static_cast<long>(b.size()) + 2;
  // The gauge shows what was accepted before the block that got no answer.
  EXPECT_EQ(rig.Host.Progress().back(), (static_cast<long>(blocks[0].size()) + 2) * 100 / total);

  rig.Port.SetOpen(false);
  double share = CpuShareOverASecond();
  EXPECT_LT(share, 0.05) << "CPU " << share * 100 << " % after the close";

  rig.StartSim({});
  rig.Port.SetOpen(true);
  EXPECT_EQ(rig.Upload(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Sim->Accepted(), blocks);
}

// Uploads over a noisy line, through the port component as the window uses it: bytes that
// arrive before a block's purge are never taken as its reply, a block accepted once is never
// sent again, and whatever byte comes first after a block decides as the engine's rules say.
#include <gtest/gtest.h>

#include "ComPortRig.h"
#include "UploadRig.h"

using support::EncodeBlocks;
using support::Payload;

namespace {

// Distinct payloads, so that each block's accept count can be told apart.
std::vector<std::string> DistinctBlocks(unsigned count, unsigned seed) {
  std::vector<std::string> blocks;
  for (unsigned i = 0; i < count; ++i) {
    std::string p = Payload(8 + (i * 37 + seed) % 120, seed + i);
    p[0] = static_cast<char>(i >> 8);
    p[1] = static_cast<char>(i & 0xFF);
    p[2] = static_cast<char>(seed);
    blocks.push_back(p);
  }
  return blocks;
}

// What the engine must conclude from the verdicts the device gave, in order.
TUploadOutcome ExpectedFrom(const std::string& verdicts, size_t blocks, size_t& sends) {
  size_t block = 0;
  unsigned misses = 0;
  sends = 0;
  for (char v : verdicts) {
    ++sends;
    if (v == ReplyRefused) return TUploadOutcome::NoAnswer;
    if (v == ReplyAccepted) {
      misses = 0;
      if (++block == blocks) return TUploadOutcome::Success;
      continue;
    }
    if (++misses >= MaxRejections) return TUploadOutcome::Rejected;
  }
  return TUploadOutcome::TimedOut;
}

const std::vector<std::string> LoadedLines(const std::string& name) {
  return {uploadtext::Start, uploadtext::File + name + uploadtext::Loaded, uploadtext::Loading};
}

} // namespace

TEST(UploadNoise, EachKindOfNoiseLeavesTheUploadRight) {
  struct TKind {
    const char* Name;
    double TSimScenario::*Field;
  };
  for (TKind kind :
       {TKind{"before", &TSimScenario::NoiseBefore}, TKind{"after", &TSimScenario::NoiseAfter},
        TKind{"instead", &TSimScenario::NoiseInstead}}) {
    SCOPED_TRACE(kind.Name);
    TSimScenario sc{.Seed = 11, .NoiseBytes = 16};
    sc.*kind.Field = 0.5;
    TComPortRig rig(sc);
    std::vector<std::string> blocks = DistinctBlocks(60, 5);
    std::string path = rig.Dir.Write("noisy.enc", EncodeBlocks(blocks));
    rig.Port.SetOpen(true);
    TTakenReplies* seen = nullptr;
    // At most three random misses in a row: every block gets through within its four sends.
    EXPECT_EQ(rig.Upload(path, &seen), TUploadOutcome::Success);
    std::vector<std::string> log = LoadedLines("noisy.enc");
    log.push_back(uploadtext::Success);
    EXPECT_EQ(rig.Host.Log(), log);

    // Each byte taken as a reply was the first the device sent after that block: no stale byte
    // from before a purge was ever read.
    std::string verdicts = rig.Sim->Verdicts();
    EXPECT_EQ(seen->Taken, verdicts);
    EXPECT_EQ(seen->Sends, verdicts.size());
    EXPECT_EQ(rig.Sim->BlocksSeen(), verdicts.size());
    EXPECT_EQ(rig.Sim->Accepted(), blocks);
    for (const auto& [payload, count] : rig.Sim->AcceptCounts())
      EXPECT_EQ(count, 1u) << "block " << static_cast<int>(payload[1]) << " accepted twice";
    EXPECT_EQ(rig.Sim->EarlyBlocks(), 0u);
    if (kind.Field == &TSimScenario::NoiseAfter) {
      EXPECT_EQ(verdicts, std::string(blocks.size(), ReplyAccepted));
    } else {
      EXPECT_GT(verdicts.size(), blocks.size()) << "the noise was read as a rejection";
    }
  }
}

TEST(UploadNoise, NoiseForEveryReplyEndsAsTheFirstBytesSay) {
  // With no limit on the misses, noise in place of every answer: the first byte of each burst is
  // the verdict — 0x11 accepts, any other byte (not only the device's reject byte) rejects, and
  // the fourth rejection of a block ends with the CRC message.
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    TSimScenario sc{.Seed = seed, .NoiseInstead = 1, .RejectLimit = 1000};
    TComPortRig rig(sc);
    std::vector<std::string> blocks = DistinctBlocks(3, 9);
    std::string path = rig.Dir.Write("fw.enc", EncodeBlocks(blocks));
    rig.Port.SetOpen(true);
    TTakenReplies* seen = nullptr;
    TUploadOutcome outcome = rig.Upload(path, &seen);
    std::string verdicts = rig.Sim->Verdicts();
    size_t sends = 0;
    EXPECT_EQ(outcome, ExpectedFrom(verdicts, blocks.size(), sends));
    EXPECT_EQ(seen->Taken, verdicts);
    EXPECT_EQ(seen->Sends, sends);
    std::vector<std::string> log = rig.Host.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(),
              outcome == TUploadOutcome::Success ? uploadtext::Success : uploadtext::CrcError);
    for (const auto& [payload, count] : rig.Sim->AcceptCounts())
      EXPECT_EQ(count, 1u);
  }
}

TEST(UploadNoise, NoiseAheadOfTheAnswersReadsAsRejectionsUntilTheLimit) {
  // Noise ahead of every answer, at most three times in a row for one block: the engine takes
  // the noise as three rejections, the genuine answer behind each burst is purged, and the
  // fourth send goes through — the gauge repeats its value for each send of one block.
  TSimScenario sc{.Seed = 21, .NoiseBefore = 1};
  TComPortRig rig(sc);
  std::vector<std::string> blocks = DistinctBlocks(4, 2);
  std::string path = rig.Dir.Write("fw.enc", EncodeBlocks(blocks));
  rig.Port.SetOpen(true);
  TTakenReplies* seen = nullptr;
  ASSERT_EQ(rig.Upload(path, &seen), TUploadOutcome::Success);
  std::string verdicts = rig.Sim->Verdicts();
  EXPECT_EQ(seen->Taken, verdicts);
  EXPECT_EQ(rig.Sim->Accepted(), blocks);
  std::vector<long> progress = rig.Host.Progress();
  ASSERT_EQ(progress.size(), verdicts.size() + 1);
  EXPECT_EQ(progress.back(), 100);
  for (size_t i = 1; i < verdicts.size(); ++i)
    if (verdicts[i - 1] != ReplyAccepted) {
      EXPECT_EQ(progress[i], progress[i - 1]) << "send " << i;
    }
}

TEST(UploadNoise, DoubledAnswersAndRandomRejectionsOverTheDispatcherPath) {
  // fwload-cli's path: the dispatcher adapter, with doubled answers and rejections at random.
  TSimScenario sc{.Seed = 5, .RejectRandom = 0.3, .TwiceRandom = 0.5, .NoiseAfter = 0.3};
  TUploadRig rig(sc);
  std::vector<std::string> blocks = DistinctBlocks(80, 3);
  std::string path = rig.WriteFirmware(blocks);
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_EQ(rig.Sim.Accepted(), blocks);
  for (const auto& [payload, count] : rig.Sim.AcceptCounts())
    EXPECT_EQ(count, 1u);
  size_t sends = 0;
  EXPECT_EQ(ExpectedFrom(rig.Sim.Verdicts(), blocks.size(), sends), TUploadOutcome::Success);
  EXPECT_EQ(std::count_if(rig.Events.begin(), rig.Events.end(),
                          [](const std::string& e) { return e[0] == 'S'; }),
            static_cast<long>(sends));
  EXPECT_GT(sends, blocks.size());
}

// The simulator over a long run: every close of the slave, however short, drops the block it cut
// off, and what it keeps of its history stays within its limit however much it is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <termios.h>

#include "SimCore.h"
#include "support/Firmware.h"
#include "support/Process.h"
#include "support/Pty.h"
#include "support/TempDir.h"

using namespace support;

namespace {

const std::string Ack(1, '\x11');

struct TRunningSim {
  TBootSim Sim;
  explicit TRunningSim(size_t historyLimit = TBootSim::DefaultHistoryLimit) {
    Sim.SetHistoryLimit(historyLimit);
    std::string error;
    EXPECT_TRUE(Sim.Open(error)) << error;
    Sim.Start();
  }
};

// Opens the slave, writes the start of a block and closes it at once.
void CutShort(const std::string& path, const std::string& start) {
  TPtySlave slave(path);
  ASSERT_TRUE(slave.Ok());
  ASSERT_TRUE(slave.Write(start));
}

// Complete blocks in a stream, as the simulator parses it.
unsigned CountBlocks(const std::string& bytes) {
  unsigned blocks = 0;
  for (size_t at = 0; at + 2 <= bytes.size(); ++blocks) {
    size_t len = static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]);
    if (at + 2 + len > bytes.size()) break;
    at += 2 + len;
  }
  return blocks;
}

} // namespace

TEST(SimLongRun, EveryCloseDropsTheBlockItCutShortHoweverShort) {
  TRunningSim s;
  const std::string path = s.Sim.SlavePath();
  // Each close seen before the next open: a missed one would join 8 of these parts into a
  // 64-byte block.
  const unsigned paced = 500;
  for (unsigned i = 1; i <= paced; ++i) {
    CutShort(path, std::string("\x00\x40", 2) + "partial");
    ASSERT_TRUE(s.Sim.WaitForHangups(i, 5000)) << "close " << i << " was missed";
  }
  // Back to back: the closes still all count, and the last one leaves nothing behind.
  const unsigned burst = 2000;
  for (unsigned i = 0; i < burst; ++i)
    CutShort(path, std::string("\xFF\xFF", 2) + "partial");
  ASSERT_TRUE(s.Sim.WaitForHangups(paced + burst, 10000)) << s.Sim.Hangups();

  TPtySlave slave(path);
  ASSERT_TRUE(slave.Write(BlockBytes("good")));
  EXPECT_EQ(slave.Receive(1, 5000), Ack);
  EXPECT_EQ(s.Sim.BlocksSeen(), 1u);
  EXPECT_EQ(s.Sim.Accepted(), std::vector<std::string>{"good"});
  EXPECT_EQ(s.Sim.Hangups(), paced + burst);
}

TEST(SimLongRun, KeepsCountsButOnlyABoundedHistory) {
  const size_t limit = 64 * 1024;
  TRunningSim s(limit);
  const std::string path = s.Sim.SlavePath();
  std::mt19937 random(20261208);
  // Random bytes: long random blocks, whose answers fill the unread slave and are lost.
  std::string noise(16 << 20, '\0');
  for (char& c : noise)
    c = static_cast<char>(random() & 0xFF);
  {
    TPtySlave slave(path);
    ASSERT_TRUE(slave.Write(noise));
  }
  ASSERT_TRUE(s.Sim.WaitForHangups(1, 60000));
  const unsigned noiseBlocks = CountBlocks(noise);
  ASSERT_TRUE(s.Sim.WaitForBlocks(noiseBlocks, 5000));
  // Then many short blocks: many records of a few bytes each.
  const unsigned shortBlocks = 50000;
  std::string stream;
  for (unsigned i = 0; i < shortBlocks; ++i)
    stream += BlockBytes(std::to_string(i));
  TPtySlave slave(path);
  ASSERT_TRUE(slave.Write(stream));
  ASSERT_TRUE(s.Sim.WaitForBlocks(noiseBlocks + shortBlocks, 60000));

  EXPECT_EQ(s.Sim.BytesReceived(), noise.size() + stream.size());
  EXPECT_EQ(s.Sim.AcceptedBlocks(), noiseBlocks + shortBlocks);
  // The newest of each record are kept, and no more than the limit allows.
  EXPECT_EQ(s.Sim.Received(), stream.substr(stream.size() - limit));
  std::vector<std::string> accepted = s.Sim.Accepted();
  ASSERT_FALSE(accepted.empty());
  EXPECT_LT(accepted.size(), shortBlocks);
  EXPECT_EQ(accepted.back(), std::to_string(shortBlocks - 1));
  EXPECT_EQ(s.Sim.AcceptCounts().size(), accepted.size());
  std::string verdicts = s.Sim.Verdicts();
  EXPECT_EQ(verdicts.size(), std::min<size_t>(limit, noiseBlocks + shortBlocks));
  EXPECT_EQ(verdicts.find_first_not_of('\x11'), std::string::npos);
  // The records, the block being read and the answers due: a few times the limit, where
  // keeping everything would hold the 17 MiB sent.
  EXPECT_LE(s.Sim.RetainedBytes(), 16 * limit);
}

// The simulator's random faults and its vanishing: their options, that a seed repeats them, that
// the verdict (the first byte after a block) alone decides acceptance, and the device going away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>

#include "SimCore.h"
#include "SimOptions.h"
#include "support/Firmware.h"
#include "support/Process.h"
#include "support/Pty.h"
#include "support/Sim.h"
#include "support/TempDir.h"

using ::testing::HasSubstr;

using namespace support;

namespace {

const char Ack = '\x11';

TSimOptions ParseOk(const std::vector<std::string>& args) {
  TSimOptions o;
  std::string error;
  EXPECT_TRUE(ParseSimArguments(args, o, error)) << error;
  return o;
}

std::string ParseError(const std::vector<std::string>& args) {
  TSimOptions o;
  std::string error;
  EXPECT_FALSE(ParseSimArguments(args, o, error));
  return error;
}

// Sends `count` blocks one at a time (each after the answer to the last), as the program does;
// returns what came back for each.
std::vector<std::string> Exchange(TPtySlave& slave, TBootSim& sim, unsigned count) {
  std::vector<std::string> answers;
  for (unsigned i = 0; i < count; ++i) {
    EXPECT_TRUE(slave.Write(BlockBytes("block" + std::to_string(i))));
    EXPECT_TRUE(sim.WaitForBlocks(i + 1, 5000));
    // One write per answer: all of it is there once its first byte is.
    std::string got = slave.Receive(1, 5000);
    got += slave.Receive(4096, 2);
    answers.push_back(got);
  }
  return answers;
}

} // namespace

TEST(SimArguments, RandomFaultOptions) {
  TSimOptions o =
      ParseOk({"--seed",         "42", "--reject-random", "0.25", "--twice-random",  "1",
               "--noise-before", "0",  "--noise-after",   "0.5",  "--noise-instead", "1e-1",
               "--noise-bytes",  "3",  "--jitter",        "2",    "--reject-limit",  "5",
               "--vanish-after", "7"});
  EXPECT_TRUE(o.SeedGiven);
  EXPECT_EQ(o.Scenario.Seed, 42u);
  EXPECT_DOUBLE_EQ(o.Scenario.RejectRandom, 0.25);
  EXPECT_DOUBLE_EQ(o.Scenario.TwiceRandom, 1.0);
  EXPECT_DOUBLE_EQ(o.Scenario.NoiseBefore, 0.0);
  EXPECT_DOUBLE_EQ(o.Scenario.NoiseAfter, 0.5);
  EXPECT_DOUBLE_EQ(o.Scenario.NoiseInstead, 0.1);
  EXPECT_EQ(o.Scenario.NoiseBytes, 3u);
  EXPECT_EQ(o.Scenario.JitterMs, 2u);
  EXPECT_EQ(o.Scenario.RejectLimit, 5u);
  ASSERT_TRUE(o.Scenario.VanishAfter.has_value());
  EXPECT_EQ(*o.Scenario.VanishAfter, 7u);

  TSimOptions plain = ParseOk({});
  EXPECT_FALSE(plain.SeedGiven);
  EXPECT_FALSE(plain.Scenario.VanishAfter.has_value());
  EXPECT_EQ(plain.Scenario.RejectLimit, 3u);
  EXPECT_EQ(*ParseOk({"--vanish-after", "0"}).Scenario.VanishAfter, 0u);

  for (const char* bad : {"1.5", "-0.1", "nan", "0.5x", "", "+1", "inf"})
    EXPECT_THAT(ParseError({"--noise-after", bad}), HasSubstr("probability")) << bad;
  EXPECT_FALSE(ParseError({"--reject-random"}).empty());
  EXPECT_FALSE(ParseError({"--noise-bytes", "0"}).empty());
  EXPECT_FALSE(ParseError({"--noise-bytes", "4097"}).empty());
  EXPECT_FALSE(ParseError({"--jitter", "60001"}).empty());
  EXPECT_FALSE(ParseError({"--seed", "-3"}).empty());
  EXPECT_FALSE(ParseError({"--vanish-after", "x"}).empty());
  EXPECT_THAT(SimUsage(), HasSubstr("--noise-instead"));
  EXPECT_THAT(SimUsage(), HasSubstr("--vanish-after"));
}

TEST(SimFaults, TheSameSeedRepeatsTheRunAndRejectionsStopAtTheLimit) {
  TSimScenario sc{.Seed = 7, .RejectRandom = 0.4, .TwiceRandom = 0.3, .NoiseAfter = 0.3};
  std::vector<std::vector<std::string>> runs;
  for (int run = 0; run < 2; ++run) {
    TRunningSim s(sc);
    TPtySlave slave(s.Sim.SlavePath());
    runs.push_back(Exchange(slave, s.Sim, 40));
    EXPECT_EQ(s.Sim.Verdicts().size(), 40u);
  }
  EXPECT_EQ(runs[0], runs[1]);
  unsigned rejects = 0, twice = 0;
  for (const std::string& a : runs[0]) {
    ASSERT_FALSE(a.empty());
    if (a[0] == '\x55') ++rejects;
    if (a == std::string(2, Ack)) ++twice;
  }
  EXPECT_GT(rejects, 0u);
  EXPECT_GT(twice, 0u);

  // Every send rejected at random: three in a row, then the fourth is accepted plainly.
  TSimScenario always{.RejectRandom = 1};
  TRunningSim s(always);
  TPtySlave slave(s.Sim.SlavePath());
  std::vector<std::string> answers = Exchange(slave, s.Sim, 8);
  EXPECT_EQ(answers, (std::vector<std::string>{"\x55", "\x55", "\x55", "\x11", "\x55", "\x55",
                                               "\x55", "\x11"}));
  EXPECT_EQ(s.Sim.Accepted(), (std::vector<std::string>{"block3", "block7"}));
}

TEST(SimFaults, TheFirstByteAfterABlockIsItsVerdict) {
  struct TCase {
    const char* Name;
    double TSimScenario::*Field;
  };
  for (TCase c :
       {TCase{"before", &TSimScenario::NoiseBefore}, TCase{"after", &TSimScenario::NoiseAfter},
        TCase{"instead", &TSimScenario::NoiseInstead}}) {
    TSimScenario sc{.Seed = 3, .NoiseBytes = 4, .RejectLimit = 1000};
    sc.*c.Field = 1;
    TRunningSim s(sc);
    TPtySlave slave(s.Sim.SlavePath());
    std::vector<std::string> answers = Exchange(slave, s.Sim, 30);
    std::string verdicts = s.Sim.Verdicts();
    ASSERT_EQ(verdicts.size(), 30u) << c.Name;
    size_t accepted = 0;
    for (size_t i = 0; i < answers.size(); ++i) {
      const std::string& a = answers[i];
      ASSERT_FALSE(a.empty()) << c.Name << " " << i;
      EXPECT_EQ(a[0], verdicts[i]) << c.Name << " " << i;
      if (std::string(c.Name) == "after") {
        EXPECT_EQ(a[0], Ack);
        EXPECT_GE(a.size(), 2u);
        EXPECT_LE(a.size(), 5u);
      } else {
        EXPECT_NE(a[0], '\0') << "noise ahead of an answer never refuses";
      }
      if (std::string(c.Name) == "before") {
        EXPECT_EQ(a.back(), Ack) << "the answer follows the noise";
      }
      if (a[0] == Ack) ++accepted;
    }
    EXPECT_EQ(s.Sim.Accepted().size(), accepted) << c.Name;
    if (std::string(c.Name) == "after") {
      EXPECT_EQ(accepted, 30u);
    }
  }
}

TEST(SimFaults, JitterDelaysAnswersWithinItsBound) {
  TSimScenario sc{.JitterMs = 40};
  TRunningSim s(sc);
  TPtySlave slave(s.Sim.SlavePath());
  long long longest = 0;
  for (int i = 0; i < 12; ++i) {
    long long t0 = NowMs();
    ASSERT_TRUE(slave.Write(BlockBytes("j")));
    ASSERT_EQ(slave.Receive(1, 5000), std::string(1, Ack));
    longest = std::max(longest, NowMs() - t0);
  }
  // Twelve draws from 0..40 ms: one above 10 ms is all but certain with any seed.
  EXPECT_GT(longest, 10);
  EXPECT_LT(longest, 1000);
}

TEST(SimVanish, OnDemandTheSlaveHangsUpAndItsPathGoes) {
  TRunningSim s(TSimScenario{});
  std::string path = s.Sim.SlavePath();
  TPtySlave slave(path);
  ASSERT_TRUE(slave.Write(BlockBytes("x")));
  ASSERT_EQ(slave.Receive(1, 5000), std::string(1, Ack));
  EXPECT_FALSE(s.Sim.Vanished());
  s.Sim.Vanish();
  EXPECT_TRUE(s.Sim.Vanished());
  EXPECT_TRUE(s.Sim.WaitForVanish(0));
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0);
  // The slave reads end of file or an error: never a byte, never a hang.
  EXPECT_EQ(slave.Receive(1, 200), "");
  s.Sim.Vanish(); // a second time does nothing
  s.Sim.Stop();
}

TEST(SimVanish, AfterNAcceptedBlocksAsTheNextArrives) {
  TSimScenario sc{.VanishAfter = 2};
  TRunningSim s(sc);
  TPtySlave slave(s.Sim.SlavePath());
  for (const char* p : {"one", "two"}) {
    ASSERT_TRUE(slave.Write(BlockBytes(p)));
    ASSERT_EQ(slave.Receive(1, 5000), std::string(1, Ack)) << p;
  }
  EXPECT_FALSE(s.Sim.Vanished());
  ASSERT_TRUE(slave.Write(BlockBytes("three")));
  ASSERT_TRUE(s.Sim.WaitForVanish(5000));
  EXPECT_EQ(slave.Receive(1, 200), "");
  EXPECT_EQ(s.Sim.Accepted(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(s.Sim.BlocksSeen(), 2u);
}

TEST(SimVanish, BeforeItServesTheMasterIsClosedAtOnce) {
  TBootSim sim;
  std::string error;
  ASSERT_TRUE(sim.Open(error)) << error;
  std::string path = sim.SlavePath();
  sim.Vanish();
  EXPECT_TRUE(sim.Vanished());
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0);
  sim.Run(); // nothing left to serve: returns at once
}

TEST(SimProgram, VanishesAfterNBlocksAndEndsWithItsLinkRemoved) {
  TTempDir tmp;
  ASSERT_FALSE(tmp.Path().empty());
  std::string link = tmp.File("device");
  std::string record = tmp.File("rec");
  TProcess p(FWLOAD_SIM_PATH, {"--vanish-after", "1", "--seed", "9", "--reject-random", "0",
                               "--link", link, "--record", record});
  ASSERT_GT(p.Pid(), 0);
  ASSERT_FALSE(p.ReadLine(5000).empty());
  TPtySlave slave(link);
  ASSERT_TRUE(slave.Ok());
  ASSERT_TRUE(slave.Write(BlockBytes("kept")));
  ASSERT_EQ(slave.Receive(1, 5000), std::string(1, Ack));
  ASSERT_TRUE(slave.Write(BlockBytes("lost")));
  EXPECT_EQ(p.WaitExit(5000), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  EXPECT_EQ(slave.Receive(1, 100), "");
  EXPECT_EQ(ReadWholeFile(record), "kept");
}

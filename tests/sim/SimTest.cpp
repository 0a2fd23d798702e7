// The boot-loader simulator: its command line, each scenario on a real pseudo-terminal, the
// close and reopen of the slave, and the program itself with its signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "SimCore.h"
#include "SimOptions.h"
#include "support/Firmware.h"
#include "support/Process.h"
#include "support/Pty.h"
#include "support/Sim.h"
#include "support/TempDir.h"

using ::testing::StartsWith;

using namespace support;

namespace {

const std::string Ack(1, '\x11');

TSimOptions Parse(std::vector<std::string> args, bool ok = true) {
  TSimOptions o;
  std::string error;
  EXPECT_EQ(ParseSimArguments(args, o, error), ok) << error;
  if (!ok) {
    EXPECT_FALSE(error.empty());
  }
  return o;
}

} // namespace

TEST(SimArguments, ScenariosAndOptions) {
  TSimOptions o = Parse({});
  EXPECT_EQ(o.Scenario.Reply, TSimReply::Accept);
  EXPECT_EQ(o.Scenario.Baud, 0u);
  o = Parse({"--reject", "3", "--reject-byte", "0x5A", "--after", "2", "--latency", "40", "--baud",
             "115200", "--link", "/tmp/l", "--record", "/tmp/r"});
  EXPECT_EQ(o.Scenario.Reply, TSimReply::RejectThenAccept);
  EXPECT_EQ(o.Scenario.Rejections, 3u);
  EXPECT_EQ(o.Scenario.RejectByte, 0x5A);
  EXPECT_EQ(o.Scenario.After, 2u);
  EXPECT_EQ(o.Scenario.LatencyMs, 40u);
  EXPECT_EQ(o.Scenario.Baud, 115200u);
  EXPECT_EQ(o.LinkPath, "/tmp/l");
  EXPECT_EQ(o.RecordPath, "/tmp/r");
  EXPECT_EQ(Parse({"--zero"}).Scenario.Reply, TSimReply::Zero);
  EXPECT_EQ(Parse({"--silent"}).Scenario.Reply, TSimReply::Silent);
  EXPECT_EQ(Parse({"--twice"}).Scenario.Reply, TSimReply::Twice);
}

TEST(SimArguments, BadInputIsRefusedWithAReason) {
  Parse({"--zero", "--silent"}, false);
  Parse({"--reject"}, false);
  Parse({"--reject", "x"}, false);
  Parse({"--reject", "-1"}, false);
  Parse({"--latency", "5ms"}, false);
  Parse({"--baud", "0"}, false);
  Parse({"--reject-byte", "0x11"}, false);
  Parse({"--reject-byte", "0"}, false);
  Parse({"--reject-byte", "256"}, false);
  Parse({"--frobnicate"}, false);
}

TEST(SimArguments, NumbersAreDecimalOrHexAndAValueMayFollowAnEqualsSign) {
  // A leading 0 is no octal prefix.
  EXPECT_EQ(Parse({"--reject", "010"}).Scenario.Rejections, 10u);
  TSimOptions o = Parse({"--after=0x1F", "--reject-byte=0X5a", "--link=/tmp/a=b", "--version"});
  EXPECT_EQ(o.Scenario.After, 31u);
  EXPECT_EQ(o.Scenario.RejectByte, 0x5A);
  EXPECT_EQ(o.LinkPath, "/tmp/a=b");
  EXPECT_TRUE(o.Version);
  for (const char* bad : {"0x", " 5", "0x-1", "1e3", "08x"})
    Parse({"--after", bad}, false);
  Parse({"--accept=1"}, false);
  Parse({"--noise-after", " 0.5"}, false);
  // Options end at "--"; the simulator takes no operands.
  Parse({"--", "--zero"}, false);
  EXPECT_TRUE(Parse({"-h"}).Help);
  EXPECT_EQ(Parse({"--seed=0xFFFFFFFFFFFFFFFF"}).Scenario.Seed, UINT64_MAX);
}

TEST(Sim, AcceptsBlocksAndRecordsTheirPayloads) {
  TTempDir tmp;
  const std::string& dir = tmp.Path();
  TBootSim sim;
  std::string error;
  ASSERT_TRUE(sim.Open(error)) << error;
  ASSERT_TRUE(sim.RecordTo(dir + "/rec.bin", error)) << error;
  sim.Start();
  TPtySlave slave(sim.SlavePath());
  ASSERT_TRUE(slave.Ok());
  ASSERT_TRUE(slave.Write(BlockBytes("\xAA\xBB")));
  EXPECT_EQ(slave.Receive(1, 5000), Ack);
  // A block split over two writes, and two blocks in one write, one of them empty.
  ASSERT_TRUE(slave.Write(std::string("\x00\x03"
                                      "a",
                                      3)));
  ASSERT_TRUE(slave.Write("bc"));
  EXPECT_EQ(slave.Receive(1, 5000), Ack);
  ASSERT_TRUE(slave.Write(BlockBytes("") + BlockBytes("xyz")));
  EXPECT_EQ(slave.Receive(2, 5000), Ack + Ack);
  ASSERT_TRUE(sim.WaitForBlocks(4, 5000));
  EXPECT_EQ(sim.Accepted(), (std::vector<std::string>{"\xAA\xBB", "abc", "", "xyz"}));
  EXPECT_EQ(sim.Received(),
            BlockBytes("\xAA\xBB") + BlockBytes("abc") + BlockBytes("") + BlockBytes("xyz"));
  EXPECT_EQ(ReadWholeFile(dir + "/rec.bin"), "\xAA\xBB"
                                             "abcxyz");
}

TEST(Sim, RejectsEachBlockKTimesThenAccepts) {
  TRunningSim s({TSimReply::RejectThenAccept, 2, 0x55});
  TPtySlave slave(s.Sim.SlavePath());
  for (const char* payload : {"one", "two"}) {
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(slave.Write(BlockBytes(payload)));
      EXPECT_EQ(slave.Receive(1, 5000), "\x55") << payload << " send " << i;
    }
    ASSERT_TRUE(slave.Write(BlockBytes(payload)));
    EXPECT_EQ(slave.Receive(1, 5000), Ack) << payload;
  }
  EXPECT_EQ(s.Sim.BlocksSeen(), 6u);
  EXPECT_EQ(s.Sim.Accepted(), (std::vector<std::string>{"one", "two"}));
}

TEST(Sim, ZeroSilenceAndTwice) {
  {
    TRunningSim s({TSimReply::Zero});
    TPtySlave slave(s.Sim.SlavePath());
    ASSERT_TRUE(slave.Write(BlockBytes("p")));
    EXPECT_EQ(slave.Receive(1, 5000), std::string(1, '\0'));
    EXPECT_TRUE(s.Sim.Accepted().empty());
  }
  {
    TRunningSim s({TSimReply::Silent});
    TPtySlave slave(s.Sim.SlavePath());
    ASSERT_TRUE(slave.Write(BlockBytes("p")));
    ASSERT_TRUE(s.Sim.WaitForBlocks(1, 5000));
    EXPECT_EQ(slave.Receive(1, 300), "");
  }
  {
    TRunningSim s({TSimReply::Twice});
    TPtySlave slave(s.Sim.SlavePath());
    ASSERT_TRUE(slave.Write(BlockBytes("p")));
    EXPECT_EQ(slave.Receive(3, 500), Ack + Ack);
    EXPECT_EQ(s.Sim.Accepted().size(), 1u);
  }
}

TEST(Sim, ScenarioStartsAfterTheFirstNBlocks) {
  TSimScenario sc{.Reply = TSimReply::Zero, .After = 2};
  TRunningSim s(sc);
  TPtySlave slave(s.Sim.SlavePath());
  std::string replies;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(slave.Write(BlockBytes("b")));
    replies += slave.Receive(1, 5000);
  }
  EXPECT_EQ(replies, Ack + Ack + std::string(1, '\0'));
}

TEST(Sim, LatencyAndLinePacingDelayTheAnswer) {
  TSimScenario sc{.LatencyMs = 150};
  {
    TRunningSim s(sc);
    TPtySlave slave(s.Sim.SlavePath());
    long long start = NowMs();
    ASSERT_TRUE(slave.Write(BlockBytes("x")));
    EXPECT_EQ(slave.Receive(1, 5000), Ack);
    EXPECT_GE(NowMs() - start, 150);
    EXPECT_EQ(s.Sim.EarlyBlocks(), 0u);
    // A block sent before the answer to the last one came is noted.
    ASSERT_TRUE(slave.Write(BlockBytes("y") + BlockBytes("z")));
    EXPECT_EQ(slave.Receive(2, 5000), Ack + Ack);
    EXPECT_EQ(s.Sim.EarlyBlocks(), 1u);
  }
  // 962 bytes at 19200 baud are 501 ms on the line, and the answer 0.5 ms more.
  TSimScenario paced{.Baud = 19200};
  TRunningSim s(paced);
  TPtySlave slave(s.Sim.SlavePath());
  long long start = NowMs();
  ASSERT_TRUE(slave.Write(BlockBytes(std::string(960, 'z'))));
  EXPECT_EQ(slave.Receive(1, 5000), Ack);
  long long took = NowMs() - start;
  EXPECT_GE(took, 495);
  EXPECT_LT(took, 2500);
}

TEST(Sim, SurvivesTheSlaveBeingClosedAndReopened) {
  TRunningSim s;
  {
    TPtySlave slave(s.Sim.SlavePath());
    ASSERT_TRUE(slave.Write(BlockBytes("first")));
    EXPECT_EQ(slave.Receive(1, 5000), Ack);
    // Half a block, then the close: the next open starts afresh.
    ASSERT_TRUE(slave.Write(std::string("\x00\x09"
                                        "hal",
                                        5)));
    ASSERT_TRUE(s.Sim.WaitForBlocks(1, 5000));
  }
  ASSERT_TRUE(s.Sim.WaitForHangups(1, 5000));
  for (int round = 0; round < 3; ++round) {
    TPtySlave slave(s.Sim.SlavePath());
    ASSERT_TRUE(slave.Ok());
    ASSERT_TRUE(slave.Write(BlockBytes("again")));
    EXPECT_EQ(slave.Receive(1, 5000), Ack) << "round " << round;
    slave.Close();
    ASSERT_TRUE(s.Sim.WaitForHangups(static_cast<unsigned>(round) + 2, 5000));
  }
  EXPECT_EQ(s.Sim.Accepted(), (std::vector<std::string>{"first", "again", "again", "again"}));
}

// ---- the program ----

TEST(SimProgram, PrintsTheSlaveLinksItRecordsAndEndsOnSignals) {
  TTempDir tmp;
  const std::string& dir = tmp.Path();
  for (int sig : {SIGTERM, SIGINT}) {
    std::string link = dir + "/port" + std::to_string(sig);
    std::string rec = dir + "/rec" + std::to_string(sig);
    TProcess p(FWLOAD_SIM_PATH, {"--record", rec, "--link", link});
    ASSERT_GT(p.Pid(), 0);
    std::string slavePath = p.ReadLine(5000);
    ASSERT_THAT(slavePath, StartsWith("/dev/pts/")) << slavePath;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slavePath);
    {
      TPtySlave slave(link);
      ASSERT_TRUE(slave.Write(BlockBytes("hello")));
      EXPECT_EQ(slave.Receive(1, 5000), Ack);
    }
    // Reopened after the close, as the program does around its settings dialog.
    {
      TPtySlave slave(link);
      ASSERT_TRUE(slave.Write(BlockBytes("world")));
      EXPECT_EQ(slave.Receive(1, 5000), Ack);
    }
    kill(p.Pid(), sig);
    EXPECT_EQ(p.WaitExit(5000), 0);
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at the end";
    EXPECT_EQ(ReadWholeFile(rec), "helloworld");
  }
}

TEST(SimProgram, RemovesOnlyItsOwnLinkEndsOnSighupAndPrintsItsVersion) {
  TTempDir tmp;
  const std::string& dir = tmp.Path();
  std::string link = dir + "/port";
  TProcess first(FWLOAD_SIM_PATH, {"--link", link});
  ASSERT_FALSE(first.ReadLine(5000).empty());
  TProcess second(FWLOAD_SIM_PATH, {"--link", link});
  std::string secondSlave = second.ReadLine(5000);
  ASSERT_FALSE(secondSlave.empty());
  kill(first.Pid(), SIGTERM);
  EXPECT_EQ(first.WaitExit(5000), 0);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << "the second's link stays";
  EXPECT_EQ(std::string(target), secondSlave);
  kill(second.Pid(), SIGHUP);
  EXPECT_EQ(second.WaitExit(5000), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);

  TProcess version(FWLOAD_SIM_PATH, {"--version"});
  std::string line = version.ReadLine(5000);
  EXPECT_EQ(version.WaitExit(5000), 0);
  EXPECT_THAT(line, StartsWith("fwload-sim ")) << line;
  EXPECT_NE(line.find_first_of("0123456789"), std::string::npos) << line;
}

TEST(SimProgram, RecordsIntoANamedPipeOnlyWithAReader) {
  TTempDir tmp;
  std::string fifo = tmp.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    // Without a reader the start fails at once instead of waiting for one.
    TProcess p(FWLOAD_SIM_PATH, {"--record", fifo});
    EXPECT_EQ(p.WaitExit(5000), 1);
  }
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  TProcess p(FWLOAD_SIM_PATH, {"--record", fifo});
  std::string slavePath = p.ReadLine(5000);
  ASSERT_FALSE(slavePath.empty());
  TPtySlave slave(slavePath);
  ASSERT_TRUE(slave.Write(BlockBytes("piped")));
  EXPECT_EQ(slave.Receive(1, 5000), Ack);
  std::string got;
  for (long long deadline = NowMs() + 5000; got.size() < 5 && NowMs() < deadline;) {
    pollfd pfd{reader, POLLIN, 0};
    char buf[16];
    if (::poll(&pfd, 1, 100) > 0) {
      ssize_t n = ::read(reader, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
  }
  EXPECT_EQ(got, "piped");
  ::close(reader);
}

TEST(SimProgram, BadArgumentsEndWithStatus2) {
  TProcess p(FWLOAD_SIM_PATH, {"--reject", "many"});
  ASSERT_GT(p.Pid(), 0);
  EXPECT_EQ(p.WaitExit(5000), 2);
  TProcess help(FWLOAD_SIM_PATH, {"--after=1", "-h"});
  EXPECT_EQ(help.ReadLine(5000), "usage: fwload-sim [scenario] [options]");
  EXPECT_EQ(help.WaitExit(5000), 0);
}

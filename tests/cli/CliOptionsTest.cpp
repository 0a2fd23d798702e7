// The command line: the forms options take, and wrong usage ending with status 1 and a reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "CliOptions.h"
#include "CliRig.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

using support::TTempDir;

namespace {

TCliOptions Parse(const std::vector<std::string>& args) {
  TCliOptions options;
  std::string error;
  EXPECT_TRUE(ParseCliArguments(args, options, error)) << error;
  return options;
}

std::string ParseError(const std::vector<std::string>& args) {
  TCliOptions options;
  std::string error;
  EXPECT_FALSE(ParseCliArguments(args, options, error));
  return error;
}

} // namespace

TEST(CliOptions, PortsInEveryFormAndInOrder) {
  TCliOptions o =
      Parse({"-p", "com3", "--port", "/dev/ttyUSB0", "--port=COM12", "-pCOM255", "fw.enc"});
  ASSERT_EQ(o.Ports.size(), 4u);
  EXPECT_EQ(o.Ports[0].Label, "COM3");
  EXPECT_EQ(o.Ports[0].Number, 3);
  EXPECT_EQ(o.Ports[1].Label, "/dev/ttyUSB0");
  EXPECT_EQ(o.Ports[1].Number, 0);
  EXPECT_EQ(o.Ports[1].Path, "/dev/ttyUSB0");
  EXPECT_EQ(o.Ports[2].Number, 12);
  EXPECT_EQ(o.Ports[3].Number, 255);
  EXPECT_EQ(o.File, "fw.enc");
  EXPECT_EQ(o.Baud, 0);
  EXPECT_EQ(o.Progress, TProgressMode::Auto);
  EXPECT_FALSE(o.Quiet);
}

TEST(CliOptions, SpeedProgressQuietBeforeAndAFileAfterDoubleDash) {
  TCliOptions o = Parse({"-b", "115200", "--progress=plain", "-q", "--before",
                         "dtr=0,rts=1,wait=50,rts=0", "--", "-odd-name.enc"});
  EXPECT_EQ(o.Baud, 115200);
  EXPECT_EQ(o.Progress, TProgressMode::Plain);
  EXPECT_TRUE(o.Quiet);
  EXPECT_EQ(o.File, "-odd-name.enc");
  ASSERT_EQ(o.Before.size(), 4u);
  EXPECT_EQ(o.Before[0].Kind, TLineStep::Dtr);
  EXPECT_EQ(o.Before[0].Value, 0);
  EXPECT_EQ(o.Before[1].Kind, TLineStep::Rts);
  EXPECT_EQ(o.Before[1].Value, 1);
  EXPECT_EQ(o.Before[2].Kind, TLineStep::Wait);
  EXPECT_EQ(o.Before[2].Value, 50);
  EXPECT_EQ(o.Before[3].Kind, TLineStep::Rts);
  EXPECT_EQ(o.Before[3].Value, 0);
  EXPECT_EQ(Parse({"--baud=4800", "--progress", "none", "f"}).Progress, TProgressMode::None);
  EXPECT_EQ(Parse({"--progress=bar", "f"}).Progress, TProgressMode::Bar);
  // Numbers are decimal or 0x-hex, a leading 0 no octal prefix.
  EXPECT_EQ(Parse({"-b", "0x4B00", "f"}).Baud, 19200);
  EXPECT_EQ(Parse({"-b", "010", "f"}).Baud, 10);
  EXPECT_EQ(Parse({"--before", "wait=0x10", "f"}).Before.at(0).Value, 16);
  EXPECT_TRUE(Parse({"--list-ports"}).ListPorts);
  EXPECT_TRUE(Parse({"-h"}).Help);
}

TEST(CliOptions, WrongUsageSaysWhat) {
  EXPECT_THAT(ParseError({}), HasSubstr("no firmware file"));
  EXPECT_THAT(ParseError({"a.enc", "b.enc"}), HasSubstr("more than one"));
  EXPECT_THAT(ParseError({"-x", "f"}), HasSubstr("unknown option -x"));
  EXPECT_THAT(ParseError({"f", "-p"}), HasSubstr("needs a value"));
  EXPECT_THAT(ParseError({"-p", "ttyUSB0", "f"}), HasSubstr("not a port"));
  for (const char* bad : {"COM0", "COM256", "COM07", "COMx", "COM-1"})
    EXPECT_THAT(ParseError({"-p", bad, "f"}), HasSubstr("bad port number")) << bad;
  EXPECT_THAT(ParseError({"-p", "COM3", "-p", "com3", "f"}), HasSubstr("given twice"));
  for (const char* bad :
       {"0", "-9600", "96OO", "", "99999999999", "4000001", "0x", "0x3D0901", " 1"})
    EXPECT_THAT(ParseError({"-b", bad, "f"}), HasSubstr("bad speed")) << bad;
  EXPECT_THAT(ParseError({"--progress=fancy", "f"}), HasSubstr("bad --progress"));
  EXPECT_THAT(ParseError({"-qq", "f"}), HasSubstr("takes no value"));
  EXPECT_THAT(ParseError({"--list-ports=1"}), HasSubstr("takes no value"));
  EXPECT_THAT(ParseError({"--list-ports", "f"}), HasSubstr("takes no file"));
  EXPECT_THAT(ParseError({"--settings=", "f"}), HasSubstr("needs a file name"));
}

TEST(CliOptions, BeforeSequencesThatAreRefused) {
  std::vector<TLineStep> steps;
  std::string error;
  for (const char* bad : {"", "dtr", "dtr=2", "rts=on", "wait=-1", "wait=10001", "wait=", "dtr=1,",
                          ",dtr=1", "dtr=1,,rts=0", "break=1"}) {
    EXPECT_FALSE(ParseLineSequence(bad, steps, error)) << bad;
    EXPECT_TRUE(steps.empty()) << bad;
  }
  EXPECT_TRUE(ParseLineSequence("DTR=1,Wait=10000", steps, error)) << error;
  EXPECT_EQ(steps.size(), 2u);
}

TEST(CliOptions, UsageErrorsEndWithStatusOneAndTheUsageOnStandardError) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{},
        {"-b", "fast", "f.enc"},
        {"--port", "COM1"},
        {"--settings", "/nonexistent/fwload.INI", "f.enc"}}) {
    TCliRun run = RunCliCaptured(args);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_THAT(run.Err, StartsWith("fwload-cli: ")) << run.Err;
  }
  TCliRun help = RunCliCaptured({"--help"});
  EXPECT_EQ(help.Status, 0);
  EXPECT_THAT(help.Out, HasSubstr("usage: fwload-cli"));
  EXPECT_EQ(help.Err, "");
  TCliRun version = RunCliCaptured({"--version"});
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, "fwload-cli " FWLOAD_VERSION "\n");
  EXPECT_EQ(version.Err, "");

  // A settings file the reader would take for an empty one is named, not read.
  TTempDir dir;
  std::string big = dir.File("big.INI");
  ASSERT_EQ(::truncate(dir.Write("big.INI", "[COM]\nNumber=3\n").c_str(), (64 << 20) + 1), 0);
  TCliRun run = RunCliCaptured({"--settings", big, "f.enc"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "fwload-cli: settings file " + big + " cannot be read: larger than 64 MiB\n");
}

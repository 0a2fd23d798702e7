// What a production line needs from fwload-cli: ports named by USB identity on a sysfs tree
// laid out by the test, --wait-port against a simulator started late, and --doctor on fake
// sysfs, /proc and system trees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "CliDoctor.h"
#include "CliIdentity.h"
#include "CliRig.h"
#include "support/Process.h"

using ::testing::HasSubstr;

using support::Lines;
using support::SomeBlocks;
using support::TProcess;
using support::TTempDir;

namespace fs = std::filesystem;

namespace {

void Put(const fs::path& path, const std::string& value) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << value << "\n";
}

// A root with sys/ and dev/ as the system lays them out for USB serial adapters.
struct TFakeTree {
  TTempDir Dir;
  fs::path Root = Dir.Path(), Sys = Root / "sys", Dev = Root / "dev";

  // An adapter at USB socket `port` whose tty node is a link to `target`.
  void AddAdapter(const std::string& tty, const std::string& port, const std::string& vendor,
                  const std::string& product, const std::string& serial,
                  const std::string& target) {
    fs::path usb = Sys / "devices" / "usb1" / port;
    Put(usb / "idVendor", vendor);
    Put(usb / "idProduct", product);
    if (!serial.empty()) Put(usb / "serial", serial);
    fs::path node = usb / (port + ":1.0") / tty;
    fs::create_directories(node);
    fs::create_directories(Sys / "class" / "tty" / tty);
    fs::create_directory_symlink(node, Sys / "class" / "tty" / tty / "device");
    fs::create_directories(Dev);
    fs::create_symlink(target, Dev / tty);
  }
  TSystemRoots Roots() const {
    TSystemRoots roots;
    roots.Sys = Sys.string();
    roots.Dev = Dev.string();
    roots.Proc = (Root / "proc").string();
    roots.Prefix = Root.string();
    return roots;
  }
};

// The test root for the program's lookups, taken away again however the test ends.
struct TTestRoot {
  explicit TTestRoot(const fs::path& root) { setenv("FWLOAD_CLI_TEST_ROOT", root.c_str(), 1); }
  ~TTestRoot() { unsetenv("FWLOAD_CLI_TEST_ROOT"); }
};

std::string Resolve(const TFakeTree& tree, const std::string& identity, std::string& error) {
  error.clear();
  return ResolvePortIdentity(identity, tree.Roots(), error);
}

} // namespace

TEST(CliIdentity, TellsIdenticalAdaptersApartBySerialOrSocketAndNeverGuesses) {
  TRunningSim sim;
  TFakeTree tree;
  // Two FTDI adapters with serial numbers, two identical CH340 adapters without.
  tree.AddAdapter("ttyUSB0", "1-1", "0403", "6001", "A1", "/nonexistent/0");
  tree.AddAdapter("ttyUSB1", "1-2", "0403", "6001", "B2", sim.Path());
  tree.AddAdapter("ttyUSB2", "1-3.1", "1a86", "7523", "", "/nonexistent/2");
  tree.AddAdapter("ttyUSB3", "1-3.2", "1a86", "7523", "", "/nonexistent/3");
  fs::create_directories(tree.Dev / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB0", tree.Dev / "serial" / "by-id" / "usb-FTDI_A1-if00-port0");
  const std::string dev = tree.Dev.string();

  std::string error;
  EXPECT_EQ(Resolve(tree, "usb:0403:6001:A1", error), dev + "/ttyUSB0") << error;
  EXPECT_EQ(Resolve(tree, "usb:0403:6001:B2", error), dev + "/ttyUSB1") << error;
  EXPECT_EQ(Resolve(tree, "usb-port:1-3.2", error), dev + "/ttyUSB3") << error;
  EXPECT_EQ(Resolve(tree, "usb:1A86:7523", error), "");
  EXPECT_EQ(error, "usb:1A86:7523 matches 2 devices: " + dev + "/ttyUSB2 (usb-port:1-3.1), " + dev +
                       "/ttyUSB3 (usb-port:1-3.2); name one by its serial number or its "
                       "USB socket (usb-port:)");
  EXPECT_EQ(Resolve(tree, "usb:0403:6001", error), "");
  EXPECT_THAT(error, HasSubstr(dev + "/ttyUSB0 (usb-port:1-1), " + dev + "/ttyUSB1"));
  EXPECT_EQ(Resolve(tree, "usb:0403:6001:C3", error), "");
  EXPECT_THAT(error, HasSubstr("no such device"));
  EXPECT_EQ(PortIdentityStrings("ttyUSB0", tree.Roots()),
            (std::vector<std::string>{"usb:0403:6001:A1", "usb-port:1-1",
                                      dev + "/serial/by-id/usb-FTDI_A1-if00-port0"}));
  EXPECT_EQ(PortIdentityStrings("ttyUSB2", tree.Roots()),
            (std::vector<std::string>{"usb:1a86:7523", "usb-port:1-3.1"}));

  for (const char* bad : {"usb:403:6001", "usb:0403", "usb:0403:6001:", "usb-port:1-",
                          "usb-port:1-2..3", "usb-port:x"}) {
    TPortSpec spec;
    EXPECT_FALSE(ParsePortSpec(bad, spec, error)) << bad;
  }

  // Through the command line: resolved when the port is opened, the ambiguous one refused.
  platform::SetDiscoveryRoots(tree.Sys.string(), dev);
  TTempDir dir;
  std::string fw = FirmwareFile(dir, SomeBlocks(2));
  std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");
  TCliRun run = RunCliCaptured({"-q", "-p", "usb:0403:6001:B2", "--settings", settings, fw});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(sim.Sim.AcceptedBlocks(), 2u);
  run = RunCliCaptured({"-p", "usb:1a86:7523", "--settings", settings, fw});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err, HasSubstr("matches 2 devices"));
  run = RunCliCaptured({"--list-ports", "--settings", settings});
  EXPECT_THAT(run.Out, HasSubstr("\tusb:0403:6001:B2 usb-port:1-2\n")) << run.Out;
  platform::SetDiscoveryRoots("");
}

TEST(CliWaitPort, WaitsForALateDeviceGivesUpAtItsTimeAndEndsOnAStop) {
  TTempDir dir;
  std::string fw = FirmwareFile(dir, SomeBlocks(2));
  std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");
  std::string link = dir.File("slot");

  // The simulator comes only once the program has found no port and waits for one.
  TProcess cli(FWLOAD_CLI_PATH, {"-p", link, "--wait-port", "30", "--settings", settings, fw});
  ASSERT_TRUE(cli.WaitForLine("waiting for " + link + " (up to 30 s)", 10000)) << cli.OutText;
  TProcess sim(FWLOAD_SIM_PATH, {"--link", link});
  EXPECT_EQ(cli.WaitExit(30000), 0) << cli.OutText << cli.ErrText;
  EXPECT_EQ(Lines(cli.OutText).back(), "Прошивка обновлена успешно!");

  // No device: the wait ends at its limit with the reason.
  kill(sim.Pid(), SIGTERM);
  ASSERT_EQ(sim.WaitExit(10000), 0);
  TProcess late(FWLOAD_CLI_PATH, {"-p", link, "--wait-port", "1", "--settings", settings, fw});
  EXPECT_EQ(late.WaitExit(20000), 6);
  EXPECT_THAT(late.ErrText, HasSubstr("(waited 1 s)"));

  // A stop ends a long wait.
  TProcess stopped(FWLOAD_CLI_PATH,
                   {"-p", link, "--wait-port", "3600", "--settings", settings, fw});
  ASSERT_TRUE(stopped.WaitForLine("waiting for " + link + " (up to 3600 s)", 10000));
  kill(stopped.Pid(), SIGINT);
  EXPECT_EQ(stopped.WaitExit(10000), 5);
  EXPECT_THAT(stopped.ErrText, HasSubstr("stopped while waiting for the port"));
}

TEST(CliDoctor, NamesEachProblemWithItsFixAndPassesOnceAllAreFixed) {
  TRunningSim sim;
  TFakeTree tree;
  tree.AddAdapter("ttyUSB0", "1-4", "0403", "6001", "F1", sim.Path());
  Put(tree.Sys / "class" / "tty" / "ttyUSB0" / "dev", "188:0");
  fs::path timer = tree.Sys / "class" / "tty" / "ttyUSB0" / "device" / "latency_timer";
  Put(timer, "16");
  fs::path proc = tree.Root / "proc";
  Put(proc / "4242" / "comm", "ModemManager");
  Put(proc / "4243" / "comm", "minicom");
  fs::create_directories(proc / "4243" / "fd");
  fs::create_symlink(sim.Path(), proc / "4243" / "fd" / "3");
  Put(tree.Root / "usr" / "bin" / "brltty", "");
  Put(tree.Root / "etc" / "group", "tty:x:5:\ndialout:x:20:op");
  const std::string dev = tree.Dev.string();
  TTempDir dir;
  std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");

  TTestRoot testRoot(tree.Root);
  TCliRun run = RunCliCaptured({"--doctor", "--settings", settings, "usb:0403:6001"});
  EXPECT_EQ(run.Status, 6);
  std::vector<std::string> lines = Lines(run.Out);
  ASSERT_EQ(lines.size(), 8u) << run.Out;
  EXPECT_EQ(lines[0], "OK   port: usb:0403:6001 is " + dev + "/ttyUSB0");
  EXPECT_EQ(lines[2], "FAIL holder: " + dev +
                          "/ttyUSB0 is held by 4243 (minicom); fix: end "
                          "that program (kill 4243) or close the port in it");
  EXPECT_THAT(lines[3], HasSubstr("WARN ModemManager: running and not told to ignore ttyUSB0"));
  EXPECT_THAT(lines[4], HasSubstr("WARN brltty: installed"));
  EXPECT_THAT(lines[5], HasSubstr("WARN latency timer: 16 ms on ttyUSB0"));
  EXPECT_THAT(lines[5], HasSubstr("echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/"));
  EXPECT_THAT(lines[6], HasSubstr("WARN udev rule: 99-fwload-serial.rules is not installed"));
  EXPECT_EQ(lines[7], "OK   open: usb:0403:6001 opens at 19200 baud");

  // Another user's view of the same port: a pseudo-terminal belongs to group tty.
  struct stat st {};
  ASSERT_EQ(stat(sim.Path().c_str(), &st), 0);
  Put(tree.Root / "etc" / "group", "tty:x:" + std::to_string(st.st_gid) + ":\n");
  TPortSpec port;
  std::string error;
  ASSERT_TRUE(ParsePortSpec("usb:0403:6001", port, error));
  TDoctorUser op{1000, {1000}, "op"};
  if (st.st_uid != op.Uid && (st.st_mode & 0006) != 0006) {
    std::vector<TDoctorLine> checks = DoctorChecks(port, 19200, tree.Roots(), op);
    ASSERT_GE(checks.size(), 2u);
    EXPECT_EQ(checks[1].Level, TDoctorLine::Fail);
    EXPECT_THAT(checks[1].Text, HasSubstr("which op is not in; fix: sudo usermod -aG tty op"));
    Put(tree.Root / "etc" / "group", "tty:x:" + std::to_string(st.st_gid) + ":root,op\n");
    checks = DoctorChecks(port, 19200, tree.Roots(), op);
    EXPECT_THAT(checks[1].Text, HasSubstr("op was added to group tty after this login"));
  }

  // Everything fixed: every line says OK and the status is 0.
  fs::remove_all(proc / "4243");
  Put(tree.Root / "run" / "udev" / "data" / "c188:0", "E:ID_MM_DEVICE_IGNORE=1");
  fs::remove(tree.Root / "usr" / "bin" / "brltty");
  Put(timer, "1");
  Put(tree.Root / "etc" / "udev" / "rules.d" / "99-fwload-serial.rules", "");
  run = RunCliCaptured({"--doctor", "--settings", settings, "-p", "usb:0403:6001"});
  EXPECT_EQ(run.Status, 0) << run.Out;
  for (const std::string& line : Lines(run.Out))
    EXPECT_EQ(line.substr(0, 5), "OK   ") << line;
  EXPECT_THAT(run.Out, HasSubstr("OK   ModemManager: running, told to ignore ttyUSB0\n"));
}

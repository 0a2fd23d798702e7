// What a production line needs from fwload-cli: ports named by USB identity on a sysfs tree
// laid out by the test, --wait-port against a simulator started late, --doctor on fake
// sysfs, /proc and system trees, --attempts, and stations driven by simulators plugged in and
// out on a schedule.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "CliDoctor.h"
#include "CliIdentity.h"
#include "CliJson.h"
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

std::vector<nlohmann::json> Records(const std::string& path);

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
  const std::string report = dir.File("runs.jsonl");
  TCliRun run = RunCliCaptured(
      {"-q", "-p", "usb:0403:6001:B2", "--settings", settings, "--report", report, fw});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(sim.Sim.AcceptedBlocks(), 2u);
  // The record's USB identity comes from the same tree.
  EXPECT_EQ(Records(report).at(0)["usb"],
            nlohmann::json({{"id", "0403:6001"}, {"serial", "B2"}, {"port_path", "1-2"}}));
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

namespace {

// "fwload-sim: N blocks, M accepted", the simulator's own count at its end.
uint64_t SimAccepted(const std::string& err) {
  const std::string tail = " accepted\n";
  size_t end = err.rfind(tail);
  size_t start = err.rfind(", ", end);
  EXPECT_TRUE(end != std::string::npos && start != std::string::npos) << err;
  if (end == std::string::npos || start == std::string::npos) return ~0ull;
  return std::stoull(err.substr(start + 2, end - start - 2));
}

std::vector<nlohmann::json> Records(const std::string& path) {
  std::vector<nlohmann::json> records;
  for (const std::string& line : Lines(support::ReadWholeFile(path)))
    records.push_back(nlohmann::json::parse(line));
  return records;
}

// A board for a slot: the simulator's fault arguments, and whether the harness plugs a good one
// back in when the unit is tried again (a device that enumerated anew after a failed run).
struct TBoard {
  std::vector<std::string> Args;
  bool Replug = false;
};

} // namespace

TEST(CliStation, ThreeSlotsTwelveUnitsAgreeWithTheSimulatorsCounts) {
  TTempDir dir;
  const std::string fw = FirmwareFile(dir, SomeBlocks(6));
  const std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");
  const std::string report = dir.File("station.jsonl");
  const std::vector<std::string> slots = {dir.File("slot1"), dir.File("slot2"), dir.File("slot3")};
  // Two failing units (rejected with seeded faults; refusing twice) and one that passes on its
  // second attempt after vanishing mid-upload.
  const std::vector<std::vector<TBoard>> plan = {
      {{}, {{"--seed", "5", "--reject-random", "1", "--reject-limit", "4"}}, {}, {}},
      {{}, {{"--vanish-after", "2"}, true}, {}, {}},
      {{}, {}, {{"--zero"}}, {}}};
  TProcess cli(FWLOAD_CLI_PATH, {"--station", "--units", "12", "--attempts", "2", "--wait-port",
                                 "60", "--report", report, "--settings", settings, "-p", slots[0],
                                 "-p", slots[1], "-p", slots[2], fw});
  struct TSlotRig {
    size_t Next = 0; // the plan's next board
    std::unique_ptr<TProcess> Sim;
    std::vector<uint64_t> Accepted; // of this unit's simulators
  };
  std::vector<TSlotRig> rigs(slots.size());
  std::map<uint64_t, uint64_t> simAccepted; // unit -> blocks its simulators accepted
  auto unplug = [&](TSlotRig& rig) {
    rig.Sim->Signal(SIGTERM);
    EXPECT_EQ(rig.Sim->WaitExit(10000), 0);
    rig.Accepted.push_back(SimAccepted(rig.Sim->ErrText));
    rig.Sim.reset();
  };
  auto plug = [&](size_t slot, std::vector<std::string> args) {
    args.insert(args.begin(), {"--link", slots[slot]});
    rigs[slot].Sim = std::make_unique<TProcess>(FWLOAD_SIM_PATH, args);
  };
  size_t results = 0;
  const long long end = support::NowMs() + 120000;
  while (results < 12 && support::NowMs() < end) {
    const std::string line = cli.ReadLine(static_cast<int>(end - support::NowMs()));
    size_t slot = 0;
    while (slot < slots.size() && line.rfind(slots[slot] + ": ", 0) != 0)
      ++slot;
    if (slot == slots.size()) continue;
    TSlotRig& rig = rigs[slot];
    const std::string event = line.substr(slots[slot].size() + 2);
    if (event == "waiting for a board" && rig.Next < plan[slot].size()) {
      plug(slot, plan[slot][rig.Next].Args);
    } else if (event.find("; trying again") != std::string::npos && plan[slot][rig.Next].Replug) {
      // The vanished simulator has ended on its own; a good board comes back in its place.
      EXPECT_EQ(rig.Sim->WaitExit(20000), 0);
      rig.Accepted.push_back(SimAccepted(rig.Sim->ErrText));
      plug(slot, {});
    } else if (event.find(": PASS") != std::string::npos ||
               event.find(": FAIL") != std::string::npos) {
      unplug(rig);
      const uint64_t unit = std::stoull(event.substr(5));
      for (uint64_t n : rig.Accepted)
        simAccepted[unit] += n;
      rig.Accepted.clear();
      ++rig.Next;
      ++results;
    }
  }
  ASSERT_EQ(results, 12u) << cli.OutText;
  EXPECT_EQ(cli.WaitExit(30000), 4) << cli.OutText << cli.ErrText;
  EXPECT_THAT(cli.OutText, HasSubstr("\nsummary: 12 units: 10 passed, 1 exit 3, 1 exit 4; "
                                     "first-pass yield 75.0 %, retries 2, "))
      << cli.OutText;

  // One record per attempt: 12 units, two of them run twice; each unit's accepted blocks are
  // what its simulators accepted.
  std::vector<nlohmann::json> records = Records(report);
  ASSERT_EQ(records.size(), 14u);
  std::map<uint64_t, uint64_t> recordAccepted;
  std::map<int, int> finalExits;
  int passedLater = 0;
  for (const nlohmann::json& r : records) {
    const uint64_t unit = r["unit"];
    recordAccepted[unit] += r["accepted"].get<uint64_t>();
    EXPECT_EQ(r["attempts"], 2);
    EXPECT_EQ(r["final"], r["exit"] == 0 || r["exit"] == 4 || r["attempt"] == 2) << r.dump();
    if (r["final"]) ++finalExits[r["exit"].get<int>()];
    if (r["final"] && r["exit"] == 0 && r["attempt"] == 2) ++passedLater;
  }
  EXPECT_EQ(finalExits, (std::map<int, int>{{0, 10}, {3, 1}, {4, 1}}));
  EXPECT_EQ(passedLater, 1);
  EXPECT_EQ(recordAccepted, simAccepted);
  EXPECT_EQ(recordAccepted.size(), 12u);
}

TEST(CliStation, FirstStopLetsTheUploadFinishASecondEndsItAndTheSummaryIsComplete) {
  TTempDir dir;
  const std::string fw = FirmwareFile(dir, SomeBlocks(20));
  const std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");
  const std::string a = dir.File("a"), b = dir.File("b");
  for (int stops : {1, 2}) {
    SCOPED_TRACE(stops);
    const std::string report = dir.File("stop" + std::to_string(stops) + ".jsonl");
    // Slot b never gets a board: the first stop ends its wait.
    TProcess cli(FWLOAD_CLI_PATH,
                 {"--station", "--report", report, "--settings", settings, "-p", a, "-p", b, fw});
    ASSERT_TRUE(cli.WaitForLine(a + ": waiting for a board", 10000)) << cli.OutText;
    // Slow answers keep the upload running while the stops come.
    TProcess sim(FWLOAD_SIM_PATH, {"--link", a, "--latency", stops == 1 ? "50" : "1000"});
    ASSERT_TRUE(cli.WaitForLine(a + ": unit 1: flashing, attempt 1 of 1", 10000)) << cli.OutText;
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.WaitForLine("station: stopping: the uploads in progress finish (stop again "
                                "to end them at once)",
                                10000))
        << cli.OutText;
    if (stops == 2) cli.Signal(SIGINT);
    const int status = cli.WaitExit(60000);
    sim.Signal(SIGTERM);
    ASSERT_EQ(sim.WaitExit(10000), 0);
    std::vector<nlohmann::json> records = Records(report);
    ASSERT_EQ(records.size(), 1u);
    const uint64_t accepted = records[0]["accepted"], simAccepted = SimAccepted(sim.ErrText);
    if (stops == 1) {
      EXPECT_EQ(accepted, simAccepted);
      EXPECT_EQ(status, 0) << cli.OutText << cli.ErrText;
      EXPECT_EQ(records[0]["outcome"], "success");
      EXPECT_THAT(cli.OutText, HasSubstr("\nsummary: 1 units: 1 passed; first-pass yield 100.0 %"));
    } else {
      EXPECT_EQ(status, 5) << cli.OutText << cli.ErrText;
      // The acceptance of the block on the line when the stop came may be the simulator's only.
      EXPECT_TRUE(accepted == simAccepted || accepted + 1 == simAccepted)
          << accepted << " " << simAccepted;
      EXPECT_EQ(records[0]["outcome"], "stopped");
      EXPECT_THAT(cli.OutText, HasSubstr("\nsummary: 1 units: 0 passed, 1 exit 5; first-pass "
                                         "yield 0.0 %, retries 0, "));
    }
  }
}

TEST(CliAttempts, RetriesNoAnswerButNotARejectionAndKeepsToTheDeadline) {
  TTempDir dir;
  const std::string fw = FirmwareFile(dir, SomeBlocks(3));
  const std::string settings = dir.Write("fwload.INI", "[COM]\nBaud=19200\n");
  auto results = [](const std::string& out) {
    std::vector<nlohmann::json> found;
    for (const std::string& line : Lines(out)) {
      nlohmann::json o = nlohmann::json::parse(line);
      if (o["event"] == "result") found.push_back(o);
    }
    return found;
  };

  // A device that refuses: three runs, each in the JSON and the report, the last one final.
  TRunningSim refusing(TSimScenario{.Reply = TSimReply::Zero});
  const std::string report = dir.File("runs.jsonl");
  TCliRun run = RunCliCaptured({"--json", "--attempts", "3", "--report", report, "-p",
                                refusing.Path(), "--settings", settings, fw});
  EXPECT_EQ(run.Status, 3) << run.Err;
  std::vector<nlohmann::json> runs = results(run.Out);
  ASSERT_EQ(runs.size(), 3u) << run.Out;
  std::vector<nlohmann::json> records = Records(report);
  ASSERT_EQ(records.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(runs[i]["attempt"], i + 1);
    EXPECT_EQ(runs[i]["attempts"], 3);
    EXPECT_EQ(runs[i]["final"], i == 2);
    EXPECT_EQ(records[i]["attempt"], i + 1);
    EXPECT_EQ(records[i]["sends"], 1);
  }
  EXPECT_EQ(refusing.Sim.BlocksSeen(), 3u);
  EXPECT_THAT(run.Err, HasSubstr("attempt 2 of 3 failed: exit 3 refused: "));

  // A rejected block is the file or the device's verdict: not run again.
  TRunningSim rejecting(TSimScenario{.Reply = TSimReply::RejectThenAccept, .Rejections = 4});
  run = RunCliCaptured(
      {"--json", "--attempts", "3", "-p", rejecting.Path(), "--settings", settings, fw});
  EXPECT_EQ(run.Status, 4);
  EXPECT_EQ(results(run.Out).size(), 1u);

  // A silent device would time out after 5 s; the deadline ends the unit first, with no retry.
  TRunningSim silent(TSimScenario{.Reply = TSimReply::Silent});
  run = RunCliCaptured({"--json", "--attempts", "5", "--deadline", "1", "-p", silent.Path(),
                        "--settings", settings, fw});
  EXPECT_EQ(run.Status, 3) << run.Err;
  runs = results(run.Out);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["outcome"], "deadline");
  EXPECT_EQ(runs[0]["final"], true);
}

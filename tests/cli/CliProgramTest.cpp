// fwload-cli and fwload-sim as the programs a production line runs: signals, exit statuses,
// the bytes the device received, the settings file beside the executable, the bar on a
// terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <pty.h>
#include <sys/stat.h>
#include <thread>

#include "CliRig.h"
#include "runtime/SysUtils.h"
#include "support/Process.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using support::Lines;
using support::ReadWholeFile;
using support::SomeBlocks;
using support::TProcess;
using support::TTempDir;

namespace {

std::string StartSim(TProcess& sim) {
  std::string slave = sim.ReadLine(5000);
  EXPECT_THAT(slave, StartsWith("/dev/")) << slave;
  return slave;
}

void ExpectStoppedBy(int signal) {
  TTempDir dir;
  TProcess sim(FWLOAD_SIM_PATH, {"--silent"});
  std::string slave = StartSim(sim);
  TProcess cli(FWLOAD_CLI_PATH, {"-p", slave, FirmwareFile(dir, SomeBlocks(3))});
  // The line before the first block goes out; the stop may come before or during its wait.
  ASSERT_TRUE(cli.WaitForLine("Загрузка...", 10000)) << cli.OutText;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(cli.Pid(), signal), 0);
  EXPECT_EQ(cli.WaitExit(10000), 5) << cli.ErrText;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(Lines(cli.OutText),
            (std::vector<std::string>{"Старт", "Файл fw.enc загружен", "Загрузка...",
                                      "Прервано пользователем"}));
  EXPECT_EQ(cli.ErrText, "");
}

} // namespace

TEST(CliProgram, SigtermStopsTheUploadWithStatusFive) {
  ExpectStoppedBy(SIGTERM);
}

TEST(CliProgram, SigintStopsTheUploadWithStatusFive) {
  ExpectStoppedBy(SIGINT);
}

// The terminal closed: the upload stops and the port is let go as for the others.
TEST(CliProgram, SighupStopsTheUploadWithStatusFive) {
  ExpectStoppedBy(SIGHUP);
}

TEST(CliProgram, TheDeviceReceivesExactlyTheFilesBlocks) {
  TTempDir dir;
  std::string record = dir.File("record.bin");
  TProcess sim(FWLOAD_SIM_PATH, {"--record", record, "--baud", "115200"});
  std::string slave = StartSim(sim);
  std::vector<std::string> blocks = SomeBlocks(8, 300);
  TProcess cli(FWLOAD_CLI_PATH,
               {"-p", slave, "-b", "115200", "--progress=plain", FirmwareFile(dir, blocks)});
  EXPECT_EQ(cli.WaitExit(20000), 0) << cli.ErrText;
  std::string expected;
  for (const std::string& b : blocks)
    expected += b;
  EXPECT_EQ(ReadWholeFile(record), expected);
  EXPECT_EQ(Lines(cli.ErrText).front(), "progress 0");
  EXPECT_EQ(Lines(cli.ErrText).back(), "progress 100");
}

TEST(CliProgram, ExitStatusesOfTheProgram) {
  TTempDir dir;
  std::string file = FirmwareFile(dir, SomeBlocks(2));
  struct TCase {
    std::vector<std::string> SimArgs;
    int Status;
  };
  for (const TCase& c : {TCase{{"--accept"}, 0}, TCase{{"--zero"}, 3}, TCase{{"--reject", "4"}, 4},
                         TCase{{"--reject", "3"}, 0}}) {
    TProcess sim(FWLOAD_SIM_PATH, c.SimArgs);
    std::string slave = StartSim(sim);
    TProcess cli(FWLOAD_CLI_PATH, {"-q", "-p", slave, file});
    EXPECT_EQ(cli.WaitExit(20000), c.Status) << c.SimArgs[0] << " " << cli.ErrText;
  }
  TProcess usage(FWLOAD_CLI_PATH, {"--baud"});
  EXPECT_EQ(usage.WaitExit(10000), 1);
  TProcess notFound(FWLOAD_CLI_PATH, {"-p", "/dev/null/none", dir.File("none.enc")});
  EXPECT_EQ(notFound.WaitExit(10000), 6);
}

TEST(CliProgram, TheSettingsFileBesideTheProgramIsFwloadsOwn) {
  TTempDir dir;
  std::string program = dir.File("fwload-cli");
  std::filesystem::copy_file(FWLOAD_CLI_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  TProcess sim(FWLOAD_SIM_PATH, {"--accept"});
  std::string slave = StartSim(sim);
  dir.Write("fwload.INI", "[COM]\nNumber=9\nBaud=38400\n[Ports]\nCOM9=" + slave + "\n");
  // A file named after the command line program is not the one.
  dir.Write("fwload-cli.INI", "[COM]\nNumber=8\n");
  TProcess cli(program, {"-q", FirmwareFile(dir, SomeBlocks(1))});
  EXPECT_EQ(cli.WaitExit(20000), 0) << cli.ErrText;
  EXPECT_EQ(cli.OutText, "Прошивка обновлена успешно!\n");
}

namespace {

bool CanRunAsNobody() {
  return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0;
}

// `program` as user nobody, with $XDG_CONFIG_HOME set.
std::vector<std::string> AsNobody(const std::string& program, const std::string& configHome,
                                  const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  all.insert(all.end(), {"/usr/bin/env", "XDG_CONFIG_HOME=" + configHome, program});
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

} // namespace

// Installed where the user cannot write: the installer's fwload.INI beside the programs gives
// the port and the map until the user's own file exists, which then wins.
TEST(CliProgram, InstalledReadOnlyTheFileBesideTheProgramServesUntilTheUsersOwnExists) {
  if (!CanRunAsNobody()) GTEST_SKIP() << "needs root and setpriv to run as another user";
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.File("bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.File("cfg").c_str(), 0777), 0);
  std::string program = dir.File("bin/fwload-cli");
  std::filesystem::copy_file(FWLOAD_CLI_PATH, program);
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);
  TRunningSim sim;
  ASSERT_EQ(chmod(sim.Path().c_str(), 0666), 0);
  dir.Write("bin/fwload.INI", "[COM]\nNumber=9\n[Ports]\nCOM9=" + sim.Path() + "\n");
  ASSERT_EQ(chmod(dir.File("bin").c_str(), 0555), 0);
  std::string file = FirmwareFile(dir, SomeBlocks(1));

  TProcess installer("/usr/bin/setpriv", AsNobody(program, dir.File("cfg"), {"-q", file}));
  EXPECT_EQ(installer.WaitExit(20000), 0) << installer.ErrText;
  EXPECT_EQ(installer.OutText, "Прошивка обновлена успешно!\n");

  ASSERT_EQ(mkdir(dir.File("cfg/fwload").c_str(), 0777), 0);
  dir.Write("cfg/fwload/fwload.INI", "[COM]\nNumber=8\n[Ports]\nCOM8=/nonexistent/tty\n");
  TProcess own("/usr/bin/setpriv", AsNobody(program, dir.File("cfg"), {"-q", file}));
  EXPECT_EQ(own.WaitExit(20000), 6);
  EXPECT_THAT(own.ErrText, HasSubstr("COM8 (/nonexistent/tty)")) << own.ErrText;
  EXPECT_EQ(sim.Sim.BlocksSeen(), 1u);
  ASSERT_EQ(chmod(dir.File("bin").c_str(), 0755), 0);
}

TEST(CliProgram, ASettingsFileTheUserMayNotReadIsNamed) {
  if (!CanRunAsNobody()) GTEST_SKIP() << "needs root and setpriv to run as another user";
  TTempDir dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  std::string settings = dir.Write("fwload.INI", "[COM]\nNumber=3\n");
  ASSERT_EQ(chmod(settings.c_str(), 0600), 0);
  TProcess cli("/usr/bin/setpriv",
               AsNobody(FWLOAD_CLI_PATH, dir.Path(), {"--settings", settings, "f.enc"}));
  EXPECT_EQ(cli.WaitExit(10000), 1);
  EXPECT_EQ(cli.ErrText,
            "fwload-cli: settings file " + settings + " cannot be read: no permission\n");
}

// Options are options: never a firmware file named "--help".
TEST(CliProgram, MakeSampleTakesOptionsAsOptions) {
  TTempDir dir;
  std::string out = dir.File("out.enc");
  ASSERT_FALSE(FileExists("--help"));
  TProcess help(MAKE_SAMPLE_PATH, {"--help"});
  EXPECT_EQ(help.WaitExit(10000), 0);
  EXPECT_THAT(help.OutText, StartsWith("usage: fwload-make-sample")) << help.OutText;
  EXPECT_FALSE(FileExists("--help"));
  std::remove("--help");
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"--bogus", out},
                                               {"-x"},
                                               {out, "12abc"},
                                               {out, "2", "x"},
                                               {out, "1", "2", "3"}}) {
    TProcess bad(MAKE_SAMPLE_PATH, args);
    EXPECT_EQ(bad.WaitExit(10000), 1);
    EXPECT_EQ(bad.OutText, "");
    EXPECT_THAT(bad.ErrText, StartsWith("fwload-make-sample: ")) << bad.ErrText;
    EXPECT_THAT(bad.ErrText, HasSubstr("usage: ")) << bad.ErrText;
    EXPECT_FALSE(FileExists(out));
  }
  // After "--" a name may start with a dash.
  TProcess dashed(MAKE_SAMPLE_PATH, {"--", dir.File("-x.enc"), "2", "10"});
  EXPECT_EQ(dashed.WaitExit(10000), 0) << dashed.ErrText;
  EXPECT_EQ(ReadWholeFile(dir.File("-x.enc")).size(), 2u * 12 * 3);
}

TEST(CliProgram, ABarOnATerminalWithBytesRateAndTimeLeft) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::string screen;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    // Ends when the slave side is closed (EIO).
    while ((n = ::read(master, buf, sizeof buf)) > 0)
      screen.append(buf, static_cast<size_t>(n));
  });
  TTempDir dir;
  TSimScenario paced{.Baud = 115200};
  TRunningSim sim(paced);
  std::FILE* err = fdopen(slave, "w");
  ASSERT_NE(err, nullptr);
  TCapture out;
  TCliStop stop;
  std::vector<std::string> blocks = SomeBlocks(10, 500);
  int status = RunCli({"-p", sim.Path(), FirmwareFile(dir, blocks)}, out.File(), err, stop);
  std::fclose(err);
  reader.join();
  ::close(master);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Lines(out.Text()).back(), "Прошивка обновлена успешно!");
  EXPECT_THAT(screen, HasSubstr("\r[###")) << screen;
  EXPECT_THAT(screen, HasSubstr(" 90%  4518/5020 B  ")) << screen;
  EXPECT_THAT(screen, HasSubstr("KiB/s")) << screen;
  EXPECT_THAT(screen, HasSubstr(" left")) << screen;
  // The bar is taken off again at the end.
  EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K");
}

TEST(CliProgram, APortTheUserMayNotOpenSaysSoRatherThanHeld) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run the program as another user";
  TRunningSim sim;
  ASSERT_EQ(chmod(sim.Path().c_str(), 0600), 0);
  TProcess cli("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                    FWLOAD_CLI_PATH, "-p", sim.Path(), "/nonexistent/fw.enc"});
  EXPECT_EQ(cli.WaitExit(10000), 6);
  EXPECT_THAT(cli.ErrText, StartsWith("fwload-cli: " + sim.Path() + ": ")) << cli.ErrText;
  EXPECT_THAT(cli.ErrText, HasSubstr("no permission to open the serial port"));
  EXPECT_THAT(cli.ErrText, HasSubstr("dialout"));
  EXPECT_THAT(cli.ErrText, Not(HasSubstr("already open")));
  EXPECT_EQ(sim.Sim.Hangups(), 0u);
}

TEST(CliProgram, GangFlashingFourSimulatorsOneRefusing) {
  TTempDir dir;
  std::vector<std::string> blocks = SomeBlocks(5, 100);
  std::string expected;
  for (const std::string& b : blocks)
    expected += b;
  std::vector<std::unique_ptr<TProcess>> sims;
  std::vector<std::string> slaves, records;
  std::vector<std::string> args = {"--progress=none"};
  for (int i = 0; i < 4; ++i) {
    records.push_back(dir.File("record" + std::to_string(i)));
    std::vector<std::string> simArgs = {"--record", records.back()};
    if (i == 2) simArgs.insert(simArgs.end(), {"--zero", "--after", "3"});
    sims.push_back(std::make_unique<TProcess>(FWLOAD_SIM_PATH, simArgs));
    slaves.push_back(StartSim(*sims.back()));
    args.insert(args.end(), {"-p", slaves.back()});
  }
  args.push_back(FirmwareFile(dir, blocks));
  TProcess cli(FWLOAD_CLI_PATH, args);
  EXPECT_EQ(cli.WaitExit(20000), 3) << cli.ErrText;
  for (int i = 0; i < 4; ++i) {
    std::string summary = slaves[i] + (i == 2 ? ": exit 3: Устройство не отвечает!"
                                              : ": exit 0: Прошивка обновлена успешно!");
    EXPECT_THAT(cli.OutText, HasSubstr("\n" + summary + "\n")) << cli.OutText;
    EXPECT_EQ(ReadWholeFile(records[i]), i == 2 ? expected.substr(0, 300) : expected) << i;
  }
  EXPECT_EQ(Lines(cli.OutText).back(), "summary: 3 of 4 flashed, exit status 3");
  EXPECT_EQ(cli.ErrText, "");
}

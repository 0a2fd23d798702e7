// Whole uploads through RunCli against simulators on pseudo-terminals: each exit status with
// its log lines, progress lines, -q, the settings file's defaults and port map, and gang
// flashing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "CliRig.h"
#include "app/EncodedFile.h"
#include "serial/Win32Dispatcher.h"
#include "support/Wait.h"

using ::testing::HasSubstr;

using support::Lines;
using support::NowUs;
using support::Payload;
using support::ReadWholeFile;
using support::SomeBlocks;
using support::TTempDir;

namespace {

const std::vector<std::string> SuccessLog = {"Старт", "Файл fw.enc загружен", "Загрузка...",
                                             "Прошивка обновлена успешно!"};

} // namespace

TEST(CliUpload, SuccessPrintsTheLogLinesAndTheDeviceGetsEveryBlock) {
  TTempDir dir;
  TRunningSim sim;
  std::vector<std::string> blocks = SomeBlocks(5);
  TCliRun run = RunCliCaptured({"-p", sim.Path(), "-b", "115200", FirmwareFile(dir, blocks)});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Lines(run.Out), SuccessLog);
  // Not a terminal and no --progress: nothing on standard error.
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(sim.Sim.Accepted(), blocks);
}

TEST(CliUpload, FileProblemsEndWithStatusTwo) {
  TTempDir dir;
  TRunningSim sim;
  std::string missing = dir.File("missing.enc");
  TCliRun run = RunCliCaptured({"-p", sim.Path(), missing});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(Lines(run.Out),
            (std::vector<std::string>{"Старт", "Ошибка: Файл " + missing + " не найден"}));

  // A length that runs past the data.
  std::string corrupt = dir.Write("bad.enc", "00 10 AA BB");
  run = RunCliCaptured({"-p", sim.Path(), corrupt});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(Lines(run.Out).back(), "Ошибка: Файл " + corrupt + " поврежден");

  std::string big = dir.Write("big.enc", std::string(2 * (FirmwareImageSize + 1), '0'));
  run = RunCliCaptured({"-p", sim.Path(), big});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(Lines(run.Out).back(), "Ошибка: Файл " + big + " слишком большой");

  // A block the port's 4096-byte transmit queue cannot take, after one that it can.
  std::string large = FirmwareFile(dir, {Payload(10, 1), Payload(4095, 2)});
  run = RunCliCaptured({"-p", sim.Path(), large});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(Lines(run.Out).back(), "Ошибка: Файл " + large + " поврежден");
  EXPECT_EQ(Lines(run.Err), (std::vector<std::string>{
                                "fwload-cli: the block at offset 12 is 4097 bytes, more than the "
                                "port's output buffer of 4096 bytes; nothing was sent"}));
  EXPECT_EQ(sim.Sim.BlocksSeen(), 0u);
}

TEST(CliUpload, TheReplyZeroEndsWithStatusThree) {
  TTempDir dir;
  TSimScenario zero{.Reply = TSimReply::Zero, .After = 2};
  TRunningSim sim(zero);
  TCliRun run = RunCliCaptured({"-p", sim.Path(), FirmwareFile(dir, SomeBlocks(4))});
  EXPECT_EQ(run.Status, 3);
  EXPECT_EQ(Lines(run.Out).back(), "Устройство не отвечает!");
  EXPECT_EQ(sim.Sim.BlocksSeen(), 3u);
}

TEST(CliUpload, TheFourthRejectionEndsWithStatusFourAndThreeDoNot) {
  TTempDir dir;
  std::string file = FirmwareFile(dir, SomeBlocks(2));
  TSimScenario three{.Reply = TSimReply::RejectThenAccept, .Rejections = 3};
  TRunningSim patient(three);
  EXPECT_EQ(RunCliCaptured({"-p", patient.Path(), file}).Status, 0);
  EXPECT_EQ(patient.Sim.BlocksSeen(), 8u);

  TSimScenario four = three;
  four.Rejections = 4;
  TRunningSim strict(four);
  TCliRun run = RunCliCaptured({"-p", strict.Path(), file});
  EXPECT_EQ(run.Status, 4);
  // The engine's text with its own line breaks, then the line's end.
  const std::string tail = "Загрузка...\n\nОшибка CRC . Файл поврежден.\n\n";
  ASSERT_GE(run.Out.size(), tail.size());
  EXPECT_EQ(run.Out.substr(run.Out.size() - tail.size()), tail);
  EXPECT_EQ(strict.Sim.BlocksSeen(), 4u);
}

TEST(CliUpload, PortsThatCannotBeOpenedEndWithStatusSixAndTheReason) {
  TTempDir dir;
  std::string file = FirmwareFile(dir, SomeBlocks(1));
  TCliRun run = RunCliCaptured({"-p", dir.File("no-such-tty"), file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_EQ(run.Out, "");
  EXPECT_THAT(run.Err, HasSubstr("doesn't exist")) << run.Err;
  EXPECT_THAT(run.Err, HasSubstr(dir.File("no-such-tty"))) << run.Err;

  // Held by another open (the flock holds within one process as well).
  TRunningSim sim;
  platform::SetPortDevice(201, sim.Path());
  TSioWin32Dispatcher holder(nullptr);
  ASSERT_EQ(holder.InitPort("\\\\.\\COM201", 19200, 0, 8, 1, 4096, 4096, 1), 0);
  run = RunCliCaptured({"-p", "COM201", file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err, HasSubstr("already open")) << run.Err;
  EXPECT_THAT(run.Err, HasSubstr("another program holds the port")) << run.Err;
  EXPECT_THAT(run.Err, HasSubstr("COM201 (" + sim.Path() + ")")) << run.Err;
  holder.DonePort();
  platform::SetPortDevice(201, "");

  // A settings file whose port number is 0: no port chosen.
  std::string settings = dir.Write("fwload.INI", "[COM]\nNumber=0\n");
  run = RunCliCaptured({"--settings", settings, file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err, HasSubstr("ComNumber")) << run.Err;

  // What is no serial device says so, rather than "held" or "doesn't exist".
  run = RunCliCaptured({"-p", dir.Path(), file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_EQ(run.Err, "fwload-cli: " + dir.Path() + ": not a serial device (a directory)\n");
  run = RunCliCaptured({"-p", file, file});
  EXPECT_EQ(run.Err, "fwload-cli: " + file + ": not a serial device (a regular file)\n");
  // A path too long for the system says that, and is not printed whole.
  run = RunCliCaptured({"-p", "/" + std::string(5000, 'a'), file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err, HasSubstr("...: the device path is too long (5001 bytes;")) << run.Err;
  EXPECT_LT(run.Err.size(), 300u);
  // A speed from the settings file that the port refuses names the file and the key.
  settings = dir.Write("baud.INI", "[COM]\nBaud=-9600\n");
  run = RunCliCaptured({"--settings", settings, "-p", sim.Path(), file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err,
              HasSubstr(": Bad argument passed to function (speed -9600, key Baud of section "
                        "COM in " +
                        settings + ")\n"))
      << run.Err;
  EXPECT_EQ(sim.Sim.BlocksSeen(), 0u);
}

TEST(CliUpload, PlainProgressGivesEachNewGaugeValueOnce) {
  TTempDir dir;
  // Sizes 10, 10, 20 (with their length bytes 12, 12, 22 of 46) and a repeat of the second.
  TSimScenario reject{.Reply = TSimReply::RejectThenAccept, .Rejections = 1, .After = 1};
  TRunningSim sim(reject);
  std::string file = FirmwareFile(dir, {Payload(10, 1), Payload(10, 2), Payload(20, 3)});
  TCliRun run = RunCliCaptured({"-p", sim.Path(), "--progress=plain", file});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(Lines(run.Err),
            (std::vector<std::string>{"progress 0", "progress 26", "progress 52", "progress 100"}));
  EXPECT_EQ(sim.Sim.BlocksSeen(), 5u);
  EXPECT_EQ(Lines(run.Out), SuccessLog);
}

TEST(CliUpload, QuietPrintsOnlyTheLastLine) {
  TTempDir dir;
  TRunningSim sim;
  std::string file = FirmwareFile(dir, SomeBlocks(3));
  TCliRun run = RunCliCaptured({"-q", "-p", sim.Path(), file});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, "Прошивка обновлена успешно!\n");
  EXPECT_EQ(run.Err, "");
  run = RunCliCaptured({"-q", "-p", sim.Path(), dir.File("gone.enc")});
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Out, "Ошибка: Файл " + dir.File("gone.enc") + " не найден\n");
}

TEST(CliUpload, WithoutOptionsThePortAndSpeedComeFromTheSettingsFile) {
  TTempDir dir;
  TRunningSim sim;
  std::vector<std::string> blocks = SomeBlocks(2);
  std::string file = FirmwareFile(dir, blocks);
  std::string settings = dir.Write("fwload.INI", "[Form]\nTop=1\n[COM]\nNumber=17\nBaud=57600\n"
                                                 "[Ports]\nCOM17=" +
                                                     sim.Path() + "\n");
  TCliRun run = RunCliCaptured({"--settings", settings, file});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(sim.Sim.Accepted(), blocks);
  // The map stays applied for this process; a port named on the command line wins.
  run = RunCliCaptured({"--settings", settings, "-p", "COM18", file});
  EXPECT_EQ(run.Status, 6);
  EXPECT_THAT(run.Err, HasSubstr("COM18"));
  platform::SetPortDevice(17, "");
  // The settings file is only read.
  EXPECT_EQ(ReadWholeFile(settings),
            "[Form]\nTop=1\n[COM]\nNumber=17\nBaud=57600\n[Ports]\nCOM17=" + sim.Path() + "\n");
}

TEST(CliUpload, BeforeRunsItsStepsAndTheUploadGoesOn) {
  TTempDir dir;
  TRunningSim sim;
  std::string file = FirmwareFile(dir, SomeBlocks(1));
  long long t0 = NowUs();
  TCliRun run = RunCliCaptured({"-p", sim.Path(), "--before", "dtr=0,rts=1,wait=150,rts=0", file});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_GE((NowUs() - t0) / 1000, 150);
  EXPECT_EQ(sim.Sim.Accepted().size(), 1u);
}

TEST(CliUpload, AStopDuringTheWaitEndsWithStatusFive) {
  TTempDir dir;
  TSimScenario silent{.Reply = TSimReply::Silent};
  TRunningSim sim(silent);
  TCliStop stop;
  std::string file = FirmwareFile(dir, SomeBlocks(2));
  std::thread stopper([&] {
    EXPECT_TRUE(sim.Sim.WaitForBlocks(1, 5000));
    stop.Request();
  });
  long long t0 = NowUs();
  TCliRun run = RunCliCaptured({"-p", sim.Path(), file}, &stop);
  stopper.join();
  EXPECT_EQ(run.Status, 5);
  EXPECT_LT((NowUs() - t0) / 1000, 3000);
  EXPECT_EQ(Lines(run.Out).back(), "Прервано пользователем");
  // The port was closed: the simulator saw its slave let go.
  EXPECT_TRUE(sim.Sim.WaitForHangups(1, 5000));
}

TEST(CliUpload, AStopBeforeTheUploadStartsIsNotLost) {
  TTempDir dir;
  TSimScenario silent{.Reply = TSimReply::Silent};
  TRunningSim sim(silent);
  TCliStop stop;
  stop.Request();
  TCliRun run = RunCliCaptured({"-p", sim.Path(), FirmwareFile(dir, SomeBlocks(2))}, &stop);
  EXPECT_EQ(run.Status, 5);
  EXPECT_EQ(Lines(run.Out).back(), "Прервано пользователем");
  EXPECT_LE(sim.Sim.BlocksSeen(), 1u);
}

TEST(CliUpload, GangFlashingThreeDevicesOneSilent) {
  TTempDir dir;
  TRunningSim first;
  TSimScenario silent{.Reply = TSimReply::Silent};
  TRunningSim quiet(silent);
  TSimScenario paced{.Baud = 115200};
  TRunningSim third(paced);
  std::vector<std::string> blocks = SomeBlocks(6, 200);
  std::string file = FirmwareFile(dir, blocks);
  TCliRun run = RunCliCaptured(
      {"-p", first.Path(), "-p", quiet.Path(), "-p", third.Path(), "--progress=plain", file});
  EXPECT_EQ(run.Status, 3);
  EXPECT_EQ(first.Sim.Accepted(), blocks);
  EXPECT_EQ(third.Sim.Accepted(), blocks);
  EXPECT_EQ(quiet.Sim.BlocksSeen(), 1u);

  // Every log line carries its port, and each port's lines keep their order.
  std::vector<std::string> out = Lines(run.Out);
  for (const TRunningSim* sim : {&first, &quiet, &third}) {
    std::string prefix = sim->Path() + ": ";
    std::vector<std::string> own;
    for (const std::string& line : out)
      if (line.rfind(prefix, 0) == 0) own.push_back(line.substr(prefix.size()));
    ASSERT_GE(own.size(), 4u) << prefix;
    EXPECT_EQ(own[0], "Старт");
    EXPECT_EQ(own[3], sim == &quiet ? "Устройство не отвечает!" : "Прошивка обновлена успешно!");
    EXPECT_EQ(own[4], std::string(sim == &quiet ? "exit 3: " : "exit 0: ") + own[3]);
  }
  EXPECT_EQ(out.back(), "summary: 2 of 3 flashed, exit status 3");
  std::vector<std::string> err = Lines(run.Err);
  EXPECT_NE(std::find(err.begin(), err.end(), first.Path() + ": progress 100"), err.end());
  EXPECT_EQ(std::find(err.begin(), err.end(), quiet.Path() + ": progress 100"), err.end());
}

TEST(CliUpload, AStopDuringABeforeWaitDoesNotSitItOut) {
  TTempDir dir;
  TSimScenario silent{.Reply = TSimReply::Silent};
  TRunningSim sim(silent);
  TCliStop stop;
  // Before or during the 10 s wait, whichever the threads make of it: neither may sit it out.
  std::thread stopper([&] { stop.Request(); });
  long long t0 = NowUs();
  TCliRun run = RunCliCaptured(
      {"-p", sim.Path(), "--before", "wait=10000", FirmwareFile(dir, SomeBlocks(1))}, &stop);
  stopper.join();
  EXPECT_EQ(run.Status, 5);
  EXPECT_LT((NowUs() - t0) / 1000, 3000);
  EXPECT_EQ(Lines(run.Out).back(), "Прервано пользователем");
}

TEST(CliUpload, ADeviceThatGoesAwayIsAFailingPortNotAMuteOne) {
  TTempDir dir;
  TSimScenario silent{.Reply = TSimReply::Silent};
  auto sim = std::make_unique<TRunningSim>(silent);
  std::string slave = sim->Path();
  platform::SetPortDevice(202, slave);
  std::thread unplug([&] {
    EXPECT_TRUE(sim->Sim.WaitForBlocks(1, 5000));
    sim.reset(); // the master closes: the slave's node goes with it
  });
  TCliRun run = RunCliCaptured({"-p", "COM202", FirmwareFile(dir, SomeBlocks(2))});
  unplug.join();
  platform::SetPortDevice(202, "");
  EXPECT_EQ(run.Status, 6);
  EXPECT_EQ(run.Err, "fwload-cli: COM202 (" + slave + "): the device has gone\n");
}

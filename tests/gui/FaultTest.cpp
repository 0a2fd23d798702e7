// fwload's main window when things go wrong around it: the device vanishes mid-upload, the port
// is held by another process or refused to this user, the settings file is damaged or its
// folder read-only, the firmware file changes after it was chosen.
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "MainWindowRig.h"
#include "framework/Button.h"
#include "framework/RadioGroup.h"
#include "gauge/Gauge.h"
#include "serial/ComPort.h"
#include "support/Process.h"

using ::testing::HasSubstr;
using ::testing::Not;

using support::EncodeBlocks;
using support::Payload;
using support::ProcessCpuMs;
using support::ReadWholeFile;

namespace {

class FaultTest : public TMainWindowRig {
protected:
  // Points `link` at `target` in one step, as udev re-points a device link.
  static void PointLink(const std::string& link, const std::string& target) {
    std::string temp = link + ".new";
    unlink(temp.c_str());
    ASSERT_EQ(symlink(target.c_str(), temp.c_str()), 0);
    ASSERT_EQ(rename(temp.c_str(), link.c_str()), 0);
  }

  // The Settings dialog with `item` picked in its port group, confirmed with OK.
  void PickPort(int item) {
    TModalDriver pick([&](QWidget* w) {
      if (auto* dialog = dynamic_cast<TForm2*>(w)) {
        dialog->PortNumber->SetItemIndex(item);
        dialog->Button1->click();
      }
    });
    Form1->ToolButton1->click();
    EXPECT_EQ(pick.Handled, 1);
  }

  void ExpectSuccessOn(TBootSim& sim) {
    EXPECT_EQ(LogOf(Form1).back(), "Прошивка обновлена успешно!");
    EXPECT_EQ(sim.Accepted(), Payloads);
    EXPECT_TRUE(IdleButtons());
  }

  // A refused port at start-up, Settings to another one, an upload there, and a close whose
  // settings write the read-only folder refuses. Runs as a user who may not open `denied`
  // and may not write `settings`' folder.
  void RefusedPortAndReadOnlySettings(const std::string& denied, const std::string& settings) {
    const std::string stored = ReadWholeFile(settings);
    ASSERT_FALSE(stored.empty());
    platform::SetPortDevice(1, denied);
    SettingsFile = settings;
    StartUp();
    ASSERT_EQ(Shown.Messages.size(), 1u);
    const std::string& shown = Shown.Messages[0].Text;
    EXPECT_THAT(shown, HasSubstr("permission")) << shown;
    EXPECT_THAT(shown, Not(HasSubstr("already"))) << shown;
    EXPECT_FALSE(Form1->ComPort1->Open());
    EXPECT_TRUE(IdleButtons());
    PickPort(1);
    ASSERT_TRUE(Form1->ComPort1->Open());
    EXPECT_EQ(Form1->ComPort1->ComNumber(), 2);
    Form1->FileName = Firmware({12, 30});
    Upload();
    ExpectSuccessOn(*Sim2);
    Form1->Close();
    EXPECT_FALSE(Form1->Visible()) << "the close goes through all the same";
    ASSERT_EQ(Shown.Messages.size(), 2u);
    EXPECT_EQ(Shown.Messages[1].Text, "Unable to write to " + settings + ".");
    EXPECT_EQ(ReadWholeFile(settings), stored);
  }
};

TEST_F(FaultTest, ADeviceThatVanishesMidUploadEndsItAndItsSuccessorIsFoundWithoutARestart) {
  // Three blocks are accepted, then the device goes as the fourth arrives.
  TSimScenario vanishing{.VanishAfter = 3};
  Serve(1, vanishing);
  // The port goes through a link, as a udev name would; the device behind it changes.
  const std::string link = Dir.File("ttyDEVICE");
  PointLink(link, Sim->SlavePath());
  platform::SetPortDevice(1, link);
  StartUp();
  ASSERT_TRUE(Form1->ComPort1->Open());
  Form1->FileName = Firmware(std::vector<size_t>(20, 202));
  auto t0 = std::chrono::steady_clock::now();
  Upload();
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_TRUE(Sim->Vanished());
  // The name goes with the device, as udev removes its link. Left pointing at the freed
  // pseudo-terminal, it could lead to another test process's simulator that got the same
  // /dev/pts number meanwhile.
  PointLink(link, Dir.File("gone"));
  EXPECT_EQ(Sim->Accepted().size(), 3u);
  // To the upload the vanished device is one that stopped answering.
  EXPECT_GE(ms, ReplyTimeoutMs);
  EXPECT_LE(ms, ReplyTimeoutMs + 1500);
  const std::vector<std::string> log = LogOf(Form1);
  EXPECT_EQ(log, (std::vector<std::string>{"Старт", "Файл fw.enc загружен", "Загрузка...",
                                           "Устройство не отвечает!"}));
  EXPECT_TRUE(Shown.Messages.empty());
  EXPECT_TRUE(IdleButtons());
  // Nothing spins on the dead handle.
  double cpu0 = ProcessCpuMs();
  auto wall0 = std::chrono::steady_clock::now();
  QTest::qWait(1000);
  double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
  EXPECT_LT((ProcessCpuMs() - cpu0) / wallMs, 0.05);

  // Update while the device is still away: the reopen's error is shown, nothing else happens.
  Upload();
  ASSERT_EQ(Shown.Messages.size(), 1u);
  EXPECT_EQ(Shown.Messages[0].Text, "ie_BadId - Specified comport doesn't exist.");
  EXPECT_EQ(LogOf(Form1), log) << "the upload did not start";
  EXPECT_TRUE(IdleButtons());

  // A new device at the same name: the next Update finds it.
  Sim = std::make_unique<TBootSim>();
  std::string error;
  ASSERT_TRUE(Sim->Open(error)) << error;
  Sim->Start();
  PointLink(link, Sim->SlavePath());
  Form1->FileName = Firmware({10, 40});
  Upload();
  ExpectSuccessOn(*Sim);
  EXPECT_EQ(Shown.Messages.size(), 1u);
}

// Gone just before the first block: the upload's first purge fails on the dead handle.
TEST_F(FaultTest, ADeviceGoneWhenTheSendingStartsIsLoggedAndShownAndThenFoundAgain) {
  StartUp();
  Form1->FileName = Firmware({10, 20});
  Form1->Memo1->OnChange = [&](TObject*) {
    std::vector<std::string> log = LogOf(Form1);
    if (!log.empty() && log.back() == "Загрузка..." && !Sim->Vanished()) Sim->Vanish();
  };
  Upload();
  Form1->Memo1->OnChange = nullptr;
  EXPECT_EQ(LogOf(Form1), (std::vector<std::string>{"Старт", "Файл fw.enc загружен", "Загрузка...",
                                                    "Устройство не отвечает!"}));
  ASSERT_EQ(Shown.Messages.size(), 1u);
  EXPECT_EQ(Shown.Messages[0].Text,
            "The device is not connected. (the serial device has gone: unplugged or switched off)");
  EXPECT_EQ(Sim->BlocksSeen(), 0u);
  EXPECT_TRUE(IdleButtons());
  Serve(1);
  Upload();
  ExpectSuccessOn(*Sim);
  EXPECT_EQ(Shown.Messages.size(), 1u);
}

TEST_F(FaultTest, APortHeldByAnotherProcessIsShownAndSettingsMovesToAnother) {
  // The other process holds the device as the comm layer does: flock plus TIOCEXCL.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const std::string device = Sim->SlavePath();
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) { // only async-signal-safe calls from here
    close(ready[0]);
    close(release[1]);
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
    (void)!write(ready[1], &held, 1);
    char c;
    (void)!read(release[0], &c, 1); // until the test lets go
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  pollfd p{ready[0], POLLIN, 0};
  char held = 0;
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  close(ready[0]);
  ASSERT_EQ(held, 1);

  StartUp();
  ASSERT_EQ(Shown.Messages.size(), 1u);
  EXPECT_THAT(Shown.Messages[0].Text, HasSubstr("already")) << Shown.Messages[0].Text;
  EXPECT_FALSE(Form1->ComPort1->Open());
  EXPECT_TRUE(IdleButtons());
  PickPort(1);
  ASSERT_TRUE(Form1->ComPort1->Open());
  Form1->FileName = Firmware({10, 20});
  Upload();
  ExpectSuccessOn(*Sim2);

  // Once the other process has let go, COM1 is free for the window again.
  close(release[1]);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  PickPort(0);
  ASSERT_TRUE(Form1->ComPort1->Open());
  Upload();
  ExpectSuccessOn(*Sim);
  EXPECT_EQ(Shown.Messages.size(), 1u);
}

// Run as another user by the test below: the device and the settings file come from there.
class TAsOtherUser : public FaultTest {
public:
  void TestBody() override {
    RefusedPortAndReadOnlySettings(std::getenv("FWLOAD_FAULT_DENIED"),
                                   std::getenv("FWLOAD_FAULT_SETTINGS"));
  }
};
const bool OtherUserRegistered = [] {
  if (std::getenv("FWLOAD_FAULT_DENIED") && std::getenv("FWLOAD_FAULT_SETTINGS"))
    testing::RegisterTest("FaultAsOtherUser", "Body", nullptr, nullptr, __FILE__, __LINE__,
                          []() -> FaultTest* { return new TAsOtherUser; });
  return true;
}();

TEST_F(FaultTest, APortRefusedToTheUserAndAReadOnlySettingsFolder) {
  const std::string folder = Dir.File("ro");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string settings = Dir.Write("ro/fwload.INI", "[Form]\nTop=300\n\n[Extra]\nkeep=1\n");
  const std::string stored = ReadWholeFile(settings);
  if (geteuid() != 0) {
    // Mode bits stop this user; root would pass them.
    ASSERT_EQ(chmod(Sim->SlavePath().c_str(), 0), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    RefusedPortAndReadOnlySettings(Sim->SlavePath(), settings);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    return;
  }
  if (access("/usr/bin/setpriv", X_OK) != 0 || access("/usr/bin/timeout", X_OK) != 0)
    GTEST_SKIP() << "needs setpriv and timeout to run the window as another user";
  // This program again, as nobody: COM1 is root's device (0600), the folder root's (0755).
  TBootSim denied;
  std::string error;
  ASSERT_TRUE(denied.Open(error)) << error;
  denied.Start();
  ASSERT_EQ(chmod(denied.SlavePath().c_str(), 0600), 0);
  ASSERT_EQ(chmod(Dir.Path().c_str(), 0755), 0); // for nobody to reach the folder
  ASSERT_EQ(chmod(settings.c_str(), 0644), 0);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  std::string command = "FWLOAD_FAULT_DENIED='" + denied.SlavePath() + "' FWLOAD_FAULT_SETTINGS='" +
                        settings +
                        "' timeout 60 /usr/bin/setpriv --reuid=65534 --regid=65534 "
                        "--clear-groups '" +
                        self + "' --gtest_filter=FaultAsOtherUser.Body 2>&1";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, child))
    out += buffer;
  int status = pclose(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_THAT(out, HasSubstr("[  PASSED  ] 1 test.")) << out;
  EXPECT_EQ(ReadWholeFile(settings), stored);
  EXPECT_EQ(denied.BlocksSeen(), 0u);
}

TEST_F(FaultTest, ADamagedSettingsFileGivesWhatCanBeReadAndTheCloseKeepsTheRest) {
  const std::string junk("\0\0\x01junk\xff\xfe\r\n", 12);
  const std::string blob = std::string("\0bin\0", 5) + std::string(3 << 20, 'z');
  const std::string content = junk + "[Form]\r\nTop=250\r\nLeft=" + std::string(3 << 20, '9') +
                              "\r\n[Other]\r\nBlob=" + blob +
                              "\r\n[COM]\r\nBaud=57600\r\n[COM]\r\nNumber=2\r\n[Tail]\r\nLast=1";
  StartUp(content);
  EXPECT_TRUE(Shown.Messages.empty());
  EXPECT_EQ(Form1->Top(), 250);
  EXPECT_EQ(Form1->Left(), 100) << "megabytes of digits do not convert";
  EXPECT_EQ(Form1->ComPort1->Baud(), 57600);
  EXPECT_EQ(Form1->ComPort1->ComNumber(), 1) << "the second [COM] is not read";
  EXPECT_TRUE(Form1->ComPort1->Open());
  Form1->Close();
  EXPECT_TRUE(Shown.Messages.empty());
  // Replaced in place with the file's own line ends; Number joins the first [COM]; everything
  // else, the second [COM] and the missing final line end included, as it was.
  EXPECT_EQ(ReadWholeFile(SettingsFile),
            junk + "[Form]\r\nTop=250\r\nLeft=100\r\n[Other]\r\nBlob=" + blob +
                "\r\n[COM]\r\nBaud=57600\r\nNumber=1\r\n[COM]\r\n"
                "Number=2\r\n[Tail]\r\nLast=1");
}

TEST_F(FaultTest, TheFirmwareFileIsTakenAsItIsAtUpdateNotAsItWasWhenChosen) {
  StartUp();
  const std::string path = Firmware({10, 10, 20});
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  {
    TModalDriver choose([&](QWidget* w) {
      if (auto* box = qobject_cast<QFileDialog*>(w)) {
        box->setDirectory(QString::fromStdString(Dir.Path()));
        box->findChild<QLineEdit*>("fileNameEdit")->setText("fw.enc");
        QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
      }
    });
    Form1->ToolButton2->click();
  }
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(Form1->FileName, path);

  // Rewritten: the new blocks are what the device gets.
  Payloads = {Payload(30, 7), Payload(5, 8)};
  Dir.Write("fw.enc", EncodeBlocks(Payloads));
  Upload();
  ExpectSuccessOn(*Sim);
  const unsigned sent = Sim->BlocksSeen();

  // Cut in the middle of a block: refused before anything is sent, the gauge untouched.
  std::string text = EncodeBlocks({Payload(40, 1), Payload(40, 2)});
  Dir.Write("fw.enc", text.substr(0, text.size() / 2 + 10));
  Upload();
  EXPECT_EQ(LogOf(Form1),
            (std::vector<std::string>{"Старт", "Ошибка: Файл " + path + " поврежден"}));
  EXPECT_EQ(Form1->TKIndic1->Progress(), 100);

  // Cut to nothing: an empty image, which is done without sending anything.
  Dir.Write("fw.enc", "");
  Upload();
  EXPECT_EQ(LogOf(Form1), (std::vector<std::string>{"Старт", "Файл fw.enc загружен", "Загрузка...",
                                                    "Прошивка обновлена успешно!"}));

  // Deleted, or a folder in its place: a file that cannot be opened.
  const std::vector<std::string> notFound = {"Старт", "Ошибка: Файл " + path + " не найден"};
  ASSERT_EQ(unlink(path.c_str()), 0);
  Upload();
  EXPECT_EQ(LogOf(Form1), notFound);
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  Upload();
  EXPECT_EQ(LogOf(Form1), notFound);

  EXPECT_EQ(Sim->BlocksSeen(), sent) << "nothing was sent for any of them";
  EXPECT_TRUE(IdleButtons());
  EXPECT_TRUE(Shown.Messages.empty());
}

} // namespace

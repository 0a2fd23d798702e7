// The settings file: defaults, the number forms that read, the order a new file is written in,
// other content kept, where the file lies, the port map it carries, and damage: junk, a
// read-only folder, a write that fails half-way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/Settings.h"
#include "platform/Win32.h"
#include "runtime/SysUtils.h"
#include "support/TempDir.h"

using ::testing::HasSubstr;
using ::testing::Not;

using support::ReadWholeFile;
using support::TTempDir;

namespace {

TSettings ReadText(const TTempDir& dir, const std::string& text) {
  return ReadSettingsFile(dir.Write("fwload.INI", text));
}

} // namespace

TEST(Settings, MissingFileSectionsAndKeysGiveTheDefaults) {
  TTempDir dir;
  for (TSettings s : {ReadSettingsFile(dir.File("none.INI")), ReadText(dir, ""),
                      ReadText(dir, "[Other]\nTop=5\n"), ReadText(dir, "[Form]\n[COM]\n")}) {
    EXPECT_EQ(s.Top, 100);
    EXPECT_EQ(s.Left, 100);
    EXPECT_EQ(s.ComNumber, 1);
    EXPECT_EQ(s.Baud, 19200) << "not the component's designed 9600";
  }
}

TEST(Settings, ValuesInTheirWrittenForms) {
  TTempDir dir;
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=0x4B00\n").Baud, 19200);
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=$4B00\n").Baud, 19200);
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=0X4b00\n").Baud, 19200);
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=57600\n").Baud, 57600);
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=1200\n").Baud, 1200) << "not checked against a list";
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=2x\n").ComNumber, 1);
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=\n").ComNumber, 1);
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=0x\n").ComNumber, 1);
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=7\n").ComNumber, 7);
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=65538\n").ComNumber, 2) << "its low 16 bits";
  EXPECT_EQ(ReadText(dir, "[COM]\nNumber=-1\n").ComNumber, 65535);
  EXPECT_EQ(ReadText(dir, "[COM]\nBaud=4294967296\n").Baud, 19200) << "beyond 32 bits";
  TSettings s = ReadText(dir, "[form]\ntop=-5\nLEFT=12\n");
  EXPECT_EQ(s.Top, -5);
  EXPECT_EQ(s.Left, 12);
}

TEST(Settings, ANewFileHoldsTheFourKeysInWriteOrder) {
  TTempDir dir;
  std::string path = dir.File("fwload.INI");
  TSettings s;
  s.Top = -5;
  s.Left = 308;
  s.ComNumber = 2;
  s.Baud = 115200;
  WriteSettingsFile(path, s);
  std::string text = ReadWholeFile(path);
  size_t form = text.find("[Form]"), top = text.find("Top=-5"), left = text.find("Left=308"),
         com = text.find("[COM]"), number = text.find("Number=2"), baud = text.find("Baud=115200");
  ASSERT_NE(form, std::string::npos) << text;
  ASSERT_NE(baud, std::string::npos) << text;
  EXPECT_LT(form, top);
  EXPECT_LT(top, left);
  EXPECT_LT(left, com);
  EXPECT_LT(com, number);
  EXPECT_LT(number, baud);
  TSettings back = ReadSettingsFile(path);
  EXPECT_EQ(back.Top, -5);
  EXPECT_EQ(back.Left, 308);
  EXPECT_EQ(back.ComNumber, 2);
  EXPECT_EQ(back.Baud, 115200);
}

TEST(Settings, WritingKeepsOtherContentAndReplacesValuesInPlace) {
  TTempDir dir;
  std::string path = dir.Write("fwload.INI", "; kept\n[COM]\nBaud=0x4B00\nParity=N\n"
                                             "[Ports]\nCOM1=/dev/ttyUSB0\n[Form]\nLeft=1\n");
  WriteSettingsFile(path, TSettings{});
  std::string text = ReadWholeFile(path);
  EXPECT_THAT(text, HasSubstr("; kept")) << text;
  EXPECT_THAT(text, HasSubstr("Parity=N")) << text;
  EXPECT_THAT(text, HasSubstr("COM1=/dev/ttyUSB0")) << text;
  EXPECT_THAT(text, Not(HasSubstr("0x4B00"))) << text;
  // The replaced value stays where its key was: before Parity, in its section.
  EXPECT_LT(text.find("Baud=19200"), text.find("Parity=N")) << text;
  EXPECT_LT(text.find("[COM]"), text.find("Number=1")) << text;
  EXPECT_LT(text.find("[Form]"), text.find("Left=100")) << text;
}

TEST(Settings, ARefusedWriteNamesTheFile) {
  TTempDir dir;
  dir.Write("plain", "a file, not a folder");
  std::string path = dir.File("plain/sub/fwload.INI");
  try {
    WriteSettingsFile(path, TSettings{});
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + path);
  }
}

TEST(SettingsPath, BesideTheExecutableWithItsExtensionReplaced) {
  EXPECT_EQ(SettingsFileBeside("/opt/fw/fwload"), "/opt/fw/fwload.INI");
  EXPECT_EQ(SettingsFileBeside("/opt/fw/fwload.exe"), "/opt/fw/fwload.INI");
  EXPECT_EQ(SettingsFileBeside("/opt/fw.d/fwload"), "/opt/fw.d/fwload.INI");
  EXPECT_EQ(SettingsFileBeside("/opt/fw/fw.load.bin"), "/opt/fw/fw.load.INI");
}

TEST(SettingsPath, AnUnwritableFolderSendsItToTheUsersConfiguration) {
  TTempDir dir;
  EXPECT_EQ(SettingsFilePath(dir.File("fwload"), "/cfg", "/home/u"), dir.File("fwload.INI"));
  std::string gone = dir.File("missing/fwload");
  EXPECT_EQ(SettingsFilePath(gone, "/cfg", "/home/u"), "/cfg/fwload/fwload.INI");
  EXPECT_EQ(SettingsFilePath(gone, nullptr, "/home/u"), "/home/u/.config/fwload/fwload.INI");
  EXPECT_EQ(SettingsFilePath(gone, "", "/home/u"), "/home/u/.config/fwload/fwload.INI");
  EXPECT_EQ(SettingsFilePath(gone, "relative", "/home/u"), "/home/u/.config/fwload/fwload.INI");
  EXPECT_EQ(SettingsFilePath(), SettingsFileBeside(ParamStr0())) << "the test folder is writable";
}

TEST(SettingsPath, TheConfigurationFolderIsMadeOnFirstWrite) {
  TTempDir dir;
  std::string path = SettingsFilePath(dir.File("missing/fwload"), dir.File("cfg").c_str(), "/");
  EXPECT_EQ(path, dir.File("cfg/fwload/fwload.INI"));
  TSettings s;
  s.Baud = 57600;
  WriteSettingsFile(path, s);
  EXPECT_EQ(ReadSettingsFile(path).Baud, 57600);
}

TEST(PortMap, TakesComOneToFiftyWithDevices) {
  TTempDir dir;
  std::string path = dir.Write("fwload.INI", "[Ports]\nCOM1=/dev/pts/71\ncom3 = /dev/ttyUSB4\n"
                                             "COM50=/dev/ttyACM0\nCOM51=/dev/ttyS9\nCOM0=/x\n"
                                             "COM2=\nCOMX=/y\n[COM]\nCOM4=/not/ports\n");
  auto map = ReadPortMap(path);
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[0], (std::pair<int, std::string>{1, "/dev/pts/71"}));
  EXPECT_EQ(map[1], (std::pair<int, std::string>{3, "/dev/ttyUSB4"}));
  EXPECT_EQ(map[2], (std::pair<int, std::string>{50, "/dev/ttyACM0"}));
  EXPECT_TRUE(ReadPortMap(dir.File("none.INI")).empty());

  EXPECT_EQ(ApplyPortMap(path), 3);
  EXPECT_EQ(platform::ResolvePortDevice(1), "/dev/pts/71");
  EXPECT_EQ(platform::ResolvePortDevice(3), "/dev/ttyUSB4");
  EXPECT_EQ(platform::ResolvePortDevice(50), "/dev/ttyACM0");
  EXPECT_NE(platform::ResolvePortDevice(51), "/dev/ttyS9");
  for (int n : {1, 3, 50})
    platform::SetPortDevice(n, "");
}

TEST(SettingsDamage, JunkGivesTheDefaultsAndTheWriteKeepsIt) {
  TTempDir dir;
  std::string junk(65536, '\0');
  uint32_t x = 12345;
  for (char& c : junk) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  junk = junk.substr(0, junk.size() - 1) + "x"; // no line end at the end
  std::string path = dir.Write("fwload.INI", junk);
  TSettings read = ReadSettingsFile(path);
  EXPECT_EQ(read.Top, 100);
  EXPECT_EQ(read.ComNumber, 1);
  EXPECT_EQ(read.Baud, 19200);
  TSettings wanted{-7, 8, 3, 115200};
  WriteSettingsFile(path, wanted);
  std::string written = ReadWholeFile(path);
  EXPECT_EQ(written.substr(0, junk.size()), junk);
  TSettings back = ReadSettingsFile(path);
  EXPECT_EQ(back.Top, -7);
  EXPECT_EQ(back.Left, 8);
  EXPECT_EQ(back.ComNumber, 3);
  EXPECT_EQ(back.Baud, 115200);
}

namespace {

// Runs `body` in a child process as another user when this one is root (whom read-only
// folders do not stop) and returns its exit status; -1 when it cannot be arranged.
int AsAnotherUser(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(99);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

const char* const StoredSettings =
    "[Form]\nTop=1\nLeft=2\n\n[COM]\nNumber=2\nBaud=4800\n\n[Ports]\nCOM1=/dev/x\n";

} // namespace

TEST(SettingsDamage, AReadOnlyFolderReadsButRefusesTheWriteAndKeepsTheFile) {
  TTempDir dir;
  std::string path = dir.Write("fwload.INI", StoredSettings);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  int status = AsAnotherUser([&] {
    TSettings read = ReadSettingsFile(path);
    if (read.Top != 1 || read.Left != 2 || read.ComNumber != 2 || read.Baud != 4800) return 1;
    try {
      WriteSettingsFile(path, TSettings{});
      return 2;
    } catch (const Exception& e) {
      return e.Message() == "Unable to write to " + path ? 0 : 3;
    }
  });
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadWholeFile(path), StoredSettings);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"fwload.INI"}));
}

// The four keys go in one replace: a write that fails after room for one more key (the file
// size limit standing in for a full disk) leaves the old file, not one with a new Top only.
TEST(SettingsDamage, AWriteThatFailsMidwayLeavesTheOldFileWhole) {
  TTempDir dir;
  std::string path = dir.Write("fwload.INI", StoredSettings);
  const rlim_t room = std::string(StoredSettings).size() + 15;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{room, room};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      WriteSettingsFile(path, TSettings{INT32_MIN, INT32_MIN, 65535, INT32_MIN});
      _exit(1);
    } catch (const Exception&) {
      _exit(0);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(path), StoredSettings);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"fwload.INI"}));
}

// Installed where the user cannot write: the installer's file beside the program gives the
// defaults and the port map until the user's own file exists; writes go to the user's file.
TEST(SettingsPath, AnInstalledProgramReadsTheFileBesideItUntilTheUsersOwnExists) {
  TTempDir dir;
  ASSERT_EQ(mkdir(dir.File("bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.File("cfg").c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.File("cfg").c_str(), 0777), 0); // past the umask
  const std::string beside = dir.Write("bin/fwload.INI", StoredSettings);
  const std::string program = dir.File("bin/fwload");
  const std::string own = dir.File("cfg/fwload/fwload.INI");
  ASSERT_EQ(chmod(dir.File("bin").c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  int status = AsAnotherUser([&] {
    if (SettingsFilePath(program, dir.File("cfg").c_str(), "/") != own) return 1;
    if (SettingsReadPath(own, program) != beside) return 2;
    TSettings read = ReadSettingsFile(SettingsReadPath(own, program));
    if (read.ComNumber != 2 || read.Baud != 4800) return 3;
    if (ReadPortMap(SettingsReadPath(own, program)).size() != 1) return 4;
    TSettings s;
    s.Baud = 57600;
    try {
      WriteSettingsFile(own, s);
    } catch (const Exception&) {
      return 5;
    }
    if (SettingsReadPath(own, program) != own || ReadSettingsFile(own).Baud != 57600) return 6;
    return 0;
  });
  ASSERT_EQ(chmod(dir.File("bin").c_str(), 0755), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadWholeFile(beside), StoredSettings);
  // A folder the program may write keeps to its own file, even one not written yet.
  EXPECT_EQ(SettingsReadPath(dir.File("none/fwload.INI"), program), dir.File("none/fwload.INI"));
}

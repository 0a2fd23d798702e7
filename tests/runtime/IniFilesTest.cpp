#include "runtime/IniFiles.h"
#include "support/TempDir.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(Dir.empty()); }

  void Put(const std::string& content, const std::string& path = "") {
    support::WriteWholeFile(path.empty() ? Path : path, content);
  }
  std::string Get(const std::string& path = "") {
    return support::ReadWholeFile(path.empty() ? Path : path);
  }
  std::vector<std::string> DirEntries() {
    std::vector<std::string> names;
    DIR* d = opendir(Dir.c_str());
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
    return names;
  }

  support::TTempDir Temp;
  const std::string& Dir = Temp.Path();
  std::string Path = Temp.File("fwload.INI");
};

TEST_F(IniFileTest, ReadIntegerFollowsTheProfileRule) {
  Put("[COM]\n"
      "Hex0x=0x4B00\n"
      "HexUpper=0X4b00\n"
      "Dollar=$4B00\n"
      "Trailing=2x\n"
      "Empty=\n"
      "Negative=-5\n"
      "Blanks=   42   \n"
      "Quoted=\"7\"\n"
      "OnlyPrefix=0x\n"
      "PrefixSign=0x-5\n"
      "Inner=12 34\n"
      "Overflow=2147483648\n"
      "Lowest=-2147483648\n");
  TIniFile ini(Path);
  EXPECT_EQ(ini.ReadInteger("COM", "Hex0x", 1), 19200);
  EXPECT_EQ(ini.ReadInteger("COM", "HexUpper", 1), 19200);
  EXPECT_EQ(ini.ReadInteger("COM", "Dollar", 1), 19200);
  EXPECT_EQ(ini.ReadInteger("COM", "Trailing", 1), 1);
  EXPECT_EQ(ini.ReadInteger("COM", "Empty", 1), 1);
  EXPECT_EQ(ini.ReadInteger("COM", "Negative", 100), -5);
  EXPECT_EQ(ini.ReadInteger("COM", "Blanks", 0), 42);
  EXPECT_EQ(ini.ReadInteger("COM", "Quoted", 0), 7);
  EXPECT_EQ(ini.ReadInteger("COM", "OnlyPrefix", 9), 9);
  EXPECT_EQ(ini.ReadInteger("COM", "PrefixSign", 9), 9);
  EXPECT_EQ(ini.ReadInteger("COM", "Inner", 9), 9);
  EXPECT_EQ(ini.ReadInteger("COM", "Overflow", 9), 9);
  EXPECT_EQ(ini.ReadInteger("COM", "Lowest", 9), INT_MIN);
  EXPECT_EQ(ini.ReadInteger("com", "negative", 100), -5) << "names ignore case";
  EXPECT_EQ(ini.ReadInteger("COM", "Missing", 19200), 19200);
  EXPECT_EQ(ini.ReadInteger("Form", "Top", 100), 100);
}

TEST_F(IniFileTest, OnlyTheFirst2047CharactersOfAValueCount) {
  // 2046 zeros and "12": the buffer keeps "0...01", so the value reads as 1, not 12.
  Put("[S]\nK=" + std::string(2046, '0') + "12\n");
  TIniFile ini(Path);
  EXPECT_EQ(ini.ReadInteger("S", "K", -1), 1);
  EXPECT_EQ(ini.ReadString("S", "K", "").size(), 2047u);
}

TEST_F(IniFileTest, MissingFileGivesDefaultsAndCreatesNothing) {
  TIniFile ini(Path);
  EXPECT_EQ(ini.ReadInteger("Form", "Left", 100), 100);
  EXPECT_EQ(ini.ReadString("Ports", "COM1", "none"), "none");
  EXPECT_FALSE(ini.SectionExists("Ports"));
  EXPECT_TRUE(ini.ReadSection("Ports").empty());
  EXPECT_TRUE(DirEntries().empty());
}

TEST_F(IniFileTest, NewFileHoldsTheKeysInTheOrderOfTheWrites) {
  TIniFile ini(Path);
  ini.WriteInteger("Form", "Top", -5);
  ini.WriteInteger("Form", "Left", 308);
  ini.WriteInteger("COM", "Number", 2);
  ini.WriteInteger("COM", "Baud", 19200);
  EXPECT_EQ(Get(), "[Form]\nTop=-5\nLeft=308\n\n[COM]\nNumber=2\nBaud=19200\n");
  EXPECT_EQ(ini.ReadInteger("Form", "Top", 100), -5);
  EXPECT_EQ(ini.ReadInteger("COM", "Baud", 0), 19200);
  // Rewriting a key changes nothing else.
  ini.WriteInteger("Form", "Top", 198);
  EXPECT_EQ(Get(), "[Form]\nTop=198\nLeft=308\n\n[COM]\nNumber=2\nBaud=19200\n");
}

TEST_F(IniFileTest, OtherContentIsKeptAndValuesAreReplacedInPlace) {
  const std::string before = "; written by hand\r\n"
                             "[Ports]\r\n"
                             "COM1 = /dev/ttyUSB0\r\n"
                             "\r\n"
                             "[form]\r\n"
                             "top=5\r\n"
                             "Other=keep me\r\n"
                             "\r\n"
                             "[Extra]\r\n"
                             "Free text without an equals sign\r\n";
  Put(before);
  TIniFile ini(Path);
  ini.WriteInteger("Form", "Top", 7);    // existing key, other case
  ini.WriteInteger("Form", "Left", 100); // new key goes to the end of its section
  ini.WriteString("Ports", "COM2", "/dev/ttyACM0");
  EXPECT_EQ(Get(), "; written by hand\r\n"
                   "[Ports]\r\n"
                   "COM1 = /dev/ttyUSB0\r\n"
                   "COM2=/dev/ttyACM0\r\n"
                   "\r\n"
                   "[form]\r\n"
                   "top=7\r\n"
                   "Other=keep me\r\n"
                   "Left=100\r\n"
                   "\r\n"
                   "[Extra]\r\n"
                   "Free text without an equals sign\r\n");
  EXPECT_EQ(ini.ReadString("Ports", "COM1", ""), "/dev/ttyUSB0");
  EXPECT_EQ(ini.ReadSection("Ports"), (std::vector<std::string>{"COM1", "COM2"}));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Ports", "form", "Extra"}));
  EXPECT_TRUE(ini.SectionExists("FORM"));
  EXPECT_TRUE(ini.ValueExists("Form", "Other"));
  EXPECT_FALSE(ini.ValueExists("Form", "Missing"));
}

TEST_F(IniFileTest, FileWithoutFinalNewlineGetsWellFormedLines) {
  Put("[COM]\nNumber=1");
  TIniFile ini(Path);
  ini.WriteInteger("COM", "Baud", 9600);
  ini.WriteInteger("Form", "Top", 1);
  EXPECT_EQ(Get(), "[COM]\nNumber=1\nBaud=9600\n\n[Form]\nTop=1\n");
}

TEST_F(IniFileTest, WriteReplacesTheFileAtomicallyAndKeepsItsMode) {
  Put("[COM]\nNumber=1\n");
  ASSERT_EQ(chmod(Path.c_str(), 0640), 0);
  TIniFile ini(Path);
  for (int i = 0; i < 20; ++i)
    ini.WriteInteger("COM", "Number", i);
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"fwload.INI"})) << "no temporary file left";
  struct stat st;
  ASSERT_EQ(stat(Path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Get(), "[COM]\nNumber=19\n");
}

TEST_F(IniFileTest, WriteThroughALinkUpdatesTheLinkedFile) {
  std::string real = Dir + "/real.ini";
  Put("[COM]\nNumber=1\n", real);
  ASSERT_EQ(symlink(real.c_str(), Path.c_str()), 0);
  TIniFile(Path).WriteInteger("COM", "Number", 4);
  struct stat st;
  ASSERT_EQ(lstat(Path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Get(real), "[COM]\nNumber=4\n");
}

TEST_F(IniFileTest, RefusedWriteRaisesWithThePath) {
  // A folder that is a regular file cannot hold anything, not even for root.
  Put("not a folder", Dir + "/file");
  std::string path = Dir + "/file/fwload.INI";
  TIniFile ini(path);
  try {
    ini.WriteInteger("Form", "Top", 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + path);
  }
  // An unreadable file is not replaced by one holding the single new key.
  ASSERT_EQ(mkdir(Path.c_str(), 0755), 0);
  EXPECT_THROW(TIniFile(Path).WriteInteger("Form", "Top", 1), Exception);
  if (geteuid() != 0) { // root writes into read-only folders
    std::string ro = Dir + "/ro";
    ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
    EXPECT_THROW(TIniFile(ro + "/x.ini").WriteInteger("Form", "Top", 1), Exception);
  }
}

TEST_F(IniFileTest, EntriesThatWouldBreakTheFileAreRefused) {
  Put("[COM]\nNumber=1\n");
  TIniFile ini(Path);
  EXPECT_THROW(ini.WriteString("COM", "Number", "1\n[Evil]\nX=1"), Exception);
  EXPECT_THROW(ini.WriteString("COM", "A=B", "1"), Exception);
  EXPECT_THROW(ini.WriteString("C]OM", "A", "1"), Exception);
  EXPECT_THROW(ini.WriteString("COM", "", "1"), Exception);
  EXPECT_EQ(Get(), "[COM]\nNumber=1\n");
}

TEST_F(IniFileTest, DeleteKeyAndEraseSection) {
  Put("[A]\nx=1\ny=2\n[B]\nz=3\n");
  TIniFile ini(Path);
  ini.DeleteKey("A", "x");
  ini.EraseSection("B");
  EXPECT_EQ(Get(), "[A]\ny=2\n");
}

} // namespace

// What a damaged file may hold — NUL bytes, a line of megabytes, a section twice, no final line
// end — is text like any other: what can be read reads, and a write keeps the rest byte for byte.
TEST_F(IniFileTest, DamagedContentReadsWhatItCanAndAWriteKeepsTheRest) {
  const std::string huge(5 << 20, '7');
  const std::string content = std::string("\0\x01\xff junk\n", 9) + "[A]\nk=v" +
                              std::string("\0", 1) + "w\nbig=" + huge + "\n[a]\nk=2\nj=3\n[B]\nx=1";
  Put(content);
  TIniFile ini(Path);
  EXPECT_EQ(ini.ReadString("A", "k", "-"), std::string("v\0w", 3));
  EXPECT_EQ(ini.ReadString("A", "big", "-"), huge.substr(0, 2047));
  EXPECT_EQ(ini.ReadInteger("A", "big", -1), -1) << "megabytes of digits are no 32-bit number";
  EXPECT_EQ(ini.ReadString("A", "j", "-"), "-") << "only the first of two same-named sections";
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"A", "a", "B"}));
  ini.WriteInteger("B", "x", 2);
  ini.WriteInteger("A", "k", 5);
  std::string expected = content;
  expected.replace(expected.find(std::string("k=v\0w", 5)), 5, "k=5");
  expected.replace(expected.size() - 1, 1, "2");
  EXPECT_EQ(Get(), expected) << "no final line end added, the second [a] untouched";
}

TEST_F(IniFileTest, LineEndsFollowTheFirstLineEndAndAReplacedLineKeepsItsOwn) {
  Put("\r\n[A]\r\nx=1\r\n");
  TIniFile(Path).WriteString("B", "y", "2");
  EXPECT_EQ(Get(), "\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  Put("[A]\nx=1\r\nz=3\n");
  TIniFile(Path).WriteString("A", "x", "9");
  TIniFile(Path).WriteString("A", "w", "0");
  EXPECT_EQ(Get(), "[A]\nx=9\r\nz=3\nw=0\n");
}

// A profile path that leads to a device, a pipe or a runaway file must neither hang nor fill the
// memory, and it is never replaced by a file of our own.
TEST_F(IniFileTest, SomethingElseThanAProfileFileIsNeitherReadNorReplaced) {
  ASSERT_EQ(symlink("/dev/zero", Path.c_str()), 0);
  TIniFile zero(Path);
  EXPECT_EQ(zero.ReadInteger("COM", "Number", 7), 7);
  EXPECT_THROW(zero.WriteInteger("COM", "Number", 1), Exception);
  char target[64] = {};
  ASSERT_GT(readlink(Path.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "/dev/zero");

  std::string fifo = Dir + "/fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(TIniFile(fifo).ReadString("A", "k", "none"), "none") << "no writer: no wait";
  EXPECT_THROW(TIniFile(fifo).WriteString("A", "k", "v"), Exception);

  std::string big = Dir + "/big.ini";
  Put("[A]\nk=1\n", big);
  ASSERT_EQ(truncate(big.c_str(), (64 << 20) + 1), 0); // sparse: costs no disk
  EXPECT_EQ(TIniFile(big).ReadInteger("A", "k", 0), 0);
  EXPECT_THROW(TIniFile(big).WriteInteger("A", "k", 2), Exception);
  struct stat st;
  ASSERT_EQ(stat(big.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, (64 << 20) + 1);
}

TEST_F(IniFileTest, WriteEntriesReplacesTheFileOnceWithAllOrNone) {
  Put("[Keep]\na=1\n");
  TIniFile ini(Path);
  EXPECT_THROW(ini.WriteEntries({{"Form", "Top", "1"}, {"Form", "Bad=Key", "2"}}), Exception);
  EXPECT_EQ(Get(), "[Keep]\na=1\n") << "a bad entry anywhere writes nothing";
  ini.WriteEntries({{"Form", "Top", "1"}, {"COM", "Baud", "9600"}, {"Form", "Left", "2"}});
  EXPECT_EQ(Get(), "[Keep]\na=1\n\n[Form]\nTop=1\nLeft=2\n\n[COM]\nBaud=9600\n");
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"fwload.INI"}));
}

// A write that dies half-way (here: the file size limit, a full disk's twin) leaves the old file
// whole, whether the process is told so or killed on the spot (which leaves its temporary).
TEST_F(IniFileTest, AWriteCutShortLeavesTheOldFileByteForByte) {
  const std::string old = "[Other]\nkeep=" + std::string(3000, 'x') + "\n[COM]\nNumber=1\n";
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed by SIGXFSZ" : "write fails with EFBIG");
    Put(old);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (!killed) signal(SIGXFSZ, SIG_IGN);
      rlimit limit{1000, 1000};
      setrlimit(RLIMIT_FSIZE, &limit);
      try {
        TIniFile(Path).WriteInteger("COM", "Number", 2);
        _exit(1);
      } catch (const Exception& e) {
        _exit(e.Message() == "Unable to write to " + Path ? 0 : 2);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(DirEntries(), (std::vector<std::string>{"fwload.INI"})) << "temporary removed";
    }
    EXPECT_EQ(Get(), old);
  }
}

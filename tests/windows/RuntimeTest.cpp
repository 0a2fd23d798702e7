// The Windows bodies of runtime/: paths with drive letters, the program's own path, and the
// profile file's replace over an existing file.
#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "runtime/IniFiles.h"
#include "runtime/SysUtils.h"

TEST(WindowsPaths, DriveLettersSharesAndBothDelimiters) {
  EXPECT_EQ(ExtractFileDir("C:\\fw\\image.enc"), "C:\\fw");
  EXPECT_EQ(ExtractFileDir("C:\\image.enc"), "C:\\");
  EXPECT_EQ(ExtractFilePath("C:image.enc"), "C:");
  EXPECT_EQ(ExtractFileName("C:\\fw/image.enc"), "image.enc");
  EXPECT_EQ(ChangeFileExt("C:\\Program Files\\fwload\\fwload.exe", ".INI"),
            "C:\\Program Files\\fwload\\fwload.INI");
  EXPECT_EQ(ChangeFileExt("C:\\fw.d\\fwload", ".INI"), "C:\\fw.d\\fwload.INI");
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:\\tmp"), "C:\\tmp\\");
  EXPECT_EQ(IncludeTrailingPathDelimiter("C:/tmp/"), "C:/tmp/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("C:\\tmp\\\\"), "C:\\tmp");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("C:\\"), "C:\\");
  EXPECT_TRUE(IsAbsolutePath("C:\\x"));
  EXPECT_TRUE(IsAbsolutePath("d:/x"));
  EXPECT_TRUE(IsAbsolutePath("\\\\server\\share\\x"));
  EXPECT_FALSE(IsAbsolutePath("C:x"));
  EXPECT_FALSE(IsAbsolutePath("fw\\x"));
  EXPECT_EQ(ExpandFileName("C:\\a\\.\\b\\..\\c"), "C:\\a\\c");
}

TEST(WindowsPaths, TheProgramAndTheWorkingFolder) {
  std::string exe = ParamStr0();
  EXPECT_TRUE(IsAbsolutePath(exe)) << exe;
  EXPECT_EQ(ExtractFileExt(exe), ".exe");
  EXPECT_TRUE(FileExists(exe));
  EXPECT_TRUE(DirectoryExists(ExtractFileDir(exe)));
  support::TTempDir dir;
  std::string cwd = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(dir.Path()));
  EXPECT_EQ(ExpandFileName("fw.enc"), dir.File("fw.enc"));
  EXPECT_TRUE(DirectoryWritable("."));
  ASSERT_TRUE(SetCurrentDir(cwd));
  EXPECT_FALSE(DirectoryWritable(dir.File("missing")));
}

TEST(WindowsIniFile, EveryWriteReplacesTheFileAndKeepsItsLineEnds) {
  support::TTempDir dir;
  // A UTF-8 name: the file calls take wide strings.
  ASSERT_TRUE(CreateDir(dir.File("настройки")));
  std::string name = dir.File("настройки\\fwload.INI");
  {
    TIniFile ini(name);
    ini.WriteInteger("COM", "Number", 3);
    ini.WriteInteger("COM", "Baud", 57600); // over the file the first write made
    ini.WriteInteger("COM", "Number", 4);
    EXPECT_EQ(ini.ReadInteger("COM", "Number", 0), 4);
    EXPECT_EQ(ini.ReadInteger("COM", "Baud", 0), 57600);
  }
  EXPECT_EQ(dir.Read("настройки\\fwload.INI"), "[COM]\nNumber=4\nBaud=57600\n");

  std::string crlf = dir.Write("crlf.ini", "; kept\r\n[Form]\r\nTop=1\r\n");
  TIniFile(crlf).WriteInteger("Form", "Left", 2);
  EXPECT_EQ(dir.Read("crlf.ini"), "; kept\r\n[Form]\r\nTop=1\r\nLeft=2\r\n");
  // Nothing of the temporary files stays behind.
  int files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(Utf8ToWide(dir.Path()))))
    files += entry.is_regular_file();
  EXPECT_EQ(files, 1);
}

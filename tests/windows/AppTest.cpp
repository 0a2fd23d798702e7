// The Windows bodies under the upload: the settings file's place, the encoded file's open, and
// what fwload-cli takes as a port and as a settings file.
#include <cstdio>
#include <gtest/gtest.h>

#include "CliOptions.h"
#include "CliSettings.h"
#include "support/TempDir.h"
#include "app/EncodedFile.h"
#include "app/Settings.h"

TEST(WindowsSettings, BesideTheProgramWhileItsFolderIsWritableElseUnderAppData) {
  support::TTempDir dir;
  const std::string appData = "C:\\Users\\u\\AppData\\Roaming";
  EXPECT_EQ(AppDataSettingsPath(dir.File("fwload.exe"), appData), dir.File("fwload.INI"));
  EXPECT_EQ(AppDataSettingsPath(dir.File("missing\\fwload.exe"), appData),
            appData + "\\fwload\\fwload.INI");
  EXPECT_EQ(AppDataSettingsPath(dir.File("missing\\fwload.exe"), ""),
            dir.File("missing\\fwload.INI"))
      << "no %APPDATA%: the only place left";
  EXPECT_EQ(SettingsFilePath(), SettingsFileBeside(ParamStr0())) << "the test folder is writable";
}

TEST(WindowsSettings, TheFolderIsMadeAndASecondSaveReplacesTheFirst) {
  support::TTempDir dir;
  std::string file = AppDataSettingsPath(dir.File("missing\\fwload.exe"), dir.Path());
  TSettings settings;
  settings.ComNumber = 7;
  WriteSettingsFile(file, settings);
  settings.Baud = 115200;
  WriteSettingsFile(file, settings);
  TSettings read = ReadSettingsFile(file);
  EXPECT_EQ(read.ComNumber, 7);
  EXPECT_EQ(read.Baud, 115200);
}

TEST(WindowsEncodedFile, OnlyAFileOnADiskOpens) {
  support::TTempDir dir;
  std::string name = dir.Write("прошивка.enc", "00 02 AB CD\r\n");
  std::FILE* file = OpenEncodedFile(name.c_str());
  ASSERT_NE(file, nullptr);
  uint8_t image[8];
  TEncodedRead read = ReadEncodedImage(file, image, sizeof image);
  std::fclose(file);
  ASSERT_EQ(read.Count, 4u);
  EXPECT_EQ(image[3], 0xCD);
  EXPECT_EQ(OpenEncodedFile(dir.Path().c_str()), nullptr);
  EXPECT_EQ(OpenEncodedFile("NUL"), nullptr);
  EXPECT_EQ(OpenEncodedFile(dir.File("missing.enc").c_str()), nullptr);
}

TEST(WindowsCli, PortsAndSettingsFiles) {
  TPortSpec spec;
  std::string error;
  ASSERT_TRUE(ParsePortSpec("\\\\.\\COM12", spec, error)) << error;
  EXPECT_EQ(spec.Path, "\\\\.\\COM12");
  ASSERT_TRUE(ParsePortSpec("com12", spec, error)) << error;
  EXPECT_EQ(spec.Number, 12);
  EXPECT_FALSE(ParsePortSpec("ttyUSB0", spec, error));

  support::TTempDir dir;
  EXPECT_EQ(SettingsFileProblem(dir.Write("fwload.INI", "[COM]\r\n")), "");
  EXPECT_EQ(SettingsFileProblem(dir.File("missing.INI")), "not found");
  EXPECT_EQ(SettingsFileProblem(dir.Path()), "not a regular file");
  EXPECT_EQ(SettingsFileProblem("NUL"), "not a regular file");
}

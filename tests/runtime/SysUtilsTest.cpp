#include <gtest/gtest.h>

#include "runtime/SysUtils.h"

TEST(StrToInt, AcceptsDecimalAndBothHexForms) {
  EXPECT_EQ(StrToInt("19200"), 19200);
  EXPECT_EQ(StrToInt("-5"), -5);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("  42"), 42);
  EXPECT_EQ(StrToInt("$4B00"), 0x4B00);
  EXPECT_EQ(StrToInt("0x4b00"), 0x4B00);
  EXPECT_EQ(StrToInt("0X4B00"), 0x4B00);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1); // hexadecimal spells the bit pattern
}

TEST(StrToInt, RefusesPartialOrOutOfRangeText) {
  for (const char* bad : {"", " ", "2x", "12 ", "0x", "$", "-", "2147483648", "-2147483649",
                          "$100000000", "1e3", "٣"}) {
    int32_t v = 99;
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 99) << "a failed conversion must leave the value alone: " << bad;
    EXPECT_EQ(StrToIntDef(bad, -1), -1) << bad;
  }
  try {
    StrToInt("2x");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2x' is not a valid integer value");
  }
}

TEST(Format, GrowsPastItsSmallBuffer) {
  EXPECT_EQ(Format("COM%d at %s", 3, "19200"), "COM3 at 19200");
  std::string big(1000, 'x');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
  EXPECT_EQ(IntToHex(0x7E0A, 4), "7E0A");
  EXPECT_EQ(IntToStr(-12), "-12");
}

TEST(Paths, SplitAndJoin) {
  EXPECT_EQ(ExtractFilePath("/opt/fw/image.enc"), "/opt/fw/");
  EXPECT_EQ(ExtractFileDir("/opt/fw/image.enc"), "/opt/fw");
  EXPECT_EQ(ExtractFileDir("/image.enc"), "/");
  EXPECT_EQ(ExtractFileName("/opt/fw/image.enc"), "image.enc");
  EXPECT_EQ(ExtractFileName("image.enc"), "image.enc");
  EXPECT_EQ(ExtractFileExt("/opt/fw.d/image"), "");
  EXPECT_EQ(ExtractFileExt("a/b.tar.enc"), ".enc");
  EXPECT_EQ(ChangeFileExt("/opt/fwload", ".ini"), "/opt/fwload.ini");
  EXPECT_EQ(ChangeFileExt("/opt.d/fwload.exe", ".ini"), "/opt.d/fwload.ini");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp"), "/tmp/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/tmp/"), "/tmp/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/tmp//"), "/tmp");
  EXPECT_EQ(ExpandFileName("/a/./b/../c"), "/a/c");
  EXPECT_EQ(ExpandFileName("/../.."), "/");
}

TEST(Paths, FileSystemQueries) {
  std::string exe = ParamStr0();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(FileExists(exe));
  EXPECT_FALSE(FileExists(ExtractFileDir(exe)));
  EXPECT_TRUE(DirectoryExists(ExtractFileDir(exe)));
  std::string cwd = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir("/"));
  EXPECT_EQ(GetCurrentDir(), "/");
  EXPECT_EQ(ExpandFileName("tmp"), "/tmp");
  ASSERT_TRUE(SetCurrentDir(cwd));
  EXPECT_FALSE(SetCurrentDir("/no/such/dir"));
}

TEST(StringHelpers, TrimAndCase) {
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
  EXPECT_EQ(UpperCase("Com3é"), "COM3é");
  EXPECT_TRUE(SameText("Ports", "PORTS"));
  EXPECT_FALSE(SameText("COM1", "COM10"));
}

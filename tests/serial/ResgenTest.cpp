#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "ResGen.h"
#include "support/TempDir.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

using resgen::CompileTable;
using resgen::EResgenError;
using resgen::ParseTable;

namespace {

void ExpectFailure(const std::string& source, int line, const std::string& reason) {
  try {
    ParseTable(source, "t.tsv");
    ADD_FAILURE() << "accepted: " << source;
  } catch (const EResgenError& e) {
    EXPECT_EQ(e.Line, line) << e.what();
    EXPECT_THAT(std::string(e.what()), StartsWith("t.tsv:" + std::to_string(line) + ": "))
        << e.what();
    EXPECT_THAT(e.Reason, HasSubstr(reason)) << e.Reason;
  }
}

struct TRun {
  int Status;
  std::string Output;
};

TRun RunResgen(const std::string& arguments) {
  TRun run{-1, ""};
  FILE* pipe = popen((std::string(RESGEN_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
    run.Output.append(buffer, n);
  int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

} // namespace

TEST(ResgenParse, DecodesEscapesCommentsAndUtf8) {
  auto entries = ParseTable("# comment\n\n-3\ta\\tb\\nc\\\\d\\\"\\'\\r\n"
                            "0\t\\x41\\u00e9\\U0001F600\n"
                            "12\tGr\xC3\xBC\xC3\x9F"
                            "e\n"
                            "2147483647\t",
                            "t.tsv");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].Ident, -3);
  EXPECT_EQ(entries[0].Line, 3);
  EXPECT_EQ(entries[0].Text, u"a\tb\nc\\d\"'\r");
  EXPECT_EQ(entries[1].Text, u"A\u00e9\U0001F600");
  EXPECT_EQ(entries[2].Text, u"Gr\u00fc\u00dfe");
  EXPECT_EQ(entries[3].Ident, 2147483647);
  EXPECT_EQ(entries[3].Text, u"");
}

TEST(ResgenParse, RejectsDuplicateAndUnsortedIdentsNamingTheLine) {
  ExpectFailure("1\ta\n2\tb\n2\tc\n", 3, "duplicate ident 2 (first at line 2)");
  ExpectFailure("1\ta\n# x\n5\tb\n4\tc\n", 4, "ident 4 is out of order after 5 (line 3)");
}

TEST(ResgenParse, RejectsMalformedLines) {
  ExpectFailure("1\ta\nno tab here\n", 2, "malformed line");
  ExpectFailure("x1\ta\n", 1, "'x1' is not a 32-bit decimal ident");
  ExpectFailure(" 1\ta\n", 1, "is not a 32-bit decimal ident");
  ExpectFailure("\ta\n", 1, "is not a 32-bit decimal ident");
  ExpectFailure("2147483648\ta\n", 1, "is not a 32-bit decimal ident");
  ExpectFailure("1\ta\r\n", 1, "carriage return");
  ExpectFailure("1\ta\tb\n", 1, "raw control character 0x09");
  ExpectFailure("1\t\xC3\n", 1, "invalid UTF-8");
  ExpectFailure("1\t\xC0\xAF\n", 1, "invalid UTF-8");     // overlong
  ExpectFailure("1\t\xED\xA0\x80\n", 1, "invalid UTF-8"); // a surrogate
}

TEST(ResgenParse, RejectsBadEscapes) {
  ExpectFailure("1\tok\n2\ta\\qb\n", 2, "bad escape \\q");
  ExpectFailure("1\t\\x4\n", 1, "needs 2 hex digits");
  ExpectFailure("1\t\\u12G4\n", 1, "needs 4 hex digits");
  ExpectFailure("1\tabc\\\n", 1, "lone backslash");
  ExpectFailure("1\t\\x00\n", 1, "NUL");
  ExpectFailure("1\t\\uD800\n", 1, "surrogate");
  ExpectFailure("1\t\\U00110000\n", 1, "beyond the last Unicode character");
}

TEST(ResgenCompile, LaysOutHeaderEntriesAndTextsLittleEndianInEntryOrder) {
  auto blob = CompileTable(ParseTable("-1\tAB\n7\t\n300\t\\u20AC\n", "t.tsv"));
  const std::vector<unsigned char> expected = {
      'S',  'T',  'R',  '0',  3,    0,   0, 0,             // magic, count
      0xFF, 0xFF, 0xFF, 0xFF, 44,   0,   0, 0, 2, 0, 0, 0, // -1 at 44, 2 units
      7,    0,    0,    0,    48,   0,   0, 0, 0, 0, 0, 0, // 7 at 48, empty
      0x2C, 0x01, 0,    0,    48,   0,   0, 0, 1, 0, 0, 0, // 300 at 48, 1 unit
      'A',  0,    'B',  0,    0xAC, 0x20};
  EXPECT_EQ(blob, expected);
  EXPECT_EQ(CompileTable({}), (std::vector<unsigned char>{'S', 'T', 'R', '0', 0, 0, 0, 0}));
}

TEST(ResgenBinary, FailsTheBuildOnABrokenTableAndWritesNothing) {
  support::TTempDir dir;
  const std::string& base = dir.Path();
  std::ofstream(base + "/good.tsv") << "# fine\n1\tOne\n2\tTwo\n";
  std::ofstream(base + "/bad.tsv") << "1\tOne\n# gap\n3\tThree\n2\tTwo\n";

  TRun good = RunResgen(base + "/good.tsv GOOD_TABLE " + base + "/good.cpp");
  EXPECT_EQ(good.Status, 0) << good.Output;
  std::ifstream generated(base + "/good.cpp");
  std::string source((std::istreambuf_iterator<char>(generated)), {});
  EXPECT_THAT(source, HasSubstr("void RegisterResource_GOOD_TABLE()"));
  EXPECT_THAT(
      source,
      HasSubstr("platform::RegisterResource(\"GOOD_TABLE\", RT_RCDATA, Data, sizeof Data)"));

  TRun bad = RunResgen(base + "/bad.tsv BAD_TABLE " + base + "/bad.cpp");
  EXPECT_EQ(bad.Status, 1);
  EXPECT_THAT(bad.Output, HasSubstr(base + "/bad.tsv:4: error: ident 2 is out of order"))
      << bad.Output;
  EXPECT_NE(access((base + "/bad.cpp").c_str(), F_OK), 0);
  EXPECT_NE(access((base + "/bad.cpp.tmp").c_str(), F_OK), 0);

  EXPECT_EQ(RunResgen(base + "/good.tsv BAD-NAME " + base + "/x.cpp").Status, 2);
  EXPECT_EQ(RunResgen(base + "/missing.tsv NAME " + base + "/x.cpp").Status, 1);
}

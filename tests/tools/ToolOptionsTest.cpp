// The tools' option parser: the forms an option and its value take, the misuses it refuses,
// the number syntax, and the usage laid out from the same table.
#include <gtest/gtest.h>

#include "ToolOptions.h"

namespace {

struct TParsed {
  bool Quiet = false;
  std::string Port;
  unsigned Speed = 0;
  std::vector<std::string> Operands;
};

std::vector<TOption> Table(TParsed& p) {
  return {
      {0, "", "", "lines:", {}},
      {'p', "port", "PORT", "the port;\na second line", SetText(p.Port)},
      {0, "speed", "N", "line speed", SetNumber(p.Speed, 1, 1000)},
      {'q', "quiet", "", "less", SetFlag(p.Quiet)},
  };
}

bool Parse(const std::vector<std::string>& args, TParsed& p, std::string& error) {
  return ParseOptions(Table(p), args, p.Operands, error);
}

std::string ParseError(const std::vector<std::string>& args) {
  TParsed p;
  std::string error;
  EXPECT_FALSE(Parse(args, p, error));
  return error;
}

} // namespace

TEST(ToolOptions, ValuesInEveryFormAndOperandsAnywhere) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-p", "COM1", "a", "--speed", "0x10", "-q", "b"},
        {"a", "-pCOM1", "--speed=16", "--quiet", "b"},
        {"--port=COM1", "--speed", "016", "a", "-q", "--", "b"}}) {
    TParsed p;
    std::string error;
    ASSERT_TRUE(Parse(args, p, error)) << error;
    EXPECT_EQ(p.Port, "COM1");
    EXPECT_EQ(p.Speed, 16u); // 016 is sixteen, not octal
    EXPECT_TRUE(p.Quiet);
    EXPECT_EQ(p.Operands, (std::vector<std::string>{"a", "b"}));
  }
  // After "--" everything is an operand; "-" and "" always are; a value may start with '-'
  // or hold '='.
  TParsed p;
  std::string error;
  ASSERT_TRUE(Parse({"-", "", "--port", "-x", "--", "--quiet", "--"}, p, error)) << error;
  EXPECT_EQ(p.Operands, (std::vector<std::string>{"-", "", "--quiet", "--"}));
  EXPECT_EQ(p.Port, "-x");
  EXPECT_FALSE(p.Quiet);
  ASSERT_TRUE(Parse({"--port=a=b"}, p, error)) << error;
  EXPECT_EQ(p.Port, "a=b");
}

TEST(ToolOptions, MisusesAreNamed) {
  EXPECT_EQ(ParseError({"--frob"}), "unknown option --frob");
  EXPECT_EQ(ParseError({"-x"}), "unknown option -x");
  EXPECT_EQ(ParseError({"--=1"}), "unknown option --=1");
  EXPECT_EQ(ParseError({"--qui"}), "unknown option --qui");
  EXPECT_EQ(ParseError({"--port"}), "option --port needs a value");
  EXPECT_EQ(ParseError({"a", "-p"}), "option -p needs a value");
  EXPECT_EQ(ParseError({"-qq"}), "option -q takes no value");
  EXPECT_EQ(ParseError({"--quiet="}), "option --quiet takes no value");
  EXPECT_EQ(ParseError({"--speed", "0"}), "--speed: '0' is not a number from 1 to 1000");
  EXPECT_EQ(ParseError({"--speed=1001"}), "--speed: '1001' is not a number from 1 to 1000");
}

TEST(ToolOptions, NumbersAreDecimalOrHexWithinTheirRange) {
  uint64_t v = 0;
  for (const auto& [text, want] :
       std::vector<std::pair<std::string, uint64_t>>{{"0", 0},
                                                     {"010", 10},
                                                     {"0x1F", 31},
                                                     {"0XaB", 171},
                                                     {"18446744073709551615", UINT64_MAX},
                                                     {"0xFFFFFFFFFFFFFFFF", UINT64_MAX}}) {
    EXPECT_TRUE(ParseNumber(text, 0, UINT64_MAX, v)) << text;
    EXPECT_EQ(v, want) << text;
  }
  v = 7;
  for (const char* bad : {"", "0x", "x1", "-1", "+1", " 1", "1 ", "1e3", "08x", "0x-1", "0xg",
                          "18446744073709551616", "0x10000000000000000", "99999999999999999999"})
    EXPECT_FALSE(ParseNumber(bad, 0, UINT64_MAX, v)) << bad;
  EXPECT_EQ(v, 7u) << "a refused number leaves the value alone";
  EXPECT_TRUE(ParseNumber("5", 5, 5, v));
  EXPECT_FALSE(ParseNumber("4", 5, 6, v));
  EXPECT_FALSE(ParseNumber("0x7", 5, 6, v));
}

TEST(ToolOptions, UsageAlignsTheHelpPastTheLongestOption) {
  TParsed p;
  EXPECT_EQ(OptionUsage(Table(p)), "lines:\n"
                                   "  -p, --port PORT the port;\n"
                                   "                  a second line\n"
                                   "      --speed N   line speed\n"
                                   "  -q, --quiet     less\n");
}

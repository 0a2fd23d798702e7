#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "ResGen.h"
#include "serial/Exceptions.h"
#include "serial/StringResource.h"

namespace {

HMODULE MainModule() {
  return GetModuleHandleA(nullptr);
}

// Registers a copy of `bytes` under a fresh name for the rest of the run. The copy is a heap
// block of exactly that size, so that AddressSanitizer catches any read past its end.
std::string RegisterBlob(const std::vector<unsigned char>& bytes) {
  static std::atomic<int> counter{0};
  std::string name = "TEST_TABLE_" + std::to_string(++counter);
  auto* copy = new unsigned char[bytes.empty() ? 1 : bytes.size()];
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  EXPECT_TRUE(platform::RegisterResource(name.c_str(), RT_RCDATA, copy, bytes.size()));
  return name;
}

std::vector<unsigned char> Compile(const std::string& tsv) {
  return resgen::CompileTable(resgen::ParseTable(tsv, "test.tsv"));
}

std::string RegisterTable(const std::string& tsv) {
  return RegisterBlob(Compile(tsv));
}

void PutLE32(std::vector<unsigned char>& blob, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    blob[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string StringErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EStringResourceError& e) {
    return e.Message();
  }
  return "<no error>";
}

std::vector<resgen::TResEntry> ReadSource(const std::string& relative) {
  std::ifstream in(std::string(FWLOAD_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return resgen::ParseTable(text.str(), relative);
}

// The shipped tables are ASCII, whose ANSI form is the same characters.
std::string Ascii(const std::u16string& text) {
  for (char16_t c : text)
    EXPECT_LT(c, 0x80) << "a table text left ASCII";
  return std::string(text.begin(), text.end());
}

} // namespace

TEST(StringResource, FindsEveryIdentOfALargeTableAndNothingBetween) {
  std::string tsv;
  for (int i = -300; i < 3000; i += 3)
    tsv += std::to_string(i) + "\tText " + std::to_string(i) + "\n";
  TSioStringResource table(MainModule(), RegisterTable(tsv));
  for (int i = -302; i < 3002; ++i)
    ASSERT_EQ(table.GetString(i),
              i % 3 == 0 && i >= -300 && i < 3000 ? "Text " + std::to_string(i) : "")
        << i;
}

TEST(StringResource, ReportFlagTurnsAMissIntoAnError) {
  TSioStringResource table(MainModule(), RegisterTable("1\tOne\n"));
  EXPECT_FALSE(table.ReportError());
  EXPECT_EQ(table.GetString(4), "");
  table.SetReportError(true);
  EXPECT_EQ(StringErrorOf([&] { table.GetString(4); }), "String not found: 4");
  EXPECT_EQ(StringErrorOf([&] { table.GetString(-17); }), "String not found: -17");
  EXPECT_EQ(table.GetString(1), "One");
}

TEST(StringResource, OpeningFailuresNameTheResource) {
  EXPECT_EQ(StringErrorOf([] { TSioStringResource t(MainModule(), "NO_SUCH_TABLE"); }),
            "String resource not found: NO_SUCH_TABLE");
  std::vector<unsigned char> valid = Compile("1\tOne\n");
  std::vector<unsigned char> badMagic = valid;
  badMagic[3] = '1';
  std::vector<unsigned char> countTooLarge = valid;
  PutLE32(countTooLarge, 4, 2);
  std::vector<unsigned char> countNegative = valid;
  PutLE32(countNegative, 4, 0xFFFFFFFFu);
  for (const auto& blob : {badMagic, countTooLarge, countNegative, std::vector<unsigned char>{},
                           std::vector<unsigned char>{'S', 'T', 'R'}}) {
    std::string name = RegisterBlob(blob);
    EXPECT_EQ(StringErrorOf([&] { TSioStringResource t(MainModule(), name); }),
              "Invalid string table resource")
        << blob.size();
  }
}

TEST(StringResource, EntriesPointingOutsideTheBlobReadAsMissing) {
  std::vector<unsigned char> blob = Compile("1\tOne\n2\tTwo\n3\tThree\n4\tFour\n");
  const uint32_t size = static_cast<uint32_t>(blob.size());
  PutLE32(blob, 12 + 12 * 1, size - 1);    // 2: one unit straddling the end
  PutLE32(blob, 16 + 12 * 2, 0x7FFFFFFFu); // 3: length far beyond the end
  PutLE32(blob, 12 + 12 * 3, 0xFFFFFFF0u); // 4: offset beyond the end
  TSioStringResource table(MainModule(), RegisterBlob(blob));
  EXPECT_EQ(table.GetString(1), "One");
  WCHAR wide[16];
  char ansi[16];
  for (int ident : {2, 3, 4}) {
    EXPECT_EQ(table.GetString(ident), "") << ident;
    EXPECT_EQ(table.GetWideChar(ident, wide, 16)[0], 0) << ident;
    EXPECT_STREQ(table.GetAsciiZ(ident, ansi, 16), "") << ident;
  }
}

TEST(StringResource, ChangeResourceSwitchesClosesAndSurvivesABadTable) {
  const std::string a = RegisterTable("1\tA\n"), b = RegisterTable("1\tB\n");
  const std::string bad = RegisterBlob({'S', 'T', 'R', 'X', 0, 0, 0, 0});
  TSioStringResource table(MainModule(), a);
  EXPECT_EQ(table.GetString(1), "A");
  table.ChangeResource(MainModule(), b);
  EXPECT_EQ(table.GetString(1), "B");
  table.ChangeResource(MainModule(), "");
  EXPECT_EQ(StringErrorOf([&] { table.GetString(1); }), "Cannot lock resource");
  EXPECT_EQ(StringErrorOf([&] { table.ChangeResource(MainModule(), bad); }),
            "Invalid string table resource");
  EXPECT_EQ(StringErrorOf([&] { table.GetString(1); }), "Cannot lock resource");
  table.ChangeResource(nullptr, a); // the main module, as Win32 reads a null module
  EXPECT_EQ(table.GetString(1), "A");
}

TEST(StringResource, GetWideCharCutsToTheBufferWithoutSplittingAPair) {
  WCHAR buffer[12];
  std::fill(std::begin(buffer), std::end(buffer), WCHAR(0xAAAA));
  ErrorStrings()->GetWideChar(101, buffer, 10);
  EXPECT_EQ(std::u16string(buffer), u"Disk is f");
  EXPECT_EQ(buffer[10], 0xAAAA);
  EXPECT_EQ(std::u16string(ErrorStrings()->GetWideChar(101, buffer, 1)), u"");
  buffer[0] = u'x';
  EXPECT_EQ(std::u16string(ErrorStrings()->GetWideChar(7, buffer, 12)), u"");

  TSioStringResource table(MainModule(), RegisterTable("1\ta\\U0001F600b\n"));
  EXPECT_EQ(std::u16string(table.GetWideChar(1, buffer, 3)), u"a");
  EXPECT_EQ(std::u16string(table.GetWideChar(1, buffer, 4)), u"a\U0001F600");
  EXPECT_EQ(std::u16string(table.GetWideChar(1, buffer, 12)), u"a\U0001F600b");
}

TEST(StringResource, GetAsciiZAndSioLoadZCutWholeCharacters) {
  std::string longText(100, 'x');
  TSioStringResource table(MainModule(),
                           RegisterTable("1\tGr\\u00FC\\u00DFe\n2\ta\\U0001F600b\n3\t" + longText));
  char buffer[96];
  auto cut = [&](int ident, int size) {
    std::memset(buffer, '#', sizeof buffer);
    std::string text = table.GetAsciiZ(ident, buffer, size);
    EXPECT_EQ(buffer[size], '#') << "wrote past " << size;
    return text;
  };
  EXPECT_EQ(cut(1, 8), "Gr\xC3\xBC\xC3\x9F"
                       "e");
  EXPECT_EQ(cut(1, 7), "Gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(cut(1, 5), "Gr\xC3\xBC");
  EXPECT_EQ(cut(1, 4), "Gr"); // not "Gr" and half of the u-umlaut
  EXPECT_EQ(cut(1, 1), "");
  EXPECT_EQ(cut(2, 6), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(cut(2, 5), "a"); // not "a" and a replacement for half a pair
  EXPECT_EQ(cut(3, 80), longText.substr(0, 79));
  EXPECT_EQ(cut(9, 10), "");

  char z[SioLoadZSize + 4];
  std::memset(z, '#', sizeof z);
  EXPECT_STREQ(SioLoadZ(z, ecNoPortSelected),
               "The ComNumber property of the TSioComPort has not been set");
  EXPECT_STREQ(SioLoadZ(z, 2008), "ie_Open - device already open");
  EXPECT_STREQ(SioLoadZ(z, -7), "");
  EXPECT_EQ(z[SioLoadZSize], '#');
}

TEST(StringResource, GetAsciiZShowsALoneSurrogateThatFitsAsGetStringDoes) {
  // A lone high surrogate at the end is no half of a pair that the cut made: with room for the
  // whole text, GetAsciiZ gives what GetString gives (found by the string-table fuzz target).
  std::vector<unsigned char> blob = Compile("1\txy\n2\tabc\n");
  const size_t text = blob[12] | blob[13] << 8; // entry 1's offset
  blob[text + 2] = 0x00;                        // y becomes U+D800
  blob[text + 3] = 0xD8;
  TSioStringResource table(MainModule(), RegisterBlob(blob));
  const std::string whole = table.GetString(1);
  ASSERT_EQ(whole.size(), 2u) << "x and the default character";
  char buffer[16];
  EXPECT_EQ(std::string(table.GetAsciiZ(1, buffer, 16)), whole);
  EXPECT_EQ(std::string(table.GetAsciiZ(1, buffer, 3)), whole);
  EXPECT_EQ(std::string(table.GetAsciiZ(1, buffer, 2)), "x");
  EXPECT_EQ(std::string(table.GetAsciiZ(2, buffer, 16)), "abc");
}

TEST(ErrorStrings, HoldsEveryEntryOfItsSourceInTheFixedRanges) {
  const auto entries = ReadSource("serial/strings/errors.tsv");
  ASSERT_EQ(entries.size(), 829u);
  EXPECT_EQ(entries.front().Ident, 0);
  EXPECT_EQ(entries.back().Ident, 15742);
  struct TRange {
    int32_t First, Last;
    size_t Rows;
  };
  const TRange ranges[] = {{0, 0, 1},           {2, 18, 8},         {100, 162, 19},
                           {1001, 1009, 9},     {2001, 2012, 12},   {3001, 3010, 10},
                           {4001, 4008, 8},     {4101, 4843, 131},  {5001, 5003, 3},
                           {5501, 5506, 6},     {6001, 6015, 15},   {7001, 7014, 14},
                           {8001, 8092, 40},    {9001, 11004, 58},  {13501, 13670, 68},
                           {13801, 13980, 103}, {15001, 15742, 324}};
  std::set<int32_t> idents;
  for (const auto& e : entries)
    idents.insert(e.Ident);
  size_t inRanges = 0;
  for (const TRange& r : ranges) {
    auto first = idents.lower_bound(r.First), last = idents.upper_bound(r.Last);
    EXPECT_EQ(size_t(std::distance(first, last)), r.Rows) << r.First;
    EXPECT_TRUE(idents.count(r.First) && idents.count(r.Last)) << r.First << ".." << r.Last;
    inRanges += size_t(std::distance(first, last));
  }
  EXPECT_EQ(inRanges, entries.size());

  WCHAR wide[512];
  for (const auto& e : entries) {
    ASSERT_EQ(ErrorStrings()->GetWideChar(e.Ident, wide, 512), e.Text) << e.Ident;
    ASSERT_EQ(ErrorStrings()->GetString(e.Ident), Ascii(e.Text)) << e.Ident;
  }
  for (int32_t i = -5; i < 16000; ++i) {
    if (idents.count(i)) continue;
    ASSERT_EQ(ErrorStrings()->GetString(i), "") << i;
  }

  EXPECT_EQ(ErrorStrings()->GetString(0), "OK");
  EXPECT_EQ(ErrorStrings()->GetString(15601), "DCTS ");
  EXPECT_EQ(ErrorStrings()->GetString(15608), "DCD ");
  EXPECT_EQ(ErrorStrings()->GetString(15502),
            "--------  --------  ------------  --------  ---------");
}

TEST(ErrorStrings, StringManagerTableMatchesItsSource) {
  const auto entries = ReadSource("serial/strings/strmgr.tsv");
  ASSERT_EQ(entries.size(), 5u);
  for (const auto& e : entries)
    EXPECT_EQ(SioResStrings()->GetString(e.Ident), Ascii(e.Text));
  EXPECT_EQ(SioResStrings()->GetString(5), "Invalid string table resource");
}

// Threads start together on a latch, so the globals' first use races too.
TEST(ErrorStrings, LookupsFromSeveralThreadsAtOnce) {
  const auto entries = ReadSource("serial/strings/errors.tsv");
  const std::string a = RegisterTable("1\tfirst table\n"), b = RegisterTable("1\tsecond table\n");
  TSioStringResource shared(MainModule(), a);
  constexpr int Threads = 4;
  std::latch start(Threads + 1);
  std::atomic<int> faults{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < Threads; ++t)
    readers.emplace_back([&] {
      start.arrive_and_wait();
      WCHAR wide[16];
      char ansi[16];
      for (int round = 0; round < 3; ++round)
        for (const auto& e : entries) {
          if (ErrorStrings()->GetString(e.Ident) != Ascii(e.Text)) ++faults;
          ErrorStrings()->GetWideChar(e.Ident, wide, 16);
          if (std::u16string(wide) != e.Text.substr(0, 15)) ++faults;
          ErrorStrings()->GetAsciiZ(e.Ident, ansi, 16);
          if (std::string(ansi) != Ascii(e.Text).substr(0, 15)) ++faults;
          std::string s = shared.GetString(1);
          if (s != "first table" && s != "second table") ++faults;
        }
      try {
        CheckException(nullptr, ecAlreadyOpen);
      } catch (const EAlreadyOpen& e) {
        if (e.Message() != "ie_Open - device already open") ++faults;
      }
    });
  std::thread changer([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 200; ++i)
      shared.ChangeResource(MainModule(), i % 2 ? a : b);
    done = true;
  });
  for (auto& r : readers)
    r.join();
  changer.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(faults.load(), 0);
}

// The trigger machinery's bookkeeping without traffic: the partial match of data triggers,
// handle allocation, argument checks, lookup and removal, save and restore.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "serial/Exceptions.h"
#include "support/Line.h"

using support::TLine;

namespace {

TDataTrigger MakeTrigger(const std::string& pattern, bool ignoreCase = false) {
  TDataTrigger t;
  t.Length = static_cast<unsigned>(pattern.size());
  t.IgnoreCase = ignoreCase;
  for (size_t i = 0; i < pattern.size(); ++i)
    t.Pattern[i] = ignoreCase ? static_cast<char>(std::toupper(pattern[i])) : pattern[i];
  return t;
}

// Stream offsets at whose byte the trigger reports a match.
std::vector<size_t> Fires(TDataTrigger t, const std::string& stream) {
  std::vector<size_t> at;
  for (size_t i = 0; i < stream.size(); ++i)
    if (DataTriggerMatchStep(t, stream[i])) at.push_back(i);
  return at;
}

// Every occurrence that ends earliest and starts after the previous one ended.
std::vector<size_t> Occurrences(const std::string& pattern, const std::string& stream) {
  std::vector<size_t> at;
  size_t free = 0;
  for (size_t end = pattern.size(); end <= stream.size(); ++end) {
    size_t start = end - pattern.size();
    if (start >= free && stream.compare(start, pattern.size(), pattern) == 0) {
      at.push_back(end - 1);
      free = end;
    }
  }
  return at;
}

using V = std::vector<size_t>;

} // namespace

// ---- partial match ----

TEST(TriggerMatch, RepeatedFirstByteFiresOnceAtTheLastByte) {
  EXPECT_EQ(Fires(MakeTrigger("OK"), "OOK"), V{2});
  EXPECT_EQ(Fires(MakeTrigger("aab"), "aaab"), V{3});
  EXPECT_EQ(Fires(MakeTrigger("abab"), "abababab"), (V{3, 7}));
  EXPECT_EQ(Fires(MakeTrigger("aa"), "aaaaa"), (V{1, 3}));
  EXPECT_EQ(Fires(MakeTrigger("abc"), "ababcabx"), V{4});
}

TEST(TriggerMatch, CaseIsIgnoredOnlyWhenAsked) {
  EXPECT_EQ(Fires(MakeTrigger("OK", true), "okOkoKOK"), (V{1, 3, 5, 7}));
  EXPECT_EQ(Fires(MakeTrigger("OK", false), "okOkoKOK"), V{7});
  // Bytes above 0x7F are not letters and match only themselves.
  EXPECT_EQ(Fires(MakeTrigger("\xE9x", true), "\xC9X\xE9X"), V{3});
}

TEST(TriggerMatch, FindsWhatAPlainSearchFindsInRandomStreams) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string alphabet = round % 2 ? "ab" : "abc";
    std::uniform_int_distribution<size_t> len(1, round % 3 == 0 ? 21 : 6);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string pattern(len(rng), ' ');
    for (char& c : pattern)
      c = alphabet[pick(rng)];
    std::string stream(200, ' ');
    for (char& c : stream)
      c = alphabet[pick(rng)];
    // Plant occurrences so that long patterns are met too.
    stream.replace(20, pattern.size(), pattern);
    stream.replace(100, pattern.size(), pattern);
    ASSERT_EQ(Fires(MakeTrigger(pattern), stream), Occurrences(pattern, stream))
        << "pattern " << pattern << " stream " << stream;
  }
}

TEST(TriggerMatch, EmptyPatternNeverFiresAndStrayStateIsHarmless) {
  TDataTrigger none = MakeTrigger("");
  EXPECT_FALSE(DataTriggerMatchStep(none, '\0'));
  TDataTrigger t = MakeTrigger("ab");
  t.Matches[0] = 1000; // beyond the pattern
  t.Matches[1] = 7;
  EXPECT_EQ(Fires(t, "xab"), V{2});
}

// ---- handles ----

TEST(TriggerHandles, CountUpByEightAndStatusHandlesCarryTheirKind) {
  TSioWin32Dispatcher d(nullptr);
  EXPECT_EQ(d.AddTimerTrigger(), 8);
  EXPECT_EQ(d.AddDataTrigger("OK", false), 16);
  EXPECT_EQ(d.AddStatusTrigger(3), 24 | 3);
  EXPECT_EQ(d.AddStatusTrigger(0), 32);
  EXPECT_EQ(d.AddStatusTrigger(5), 40 | 5);
  EXPECT_EQ(d.AddStatusTrigger(6), ecBadArgument);
  EXPECT_EQ(TSioBaseDispatcher::ClassifyStatusTrigger(24 | 3), 3);
  EXPECT_EQ(TSioBaseDispatcher::ClassifyStatusTrigger(45), 5);
  // A refused add uses up no handle.
  EXPECT_EQ(d.AddTimerTrigger(), 48);
}

TEST(TriggerHandles, PastTheCounterTheSmallestFreeHandleIsUsed) {
  TSioWin32Dispatcher d(nullptr);
  for (int i = 1; i < 4096; ++i)
    ASSERT_EQ(d.AddTimerTrigger(), i * 8);
  ASSERT_EQ(d.RemoveTrigger(16), 0);
  ASSERT_EQ(d.RemoveTrigger(800), 0);
  EXPECT_EQ(d.AddDataTrigger("x", false), 16);
  EXPECT_EQ(d.AddStatusTrigger(2), 800 | 2);
  EXPECT_EQ(d.AddTimerTrigger(), 32768);
  // A status trigger's kind bits do not free its handle for another trigger.
  ASSERT_EQ(d.RemoveTrigger(8), 0);
  ASSERT_EQ(d.AddStatusTrigger(1), 8 | 1);
  EXPECT_EQ(d.AddTimerTrigger(), 32776);
}

TEST(TriggerHandles, RunOutAtSixteenBitsWithAClearError) {
  TSioWin32Dispatcher d(nullptr);
  int last = 0;
  for (int i = 0; i < 8191; ++i) {
    last = d.AddTimerTrigger();
    ASSERT_GT(last, 0);
  }
  EXPECT_EQ(last, 0xFFF8);
  EXPECT_EQ(d.AddTimerTrigger(), ecNoMoreTriggerSlots);
  EXPECT_EQ(d.AddDataTrigger("a", false), ecNoMoreTriggerSlots);
  EXPECT_EQ(d.AddStatusTrigger(1), ecNoMoreTriggerSlots);
  ASSERT_EQ(d.RemoveTrigger(4000), 0);
  EXPECT_EQ(d.AddStatusTrigger(4), 4000 | 4);
}

// ---- arguments, lookup, removal ----

TEST(TriggerOperations, DataTriggerLengthAndArguments) {
  TSioWin32Dispatcher d(nullptr);
  std::string bytes(22, 'z');
  EXPECT_EQ(d.AddDataTriggerLen(bytes.data(), false, 22), ecTriggerTooLong);
  EXPECT_EQ(d.AddDataTrigger(bytes.c_str(), false), ecTriggerTooLong);
  int h = d.AddDataTriggerLen(bytes.data(), false, 21);
  EXPECT_EQ(h, 8);
  EXPECT_EQ(d.AddDataTrigger(nullptr, false), ecBadArgument);
  EXPECT_EQ(d.AddDataTriggerLen(nullptr, false, 3), ecBadArgument);
  // Embedded zero bytes count with an explicit length.
  int z = d.AddDataTriggerLen("a\0b", true, 3);
  TTriggerType type;
  TTriggerRecord record;
  ASSERT_EQ(d.FindTriggerFromHandle(static_cast<unsigned>(z), false, type, record), 0);
  ASSERT_EQ(type, ttData);
  const auto& data = std::get<TDataTrigger>(record);
  EXPECT_EQ(data.Length, 3u);
  EXPECT_EQ(std::string(data.Pattern, 3), std::string("A\0B", 3));
  EXPECT_TRUE(data.IgnoreCase);
}

TEST(TriggerOperations, RemoveAndFindByHandle) {
  TSioWin32Dispatcher d(nullptr);
  EXPECT_EQ(d.RemoveTrigger(1), 0);
  EXPECT_EQ(d.RemoveTrigger(2), ecBadTriggerHandle);
  EXPECT_EQ(d.RemoveTrigger(0), ecBadTriggerHandle);
  int timer = d.AddTimerTrigger();
  int status = d.AddStatusTrigger(1);
  int data = d.AddDataTrigger("ab", false);

  TTriggerType type = ttData;
  TTriggerRecord record = TTimerTrigger{};
  EXPECT_EQ(d.FindTriggerFromHandle(1, false, type, record), ecBadTriggerHandle);
  EXPECT_EQ(type, ttNone);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(record));
  ASSERT_EQ(d.FindTriggerFromHandle(static_cast<unsigned>(status), false, type, record), 0);
  EXPECT_EQ(type, ttStatus);
  EXPECT_EQ(std::get<TStatusTrigger>(record).Kind, 1u);
  // The handle without its kind bits names no trigger.
  EXPECT_EQ(d.FindTriggerFromHandle(static_cast<unsigned>(status) & ~7u, false, type, record),
            ecBadTriggerHandle);
  ASSERT_EQ(d.FindTriggerFromHandle(static_cast<unsigned>(timer), true, type, record), 0);
  EXPECT_EQ(type, ttTimer);
  EXPECT_EQ(d.FindTriggerFromHandle(static_cast<unsigned>(timer), false, type, record),
            ecBadTriggerHandle);
  EXPECT_EQ(d.RemoveTrigger(static_cast<unsigned>(data)), 0);
  EXPECT_EQ(d.RemoveTrigger(static_cast<unsigned>(data)), ecBadTriggerHandle);
  EXPECT_EQ(d.RemoveTrigger(static_cast<unsigned>(status)), 0);
}

TEST(TriggerOperations, SettersRefuseTriggersOfAnotherKind) {
  TSioWin32Dispatcher d(nullptr);
  unsigned timer = static_cast<unsigned>(d.AddTimerTrigger());
  unsigned status = static_cast<unsigned>(d.AddStatusTrigger(3));
  unsigned data = static_cast<unsigned>(d.AddDataTrigger("q", false));
  int remaining = -1;
  EXPECT_EQ(d.SetTimerTrigger(status, 5, true), ecBadTriggerHandle);
  EXPECT_EQ(d.SetTimerTrigger(data, 5, true), ecBadTriggerHandle);
  EXPECT_EQ(d.ExtendTimer(status, 5), ecBadTriggerHandle);
  EXPECT_EQ(d.TimerTicksRemaining(data, remaining), ecBadTriggerHandle);
  EXPECT_EQ(remaining, 0);
  EXPECT_EQ(d.SetStatusTrigger(timer, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(d.SetStatusTrigger(data, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(d.SetStatusTrigger(1, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(d.SetTimerTrigger(1, 1, true), ecBadTriggerHandle);
}

TEST(TriggerOperations, TimerIntervalIsKeptAndExtended) {
  TSioWin32Dispatcher d(nullptr);
  unsigned h = static_cast<unsigned>(d.AddTimerTrigger());
  int remaining = -1;
  ASSERT_EQ(d.SetTimerTrigger(h, 1000, true), 0);
  ASSERT_EQ(d.TimerTicksRemaining(h, remaining), 0);
  EXPECT_GE(remaining, 998);
  EXPECT_LE(remaining, 1000);
  // Ticks 0 restarts with the interval kept.
  ASSERT_EQ(d.ExtendTimer(h, 500), 0);
  ASSERT_EQ(d.TimerTicksRemaining(h, remaining), 0);
  EXPECT_GE(remaining, 1498);
  ASSERT_EQ(d.SetTimerTrigger(h, 0, true), 0);
  ASSERT_EQ(d.TimerTicksRemaining(h, remaining), 0);
  EXPECT_GE(remaining, 998);
  EXPECT_LE(remaining, 1000);
  ASSERT_EQ(d.SetTimerTrigger(h, 0, false), 0);
  TTriggerType type;
  TTriggerRecord record;
  ASSERT_EQ(d.FindTriggerFromHandle(h, false, type, record), 0);
  EXPECT_FALSE(std::get<TTimerTrigger>(record).Armed);
  EXPECT_EQ(std::get<TTimerTrigger>(record).Ticks, 1000);
}

TEST(TriggerOperations, StatusValuesByKind) {
  TSioWin32Dispatcher d(nullptr);
  unsigned line = static_cast<unsigned>(d.AddStatusTrigger(2));
  unsigned modem = static_cast<unsigned>(d.AddStatusTrigger(1));
  unsigned used = static_cast<unsigned>(d.AddStatusTrigger(4));
  ASSERT_EQ(d.SetStatusTrigger(line, 1 | 4 | 8, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(modem, 0x1F0, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(used, 0x12345, false), 0);
  TTriggerType type;
  TTriggerRecord record;
  ASSERT_EQ(d.FindTriggerFromHandle(line, false, type, record), 0);
  EXPECT_EQ(std::get<TStatusTrigger>(record).Value, CE_OVERRUN | CE_FRAME | CE_BREAK);
  EXPECT_TRUE(std::get<TStatusTrigger>(record).Armed);
  ASSERT_EQ(d.FindTriggerFromHandle(modem, false, type, record), 0);
  // Mask 0xF0 above the lines seen now (all off on a closed port).
  EXPECT_EQ(std::get<TStatusTrigger>(record).Value, 0xF000);
  // Not activated: nothing is set, and it stays disarmed.
  ASSERT_EQ(d.FindTriggerFromHandle(used, false, type, record), 0);
  EXPECT_EQ(std::get<TStatusTrigger>(record).Value, 0);
  EXPECT_FALSE(std::get<TStatusTrigger>(record).Armed);
}

TEST(TriggerOperations, HandlersRefuseNothingToCall) {
  TSioWin32Dispatcher d(nullptr);
  EXPECT_EQ(d.RegisterWndTriggerHandler(nullptr), ecBadArgument);
  EXPECT_EQ(d.RegisterProcTriggerHandler(nullptr), ecBadArgument);
  EXPECT_EQ(d.RegisterEventTriggerHandler(TSioNotifyEvent{}), ecBadArgument);
  EXPECT_EQ(d.RegisterSyncEventTriggerHandler(TSioNotifyEvent{}), ecBadArgument);
  // Deregistering what was never registered is harmless.
  EXPECT_EQ(d.DeregisterProcTriggerHandler([](UINT, WPARAM, LPARAM) {}), 0);
}

// ---- save and restore ----

TEST(TriggerSave, TriggersTravelAcrossAReopenWithTheirHandles) {
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  ASSERT_EQ(d.ChangeLengthTrigger(7), 0);
  unsigned timer = static_cast<unsigned>(d.AddTimerTrigger());
  unsigned data = static_cast<unsigned>(d.AddDataTrigger("END", true));
  unsigned status = static_cast<unsigned>(d.AddStatusTrigger(4));
  ASSERT_EQ(d.SetTimerTrigger(timer, 5000, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(status, 3, true), 0);

  TTriggerSave save;
  save.TimerTriggers.push_back(std::make_unique<TTimerTrigger>()); // an earlier save's copy
  ASSERT_EQ(d.SaveTriggers(save), 0);
  EXPECT_EQ(save.TriggerLength, 7u);
  EXPECT_EQ(save.TimerTriggers.size(), 1u);
  EXPECT_EQ(save.DataTriggers.size(), 1u);
  EXPECT_EQ(save.StatusTriggers.size(), 1u);

  d.DonePort();
  ASSERT_EQ(line.Open(), 0);
  TTriggerType type;
  TTriggerRecord record;
  EXPECT_EQ(d.FindTriggerFromHandle(timer, false, type, record), ecBadTriggerHandle);

  ASSERT_EQ(d.RestoreTriggers(save), 0);
  ASSERT_EQ(d.FindTriggerFromHandle(timer, false, type, record), 0);
  EXPECT_TRUE(std::get<TTimerTrigger>(record).Armed);
  EXPECT_EQ(std::get<TTimerTrigger>(record).Ticks, 5000);
  ASSERT_EQ(d.FindTriggerFromHandle(data, false, type, record), 0);
  EXPECT_EQ(std::string(std::get<TDataTrigger>(record).Pattern, 3), "END");
  ASSERT_EQ(d.FindTriggerFromHandle(status, false, type, record), 0);
  EXPECT_EQ(std::get<TStatusTrigger>(record).Value, 3);
  // The reopened port counts from 1 again, past the restored handles.
  int fresh = d.AddTimerTrigger();
  EXPECT_GT(fresh, 0);
  EXPECT_NE(static_cast<unsigned>(fresh), timer);
  EXPECT_NE(static_cast<unsigned>(fresh), data);
  EXPECT_NE(static_cast<unsigned>(fresh), status & ~7u);

  // Restoring is a copy: the save record stays until it is cleared.
  EXPECT_EQ(save.DataTriggers.size(), 1u);
  ASSERT_EQ(d.ClearSaveBuffers(save), 0);
  EXPECT_TRUE(save.TimerTriggers.empty());
  EXPECT_TRUE(save.DataTriggers.empty());
  EXPECT_TRUE(save.StatusTriggers.empty());
  EXPECT_EQ(d.RemoveTrigger(data), 0);
}

// ---- dispatch log and trace hooks ----

namespace {
struct TLogSeen {
  std::vector<TSioDispatchEntry> Entries;
  std::string Traced;
};
void CollectEntry(void* context, const TSioDispatchEntry& entry) {
  static_cast<TLogSeen*>(context)->Entries.push_back(entry);
}
void CollectTrace(void* context, char kind, const char* bytes, unsigned len) {
  for (unsigned i = 0; i < len; ++i) {
    static_cast<TLogSeen*>(context)->Traced += kind;
    static_cast<TLogSeen*>(context)->Traced += bytes[i];
  }
}
} // namespace

TEST(TriggerLog, SinksSeeTriggerOperationsAndTracedBytes) {
  TLogSeen seen;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  d.SetDispatchLogSink(&CollectEntry, &seen);
  d.SetTraceSink(&CollectTrace, &seen);
  unsigned h = static_cast<unsigned>(d.AddDataTrigger("ab", false));
  ASSERT_EQ(d.RemoveTrigger(h), 0);
  ASSERT_EQ(d.RegisterProcTriggerHandler([](UINT, WPARAM, LPARAM) {}), 0);
  ASSERT_EQ(d.PutString("hi"), 0);
  ASSERT_EQ(line.Peer.ReadString(2), "hi");
  ASSERT_TRUE(line.Peer.Write("k"));
  ASSERT_TRUE(support::WaitForReceived(d, 1));
  char c = 0;
  ASSERT_EQ(d.GetChar(c), 0);
  d.SetDispatchLogSink(nullptr, nullptr);
  d.SetTraceSink(nullptr, nullptr);
  ASSERT_GE(seen.Entries.size(), 3u);
  EXPECT_EQ(seen.Entries[0].Type, dtTriggerAlloc);
  EXPECT_EQ(seen.Entries[0].SubType, dstDataTrigger);
  EXPECT_EQ(seen.Entries[0].Data, h);
  EXPECT_EQ(seen.Entries[0].OtherData, 2u);
  EXPECT_EQ(seen.Entries[1].Type, dtTriggerDispose);
  EXPECT_EQ(seen.Entries[1].Data, h);
  EXPECT_EQ(seen.Entries[2].Type, dtTriggerHandlerAlloc);
  EXPECT_EQ(seen.Entries[2].SubType, dstProcHandler);
  EXPECT_EQ(seen.Traced, "ThTiRk");
  // Switched off, nothing more arrives.
  size_t entries = seen.Entries.size();
  d.AddTimerTrigger();
  EXPECT_EQ(seen.Entries.size(), entries);
}

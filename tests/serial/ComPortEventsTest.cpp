// The port component's notification window and handlers, the deferred close, the trace and
// dispatch-log files, and the string waits, over real pseudo-terminals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "ComPortTestSupport.h"
#include "serial/Exceptions.h"
#include "serial/Timers.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using ::testing::HasSubstr;
using ::testing::Not;

using comporttest::TPortLine;
using support::ReadLines;
using support::TPty;
using support::TTempDir;
using triggertest::PumpUntil;

namespace {

std::vector<std::string> gShown;
void CaptureShown(const std::string& message) {
  gShown.push_back(message);
}

} // namespace

// ---- handlers through the window ----

TEST(ComPortEvents, DataTriggersFireOnASplitStream) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  std::vector<WORD> data;
  std::vector<WORD> messages;
  c.SetOnTriggerData([&](TObject* cp, WORD h) {
    EXPECT_EQ(cp, &c);
    data.push_back(h);
  });
  c.SetOnTrigger([&](TObject*, WORD msg, WORD, WORD) { messages.push_back(msg); });
  WORD ok = c.AddDataTrigger("OK", true);
  WORD end = c.AddDataTrigger("\r\n", false);
  ASSERT_TRUE(line.Peer.Write("xxo"));
  ASSERT_TRUE(line.WaitReceived(3));
  // Several cycles with half a pattern in the ring: nothing fires.
  EXPECT_FALSE(PumpUntil([&] { return !data.empty(); }, 200));
  ASSERT_TRUE(line.Peer.Write("k\r"));
  ASSERT_TRUE(PumpUntil([&] { return data.size() >= 1; }));
  ASSERT_TRUE(line.Peer.Write("\nOOK\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return data.size() >= 4; }));
  EXPECT_EQ(data, (std::vector<WORD>{ok, end, ok, end}));
  EXPECT_NE(std::find(messages.begin(), messages.end(), SioTriggerData), messages.end());
}

namespace {
struct TReader {
  TSioBaseDispatcher* D;
  std::string Seen;
};
void ReadThree(void* object, UINT msg, WPARAM, LPARAM) {
  if (msg != SioTriggerAvail) return;
  auto* r = static_cast<TReader*>(object);
  char b[3];
  if (r->D->GetBlock(b, 3) == 3) r->Seen.assign(b, 3);
}
} // namespace

TEST(ComPortEvents, AvailHandlersReadTheSameBytes) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  c.SetTriggerLength(5);
  TReader other{c.GetDispatcher(), {}};
  std::string seen;
  WORD announced = 0;
  c.SetOnTriggerAvail([&](TObject*, WORD count) {
    announced = count;
    char b[3];
    if (c.GetBlock(b, 3) == 3) seen.assign(b, 3);
  });
  ASSERT_EQ(c.GetDispatcher()->RegisterEventTriggerHandler({&ReadThree, &other}), 0);
  ASSERT_TRUE(line.Peer.Write("abcde"));
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  ASSERT_TRUE(PumpUntil([&] { return !c.GetDispatcher()->Notifying(); }));
  EXPECT_EQ(announced, 5);
  EXPECT_EQ(other.Seen, "abc");
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(c.GetInBuffUsed(), 2);
  EXPECT_EQ(c.GetChar(), 'd');
}

TEST(ComPortEvents, ExceptionsFromHandlersStayInTheWindowProcedure) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  int calls = 0;
  c.SetOnTriggerAvail([&](TObject*, WORD) {
    ++calls;
    c.GetChar();
    throw std::runtime_error("handler failed");
  });
  gShown.clear();
  SetSioExceptionDisplay(&CaptureShown);
  ASSERT_TRUE(line.Peer.Write("a"));
  EXPECT_NO_THROW(EXPECT_TRUE(PumpUntil([&] { return calls >= 1; })));
  ASSERT_TRUE(line.Peer.Write("b"));
  EXPECT_NO_THROW(EXPECT_TRUE(PumpUntil([&] { return calls >= 2; })));
  SetSioExceptionDisplay(nullptr);
  ASSERT_GE(gShown.size(), 2u);
  EXPECT_EQ(gShown[0], "handler failed");
  EXPECT_TRUE(c.Open());
}

TEST(ComPortEvents, HandlerFlagFollowsTheHandlers) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  // No handler: the window is not told, and the bytes stay for the reader.
  ASSERT_TRUE(line.Peer.Write("q"));
  ASSERT_TRUE(line.WaitReceived(1));
  int calls = 0;
  EXPECT_FALSE(PumpUntil([&] { return calls > 0; }, 150));
  c.SetOnTriggerAvail([&](TObject*, WORD) { ++calls; });
  ASSERT_TRUE(line.Peer.Write("r"));
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  c.SetOnTriggerAvail(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !c.GetDispatcher()->Notifying(); }));
  int before = calls;
  ASSERT_TRUE(line.Peer.Write("s"));
  ASSERT_TRUE(line.WaitReceived(3));
  EXPECT_FALSE(PumpUntil([&] { return calls > before; }, 150));
}

TEST(ComPortEvents, TimerAndStatusTriggersReachTheirHandlers) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  std::vector<WORD> timers;
  int outFree = 0;
  std::vector<WORD> statuses;
  c.SetOnTriggerTimer([&](TObject*, WORD h) { timers.push_back(h); });
  c.SetOnTriggerStatus([&](TObject*, WORD h) { statuses.push_back(h); });
  c.SetOnTriggerOutbuffFree([&](TObject*) { ++outFree; });
  WORD timer = c.AddTimerTrigger();
  c.SetTimerTrigger(timer, 1, true);
  ASSERT_TRUE(PumpUntil([&] { return !timers.empty(); }));
  EXPECT_EQ(timers[0], timer);
  WORD status = c.AddStatusTrigger(stOutBuffFree);
  EXPECT_EQ(status & 7, stOutBuffFree);
  c.SetStatusTrigger(status, 100, true);
  ASSERT_TRUE(PumpUntil([&] { return outFree > 0; }));
  EXPECT_EQ(statuses[0], status);
  EXPECT_THROW(c.SetTimerTrigger(status, 1, true), EBadTriggerHandle);
  c.RemoveTrigger(timer);
  EXPECT_THROW(c.SetTimerTrigger(timer, 1, true), EBadTriggerHandle);
  EXPECT_THROW(c.AddDataTrigger(std::string(22, 'x'), false), ETriggerTooLong);
  c.RemoveAllTriggers();
  EXPECT_EQ(c.TriggerLength(), 0);
  EXPECT_THROW(c.SetStatusTrigger(status, 1, true), EBadTriggerHandle);
}

// ---- the deferred close ----

TEST(ComPortClose, ACloseAskedForInAHandlerIsDeferredAndCompletes) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  TPortState inHandler = psOpen;
  bool openInHandler = true;
  int calls = 0;
  int closing = 0;
  c.OnPortClosing = [&](TObject*) { ++closing; };
  c.SetOnTriggerAvail([&](TObject*, WORD) {
    ++calls;
    c.SetOpen(false);
    inHandler = c.PortState();
    openInHandler = c.Open();
    // The gates: data operations do nothing while the close completes.
    EXPECT_FALSE(c.CharReady());
    EXPECT_EQ(c.GetChar(), 0);
    EXPECT_EQ(c.PutBlock("x", 1), 0);
  });
  ASSERT_TRUE(line.Peer.Write("z"));
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  EXPECT_EQ(inHandler, psShuttingDown);
  EXPECT_FALSE(openInHandler);
  EXPECT_EQ(closing, 1);
  ASSERT_TRUE(PumpUntil([&] { return c.PortState() == psClosed; }));
  EXPECT_EQ(c.GetDispatcher(), nullptr);
  EXPECT_EQ(c.WindowHandle(), nullptr);
  EXPECT_EQ(calls, 1);
  // The device is free again.
  c.SetOpen(true);
  EXPECT_TRUE(c.Open());
}

TEST(ComPortClose, OpenWhileShuttingDownReopensAfterwards) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  WORD handle = c.AddDataTrigger("!", false);
  HWND firstWnd = c.WindowHandle();
  int opened = 0;
  c.OnPortOpened = [&](TObject*) { ++opened; };
  bool once = false;
  c.SetOnTriggerAvail([&](TObject*, WORD) {
    if (once) return;
    once = true;
    c.SetOpen(false);
    c.SetOpen(true);
    EXPECT_FALSE(c.Open());
    EXPECT_EQ(c.PortState(), psShuttingDown);
  });
  ASSERT_TRUE(line.Peer.Write("a"));
  ASSERT_TRUE(PumpUntil([&] { return once && c.PortState() == psOpen; }));
  EXPECT_TRUE(c.Open());
  EXPECT_EQ(opened, 1);
  // A new window for the new dispatcher (the allocator may hand out the old address again).
  EXPECT_NE(c.WindowHandle(), firstWnd);
  EXPECT_FALSE(IsWindow(firstWnd));
  std::vector<WORD> data;
  c.SetOnTriggerData([&](TObject*, WORD h) { data.push_back(h); });
  ASSERT_TRUE(line.Peer.Write("!"));
  ASSERT_TRUE(PumpUntil([&] { return !data.empty(); }));
  EXPECT_EQ(data[0], handle);
}

TEST(ComPortClose, DestroyingTheComponentInsideADeferredCloseFinishesIt) {
  int threads = support::BaselineThreadCount();
  {
    TPortLine line;
    TSioComPort& c = line.Comp;
    c.SetOpen(true);
    bool asked = false;
    c.SetOnTriggerAvail([&](TObject*, WORD) {
      asked = true;
      c.SetOpen(false);
    });
    ASSERT_TRUE(line.Peer.Write("a"));
    ASSERT_TRUE(PumpUntil([&] { return asked; }));
    // Destroyed before the close-pending message has been handled.
  }
  EXPECT_TRUE(support::WaitUntil([&] { return support::ThreadCount() <= threads; }));
  // The message that is still queued must find nothing.
  EXPECT_TRUE(PumpUntil([] { return true; }));
}

// ---- trace and dispatch log ----

TEST(ComPortTrace, StatesOnAClosedPortAndDumpWithNothingTraced) {
  TTempDir dir;
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetTraceName(dir.File("closed.trc"));
  c.SetTracing(tlDump);
  EXPECT_EQ(c.Tracing(), tlOff);
  c.SetTracing(tlPause);
  EXPECT_EQ(c.Tracing(), tlOff);
  c.SetTracing(tlOn);
  EXPECT_EQ(c.Tracing(), tlOn);
  c.SetTracing(tlOff);
  c.SetOpen(true);
  c.SetTracing(tlDump); // tracing off: nothing is written
  EXPECT_EQ(c.Tracing(), tlOff);
  EXPECT_FALSE(FileExists(c.TraceName()));
}

TEST(ComPortTrace, DumpAndAppendWriteOneEntryALine) {
  TTempDir dir;
  TPortLine line;
  TSioComPort& c = line.Comp;
  std::string file = dir.File("link.trc");
  c.SetTraceName(file);
  c.SetTraceHex(false);
  c.SetOpen(true);
  c.SetTracing(tlOn);
  EXPECT_EQ(c.Tracing(), tlOn);
  c.PutString("AT\r");
  ASSERT_EQ(line.Peer.ReadString(3), "AT\r");
  ASSERT_TRUE(line.Peer.Write("OK"));
  ASSERT_TRUE(line.WaitReceived(2));
  EXPECT_EQ(c.GetChar(), 'O');
  EXPECT_EQ(c.GetChar(), 'K');
  c.SetTracing(tlPause);
  c.PutString("lost"); // paused: not traced
  c.SetTracing(tlOn);
  EXPECT_EQ(c.Tracing(), tlOn);
  c.SetTracing(tlDump);
  EXPECT_EQ(c.Tracing(), tlOff);
  std::vector<std::string> lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_THAT(lines[0], HasSubstr(" T 41 54 0D  \"AT\\x0D\"")) << lines[0];
  EXPECT_THAT(lines[1], HasSubstr(" R 4F  \"O\"")) << lines[1];
  EXPECT_THAT(lines[2], HasSubstr(" R 4B  \"K\"")) << lines[2];
  // Times in ms, ascending.
  EXPECT_LE(std::stoul(lines[0]), std::stoul(lines[2]));

  c.SetTraceHex(true);
  c.SetTracing(tlOn);
  c.PutChar('Z');
  c.SetTracing(tlAppend);
  lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[3], HasSubstr(" T 5A"));
  EXPECT_THAT(lines[3], Not(HasSubstr("\""))); // hex only
  // tlDump replaces the file.
  c.SetTracing(tlOn);
  c.PutChar('Y');
  c.SetTracing(tlDump);
  lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr(" T 59"));
}

TEST(ComPortTrace, TheTraceKeepsTheNewestBytesOfItsSize) {
  TTempDir dir;
  TPortLine line;
  TSioComPort& c = line.Comp;
  std::string file = dir.File("small.trc");
  c.SetTraceName(file);
  c.SetOpen(true);
  c.InitTracing(4);
  EXPECT_EQ(c.TraceSize(), 4u);
  c.PutString("abc");
  c.PutString("def");
  c.DumpTrace(file, true);
  std::vector<std::string> lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr(" T 63")) << lines[0];
  EXPECT_THAT(lines[1], HasSubstr(" T 64 65 66")) << lines[1];
}

TEST(ComPortTrace, ClosingWritesAnActiveTraceAndLog) {
  TTempDir dir;
  TPortLine line;
  TSioComPort& c = line.Comp;
  std::string trace = dir.File("close.trc");
  std::string log = dir.File("close.log");
  c.SetTraceName(trace);
  c.SetLogName(log);
  c.SetLogHex(false);
  c.SetOpen(true);
  c.SetTracing(tlOn);
  c.SetLogging(tlOn);
  c.AddStringToLog("marker");
  c.PutString("Q");
  WORD handle = c.AddTimerTrigger();
  c.SetOpen(false);
  EXPECT_EQ(c.Tracing(), tlOff);
  EXPECT_EQ(c.Logging(), tlOff);
  std::vector<std::string> traced = ReadLines(trace);
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_THAT(traced[0], HasSubstr(" T 51"));
  std::vector<std::string> logged = ReadLines(log);
  ASSERT_GE(logged.size(), 2u);
  EXPECT_THAT(logged[0], HasSubstr("Text 6D 61 72 6B 65 72  \"marker\"")) << logged[0];
  bool alloc = false;
  for (const std::string& l : logged)
    if (l.find("TriggerAlloc") != std::string::npos &&
        l.find(Format("(%u,", static_cast<unsigned>(handle))) != std::string::npos)
      alloc = true;
  EXPECT_TRUE(alloc) << "no allocation entry for the timer trigger";
}

// ---- string waits ----

TEST(ComPortWaits, WaitForStringConsumesUpToTheMatch) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  std::string shown;
  c.OnWaitChar = [&](TObject*, char ch) { shown += ch; };
  EXPECT_TRUE(c.WaitForString("", 1, false, false));
  ASSERT_TRUE(line.Peer.Write("xxokay"));
  EXPECT_TRUE(c.WaitForString("OK", 100, false, true));
  EXPECT_EQ(shown, "xxok");
  EXPECT_EQ(c.GetChar(), 'a');
  // Nothing more comes: the wait ends at its time-out.
  DWORD start = SioTimeGetTime();
  EXPECT_FALSE(c.WaitForString("never", 3, true, false));
  DWORD took = SioTimeGetTime() - start;
  EXPECT_GE(took, 100u);
  EXPECT_LT(took, 2000u);
  EXPECT_FALSE(c.GetDispatcher()->Notifying());
}

TEST(ComPortWaits, WaitForMultiStringTellsWhichAlternativeCame) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  c.PrepareWait();
  ASSERT_TRUE(line.Peer.Write("..ERROR"));
  EXPECT_EQ(c.WaitForMultiString("OK|ERROR|BUSY", 100, true, false, '|'), 2);
  EXPECT_FALSE(c.GetDispatcher()->Notifying());
  ASSERT_TRUE(line.Peer.Write("busy"));
  EXPECT_EQ(c.WaitForMultiString("OK|ERROR|BUSY", 100, false, true, '|'), 3);
  EXPECT_EQ(c.WaitForMultiString("OK|ERROR", 2, false, false, '|'), 0);
}

TEST(ComPortWaits, CheckForStringRestartsOnTheFirstCharacter) {
  BYTE pos = 0;
  std::string seen;
  int hits = 0;
  for (char ch : std::string("aabxabab"))
    if (TSioCustomComPort::CheckForString(pos, ch, "ab", false)) ++hits;
  EXPECT_EQ(hits, 3);
  pos = 0;
  EXPECT_FALSE(TSioCustomComPort::CheckForString(pos, 'o', "OK", false));
  EXPECT_FALSE(TSioCustomComPort::CheckForString(pos, 'o', "OK", true));
  EXPECT_EQ(pos, 1);
  EXPECT_TRUE(TSioCustomComPort::CheckForString(pos, 'k', "OK", true));
  EXPECT_EQ(pos, 0);
  EXPECT_FALSE(TSioCustomComPort::CheckForString(pos, 'x', "", false));
}

TEST(ComPortWaits, AWaitKeepsTriggersFromTheBytes) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  int avail = 0;
  c.SetOnTriggerAvail([&](TObject*, WORD) { ++avail; });
  // The bytes come once the wait holds the triggers: written before, an avail notification
  // could be on its way already, and that one the wait cannot take back.
  TSioBaseDispatcher* d = c.GetDispatcher();
  ASSERT_NE(d, nullptr);
  std::thread writer([&] {
    if (support::WaitUntil([&] { return d->Notifying(); })) {
      EXPECT_TRUE(line.Peer.Write("hello"));
    }
  });
  EXPECT_TRUE(c.WaitForString("llo", 10000, false, false));
  writer.join();
  EXPECT_EQ(avail, 0);
  EXPECT_FALSE(PumpUntil([&] { return avail > 0; }, 100));
}

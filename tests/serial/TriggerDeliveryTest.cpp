// Triggers firing on an open port over a real pseudo-terminal, and their delivery to method,
// procedure, synchronised and window handlers.
#include <gtest/gtest.h>

#include <optional>

#include <stdexcept>
#include <string>
#include <thread>

#include "ProbeDispatcher.h"
#include "TriggerTestSupport.h"
#include "serial/Exceptions.h"
#include "support/Line.h"

using support::TLine;
using support::TPty;
using support::WaitForReceived;
using support::WaitUntil;
using triggertest::MakeRecordingWindow;
using triggertest::Method;
using triggertest::ProcRecorder;
using triggertest::PumpUntil;
using triggertest::RecordProc;
using triggertest::TNote;
using triggertest::TRecorder;

namespace {

std::string Block(TSioBaseDispatcher& d, unsigned len) {
  std::string s(len, '\0');
  return d.GetBlock(s.data(), len) == static_cast<int>(len) ? s : std::string("<empty>");
}

// Most tests start with a recorder registered as the event handler of a dispatcher opened on
// a fresh line.
class TriggerDelivery : public ::testing::Test {
protected:
  void OpenRecorded(int baud = 115200, unsigned inSize = 4096, unsigned outSize = 4096) {
    FLine.emplace();
    ASSERT_EQ(FLine->Open(baud, inSize, outSize), 0);
    ASSERT_EQ(FLine->Disp->RegisterEventTriggerHandler(Method(FRec)), 0);
  }
  TRecorder FRec; // outlives the line, whose threads call it
  std::optional<TLine<>> FLine;
};

} // namespace

// ---- what is delivered, and to whom ----

TEST_F(TriggerDelivery, ALoneWindowWithoutPortHandlerIsNotToldAndTheBytesStay) {
  TRecorder window;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  HWND wnd = MakeRecordingWindow(window);
  ASSERT_NE(wnd, nullptr);
  ASSERT_EQ(d.RegisterWndTriggerHandler(wnd), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  ASSERT_TRUE(line.Peer.Write("abc"));
  ASSERT_TRUE(WaitForReceived(d, 3));
  // Several dispatch cycles go by; nothing may reach the window.
  EXPECT_FALSE(PumpUntil([&] { return window.Count() > 0; }, 300));
  EXPECT_EQ(d.InBuffUsed(), 3u);

  // With the port handler installed the window is told of the next byte.
  d.UpdateHandlerFlags(fuEnablePort);
  ASSERT_TRUE(line.Peer.Write("d"));
  ASSERT_TRUE(PumpUntil([&] { return window.Count() > 0; }));
  TNote n = window.Notes()[0];
  EXPECT_EQ(n.Msg, SioTriggerAvail);
  EXPECT_EQ(n.WParam, 4u);
  EXPECT_EQ(n.Port(), d.Handle());
  EXPECT_EQ(n.Data(), 0u);
  EXPECT_EQ(n.Thread, GetCurrentThreadId());
  EXPECT_EQ(d.InBuffUsed(), 4u);
  EXPECT_EQ(d.DeregisterWndTriggerHandler(wnd), 0);
  DestroyWindow(wnd);
}

TEST_F(TriggerDelivery, DataTriggerFiresAcrossASplitStreamAndAgainWithoutRearming) {
  ASSERT_NO_FATAL_FAILURE(OpenRecorded());
  TSioBaseDispatcher& d = *FLine->Disp;
  int h = d.AddDataTrigger("HELLO", false);
  ASSERT_GT(h, 0);
  ASSERT_TRUE(FLine->Peer.Write("xxHEL"));
  ASSERT_TRUE(WaitForReceived(d, 5));
  ASSERT_TRUE(FLine->Peer.Write("LOyyHELLO"));
  ASSERT_TRUE(FRec.WaitCount(2, SioTriggerData));
  for (const TNote& n : FRec.Notes()) {
    EXPECT_EQ(n.Msg, SioTriggerData); // no trigger length: no avail notification
    EXPECT_EQ(n.WParam, static_cast<WPARAM>(h));
    EXPECT_EQ(n.Data(), 5u);
    EXPECT_EQ(n.Port(), d.Handle());
  }
  // Nothing was read by the notifications.
  EXPECT_EQ(d.InBuffUsed(), 14u);
}

TEST_F(TriggerDelivery, IgnoreCaseFiresOnceForEachOccurrence) {
  ASSERT_NO_FATAL_FAILURE(OpenRecorded());
  TSioBaseDispatcher& d = *FLine->Disp;
  int ok = d.AddDataTrigger("OK", true);
  int exact = d.AddDataTrigger("Ok", false);
  int mark = d.AddDataTrigger("#", false);
  ASSERT_TRUE(FLine->Peer.Write("ok Ok OOK oOK #"));
  // The marker comes last in the stream, so every earlier notification has been sent.
  ASSERT_TRUE(FRec.WaitCount(1, SioTriggerData));
  ASSERT_TRUE(WaitUntil([&] {
    auto notes = FRec.Notes();
    return !notes.empty() && notes.back().WParam == static_cast<WPARAM>(mark);
  }));
  size_t okCount = 0, exactCount = 0;
  for (const TNote& n : FRec.Notes()) {
    okCount += n.WParam == static_cast<WPARAM>(ok);
    exactCount += n.WParam == static_cast<WPARAM>(exact);
  }
  EXPECT_EQ(okCount, 4u);
  EXPECT_EQ(exactCount, 1u);
}

TEST_F(TriggerDelivery, AvailBeforeAStringAnnouncesTheBytesInFrontOfIt) {
  ASSERT_NO_FATAL_FAILURE(OpenRecorded());
  TSioBaseDispatcher& d = *FLine->Disp;
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  int h = d.AddDataTrigger("OK", false);
  ASSERT_TRUE(FLine->Peer.Write("abOK"));
  ASSERT_TRUE(WaitUntil([&] {
    auto notes = FRec.Notes();
    return !notes.empty() && notes.back().Msg == SioTriggerAvail && notes.back().WParam == 4;
  }));
  std::vector<TNote> notes = FRec.Notes();
  ASSERT_GE(notes.size(), 3u);
  // The two bytes before "OK", then the string itself, then all four.
  const TNote* tail = &notes[notes.size() - 3];
  EXPECT_EQ(tail[0].Msg, SioTriggerAvail);
  EXPECT_EQ(tail[0].WParam, 2u);
  EXPECT_EQ(tail[1].Msg, SioTriggerData);
  EXPECT_EQ(tail[1].WParam, static_cast<WPARAM>(h));
  EXPECT_EQ(tail[1].Data(), 2u);
}

TEST_F(TriggerDelivery, TwoHandlersReadTheSameBytesAndOnlyTheFurthestReadIsConsumed) {
  TRecorder first, second;
  std::string readFirst, readSecond;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  first.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    if (msg == SioTriggerAvail) readFirst = Block(d, 3);
  };
  second.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    if (msg == SioTriggerAvail) readSecond = Block(d, 3);
  };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<1>(first)), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<2>(second)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(5), 0);
  ASSERT_TRUE(line.Peer.Write("abcde"));
  ASSERT_TRUE(second.WaitCount(1));
  ASSERT_TRUE(WaitUntil([&] { return d.InBuffUsed() == 2; }));
  EXPECT_EQ(first.Notes()[0].WParam, 5u);
  EXPECT_EQ(readFirst, "abc");
  EXPECT_EQ(readSecond, "abc");
  char c = 0;
  ASSERT_EQ(d.GetChar(c), 0);
  EXPECT_EQ(c, 'd');
  // Outside a delivery reads consume again.
  EXPECT_EQ(d.InBuffUsed(), 1u);
  EXPECT_EQ(first.Count(), 1u);
}

TEST_F(TriggerDelivery, AReaderOnAnotherThreadNeverGetsAByteTwiceDuringADelivery) {
  // Each handler looks ahead from the start of the announced bytes; a thread outside the
  // handlers reads on from where it stood, whichever handler is running.
  TRecorder first, second;
  std::atomic<int> turn{0};
  auto takeTurn = [&](int mine) {
    turn = mine;
    WaitUntil([&] { return turn.load() == mine + 1; });
  };
  first.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    if (msg == SioTriggerAvail) takeTurn(1);
  };
  second.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    if (msg == SioTriggerAvail) takeTurn(3);
  };
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<1>(first)), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<2>(second)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(3), 0);
  ASSERT_TRUE(line.Peer.Write("abc"));
  std::string got;
  for (int mine : {1, 3}) {
    ASSERT_TRUE(WaitUntil([&] { return turn.load() == mine; }));
    char c = 0;
    EXPECT_EQ(d.GetChar(c), 0);
    got += c;
    turn = mine + 1;
  }
  ASSERT_TRUE(second.WaitCount(1));
  ASSERT_TRUE(WaitUntil([&] { return !d.Notifying(); }));
  EXPECT_EQ(got, "ab");
  // What that thread took is gone with the delivery; the rest is still to be read.
  EXPECT_EQ(Block(d, d.InBuffUsed()), "c");
}

TEST_F(TriggerDelivery, AHandlerDeregisteredInItsOwnCallIsNotCalledAgain) {
  TRecorder self, other, proc;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  ProcRecorder<1>() = &proc;
  self.OnNote = [&](UINT, WPARAM, LPARAM) {
    EXPECT_EQ(d.DeregisterEventTriggerHandler(Method<1>(self)), 0);
    EXPECT_EQ(d.DeregisterProcTriggerHandler(&RecordProc<1>), 0);
  };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<1>(self)), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<2>(other)), 0);
  ASSERT_EQ(d.RegisterProcTriggerHandler(&RecordProc<1>), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  ASSERT_TRUE(line.Peer.Write("x"));
  ASSERT_TRUE(other.WaitCount(1));
  // Marked during the delivery, the procedure is not called in it either.
  EXPECT_EQ(proc.Count(), 0u);
  ASSERT_EQ(d.GetChar(*std::string(1, ' ').data()), 0);
  ASSERT_TRUE(line.Peer.Write("y"));
  ASSERT_TRUE(other.WaitCount(2));
  EXPECT_EQ(self.Count(), 1u);
  EXPECT_EQ(proc.Count(), 0u);
  ProcRecorder<1>() = nullptr;
}

TEST_F(TriggerDelivery, ProcedureHandlersComeAfterMethodsAndBeforeWindows) {
  TRecorder all;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  ProcRecorder<2>() = &all;
  HWND wnd = MakeRecordingWindow(all);
  ASSERT_EQ(d.RegisterWndTriggerHandler(wnd), 0);
  ASSERT_EQ(d.RegisterProcTriggerHandler(&RecordProc<2>), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(all)), 0);
  d.UpdateHandlerFlags(fuEnablePort);
  ASSERT_GT(d.AddDataTrigger("!", false), 0);
  ASSERT_TRUE(line.Peer.Write("!"));
  ASSERT_TRUE(PumpUntil([&] { return all.Count() >= 3; }));
  std::vector<TNote> notes = all.Notes();
  EXPECT_EQ(notes[0].Wnd, nullptr);
  EXPECT_NE(notes[0].Thread, GetCurrentThreadId()); // the method, on the dispatch thread
  EXPECT_EQ(notes[1].Wnd, nullptr);
  EXPECT_EQ(notes[2].Wnd, wnd);
  EXPECT_EQ(notes[2].Thread, GetCurrentThreadId());
  ProcRecorder<2>() = nullptr;
  d.DeregisterWndTriggerHandler(wnd);
  DestroyWindow(wnd);
}

TEST_F(TriggerDelivery, AWindowThatDoesNotAnswerIsGivenUpAfterThreeSeconds) {
  TRecorder deaf, live, proc;
  std::atomic<HWND> deafWnd{nullptr};
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  std::thread owner([&] {
    deafWnd = MakeRecordingWindow(deaf);
    WaitForSingleObject(release, 20000); // never pumps meanwhile
  });
  ASSERT_TRUE(WaitUntil([&] { return deafWnd.load() != nullptr; }));
  HWND liveWnd = MakeRecordingWindow(live);
  ProcRecorder<3>() = &proc;
  ASSERT_EQ(d.RegisterWndTriggerHandler(deafWnd), 0);
  ASSERT_EQ(d.RegisterWndTriggerHandler(liveWnd), 0);
  ASSERT_EQ(d.RegisterProcTriggerHandler(&RecordProc<3>), 0);
  ASSERT_GT(d.AddDataTrigger("?", false), 0);
  ASSERT_TRUE(line.Peer.Write("?"));
  ASSERT_TRUE(PumpUntil([&] { return live.Count() > 0; }, 10000));
  long long waited = live.Notes()[0].At - proc.Notes()[0].At;
  EXPECT_GE(waited, 2950);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(deaf.Count(), 0u);
  SetEvent(release);
  owner.join();
  CloseHandle(release);
  ProcRecorder<3>() = nullptr;
  d.DeregisterWndTriggerHandler(liveWnd);
  DestroyWindow(liveWnd);
}

TEST_F(TriggerDelivery, SynchronisedMethodRunsOnTheMainThreadWhileItPumps) {
  ASSERT_EQ(GetCurrentThreadId(), MainThreadID());
  TRecorder sync, plain;
  std::string seen;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  sync.OnNote = [&](UINT, WPARAM, LPARAM) { seen = Block(d, 2); };
  ASSERT_EQ(d.RegisterSyncEventTriggerHandler(Method<1>(sync)), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<2>(plain)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(2), 0);
  ASSERT_TRUE(line.Peer.Write("s1"));
  ASSERT_TRUE(PumpUntil([&] { return plain.Count() > 0; }));
  EXPECT_EQ(sync.Notes()[0].Thread, MainThreadID());
  EXPECT_NE(plain.Notes()[0].Thread, MainThreadID());
  // The dispatch thread waited for the main thread: the plain handler came after it.
  EXPECT_LE(sync.Notes()[0].At, plain.Notes()[0].At);
  EXPECT_EQ(seen, "s1");
  EXPECT_TRUE(WaitUntil([&] { return d.InBuffUsed() == 0; }));
}

// ---- timers and status ----

TEST_F(TriggerDelivery, TimerFiresOnTheDispatchCycleAndOnlyOncePerArming) {
  ASSERT_NO_FATAL_FAILURE(OpenRecorded());
  TSioBaseDispatcher& d = *FLine->Disp;
  unsigned h = static_cast<unsigned>(d.AddTimerTrigger());
  unsigned sentinel = static_cast<unsigned>(d.AddTimerTrigger());
  long long start = support::NowMs();
  ASSERT_EQ(d.SetTimerTrigger(h, 2, true), 0);
  ASSERT_TRUE(FRec.WaitCount(1, SioTriggerTimer, 5000));
  long long elapsed = FRec.Notes()[0].At - start;
  // Two ticks of 55 ms, counted from a tick already begun, plus at most one 50 ms cycle.
  EXPECT_GE(elapsed, 55);
  EXPECT_LE(elapsed, 110 + 55 + 50 + 150);
  EXPECT_EQ(FRec.Notes()[0].WParam, h);
  EXPECT_EQ(FRec.Notes()[0].Port(), d.Handle());
  int remaining = -1;
  EXPECT_EQ(d.TimerTicksRemaining(h, remaining), 0);
  EXPECT_EQ(remaining, 0);

  // Several cycles later (the sentinel) it has not fired again.
  ASSERT_EQ(d.SetTimerTrigger(sentinel, 3, true), 0);
  ASSERT_TRUE(FRec.WaitCount(2, SioTriggerTimer, 5000));
  EXPECT_EQ(FRec.Notes()[1].WParam, sentinel);
  // Armed again with the interval it kept.
  ASSERT_EQ(d.SetTimerTrigger(h, 0, true), 0);
  ASSERT_TRUE(FRec.WaitCount(3, SioTriggerTimer, 5000));
  EXPECT_EQ(FRec.Notes()[2].WParam, h);
  EXPECT_EQ(FRec.Count(), 3u);
}

TEST_F(TriggerDelivery, OutputFreeStatusFiresOnceWithTheFreeCount) {
  ASSERT_NO_FATAL_FAILURE(OpenRecorded(115200, 4096, 4096));
  TSioBaseDispatcher& d = *FLine->Disp;
  unsigned h = static_cast<unsigned>(d.AddStatusTrigger(3));
  ASSERT_EQ(h & 7, 3u);
  ASSERT_EQ(d.SetStatusTrigger(h, 100, true), 0);
  ASSERT_TRUE(FRec.WaitCount(1, SioTriggerStatus));
  TNote n = FRec.Notes()[0];
  EXPECT_EQ(n.WParam, h);
  EXPECT_EQ(n.Data(), 4096u);
  EXPECT_EQ(n.Port(), d.Handle());
  unsigned sentinel = static_cast<unsigned>(d.AddTimerTrigger());
  ASSERT_EQ(d.SetTimerTrigger(sentinel, 2, true), 0);
  ASSERT_TRUE(FRec.WaitCount(1, SioTriggerTimer, 5000));
  EXPECT_EQ(FRec.Count(SioTriggerStatus), 1u);
  ASSERT_EQ(d.SetStatusTrigger(h, 100, true), 0);
  ASSERT_TRUE(FRec.WaitCount(2, SioTriggerStatus));
  // More free room than asked for never fires.
  ASSERT_EQ(d.SetStatusTrigger(h, 5000, true), 0);
  ASSERT_EQ(d.SetTimerTrigger(sentinel, 2, true), 0);
  ASSERT_TRUE(FRec.WaitCount(2, SioTriggerTimer, 5000));
  EXPECT_EQ(FRec.Count(SioTriggerStatus), 2u);
}

TEST_F(TriggerDelivery, OutputSentLineErrorAndOutputUsedStatus) {
  TRecorder rec;
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  TProbeDispatcher& d = *line.Disp;
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(rec)), 0);
  unsigned sent = static_cast<unsigned>(d.AddStatusTrigger(5));
  unsigned error = static_cast<unsigned>(d.AddStatusTrigger(2));
  unsigned used = static_cast<unsigned>(d.AddStatusTrigger(4));
  unsigned never = static_cast<unsigned>(d.AddStatusTrigger(0));
  ASSERT_EQ(d.SetStatusTrigger(never, 0xFFFF, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(error, 4, true), 0); // framing errors only
  ASSERT_EQ(d.PutString("ping"), 0);
  ASSERT_EQ(line.Peer.ReadString(4), "ping");
  ASSERT_TRUE(rec.WaitCount(1, SioTriggerStatus));
  EXPECT_EQ(rec.Notes()[0].WParam, sent);
  d.SetLineErrors(CE_OVERRUN);
  ASSERT_EQ(d.SetStatusTrigger(used, 10, true), 0);
  ASSERT_TRUE(rec.WaitCount(2, SioTriggerStatus));
  EXPECT_EQ(rec.Notes()[1].WParam, used);
  EXPECT_EQ(rec.Notes()[1].Data(), 0u);
  d.SetLineErrors(CE_FRAME);
  ASSERT_TRUE(rec.WaitCount(3, SioTriggerStatus));
  EXPECT_EQ(rec.Notes()[2].WParam, error);
  for (const TNote& n : rec.Notes())
    EXPECT_NE(n.WParam, never);
}

// ---- handlers acting on the port ----

TEST_F(TriggerDelivery, ACloseAskedForInAHandlerWaitsForTheDeliveryAndEndsIt) {
  TRecorder closer, after;
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  closer.OnNote = [&](UINT, WPARAM, LPARAM) {
    d.DonePort();
    // Still inside the delivery: the threads are running.
    EXPECT_TRUE(d.Started());
  };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<1>(closer)), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method<2>(after)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  ASSERT_GT(d.AddDataTrigger("z", false), 0);
  ASSERT_TRUE(line.Peer.Write("z"));
  ASSERT_TRUE(closer.WaitCount(1));
  ASSERT_TRUE(WaitUntil([&] { return !d.Started(); }));
  EXPECT_LT(d.ComHandle(), 0);
  EXPECT_EQ(closer.Count(), 1u);
  EXPECT_EQ(after.Count(), 0u);
  EXPECT_FALSE(d.Notifying());
}

// Moves received bytes itself while the dispatch thread is held in a handler.
class TMoveProbe : public TSioWin32Dispatcher {
public:
  using TSioBaseDispatcher::MoveReceivedBytes;
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TMoveProbe() override { CloseForDestruction(); }
};

// Holds the dispatch thread in a timer notification while the test moves bytes in, so that
// the next evaluation meets them all at once.
class THold {
public:
  THold() : FRelease(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~THold() {
    SetEvent(FRelease);
    CloseHandle(FRelease);
  }
  THold(const THold&) = delete;
  THold& operator=(const THold&) = delete;
  // Call from the recorder's OnNote.
  void OnNote(UINT msg) {
    if (msg != SioTriggerTimer) return;
    FHolding = true;
    WaitForSingleObject(FRelease, 10000);
  }
  // Holds the thread, lets the peer send `bytes`, moves them into the ring, lets go.
  bool MoveIn(TLine<TMoveProbe>& line, const std::string& bytes) {
    TMoveProbe& d = *line.Disp;
    unsigned before = d.InBuffUsed();
    unsigned timer = static_cast<unsigned>(d.AddTimerTrigger());
    if (d.SetTimerTrigger(timer, 1, true) != 0 || !WaitUntil([&] { return FHolding.load(); }))
      return false;
    std::thread writer([&] { EXPECT_TRUE(line.Peer.Write(bytes)); });
    bool moved = WaitUntil([&] {
      d.MoveReceivedBytes();
      return d.InBuffUsed() == before + bytes.size();
    });
    writer.join();
    SetEvent(FRelease);
    return moved;
  }

private:
  HANDLE FRelease;
  std::atomic<bool> FHolding{false};
};

TEST_F(TriggerDelivery, AWholeRingOfNewBytesIsScannedAndAnnounced) {
  TRecorder rec;
  THold hold;
  TLine<TMoveProbe> line;
  ASSERT_EQ(line.Open(115200, 16384, 4096), 0);
  TMoveProbe& d = *line.Disp;
  rec.OnNote = [&](UINT msg, WPARAM, LPARAM) { hold.OnNote(msg); };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(rec)), 0);
  // Read, write and scan positions all at 100.
  ASSERT_TRUE(line.Peer.Write(std::string(100, '.')));
  ASSERT_TRUE(WaitForReceived(d, 100));
  std::string skip(100, '\0');
  ASSERT_EQ(d.GetBlock(skip.data(), 100), 100);
  int h = d.AddDataTrigger("END", false);
  ASSERT_EQ(d.ChangeLengthTrigger(8192), 0);
  // The write position comes round to where the scan stands.
  std::string full(8192, '-');
  full.replace(4000, 3, "END");
  ASSERT_TRUE(hold.MoveIn(line, full));
  ASSERT_TRUE(rec.WaitCount(1, SioTriggerData));
  ASSERT_TRUE(rec.WaitCount(1, SioTriggerAvail));
  for (const TNote& n : rec.Notes()) {
    if (n.Msg == SioTriggerData) {
      EXPECT_EQ(n.WParam, static_cast<WPARAM>(h));
    }
    if (n.Msg == SioTriggerAvail) {
      EXPECT_EQ(n.WParam, 8192u);
    }
  }
}

TEST_F(TriggerDelivery, AFlushInsideAnAvailDiscardsAllAndTheFlushedStringNeverFires) {
  TRecorder rec;
  THold hold;
  std::atomic<bool> flushed{false};
  TLine<TMoveProbe> line;
  ASSERT_EQ(line.Open(), 0);
  TMoveProbe& d = *line.Disp;
  rec.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    hold.OnNote(msg);
    if (msg == SioTriggerAvail && !flushed.exchange(true)) d.FlushInBuffer();
  };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(rec)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  int zz = d.AddDataTrigger("ZZ", false);
  int mark = d.AddDataTrigger("#", false);
  // The first "ZZ" announces the two bytes before it; the flush takes all eight.
  ASSERT_TRUE(hold.MoveIn(line, "abZZcdZZ"));
  ASSERT_TRUE(rec.WaitCount(1, SioTriggerAvail));
  ASSERT_TRUE(WaitUntil([&] { return d.InBuffUsed() == 0; }));
  ASSERT_TRUE(line.Peer.Write("Z#"));
  ASSERT_TRUE(rec.WaitCount(1, SioTriggerData));
  for (const TNote& n : rec.Notes()) {
    if (n.Msg != SioTriggerData) continue;
    EXPECT_NE(n.WParam, static_cast<WPARAM>(zz)) << "fired on flushed bytes";
    EXPECT_EQ(n.WParam, static_cast<WPARAM>(mark));
  }
  EXPECT_EQ(rec.Notes()[1].WParam, 2u);
  char c = 0;
  ASSERT_EQ(d.GetChar(c), 0);
  EXPECT_EQ(c, 'Z');
}

TEST_F(TriggerDelivery, AFlushFromAnotherThreadDuringAnAvailLeavesNothingToRead) {
  // A doubled answer "AB" is announced; while the handler is held, another thread flushes:
  // neither that thread nor the handler may read the flushed bytes, and after the delivery
  // only a byte that came later is there.
  TRecorder rec;
  THold hold;
  TLine<TMoveProbe> line;
  ASSERT_EQ(line.Open(), 0);
  TMoveProbe& d = *line.Disp;
  std::atomic<bool> inAvail{false}, flushed{false};
  std::atomic<int> handlerRead{2}; // 2: not yet, 1: CharReady, else GetChar's result
  rec.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    hold.OnNote(msg);
    if (msg != SioTriggerAvail || inAvail.exchange(true)) return;
    if (!WaitUntil([&] { return flushed.load(); })) return;
    char c = 0;
    handlerRead = d.CharReady() ? 1 : d.GetChar(c);
  };
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(rec)), 0);
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  ASSERT_TRUE(hold.MoveIn(line, "AB"));
  ASSERT_TRUE(WaitUntil([&] { return inAvail.load(); }));
  ASSERT_EQ(d.FlushInBuffer(), 0);
  char c = 0;
  EXPECT_FALSE(d.CharReady());
  EXPECT_EQ(d.GetChar(c), ecBufferIsEmpty) << "read '" << c << "' after the flush";
  EXPECT_EQ(d.InBuffUsed(), 0u);
  flushed = true;
  ASSERT_TRUE(WaitUntil([&] { return handlerRead.load() != 2 && !d.Notifying(); }));
  EXPECT_EQ(handlerRead.load(), ecBufferIsEmpty);
  ASSERT_TRUE(line.Peer.Write("C"));
  ASSERT_TRUE(WaitForReceived(d, 1));
  EXPECT_EQ(d.InBuffUsed(), 1u);
  ASSERT_EQ(d.GetChar(c), 0);
  EXPECT_EQ(c, 'C');
}

namespace {
std::atomic<int> gThreadExceptions{0};
void CountThreadException(const std::string& message) {
  if (message == "handler failed") ++gThreadExceptions;
}
} // namespace

TEST_F(TriggerDelivery, AHandlerThatThrowsEndsTheDispatchLoopAndLeavesTheMachineryUsable) {
  TRecorder rec;
  std::atomic<bool> thrown{false};
  rec.OnNote = [&](UINT msg, WPARAM, LPARAM) {
    if (msg == SioTriggerTimer && !thrown.exchange(true))
      throw std::runtime_error("handler failed");
  };
  gThreadExceptions = 0;
  SetSioThreadExceptionHandler(&CountThreadException);
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  TSioBaseDispatcher& d = *line.Disp;
  ASSERT_EQ(d.RegisterEventTriggerHandler(Method(rec)), 0);
  unsigned h = static_cast<unsigned>(d.AddTimerTrigger());
  ASSERT_EQ(d.SetTimerTrigger(h, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return gThreadExceptions.load() == 1; }));
  EXPECT_FALSE(d.Notifying());
  // Nobody evaluates any more, but an evaluation asked for still runs and delivers.
  ASSERT_EQ(d.SetTimerTrigger(h, 1, true), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.CheckTriggers(); }));
  EXPECT_EQ(rec.Count(SioTriggerTimer), 2u);
  EXPECT_EQ(rec.Notes()[1].Thread, GetCurrentThreadId());
  d.DonePort();
  EXPECT_FALSE(d.Started());
  SetSioThreadExceptionHandler(nullptr);
}

// Triggers firing while another thread keeps adding and removing triggers and handlers: no
// byte may be lost or read twice, every string must be reported once, and (under
// ThreadSanitizer) nothing may race.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "TriggerTestSupport.h"
#include "serial/Exceptions.h"
#include "support/Line.h"

using support::TLine;
using triggertest::Method;
using triggertest::ProcRecorder;
using triggertest::PumpUntil;
using triggertest::RecordProc;
using triggertest::TRecorder;

namespace {

// Touched by the dispatch thread only (and read once it is quiet).
struct TReaders {
  std::string Consumed;
  std::string Delivery;
  std::atomic<int> Mismatches{0};
  std::atomic<int> BadData{0};
  std::atomic<size_t> Strings{0};
  std::atomic<size_t> ConsumedCount{0};
  std::atomic<size_t> Timers{0};
  std::atomic<size_t> Status{0};
  std::atomic<size_t> Synced{0};
  unsigned StringHandle = 0;
  TSioBaseDispatcher* Disp = nullptr;
};
TReaders* gReaders = nullptr;

// The first handler takes what an avail announces; the second must see the same bytes.
void FirstReader(void*, UINT msg, WPARAM wParam, LPARAM lParam) {
  TReaders& r = *gReaders;
  if (msg == SioTriggerAvail) {
    std::string block(wParam, '\0');
    if (r.Disp->InBuffUsed() < wParam || r.Disp->GetBlock(block.data(), wParam) != int(wParam))
      ++r.Mismatches;
    r.Delivery = block;
  } else if (msg == SioTriggerData) {
    unsigned expected = wParam == r.StringHandle ? 3 : 2;
    if ((lParam & 0xFFFF) != expected || (lParam >> 16) != r.Disp->Handle()) ++r.BadData;
    if (wParam == r.StringHandle) ++r.Strings;
  } else if (msg == SioTriggerTimer) {
    ++r.Timers;
    // Handlers may change triggers: this one replaces the timer that fired.
    r.Disp->RemoveTrigger(static_cast<unsigned>(wParam));
    int h = r.Disp->AddTimerTrigger();
    if (h > 0) r.Disp->SetTimerTrigger(static_cast<unsigned>(h), 1, true);
  } else if (msg == SioTriggerStatus) {
    ++r.Status;
  }
}

void SecondReader(void*, UINT msg, WPARAM wParam, LPARAM) {
  TReaders& r = *gReaders;
  if (msg != SioTriggerAvail) return;
  std::string block(wParam, '\0');
  if (r.Disp->GetBlock(block.data(), wParam) != int(wParam) || block != r.Delivery) ++r.Mismatches;
  r.Consumed += block;
  r.ConsumedCount = r.Consumed.size();
}

void SyncCounter(void*, UINT, WPARAM, LPARAM) {
  if (GetCurrentThreadId() == MainThreadID()) ++gReaders->Synced;
}

std::string Stream(size_t blocks) {
  std::string s;
  for (size_t i = 0; i < blocks; ++i) {
    s += "ABC";
    s += static_cast<char>(i * 37 + 1);
  }
  return s;
}

} // namespace

TEST(TriggerStress, ChangesFromAnotherThreadWhileDataStreamsAndTriggersFire) {
  TReaders readers;
  TRecorder extra;
  std::atomic<bool> stop{false};
  TLine<> line;
  ASSERT_EQ(line.Open(115200, 16384, 4096), 0);
  TSioBaseDispatcher& d = *line.Disp;
  readers.Disp = &d;
  gReaders = &readers;
  ProcRecorder<5>() = &extra;

  ASSERT_EQ(d.RegisterEventTriggerHandler({&FirstReader, nullptr}), 0);
  ASSERT_EQ(d.RegisterEventTriggerHandler({&SecondReader, nullptr}), 0);
  readers.StringHandle = static_cast<unsigned>(d.AddDataTrigger("ABC", false));
  ASSERT_EQ(d.ChangeLengthTrigger(1), 0);
  int timer = d.AddTimerTrigger();
  ASSERT_EQ(d.SetTimerTrigger(static_cast<unsigned>(timer), 1, true), 0);

  const size_t blocks = 20000;
  const std::string stream = Stream(blocks);
  std::thread mutator([&] {
    std::mt19937 rng(11);
    int status = d.AddStatusTrigger(3);
    std::vector<unsigned> data;
    int handlers = 0;
    bool synced = false;
    while (!stop.load()) {
      switch (rng() % 8) {
      case 0:
        if (data.size() < 20)
          if (int h = d.AddDataTrigger("CA", false); h > 0)
            data.push_back(static_cast<unsigned>(h));
        break;
      case 1:
        if (!data.empty()) {
          EXPECT_EQ(d.RemoveTrigger(data.back()), 0);
          data.pop_back();
        }
        break;
      case 2:
        if (handlers < 3) {
          d.RegisterProcTriggerHandler(&RecordProc<5>);
          d.RegisterEventTriggerHandler(Method<7>(extra));
          ++handlers;
        }
        break;
      case 3:
        if (handlers > 0) {
          d.DeregisterProcTriggerHandler(&RecordProc<5>);
          d.DeregisterEventTriggerHandler(Method<7>(extra));
          --handlers;
        }
        break;
      case 4:
        d.SetStatusTrigger(static_cast<unsigned>(status), 0, true);
        break;
      case 5:
        if (!synced)
          d.RegisterSyncEventTriggerHandler({&SyncCounter, nullptr});
        else
          d.DeregisterEventTriggerHandler({&SyncCounter, nullptr});
        synced = !synced;
        break;
      case 6: {
        TTriggerSave save;
        d.SaveTriggers(save);
        d.ClearSaveBuffers(save);
        break;
      }
      default:
        d.CharReady();
        d.InBuffUsed();
        break;
      }
      std::this_thread::yield();
    }
    if (synced) d.DeregisterEventTriggerHandler({&SyncCounter, nullptr});
    for (unsigned h : data)
      EXPECT_EQ(d.RemoveTrigger(h), 0);
  });
  // Every kind of notification must have come while the stream flows, however fast the
  // machine: the writer holds back the second half until each has been seen once.
  auto allKindsSeen = [&] {
    return readers.Timers.load() > 0 && readers.Status.load() > 0 && extra.Count() > 0 &&
           readers.Synced.load() > 0;
  };
  std::atomic<bool> seenMidStream{false};
  std::thread writer([&] {
    std::mt19937 rng(5);
    bool held = false;
    for (size_t at = 0; at < stream.size();) {
      if (!held && at >= stream.size() / 2) {
        held = true;
        seenMidStream = support::WaitUntil(allKindsSeen, 30000);
      }
      size_t n = std::min<size_t>(stream.size() - at, 1 + rng() % 300);
      EXPECT_TRUE(line.Peer.Write(stream.data() + at, n));
      at += n;
    }
  });

  // The main thread pumps, so that synchronised handlers can run.
  bool all = PumpUntil([&] { return readers.ConsumedCount.load() >= stream.size(); }, 60000);
  bool strings = PumpUntil([&] { return readers.Strings.load() >= blocks; }, 10000);
  stop = true;
  writer.join();
  // The mutator never waits for the dispatch thread, so the main thread may stop pumping.
  mutator.join();
  d.DeregisterEventTriggerHandler({&FirstReader, nullptr});
  d.DeregisterEventTriggerHandler({&SecondReader, nullptr});
  EXPECT_TRUE(all);
  EXPECT_TRUE(strings);
  EXPECT_EQ(readers.Consumed, stream);
  EXPECT_EQ(readers.Strings.load(), blocks);
  EXPECT_EQ(readers.Mismatches.load(), 0);
  EXPECT_EQ(readers.BadData.load(), 0);
  EXPECT_TRUE(seenMidStream.load())
      << "timers " << readers.Timers.load() << ", status " << readers.Status.load() << ", extra "
      << extra.Count() << ", synchronised " << readers.Synced.load();
  EXPECT_GT(readers.Timers.load(), 0u);
  EXPECT_GT(readers.Status.load(), 0u);
  EXPECT_GT(extra.Count(), 0u);
  EXPECT_GT(readers.Synced.load(), 0u);
  line.Disp.reset();
  ProcRecorder<5>() = nullptr;
  gReaders = nullptr;
}

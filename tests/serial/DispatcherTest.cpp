// The dispatcher's rings, line settings and flow control on a real pseudo-terminal, with the
// test playing the device at the master side.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ProbeDispatcher.h"
#include "serial/Exceptions.h"
#include "support/Line.h"

using support::TLine;
using support::TPty;
using support::WaitForReceived;
using support::WaitUntil;

namespace {

const char XON = 0x11;
const char XOFF = 0x13;

std::string Pattern(size_t len, unsigned seed = 1) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i)
    s[i] = static_cast<char>((i * 7 + seed + (i >> 8)) & 0xFF);
  return s;
}

DCB DriverState(TSioBaseDispatcher& d) {
  DCB dcb{};
  EXPECT_EQ(d.GetComState(dcb), 0);
  return dcb;
}

// Stops our output as a device does: XOFF from the far end, taken by the driver (IXON).
// The marker that follows it proves the driver has seen the XOFF before the test goes on.
void StopOutput(TLine<TProbeDispatcher>& line) {
  ASSERT_EQ(line.Disp->SWFlowEnable(3072, 1024, 1), 0);
  ASSERT_TRUE(line.Peer.Write(std::string{XOFF, 'M'}));
  ASSERT_TRUE(WaitForReceived(*line.Disp, 1));
  char c = 0;
  ASSERT_EQ(line.Disp->GetChar(c), 0);
  ASSERT_EQ(c, 'M');
}

// Receiving looks into the rings through the probe.
class DispatcherReceive : public support::TOpenLineTest<TProbeDispatcher> {};
class DispatcherFlow : public support::TOpenLineTest<> {};

} // namespace

// ---- receiving ----

TEST_F(DispatcherReceive, EmptyRingHasNothingToTake) {
  char c = 'x';
  char block[4] = {};
  EXPECT_FALSE(FLine.Disp->CharReady());
  EXPECT_EQ(FLine.Disp->GetChar(c), ecBufferIsEmpty);
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(FLine.Disp->PeekChar(c, 1), ecBufferIsEmpty);
  EXPECT_EQ(FLine.Disp->GetBlock(block, 1), ecBufferIsEmpty);
  EXPECT_EQ(FLine.Disp->GetBlock(block, 0), 0);
  EXPECT_EQ(FLine.Disp->PeekBlock(block, 0), 0);
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 0u);
  EXPECT_EQ(FLine.Disp->InBuffFree(), 8192u);
}

TEST_F(DispatcherReceive, PeekAndGetTakeExactlyWhatIsHeld) {
  ASSERT_TRUE(FLine.Peer.Write("abcdefghi"));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 9));
  char c = 0;
  EXPECT_EQ(FLine.Disp->PeekChar(c, 1), 0);
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(FLine.Disp->PeekChar(c, 9), 0);
  EXPECT_EQ(c, 'i');
  EXPECT_EQ(FLine.Disp->PeekChar(c, 10), ecBufferIsEmpty);
  EXPECT_EQ(FLine.Disp->PeekChar(c, 0), ecBadArgument);

  char block[16] = {};
  EXPECT_EQ(FLine.Disp->GetBlock(block, 10), ecBufferIsEmpty);
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 9u) << "a failed GetBlock takes nothing";
  EXPECT_EQ(FLine.Disp->PeekBlock(block, 3), 3);
  EXPECT_EQ(std::string(block, 3), "abc");
  EXPECT_EQ(FLine.Disp->GetChar(c), 0);
  EXPECT_EQ(c, 'a');
  EXPECT_EQ(FLine.Disp->GetBlock(block, 8), 8);
  EXPECT_EQ(std::string(block, 8), "bcdefghi");
  EXPECT_FALSE(FLine.Disp->CharReady());
  EXPECT_EQ(FLine.Disp->GetBlock(nullptr, 1), ecBadArgument);
}

TEST_F(DispatcherReceive, FullRingLeavesTheRestInTheDriverUntilRoomIsMade) {
  const std::string sent = Pattern(9000);
  ASSERT_TRUE(FLine.Peer.Write(sent));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 8192));
  EXPECT_TRUE(FLine.Disp->CharReady());
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 8192u);
  EXPECT_EQ(FLine.Disp->InBuffFree(), 0u);
  // The rest waits in the driver's queue.
  auto inDriver = [&] {
    COMSTAT st;
    FLine.Disp->RefreshStatus(&st);
    return st.cbInQue;
  };
  ASSERT_TRUE(WaitUntil([&] { return inDriver() == 9000 - 8192; }));

  std::string got(9000, '\0');
  ASSERT_EQ(FLine.Disp->GetChar(got[0]), 0);
  ASSERT_TRUE(WaitUntil([&] { return inDriver() == 9000 - 8193; }));
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 8192u) << "one byte of room takes one more byte";
  ASSERT_EQ(FLine.Disp->GetBlock(&got[1], 8192), 8192);
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 9000 - 8193));
  ASSERT_EQ(FLine.Disp->GetBlock(&got[8193], 9000 - 8193), 9000 - 8193);
  EXPECT_EQ(got, sent);
}

TEST_F(DispatcherReceive, TakingFromAFullRingRefillsItWithoutWaitingForTheCycle) {
  const std::string sent = Pattern(4 << 20, 9);
  std::thread far([&] { FLine.Peer.Write(sent, 60000); });
  std::string got;
  got.reserve(sent.size());
  std::string buf(8192, '\0');
  long long start = support::NowMs();
  int refills = 0, cycleWaits = 0;
  while (got.size() < sent.size() && support::NowMs() - start < 60000) {
    // The reader is slower than the line: the ring is full each time it comes.
    long long asked = support::NowMs();
    if (!WaitForReceived(*FLine.Disp,
                         static_cast<unsigned>(std::min<size_t>(8192, sent.size() - got.size())),
                         5000))
      break;
    ++refills;
    if (support::NowMs() - asked >= 30) ++cycleWaits;
    unsigned n = FLine.Disp->InBuffUsed();
    ASSERT_EQ(FLine.Disp->GetBlock(buf.data(), n), static_cast<int>(n));
    got.append(buf.data(), n);
  }
  far.join();
  EXPECT_TRUE(got == sent);
  // Refilled only at the dispatch thread's 50 ms cycle, nearly every refill would wait for
  // it; counting those waits, not the whole time, keeps a loaded machine from failing this.
  EXPECT_LT(cycleWaits, refills / 4) << refills << " refills";
}

TEST_F(DispatcherReceive, FlushInBufferDropsWhatWasReceived) {
  ASSERT_TRUE(FLine.Peer.Write(Pattern(100)));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 100));
  EXPECT_EQ(FLine.Disp->FlushInBuffer(), 0);
  EXPECT_FALSE(FLine.Disp->CharReady());
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 0u);
  ASSERT_TRUE(FLine.Peer.Write("Z"));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 1));
  char c = 0;
  EXPECT_EQ(FLine.Disp->GetChar(c), 0);
  EXPECT_EQ(c, 'Z');
  EXPECT_FALSE(FLine.Disp->CharReady());
}

TEST_F(DispatcherReceive, ReadsDuringAnAvailNotificationOnlyLookAhead) {
  ASSERT_TRUE(FLine.Peer.Write("12345"));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 5));
  FLine.Disp->SetAvailNotification(true);
  char c = 0;
  EXPECT_EQ(FLine.Disp->GetChar(c), 0);
  EXPECT_EQ(c, '1');
  EXPECT_EQ(FLine.Disp->GetChar(c), 0);
  EXPECT_EQ(c, '2');
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 3u);
  EXPECT_EQ(FLine.Disp->InBuffFree(), 8192u - 3u);
  EXPECT_EQ(FLine.Disp->PeekChar(c, 1), 0);
  EXPECT_EQ(c, '3');
  char block[8] = {};
  EXPECT_EQ(FLine.Disp->GetBlock(block, 4), ecBufferIsEmpty);
  EXPECT_EQ(FLine.Disp->GetBlock(block, 3), 3);
  EXPECT_EQ(std::string(block, 3), "345");
  EXPECT_FALSE(FLine.Disp->CharReady());
  EXPECT_EQ(FLine.Disp->GetChar(c), ecBufferIsEmpty);
  FLine.Disp->SetAvailNotification(false);
  // Nothing was consumed by the reads themselves.
  EXPECT_EQ(FLine.Disp->InBuffUsed(), 5u);
  EXPECT_EQ(FLine.Disp->GetBlock(block, 5), 5);
  EXPECT_EQ(std::string(block, 5), "12345");
}

namespace {
struct TNotifyCount {
  std::atomic<int> Calls{0};
  std::atomic<unsigned> SeenUsed{0};
};
void CountNotify(void* context, TSioBaseDispatcher* d) {
  auto* n = static_cast<TNotifyCount*>(context);
  n->SeenUsed = d->InBuffUsed();
  ++n->Calls;
}
} // namespace

TEST_F(DispatcherReceive, ArrivalSetsTheReceiveEventAndCallsTheNotification) {
  TNotifyCount count;
  FLine.Disp->SetReceiveNotify(CountNotify, &count);
  EXPECT_EQ(WaitForSingleObject(FLine.Disp->ReceiveEvent(), 120), WAIT_TIMEOUT)
      << "nothing has arrived";
  ASSERT_TRUE(FLine.Peer.Write("x"));
  EXPECT_EQ(WaitForSingleObject(FLine.Disp->ReceiveEvent(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(FLine.Disp->CharReady()) << "the byte is in the ring when the event is set";
  EXPECT_GE(count.Calls.load(), 1);
  EXPECT_EQ(count.SeenUsed.load(), 1u);
  FLine.Disp->SetReceiveNotify(nullptr, nullptr);
  int before = count.Calls.load();
  ASSERT_TRUE(FLine.Peer.Write("y"));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 2));
  EXPECT_EQ(count.Calls.load(), before);
}

// ---- transmitting ----

TEST(DispatcherTransmit, PutBlockQueuesAllOrNothing) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(115200, 4096, 1000), 0);
  EXPECT_EQ(line.Disp->PutBlock("x", 0), 0);
  EXPECT_EQ(line.Disp->PutBlock(nullptr, 0), 0);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 0u);
  EXPECT_EQ(line.Disp->PutBlock(Pattern(1001).data(), 1001), ecOutputBufferTooSmall);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 0u);

  StopOutput(line);
  const std::string block = Pattern(1000, 3);
  EXPECT_EQ(line.Disp->PutBlock(block.data(), 1000), 0);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 1000u);
  EXPECT_EQ(line.Disp->OutBuffFree(), 0u);
  EXPECT_EQ(line.Disp->PutChar('y'), ecOutputBufferTooSmall);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 1000u);

  ASSERT_TRUE(line.Peer.Write(std::string{XON}));
  EXPECT_EQ(line.Peer.ReadString(1000), block);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->OutBuffFree() == 1000; }));
  EXPECT_EQ(line.Disp->PutString("done"), 0);
  EXPECT_EQ(line.Peer.ReadString(4), "done");
}

TEST(DispatcherTransmit, PendingBytesThatWrapLeaveInOrder) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(115200, 4096, 100), 0);
  // Wrapped: from 70 to the end, then from the start to 30.
  std::string wrapped = Pattern(60, 5);
  line.Disp->PresetTx(70, wrapped);
  EXPECT_EQ(line.Peer.ReadString(60), wrapped);
  // Ending exactly at the ring's end (write position 0).
  std::string tail = Pattern(60, 6);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->OutBuffUsed() == 0; }));
  line.Disp->PresetTx(40, tail);
  EXPECT_EQ(line.Peer.ReadString(60), tail);
  // A full ring whose bytes start mid-way.
  std::string full = Pattern(100, 7);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->OutBuffUsed() == 0; }));
  line.Disp->PresetTx(50, full);
  EXPECT_EQ(line.Peer.ReadString(100), full);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->OutBuffUsed() == 0; }));
  EXPECT_EQ(line.Peer.ReadAvailable(50), "") << "nothing sent twice";
}

TEST(DispatcherTransmit, FlushOutBufferDuringAPendingWriteEmptiesTheRing) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  StopOutput(line);
  ASSERT_EQ(line.Disp->PutBlock(Pattern(300).data(), 300), 0);
  // The driver reports an XOFF hold while our write waits in it.
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->SWFlowState() == 6; }));
  EXPECT_EQ(line.Disp->FlushOutBuffer(), 0);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 0u);
  EXPECT_EQ(line.Disp->SWFlowState(), 2) << "no write is left in the driver";

  ASSERT_TRUE(line.Peer.Write(std::string{XON}));
  EXPECT_EQ(line.Disp->PutChar('Z'), 0);
  EXPECT_EQ(line.Peer.ReadString(1), "Z");
  EXPECT_EQ(line.Peer.ReadAvailable(100), "") << "the flushed bytes never go out";
}

// ---- line settings ----

TEST(DispatcherLine, SetLineWithTheValuesInForceReturnsAtOnce) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  StopOutput(line);
  ASSERT_EQ(line.Disp->PutBlock("pending", 7), 0);
  long long start = support::NowMs();
  EXPECT_EQ(line.Disp->SetLine(115200, 0, 8, 1), 0);
  EXPECT_EQ(line.Disp->SetLine(0, 5, 9, 3), 0);
  EXPECT_LT(support::NowMs() - start, 1000) << "no wait for the stopped transmit ring";
  EXPECT_EQ(line.Disp->OutBuffUsed(), 7u);
  EXPECT_EQ(line.Disp->FlushOutBuffer(), 0);
}

TEST(DispatcherLine, ChangingTheSpeedWaitsForTheRingToDrainThenEighteenCharacters) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(9600), 0);
  // 9600 bit/s, 8N1: (10,000,000 / 9600) x 10 x 18 = 187,380 units of 0.1 us, so 19 ms.
  long long start = support::NowMs();
  EXPECT_EQ(line.Disp->ChangeBaud(19200), 0);
  EXPECT_GE(support::NowMs() - start, 19);
  EXPECT_EQ(line.Disp->ChangeBaud(9600), 0);

  StopOutput(line);
  ASSERT_EQ(line.Disp->PutBlock("abc", 3), 0);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    EXPECT_EQ(line.Disp->SetLine(19200, 5, 9, 3), 0);
    done = true;
  });
  EXPECT_EQ(line.Peer.ReadAvailable(150), "");
  EXPECT_FALSE(done.load()) << "the ring has not drained";
  ASSERT_TRUE(line.Peer.Write(std::string{XON}));
  EXPECT_EQ(line.Peer.ReadString(3), "abc");
  changer.join();
  int baud = 0;
  unsigned short parity = 9;
  signed char dataBits = 0, stopBits = 0;
  EXPECT_EQ(line.Disp->GetLine(baud, parity, dataBits, stopBits), 0);
  EXPECT_EQ(baud, 19200);
  EXPECT_EQ(parity, 0);
  EXPECT_EQ(dataBits, 8);
  EXPECT_EQ(stopBits, 1);
}

TEST(DispatcherLine, StopBitsFollowTheDataBitsAndKeepValuesKeep) {
  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  EXPECT_EQ(line.Disp->SetLine(0, 5, 5, 2), 0);
  DCB dcb = DriverState(*line.Disp);
  EXPECT_EQ(dcb.ByteSize, 5);
  EXPECT_EQ(dcb.StopBits, ONE5STOPBITS) << "two stop bits with five data bits are 1.5";
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);

  EXPECT_EQ(line.Disp->ChangeBaud(19200), 0);
  dcb = DriverState(*line.Disp);
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 5);
  EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
  EXPECT_EQ(dcb.Parity, NOPARITY);

  EXPECT_EQ(line.Disp->SetLine(0, 2, 8, 2), 0);
  dcb = DriverState(*line.Disp);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(line.Disp->SetLine(0, 5, 9, 0), 0);
  EXPECT_EQ(DriverState(*line.Disp).StopBits, ONESTOPBIT) << "0 stop bits counts as 1";
  EXPECT_EQ(line.Disp->SetLine(0, 5, 9, 7), 0);
  EXPECT_EQ(DriverState(*line.Disp).StopBits, TWOSTOPBITS) << "above 3 counts as 2";

  EXPECT_EQ(line.Disp->SetLine(-1, 0, 8, 1), ecBadArgument);
  EXPECT_EQ(line.Disp->SetLine(0, 6, 8, 1), ecBadArgument);
  EXPECT_EQ(line.Disp->SetLine(0, 0, 4, 1), ecBadArgument);
  EXPECT_EQ(DriverState(*line.Disp).Parity, EVENPARITY);
}

TEST(DispatcherLine, LinesUnderHardwareFlowControlAreTheDrivers) {
  TLine<> line;
  ASSERT_EQ(line.Open(115200, 4096, 4096, 0x10), 0); // DTR driven by the driver
  EXPECT_EQ(line.Disp->SetDtr(false), 1);
  EXPECT_EQ(line.Disp->SetModem(false, true), 1);
  EXPECT_EQ(line.Disp->SWFlowChars(0x11, 0x13), 0); // applies with the line fix-up
  EXPECT_EQ(DriverState(*line.Disp).fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE))
      << "SetModem left RTS alone";
  EXPECT_EQ(line.Disp->SetRts(true), 0);
  EXPECT_EQ(line.Disp->SWFlowChars(0x11, 0x13), 0);
  EXPECT_EQ(DriverState(*line.Disp).fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

  TLine<> plain;
  ASSERT_EQ(plain.Open(), 0);
  EXPECT_EQ(DriverState(*plain.Disp).fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(plain.Disp->SetModem(false, true), 0);
  EXPECT_EQ(plain.Disp->SWFlowDisable(), 0);
  DCB dcb = DriverState(*plain.Disp);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

// ---- flow control ----

TEST_F(DispatcherFlow, OptionsAreWrittenIntoTheDriverSettings) {
  EXPECT_EQ(FLine.Disp->SWFlowEnable(5000, 1000, 2), ecBadArgument) << "above the input size";
  EXPECT_EQ(FLine.Disp->SWFlowEnable(1000, 2000, 2), ecBadArgument);
  EXPECT_EQ(DriverState(*FLine.Disp).fInX, 0u);

  EXPECT_EQ(FLine.Disp->SWFlowEnable(3072, 1024, 2), 0);
  DCB dcb = DriverState(*FLine.Disp);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.fOutX, 0u) << "the transmit direction keeps what the driver had";
  EXPECT_EQ(dcb.XoffLim, 1024);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  unsigned hw = 99, sw = 99, full = 7, resume = 7;
  char on = 0, off = 0;
  EXPECT_EQ(FLine.Disp->GetFlowOptions(hw, sw, full, resume, on, off), 0);
  EXPECT_EQ(hw, 0u);
  EXPECT_EQ(sw, 2u);
  EXPECT_EQ(full, 7u) << "not written";
  EXPECT_EQ(FLine.Disp->SWFlowState(), 2);

  EXPECT_EQ(FLine.Disp->SWFlowEnable(3072, 1024, 1), 0);
  EXPECT_EQ(FLine.Disp->SWFlowChars('a', 'b'), 0);
  EXPECT_EQ(FLine.Disp->GetFlowOptions(hw, sw, full, resume, on, off), 0);
  EXPECT_EQ(sw, 3u);
  EXPECT_EQ(on, 'a');
  EXPECT_EQ(off, 'b');
  EXPECT_EQ(FLine.Disp->SWFlowDisable(), 0);
  EXPECT_EQ(FLine.Disp->GetFlowOptions(hw, sw, full, resume, on, off), 0);
  EXPECT_EQ(sw, 0u);
  EXPECT_EQ(FLine.Disp->SWFlowState(), 1);

  EXPECT_EQ(FLine.Disp->HWFlowState(), 1);
  EXPECT_EQ(FLine.Disp->HWFlowOptions(3000, 500, 0x0F), 0);
  dcb = DriverState(*FLine.Disp);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(dcb.XoffLim, 4096 - 3000);
  EXPECT_EQ(dcb.XonLim, 500);
  EXPECT_EQ(FLine.Disp->GetFlowOptions(hw, sw, full, resume, on, off), 0);
  EXPECT_EQ(hw, 15u);
  EXPECT_EQ(FLine.Disp->HWFlowState(), 2) << "a pseudo-terminal's lines hold nothing";
  EXPECT_EQ(FLine.Disp->SetDtr(true), 1) << "DTR is the driver's now";
  EXPECT_EQ(FLine.Disp->HWFlowOptions(100, 200, 0), ecBadArgument);
  EXPECT_EQ(FLine.Disp->HWFlowOptions(0, 0, 0), 0);
  EXPECT_EQ(FLine.Disp->HWFlowState(), 1);
  EXPECT_EQ(FLine.Disp->SetDtr(true), 0);
}

TEST_F(DispatcherFlow, XonXoffUnderReceiveFlowAreData) {
  ASSERT_EQ(FLine.Disp->SWFlowEnable(3072, 1024, 2), 0);
  ASSERT_TRUE(FLine.Peer.Write(std::string{'A', XON, XOFF, 'B', XON}));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 5));
  char got[5];
  ASSERT_EQ(FLine.Disp->GetBlock(got, 5), 5);
  EXPECT_EQ(std::string(got, 5), (std::string{'A', XON, XOFF, 'B', XON}));
  EXPECT_EQ(FLine.Disp->PutString("out"), 0);
  EXPECT_EQ(FLine.Peer.ReadString(3), "out") << "a received XOFF stops nothing";
}

TEST_F(DispatcherFlow, XonXoffAreTheDriversWhenTheTransmitDirectionIsOn) {
  ASSERT_EQ(FLine.Disp->SWFlowEnable(3072, 1024, 3), 0);
  ASSERT_TRUE(FLine.Peer.Write(std::string{'A', XOFF, 'B'}));
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 2));
  EXPECT_EQ(FLine.Disp->PutString("held"), 0);
  EXPECT_EQ(FLine.Peer.ReadAvailable(150), "") << "our output waits for XON";
  ASSERT_TRUE(FLine.Peer.Write(std::string{XON, 'C'}));
  EXPECT_EQ(FLine.Peer.ReadString(4), "held");
  ASSERT_TRUE(WaitForReceived(*FLine.Disp, 3));
  char got[3];
  ASSERT_EQ(FLine.Disp->GetBlock(got, 3), 3);
  EXPECT_EQ(std::string(got, 3), "ABC");
  EXPECT_FALSE(FLine.Disp->CharReady());
}

// ---- counters and status ----

TEST(DispatcherStatus, LineErrorsAreReportedWorstFirstAndBreakSeparately) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  EXPECT_EQ(line.Disp->GetLineError(), 0);
  line.Disp->SetLineErrors(CE_OVERRUN | CE_FRAME | CE_BREAK);
  EXPECT_EQ(line.Disp->GetLineError(), 2);
  EXPECT_EQ(line.Disp->GetLineError(), 9) << "a report clears the error bits, not the break";
  EXPECT_TRUE(line.Disp->CheckLineBreak());
  EXPECT_FALSE(line.Disp->CheckLineBreak());
  EXPECT_EQ(line.Disp->GetLineError(), 0);
  line.Disp->SetLineErrors(CE_RXOVER | CE_RXPARITY);
  EXPECT_EQ(line.Disp->GetLineError(), 1);
  EXPECT_EQ(line.Disp->GetLineError(), 0);
}

TEST(DispatcherStatus, ModemStatusOptionsDataPointersAndSizes) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(115200, 2048, 3000), 0);
  EXPECT_EQ(line.Disp->GetModemStatus(), 0) << "a pseudo-terminal's lines read as off";
  EXPECT_FALSE(line.Disp->CheckCTS());
  line.Disp->SetRingFlag();
  EXPECT_TRUE(line.Disp->CheckDeltaRI());
  EXPECT_FALSE(line.Disp->CheckDeltaRI()) << "each check clears its change bit";
  line.Disp->SetRingFlag();
  EXPECT_EQ(line.Disp->GetModemStatus(), 0x04);
  EXPECT_EQ(line.Disp->GetModemStatus(), 0);

  line.Disp->OptionsOn(0x05);
  EXPECT_TRUE(line.Disp->OptionsAreOn(0x04));
  EXPECT_FALSE(line.Disp->OptionsAreOn(0x06));
  line.Disp->OptionsOff(0x01);
  EXPECT_FALSE(line.Disp->OptionsAreOn(0x01));
  EXPECT_TRUE(line.Disp->OptionsAreOn(0x04));

  int a = 1, b = 2;
  void* p = nullptr;
  EXPECT_EQ(line.Disp->SetDataPointer(&a, 0), ecBadArgument);
  EXPECT_EQ(line.Disp->SetDataPointer(&a, 4), ecBadArgument);
  EXPECT_EQ(line.Disp->GetDataPointer(p, 4), ecBadArgument);
  EXPECT_EQ(line.Disp->SetDataPointer(&a, 1), 0);
  EXPECT_EQ(line.Disp->SetDataPointer(&b, 3), 0);
  EXPECT_EQ(line.Disp->GetDataPointer(p, 1), 0);
  EXPECT_EQ(p, &a);
  EXPECT_EQ(line.Disp->GetDataPointer(p, 3), 0);
  EXPECT_EQ(p, &b);
  EXPECT_EQ(line.Disp->GetDataPointer(p, 2), 0);
  EXPECT_EQ(p, nullptr);

  unsigned in = 0, out = 0;
  line.Disp->BufferSizes(in, out);
  EXPECT_EQ(in, 2048u);
  EXPECT_EQ(out, 3000u);
  EXPECT_EQ(line.Disp->OutBuffFree(), 3000u);
  EXPECT_EQ(line.Disp->ProcessCommunications(), 0);

  // A break of one 55 ms tick holds the caller that long, and the line works afterwards.
  long long start = support::NowMs();
  line.Disp->SendBreak(1, false);
  long long took = support::NowMs() - start;
  EXPECT_GE(took, 50);
  EXPECT_LT(took, 1000);
  line.Disp->SetBreak(true);
  line.Disp->SetBreak(false);
  EXPECT_EQ(line.Disp->PutChar('b'), 0);
  EXPECT_EQ(line.Peer.ReadString(1), "b");
}

TEST(DispatcherStatus, ThreadBoostAndRS485RaiseThePriorities) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  EXPECT_EQ(line.Disp->Priority(0), tpNormal);
  line.Disp->SetThreadBoost(1);
  EXPECT_EQ(line.Disp->Priority(0), tpHigher);
  EXPECT_EQ(line.Disp->Priority(1), tpHigher);
  EXPECT_EQ(line.Disp->Priority(2), tpHigher);
  line.Disp->SetRS485Mode(true);
  EXPECT_EQ(line.Disp->Priority(2), tpHighest) << "the output thread switches the line";
  EXPECT_EQ(line.Disp->Priority(0), tpHigher);
  line.Disp->SetThreadBoost(2);
  EXPECT_EQ(line.Disp->Priority(2), tpTimeCritical);
  line.Disp->SetRS485Mode(false);
  EXPECT_EQ(line.Disp->Priority(2), tpHighest);
  line.Disp->SetBaseAddress(0x3F8);
  EXPECT_EQ(line.Disp->GetBaseAddress(), 0x3F8);
  EXPECT_EQ(line.Disp->PutChar('k'), 0);
  EXPECT_EQ(line.Peer.ReadString(1), "k");
}

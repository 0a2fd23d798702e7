// The Win32 device layer's own operations: the transmit ring as WriteCom and GetComError see
// it, starting and stopping the threads, the telephony variant, and the list of dispatchers.
#include <gtest/gtest.h>

#include <string>

#include "ProbeDispatcher.h"
#include "serial/Exceptions.h"
#include "support/Line.h"

using support::ComName;
using support::TLine;
using support::TPty;
using support::WaitForReceived;
using support::WaitUntil;

TEST(DispatcherDevice, WriteComWrapsAtTheRingEndAndGetComErrorCountsTheRing) {
  TProbeDispatcher d(nullptr); // no port: the ring alone
  COMSTAT st;
  EXPECT_EQ(d.WriteCom("x", 1), 0) << "no ring before an open";
  ASSERT_TRUE(d.AllocateRings(100));

  d.SetTxPositions(50, 90, false);
  EXPECT_EQ(d.WriteCom("0123456789", 10), 10);
  EXPECT_EQ(d.TxWrite(), 0) << "exactly the room to the end";
  EXPECT_EQ(d.GetComError(st), 0);
  EXPECT_EQ(st.cbOutQue, 50u);

  d.SetTxPositions(50, 90, false);
  EXPECT_EQ(d.WriteCom("abcdefghijK", 11), 11);
  EXPECT_EQ(d.TxWrite(), 1);
  std::string ring = d.TxRing();
  EXPECT_EQ(ring.substr(90, 10), "abcdefghij");
  EXPECT_EQ(ring[0], 'K');
  d.GetComError(st);
  EXPECT_EQ(st.cbOutQue, 51u);

  d.SetTxPositions(20, 60, false);
  d.GetComError(st);
  EXPECT_EQ(st.cbOutQue, 40u);
  d.SetTxPositions(30, 30, true);
  d.GetComError(st);
  EXPECT_EQ(st.cbOutQue, 100u) << "a full ring";
  d.SetTxPositions(30, 30, false);
  d.GetComError(st);
  EXPECT_EQ(st.cbOutQue, 0u) << "an empty ring";

  std::string tooLong(101, 'z');
  EXPECT_EQ(d.WriteCom(tooLong.data(), 101), 0) << "never past the ring";
  EXPECT_EQ(d.TxWrite(), 30);
}

TEST(DispatcherDevice, StartingTwiceRaisesAndStoppingWithoutAStartDoesNothing) {
  TSioWin32Dispatcher idle(nullptr);
  idle.StopDispatcher();
  EXPECT_FALSE(idle.Started());
  EXPECT_EQ(idle.ProcessCommunications(), 0);

  TLine<> line;
  ASSERT_EQ(line.Open(), 0);
  try {
    line.Disp->StartDispatcher();
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Dispatcher already started");
  }
  EXPECT_EQ(line.Disp->PutChar('z'), 0);
  EXPECT_EQ(line.Peer.ReadString(1), "z") << "the running threads are untouched";
  ASSERT_TRUE(line.Peer.Write("q"));
  EXPECT_TRUE(WaitForReceived(*line.Disp, 1));
}

TEST(DispatcherDevice, FlushOfTheTransmitSideWaitsForTheOutputThreadAndEmptiesTheRing) {
  TLine<TProbeDispatcher> line;
  ASSERT_EQ(line.Open(), 0);
  ASSERT_EQ(line.Disp->SWFlowEnable(3072, 1024, 1), 0);
  ASSERT_TRUE(line.Peer.Write(std::string{0x13, 'M'}));
  ASSERT_TRUE(WaitForReceived(*line.Disp, 1));
  ASSERT_EQ(line.Disp->PutBlock("stuck", 5), 0);
  ASSERT_TRUE(WaitUntil([&] { return line.Disp->SWFlowState() == 6; }));
  EXPECT_EQ(line.Disp->FlushCom(0), 0);
  EXPECT_EQ(line.Disp->TxWrite(), 0);
  EXPECT_EQ(line.Disp->OutBuffUsed(), 0u);
  // The output thread is back in its idle wait and takes the next block.
  ASSERT_TRUE(line.Peer.Write(std::string{0x11}));
  EXPECT_EQ(line.Disp->PutString("next"), 0);
  EXPECT_EQ(line.Peer.ReadString(4), "next");
}

TEST(DispatcherDevice, TheTelephonyVariantRunsOnAHandleOpenedElsewhere) {
  TPty peer;
  int port = support::NextPortNumber();
  ASSERT_TRUE(platform::SetPortDevice(port, peer.SlavePath()));
  HANDLE h = CreateFileA(ComName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  {
    TSioTAPI32Dispatcher d(nullptr, h);
    ASSERT_EQ(d.InitPort("", 115200, 0, 8, 1, 4096, 4096, 0x01), 0);
    EXPECT_GE(d.ComHandle(), 0);
    EXPECT_EQ(d.PutString("tapi"), 0);
    EXPECT_EQ(peer.ReadString(4), "tapi");
    ASSERT_TRUE(peer.Write("ok"));
    EXPECT_TRUE(WaitForReceived(d, 2));
    d.DonePort();
  }
  EXPECT_FALSE(CloseHandle(h)) << "the dispatcher closed the handle it was given";

  TSioTAPI32Dispatcher none(nullptr, nullptr);
  EXPECT_EQ(none.InitPort("", 115200, 0, 8, 1, 4096, 4096, 0x01), ecCommNotOpen);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(2007));
  EXPECT_FALSE(none.Started());
  platform::SetPortDevice(port, "");
}

TEST(DispatcherPortList, HandlesAreSlotsOfTheListAndLookupsCheckTheClass) {
  auto* a = new TSioWin32Dispatcher(nullptr);
  auto* b = new TSioWin32Dispatcher(nullptr);
  int ha = a->Handle();
  EXPECT_EQ(b->Handle(), ha + 1);
  EXPECT_EQ(GetTComRecPtr<TSioBaseDispatcher>(ha), a);
  EXPECT_EQ(GetTComRecPtr<TSioWin32Dispatcher>(ha), a);
  EXPECT_EQ(GetTComRecPtr<TSioTAPI32Dispatcher>(ha), nullptr) << "not of that class";
  EXPECT_EQ(GetTComRecPtr<TSioBaseDispatcher>(-1), nullptr);
  EXPECT_EQ(GetTComRecPtr<TSioBaseDispatcher>(ha + 100), nullptr);

  delete a;
  EXPECT_EQ(GetTComRecPtr<TSioBaseDispatcher>(ha), nullptr) << "the remembered answer is gone";
  auto* c = new TSioTAPI32Dispatcher(nullptr, nullptr);
  EXPECT_EQ(c->Handle(), ha) << "the first free slot is taken again";
  EXPECT_EQ(GetTComRecPtr<TSioTAPI32Dispatcher>(ha), c);

  LockPortList();
  size_t withAll = PortList.size();
  UnlockPortList();
  delete b;
  LockPortList();
  EXPECT_EQ(PortList.size(), withAll - 1) << "trailing empty slots go";
  UnlockPortList();
  delete c;
  LockPortList();
  EXPECT_EQ(PortList.size(), static_cast<size_t>(ha));
  UnlockPortList();
}

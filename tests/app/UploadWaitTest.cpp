// The reply wait's clock: it runs from when the block has left the port, and a wait whose
// deadline has passed while the answer was already at the port still takes the answer.
#include <gtest/gtest.h>

#include <functional>

#include "UploadRig.h"
#include "app/ComPortUploadPort.h"
#include "serial/ComPort.h"
#include "support/Line.h"

using support::EncodeBlocks;
using support::NowUs;
using support::Payload;
using support::TTempDir;

namespace {

DCB Line(DWORD baud, BYTE dataBits, BYTE parity, BYTE stopBits) {
  DCB dcb{};
  dcb.BaudRate = baud;
  dcb.ByteSize = dataBits;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  return dcb;
}

// A host whose clock jumps far past any deadline at the first look of a reply wait (its
// second reading: the first is the wait's start), once `Pause` has run: a program stopped for
// longer than the time-out (suspend, SIGSTOP) reads the clock first when it wakes.
class TPausedHost : public TPlainUploadHost {
public:
  std::function<void()> Pause;
  uint32_t TickCount() override {
    if (++FReadings == 2) {
      Pause();
      SetTickOffset(60000);
    }
    return TPlainUploadHost::TickCount();
  }

private:
  unsigned FReadings = 0;
};

// Waits (bounded) until the answer has reached the port: in the driver or the ring.
bool AnswerAtPort(TSioBaseDispatcher& dispatcher) {
  for (int i = 0; i < 5000; ++i) {
    if (DriverInputPending(dispatcher) || dispatcher.CharReady()) return true;
    Sleep(1);
  }
  return false;
}

} // namespace

TEST(UploadWait, TheTimeOutCountsFromWhenTheBlockHasLeftThePort) {
  EXPECT_EQ(LineTimeMs(Line(4800, 8, NOPARITY, ONESTOPBIT), 3000), 6250u);
  EXPECT_EQ(LineTimeMs(Line(4800, 7, EVENPARITY, TWOSTOPBITS), 3000), 6875u);
  // 7.5 bits a byte: 750 bits take 78.125 ms, rounded up.
  EXPECT_EQ(LineTimeMs(Line(9600, 5, NOPARITY, ONE5STOPBITS), 100), 79u);
  EXPECT_EQ(LineTimeMs(Line(115200, 8, NOPARITY, ONESTOPBIT), 16), 2u);
  EXPECT_EQ(LineTimeMs(Line(0, 8, NOPARITY, ONESTOPBIT), 16), 0u);

  // 2700 bytes take 5625 ms at 4800 baud: the answer comes after that, never within 5000 ms
  // of the send.
  TSimScenario paced{.Baud = 4800};
  TUploadRig rig(paced);
  ASSERT_EQ(rig.Disp->ChangeBaud(4800), 0);
  std::string path = rig.WriteFirmware({Payload(2698, 1)});
  long long t0 = NowUs();
  EXPECT_EQ(rig.Run(path), TUploadOutcome::Success);
  EXPECT_GE(NowUs() - t0, 5625000);
  EXPECT_EQ(rig.Host.Log().back(), "Прошивка обновлена успешно!");
  EXPECT_EQ(rig.Sim.Accepted().size(), 1u);
}

TEST(UploadWait, AnAnswerAtThePortWhenAPauseEndsPastTheDeadlineIsTaken) {
  support::TPty device;
  ASSERT_TRUE(device.Ok());
  const int number = 190;
  platform::SetPortDevice(number, device.SlavePath());
  TTempDir dir;
  std::string path = dir.Write("fw.enc", EncodeBlocks({Payload(8, 1)}));
  // The device answers while the program is stopped; the clock jumps when it goes on.
  auto run = [&](TUploadPort& port, TSioBaseDispatcher& dispatcher) {
    TPausedHost host;
    host.Pause = [&] {
      EXPECT_TRUE(device.Write(std::string(1, ReplyAccepted)));
      EXPECT_TRUE(AnswerAtPort(dispatcher));
    };
    TUploadEngine engine(host, port);
    EXPECT_EQ(engine.Run(path), TUploadOutcome::Success);
    EXPECT_EQ(host.Log().back(), "Прошивка обновлена успешно!");
  };

  {
    TSioWin32Dispatcher dispatcher(nullptr);
    ASSERT_EQ(dispatcher.InitPort("\\\\.\\COM190", 115200, 0, 8, 1, 4096, 4096, 0x01), 0);
    TDispatcherUploadPort port(dispatcher);
    run(port, dispatcher);
    dispatcher.DonePort();
  }
  {
    // As the window's port.
    TSioComPort component(nullptr);
    component.BeginLoading();
    component.SetComNumber(number);
    component.SetBaud(115200);
    component.SetAutoOpen(false);
    component.EndLoading();
    component.SetOpen(true);
    ASSERT_TRUE(component.Open());
    TComPortUploadPort port(component);
    EXPECT_EQ(port.OutputSize(), 4096u);
    EXPECT_EQ(port.WireTimeMs(1152), 100u);
    run(port, *component.GetDispatcher());
    component.SetOpen(false);
  }
  platform::SetPortDevice(number, "");
}

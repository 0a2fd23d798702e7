// The port component on real pseudo-terminals: its defaults, the gates, opening and closing,
// the setters on open and closed ports, and the flow-control threshold rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ComPortTestSupport.h"
#include "serial/Exceptions.h"
#include "serial/PortSelect.h"
#include "support/TempDir.h"

using ::testing::HasSubstr;
using ::testing::Not;

using comporttest::MakeMessageLogWindow;
using comporttest::TMessageLog;
using comporttest::TPortLine;
using support::TPty;

namespace {

DCB DriverState(TSioComPort& comp) {
  DCB dcb{};
  EXPECT_EQ(comp.GetDispatcher()->GetComState(dcb), 0);
  return dcb;
}

// A dispatcher whose device refuses the user, as the comm layer does for a user outside the
// device's group.
class TRefusingDispatcher : public TSioWin32Dispatcher {
public:
  using TSioWin32Dispatcher::TSioWin32Dispatcher;
  ~TRefusingDispatcher() override { CloseForDestruction(); }
  int OpenCom(const char*, unsigned, unsigned) override {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return -1;
  }
};

// The test program doubles as a process of another user: started with
// FWLOAD_COMPORT_CHILD_DEVICE set, it opens that device through a component as
// FWLOAD_COMPORT_CHILD_UID, prints what the open raised and ends.
int RunAsChildWhenAsked() {
  const char* device = std::getenv("FWLOAD_COMPORT_CHILD_DEVICE");
  const char* uid = std::getenv("FWLOAD_COMPORT_CHILD_UID");
  if (device == nullptr || uid == nullptr) return 0;
  uid_t id = static_cast<uid_t>(std::atoi(uid));
  if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
    std::printf("setuid failed\n");
    std::fflush(stdout);
    _exit(1);
  }
  platform::SetPortDevice(250, device);
  try {
    TSioComPort comp(nullptr);
    comp.SetComNumber(250);
    comp.SetOpen(true);
    std::printf("opened\n");
  } catch (const Exception& e) {
    std::printf("%s\n", e.Message().c_str());
  }
  std::fflush(stdout);
  _exit(0);
}
const int ChildRun = RunAsChildWhenAsked();

std::string OpenAsOtherUser(const std::string& device, int uid) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "no /proc/self/exe";
  self[n] = 0;
  std::string command = "FWLOAD_COMPORT_CHILD_DEVICE='" + device +
                        "' FWLOAD_COMPORT_CHILD_UID=" + std::to_string(uid) + " '" + self +
                        "' 2>&1";
  FILE* child = popen(command.c_str(), "r");
  if (!child) return "popen failed";
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, child))
    out += buffer;
  pclose(child);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

} // namespace

// ---- defaults ----

TEST(ComPortDefaults, ConstructorValuesAndFixedProperties) {
  TSioComPort comp(nullptr);
  EXPECT_EQ(comp.Version(), "v3.02");
  comp.SetVersion("v9");
  EXPECT_EQ(comp.Version(), "v3.02");
  EXPECT_EQ(comp.DeviceLayer(), dlWin32);
  EXPECT_EQ(comp.ComNumber(), 0);
  EXPECT_EQ(comp.Baud(), 19200);
  EXPECT_TRUE(comp.PromptForPort());
  EXPECT_EQ(comp.Parity(), pNone);
  EXPECT_EQ(comp.DataBits(), 8);
  EXPECT_EQ(comp.StopBits(), 1);
  EXPECT_EQ(comp.InSize(), 4096);
  EXPECT_EQ(comp.OutSize(), 4096);
  EXPECT_TRUE(comp.AutoOpen());
  EXPECT_FALSE(comp.Open());
  EXPECT_TRUE(comp.DTR());
  EXPECT_TRUE(comp.RTS());
  EXPECT_TRUE(comp.HWFlowOptions().Empty());
  EXPECT_EQ(comp.SWFlowOptions(), swfNone);
  EXPECT_EQ(comp.XOnChar(), 0x11);
  EXPECT_EQ(comp.XOffChar(), 0x13);
  EXPECT_EQ(comp.BufferFull(), 0);
  EXPECT_EQ(comp.BufferResume(), 0);
  EXPECT_EQ(comp.Tracing(), tlOff);
  EXPECT_EQ(comp.TraceSize(), 10000u);
  EXPECT_EQ(comp.TraceName(), "SERIAL.TRC");
  EXPECT_TRUE(comp.TraceHex());
  EXPECT_FALSE(comp.TraceAllHex());
  EXPECT_EQ(comp.Logging(), tlOff);
  EXPECT_EQ(comp.LogSize(), 10000u);
  EXPECT_EQ(comp.LogName(), "SERIAL.LOG");
  EXPECT_TRUE(comp.UseEventWord());
  EXPECT_EQ(comp.CommNotificationLevel(), 10);
  EXPECT_EQ(comp.TapiMode(), tmAuto);
  EXPECT_FALSE(comp.RS485Mode());
  EXPECT_EQ(comp.PortState(), psClosed);
  EXPECT_EQ(comp.TriggerLength(), 1);
  comp.SetUseMSRShadow(false);
  EXPECT_TRUE(comp.UseMSRShadow());
  comp.SetTraceSize(5000000);
  EXPECT_EQ(comp.TraceSize(), 4000000u);
  comp.SetLogSize(20000000);
  EXPECT_EQ(comp.LogSize(), 16000000u);
  comp.SetDeviceLayer(dlFossil); // not supported
  EXPECT_EQ(comp.DeviceLayer(), dlWin32);
  EXPECT_EQ(ComName(7), "COM7");
  EXPECT_EQ(ComName(65535), "COM65535");
}

// ---- the gates ----

TEST(ComPortGates, EveryDataOperationOnAClosedPortRaisesCommNotOpen) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  char buf[4] = {};
  EXPECT_THROW(c.FlushOutBuffer(), ECommNotOpen);
  EXPECT_THROW(c.FlushInBuffer(), ECommNotOpen);
  EXPECT_THROW(c.PutBlock("ab", 2), ECommNotOpen);
  EXPECT_THROW(c.PutChar('a'), ECommNotOpen);
  EXPECT_THROW(c.PutString("ab"), ECommNotOpen);
  EXPECT_THROW(c.CharReady(), ECommNotOpen);
  EXPECT_THROW(c.GetChar(), ECommNotOpen);
  EXPECT_THROW(c.GetBlock(buf, 1), ECommNotOpen);
  EXPECT_THROW(c.PeekBlock(buf, 1), ECommNotOpen);
  EXPECT_THROW(c.PeekChar(1), ECommNotOpen);
  EXPECT_THROW(c.AddDataTrigger("OK", false), ECommNotOpen);
  EXPECT_THROW(c.AddTimerTrigger(), ECommNotOpen);
  EXPECT_THROW(c.GetModemStatus(), ECommNotOpen);
  EXPECT_THROW(c.GetFlowState(), ECommNotOpen);
  EXPECT_THROW(c.AddStringToLog("x"), ECommNotOpen);
  EXPECT_THROW(c.WaitForString("x", 1, false, false), ECommNotOpen);
  // The open-only getters answer without opening.
  c.SetOutSize(1000);
  EXPECT_EQ(c.GetInBuffFree(), 8192);
  EXPECT_EQ(c.GetOutBuffFree(), 1000);
  EXPECT_EQ(c.GetInBuffUsed(), 0);
  EXPECT_FALSE(c.GetCTS());
  EXPECT_EQ(c.GetDispatcher(), nullptr);
  EXPECT_FALSE(c.Open());
  // The trace operations do nothing without a dispatcher.
  c.InitTracing(100);
  EXPECT_EQ(c.Tracing(), tlOff);
}

TEST(ComPortGates, AutoOpenOpensOnTheFirstDataOperation) {
  TPortLine line;
  line.Comp.SetAutoOpen(true);
  EXPECT_FALSE(line.Comp.CharReady());
  EXPECT_TRUE(line.Comp.Open());
  EXPECT_EQ(line.Comp.PortState(), psOpen);
  line.Comp.PutString("hi");
  EXPECT_EQ(line.Peer.ReadString(2), "hi");
}

// ---- opening and closing ----

TEST(ComPortOpen, OpenSendsReceivesAndCloses) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  ASSERT_TRUE(c.Open());
  EXPECT_EQ(c.PortState(), psOpen);
  TSioBaseDispatcher* d = c.GetDispatcher();
  ASSERT_NE(d, nullptr);
  EXPECT_NE(c.WindowHandle(), nullptr);
  c.SetOpen(true); // the current value: nothing happens
  EXPECT_EQ(c.GetDispatcher(), d);

  EXPECT_FALSE(c.CharReady());
  EXPECT_THROW(c.GetChar(), EBufferIsEmpty);
  ASSERT_TRUE(line.Peer.Write("xyz"));
  ASSERT_TRUE(line.WaitReceived(3));
  EXPECT_TRUE(c.CharReady());
  EXPECT_EQ(c.PeekChar(2), 'y');
  EXPECT_EQ(c.GetChar(), 'x');
  char two[2];
  EXPECT_EQ(c.GetBlock(two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "yz");

  HWND wnd = c.WindowHandle();
  c.SetOpen(false);
  EXPECT_FALSE(c.Open());
  EXPECT_EQ(c.PortState(), psClosed);
  EXPECT_EQ(c.GetDispatcher(), nullptr);
  EXPECT_EQ(c.WindowHandle(), nullptr);
  EXPECT_FALSE(IsWindow(wnd));
  // The device is free again.
  TSioComPort other(nullptr);
  other.SetComNumber(static_cast<WORD>(line.Port));
  other.SetOpen(true);
  EXPECT_TRUE(other.Open());
}

TEST(ComPortOpen, FailedOpensRaiseAndLeaveThePortClosed) {
  TPortLine line;
  line.Comp.SetOpen(true);
  ASSERT_TRUE(line.Comp.Open());

  TSioComPort held(nullptr);
  held.SetComNumber(static_cast<WORD>(line.Port));
  EXPECT_THROW(held.SetOpen(true), EAlreadyOpen);
  EXPECT_FALSE(held.Open());
  EXPECT_EQ(held.PortState(), psClosed);
  EXPECT_EQ(held.WindowHandle(), nullptr);

  TSioComPort missing(nullptr);
  int number = support::NextPortNumber();
  platform::SetPortDevice(number, "/nonexistent/tty-for-test");
  missing.SetComNumber(static_cast<WORD>(number));
  missing.SetAutoOpen(false); // else asking for the dispatcher opens (and raises) again
  EXPECT_THROW(missing.SetOpen(true), EBadId);
  EXPECT_FALSE(missing.Open());
  EXPECT_EQ(missing.GetDispatcher(), nullptr);
  platform::SetPortDevice(number, "");

  TSioComPort fossil(nullptr);
  fossil.SetComNumber(static_cast<WORD>(line.Port));
  fossil.SetAutoOpen(false);
  // Only dlWin32 is supported, so a factory is the only way to another layer's dispatcher.
  fossil.DispatcherFactory = [](TSioCustomComPort*) -> TSioBaseDispatcher* { return nullptr; };
  EXPECT_THROW(fossil.SetOpen(true), ENullApi);
  EXPECT_EQ(fossil.PortState(), psClosed);
}

TEST(ComPortOpen, MissingPermissionSaysSo) {
  TPortLine line;
  line.Comp.DispatcherFactory = [](TSioCustomComPort* owner) -> TSioBaseDispatcher* {
    return new TRefusingDispatcher(owner);
  };
  try {
    line.Comp.SetOpen(true);
    ADD_FAILURE() << "no exception";
  } catch (const ESioException& e) {
    EXPECT_EQ(e.ErrorCode, -static_cast<int32_t>(ERROR_PRIVILEGE_NOT_HELD));
    EXPECT_THAT(e.Message(), HasSubstr("privilege is not held")) << e.Message();
    EXPECT_THAT(e.Message(), HasSubstr("permission")) << e.Message();
    EXPECT_EQ(dynamic_cast<const EAlreadyOpen*>(&e), nullptr);
  }
  EXPECT_FALSE(line.Comp.Open());
  EXPECT_EQ(line.Comp.GetDispatcher(), nullptr);

  // The same through the real device: another user may not open a pseudo-terminal's slave.
  if (geteuid() == 0) {
    TPortLine real;
    ASSERT_EQ(chmod(real.Peer.SlavePath().c_str(), 0620), 0);
    std::string shown = OpenAsOtherUser(real.Peer.SlavePath(), 65534);
    EXPECT_THAT(shown, HasSubstr("permission")) << shown;
    EXPECT_THAT(shown, Not(HasSubstr("already"))) << shown;
  } else {
    TPortLine real;
    ASSERT_EQ(chmod(real.Peer.SlavePath().c_str(), 0), 0);
    try {
      real.Comp.SetOpen(true);
      ADD_FAILURE() << "no exception";
    } catch (const ESioException& e) {
      EXPECT_THAT(e.Message(), HasSubstr("permission")) << e.Message();
    }
  }
}

TEST(ComPortOpen, NoPortNumberWithoutAChooserRaisesNoPortSelected) {
  SetComPortChooser(nullptr);
  TSioComPort comp(nullptr);
  comp.SetPromptForPort(false);
  EXPECT_THROW(comp.SetOpen(true), ENoPortSelected);
  comp.SetPromptForPort(true);
  EXPECT_THROW(comp.SetOpen(true), ENoPortSelected);
  EXPECT_EQ(comp.ComNumber(), 0);
  EXPECT_EQ(comp.PortState(), psClosed);
}

TEST(ComPortOpen, ComPortOneOpensAsTheMainWindowConfiguresIt) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.BeginLoading();
  c.SetBaud(9600);
  c.SetRTS(false);
  c.SetSWFlowOptions(swfReceive);
  c.SetBufferFull(3072);
  c.SetBufferResume(1024);
  c.EndLoading();
  EXPECT_FALSE(c.Open()); // the resource does not open it
  c.SetOpen(true);
  ASSERT_TRUE(c.Open());
  DCB dcb = DriverState(c);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.XoffLim, 4096 - 3072);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

// ---- setters on an open port ----

TEST(ComPortSetters, BaudChangesTheLineWithoutReopening) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetBaud(57600); // closed: stored for the next open
  c.SetOpen(true);
  ASSERT_TRUE(c.Open());
  EXPECT_EQ(DriverState(c).BaudRate, 57600u);
  TSioBaseDispatcher* d = c.GetDispatcher();
  HWND wnd = c.WindowHandle();
  c.SetBaud(19200);
  EXPECT_EQ(c.GetDispatcher(), d);
  EXPECT_EQ(c.WindowHandle(), wnd);
  EXPECT_EQ(DriverState(c).BaudRate, 19200u);
  c.SetParity(pEven);
  c.SetStopBits(2);
  DCB dcb = DriverState(c);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(c.GetDispatcher(), d);
  c.SetXOnChar('Q');
  EXPECT_EQ(DriverState(c).XonChar, 'Q');
}

TEST(ComPortSetters, ComNumberReopensOnTheNewDeviceAndKeepsTheTriggers) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  ASSERT_TRUE(c.Open());
  TSioBaseDispatcher* first = c.GetDispatcher();
  c.SetComNumber(static_cast<WORD>(line.Port)); // unchanged: no reopen
  EXPECT_EQ(c.GetDispatcher(), first);
  WORD handle = c.AddDataTrigger("OK", false);
  ASSERT_GT(handle, 0);
  std::vector<WORD> fired;
  c.SetOnTriggerData([&](TObject*, WORD h) { fired.push_back(h); });

  TPty second;
  int port2 = support::NextPortNumber();
  platform::SetPortDevice(port2, second.SlavePath());
  c.SetComNumber(static_cast<WORD>(port2));
  EXPECT_TRUE(c.Open());
  EXPECT_EQ(c.ComNumber(), port2);
  c.PutString("to-second");
  EXPECT_EQ(second.ReadString(9), "to-second");
  EXPECT_EQ(line.Peer.ReadAvailable(50), "");
  ASSERT_TRUE(second.Write("xOK"));
  ASSERT_TRUE(triggertest::PumpUntil([&] { return !fired.empty(); }));
  EXPECT_EQ(fired[0], handle);
  // The delivery ends on the dispatch thread just after the window has answered, and the
  // bytes' avail notification may follow it; a close during either would rightly be deferred.
  // So the line must have been quiet for a while (100 ms without a delivery).
  TSioBaseDispatcher* d = c.GetDispatcher();
  auto quietSince = std::chrono::steady_clock::now();
  ASSERT_TRUE(triggertest::PumpUntil([&] {
    auto now = std::chrono::steady_clock::now();
    if (d->Notifying()) quietSince = now;
    return now - quietSince > std::chrono::milliseconds(100);
  }));

  // A reopen that fails keeps the new number and leaves the port closed.
  platform::SetPortDevice(port2 + 1000 > 255 ? 255 : port2 + 1000, "");
  EXPECT_THROW(c.SetComNumber(255), EBadId);
  EXPECT_EQ(c.ComNumber(), 255);
  EXPECT_FALSE(c.Open());
  EXPECT_EQ(c.PortState(), psClosed);
  platform::SetPortDevice(port2, "");
}

TEST(ComPortSetters, ComNumberReopenWritesTheTraceAndStartsAfresh) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  support::TTempDir dir;
  std::string name = dir.File("reopen.trc");
  c.SetTraceName(name);
  c.SetOpen(true);
  c.SetTracing(tlOn);
  c.PutString("A");
  TPty second;
  int port2 = support::NextPortNumber();
  platform::SetPortDevice(port2, second.SlavePath());
  c.SetComNumber(static_cast<WORD>(port2));
  EXPECT_EQ(c.Tracing(), tlOn);
  FILE* f = std::fopen(name.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char text[256] = {};
  ASSERT_NE(std::fgets(text, sizeof text, f), nullptr);
  std::fclose(f);
  EXPECT_NE(std::strstr(text, " T 41"), nullptr) << text;
  // A paused trace ends as off.
  c.SetTracing(tlPause);
  c.SetComNumber(static_cast<WORD>(line.Port));
  EXPECT_EQ(c.Tracing(), tlOff);
  platform::SetPortDevice(port2, "");
}

TEST(ComPortSetters, PutBlockTakesAllOrNothingOfA16BitLength) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  c.FlushOutBuffer();
  std::string big(65537, 'b');
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>('a' + i % 26);
  EXPECT_THROW(c.PutBlock(big.data(), 4097), EOutputBufferTooSmall);
  EXPECT_EQ(c.GetOutBuffUsed(), 0);
  EXPECT_EQ(c.PutBlock(big.data(), 0), 0);
  EXPECT_EQ(line.Peer.ReadAvailable(50), "");
  EXPECT_EQ(c.PutBlock(big.data(), 65537), 0); // arrives as 1
  EXPECT_EQ(line.Peer.ReadString(1), "a");
  EXPECT_EQ(line.Peer.ReadAvailable(50), "");
  c.FlushOutBuffer();
  EXPECT_EQ(c.PutBlock(big.data(), 4096), 0);
  EXPECT_EQ(line.Peer.ReadString(4096), big.substr(0, 4096));
}

TEST(ComPortSetters, DtrRtsAndFlowOptionsReachTheDriver) {
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.SetOpen(true);
  c.SetRTS(false);
  EXPECT_FALSE(c.RTS());
  c.SetHWFlowOptions({hwfUseDTR});
  EXPECT_EQ(DriverState(c).fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(c.BufferFull(), 3686);
  EXPECT_EQ(c.BufferResume(), 409);
  // DTR is the driver's now: setting it by hand changes nothing.
  c.SetDTR(false);
  EXPECT_TRUE(c.DTR());
  c.SetHWFlowOptions({});
  c.SetSWFlowOptions(swfBoth);
  DCB dcb = DriverState(c);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.fOutX, 1u);
  c.SetSWFlowOptions(swfNone);
  EXPECT_EQ(DriverState(c).fInX, 0u);
  EXPECT_EQ(c.GetFlowState(), fcOff);
  c.SetSWFlowOptions(swfReceive);
  EXPECT_EQ(c.GetFlowState(), fcOn);
}

// ---- threshold rules ----

TEST(ComPortThresholds, RulesWithAnInputSizeOf4096) {
  TSioComPort c(nullptr);
  c.SetBufferFull(5000);
  EXPECT_EQ(c.BufferFull(), 4500);

  TSioComPort sw(nullptr);
  sw.SetSWFlowOptions(swfReceive);
  EXPECT_EQ(sw.BufferFull(), 3072);
  EXPECT_EQ(sw.BufferResume(), 1024);
  sw.SetBufferFull(5000); // 4500 is above InSize: the software rule replaces it
  EXPECT_EQ(sw.BufferFull(), 3072);

  TSioComPort resume(nullptr);
  resume.SetBufferFull(1000);
  resume.SetBufferResume(2000);
  EXPECT_EQ(resume.BufferResume(), 100);
  resume.SetBufferResume(500);
  EXPECT_EQ(resume.BufferResume(), 500);

  TSioComPort hw(nullptr);
  hw.SetRS485Mode(true);
  EXPECT_FALSE(hw.RTS());
  hw.SetHWFlowOptions({hwfUseRTS, hwfRequireDSR});
  EXPECT_EQ(hw.BufferFull(), 3686);
  EXPECT_EQ(hw.BufferResume(), 409);
  EXPECT_FALSE(hw.RS485Mode());
  hw.SetRS485Mode(true);
  EXPECT_EQ(hw.HWFlowOptions(), THWFlowOptionSet{hwfRequireDSR});
}

TEST(ComPortThresholds, AnOpenPortSurvivesABufferFullAboveInSizeWithoutFlowControl) {
  TPortLine line;
  line.Comp.SetBufferFull(5000); // 4500, which no driver threshold may be
  line.Comp.SetOpen(true);
  EXPECT_TRUE(line.Comp.Open());
}

// ---- users, Assign, Loaded, destruction ----

TEST(ComPortUsers, UsersAreToldLastToFirstAndDeregisterByCode) {
  std::vector<std::string> order;
  TMessageLog a, b;
  a.Order = b.Order = &order;
  a.Name = "a";
  b.Name = "b";
  HWND wa = MakeMessageLogWindow(a);
  HWND wb = MakeMessageLogWindow(b);
  ASSERT_TRUE(wa && wb);
  struct TCallbacks {
    static void Told(void* object, TObject*, bool opening) {
      static_cast<std::vector<std::string>*>(object)->push_back(opening ? "cb:open" : "cb:close");
    }
    static void Other(void*, TObject*, bool) {}
  };
  TPortLine line;
  TSioComPort& c = line.Comp;
  c.RegisterUser(wa);
  c.RegisterUserCallback({&TCallbacks::Told, &order});
  c.RegisterUser(wb);
  c.RegisterUserCallback({&TCallbacks::Other, nullptr});
  c.OnPortOpened = [&](TObject*) { order.push_back("opened"); };
  c.OnPortClosing = [&](TObject*) { order.push_back("closing"); };
  c.SetOpen(true);
  c.SetOpen(false);
  EXPECT_EQ(order, (std::vector<std::string>{"b:32264", "cb:open", "a:32264", "opened", "b:32265",
                                             "cb:close", "a:32265", "closing"}));
  order.clear();
  // Same code, another object: still removed.
  c.DeregisterUserCallback({&TCallbacks::Told, nullptr});
  c.DeregisterUser(wb);
  c.SetOpen(true);
  EXPECT_EQ(order, (std::vector<std::string>{"a:32264", "opened"}));
  DestroyWindow(wa);
  DestroyWindow(wb);
}

TEST(ComPortUsers, AssignCopiesTheConfigurationAndTheTriggers) {
  TPortLine line;
  TSioComPort& src = line.Comp;
  src.SetBaud(38400);
  src.SetParity(pOdd);
  src.SetRTS(false);
  src.SetSWFlowOptions(swfReceive);
  src.SetTraceName("x.trc");
  src.SetOpen(true);
  WORD handle = src.AddDataTrigger("Z", false);
  TSioComPort copy(nullptr);
  copy.Assign(&src);
  copy.Assign(nullptr); // other sources: nothing
  EXPECT_EQ(copy.ComNumber(), line.Port);
  EXPECT_EQ(copy.Baud(), 38400);
  EXPECT_EQ(copy.Parity(), pOdd);
  EXPECT_FALSE(copy.RTS());
  EXPECT_EQ(copy.SWFlowOptions(), swfReceive);
  EXPECT_EQ(copy.BufferFull(), 3072);
  EXPECT_EQ(copy.TraceName(), "x.trc");
  EXPECT_FALSE(copy.AutoOpen());
  EXPECT_FALSE(copy.Open());
  src.SetOpen(false);
  // The copy's first open brings the source's trigger along.
  copy.SetOpen(true);
  ASSERT_TRUE(copy.Open());
  TTriggerType type;
  TTriggerRecord record;
  EXPECT_EQ(copy.GetDispatcher()->FindTriggerFromHandle(handle, false, type, record), 0);
  EXPECT_EQ(type, ttData);
}

namespace {
std::vector<std::string> gShown;
void CaptureShown(const std::string& message) {
  gShown.push_back(message);
}
} // namespace

TEST(ComPortUsers, LoadedOpensWhatTheResourceOpenedAndShowsAFailure) {
  TPortLine line;
  line.Comp.BeginLoading();
  line.Comp.SetOpen(true);
  EXPECT_TRUE(line.Comp.Open()); // stored only
  EXPECT_EQ(line.Comp.GetDispatcher(), nullptr);
  line.Comp.EndLoading();
  EXPECT_EQ(line.Comp.PortState(), psOpen);
  EXPECT_TRUE(line.Comp.Open());

  gShown.clear();
  SetSioExceptionDisplay(&CaptureShown);
  TSioComPort busy(nullptr);
  busy.SetComNumber(static_cast<WORD>(line.Port));
  busy.BeginLoading();
  busy.SetOpen(true);
  EXPECT_NO_THROW(busy.EndLoading());
  SetSioExceptionDisplay(nullptr);
  EXPECT_FALSE(busy.Open());
  EXPECT_EQ(busy.PortState(), psClosed);
  ASSERT_EQ(gShown.size(), 1u);
  EXPECT_EQ(gShown[0], SioLoadStr(ecAlreadyOpen));
}

TEST(ComPortUsers, DestroyingAnOpenComponentStopsEverything) {
  int threads = support::BaselineThreadCount();
  {
    TPortLine line;
    line.Comp.SetOpen(true);
    ASSERT_TRUE(line.Comp.Open());
    EXPECT_GT(support::ThreadCount(), threads);
  }
  EXPECT_TRUE(support::WaitUntil([&] { return support::ThreadCount() <= threads; }));
}

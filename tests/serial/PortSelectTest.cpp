// Port validation: which ports count as present, and what a component without a port number
// does with and without a chooser.
#include <gtest/gtest.h>

#include "ComPortTestSupport.h"
#include "serial/Exceptions.h"
#include "serial/PortSelect.h"

using comporttest::TPortLine;
using support::TPty;

namespace {

// Restores the module's switches and removes the chooser however a test ends.
struct TSelectState {
  TSelectState() { SetComPortChooser(nullptr); }
  ~TSelectState() {
    UseDispatcherForAvail = true;
    ShowPortsInUse = true;
    SetComPortChooser(nullptr);
  }
};

} // namespace

TEST(PortSelect, IsPortAvailableAnswersForFreeHeldAndMissingPorts) {
  TSelectState state;
  EXPECT_FALSE(IsPortAvailable(0));
  TPortLine line;
  int missing = support::NextPortNumber();
  platform::SetPortDevice(missing, "/nonexistent/tty-for-test");
  for (bool viaDispatcher : {true, false}) {
    UseDispatcherForAvail = viaDispatcher;
    SCOPED_TRACE(viaDispatcher ? "through a dispatcher" : "through CreateFileA");
    EXPECT_TRUE(IsPortAvailable(static_cast<uint32_t>(line.Port)));
    EXPECT_FALSE(IsPortAvailable(static_cast<uint32_t>(missing)));
    // The test let the port go again: it can be opened.
    line.Comp.SetOpen(true);
    ASSERT_TRUE(line.Comp.Open());
    ShowPortsInUse = true;
    EXPECT_TRUE(IsPortAvailable(static_cast<uint32_t>(line.Port)));
    ShowPortsInUse = false;
    EXPECT_FALSE(IsPortAvailable(static_cast<uint32_t>(line.Port)));
    ShowPortsInUse = true;
    line.Comp.SetOpen(false);
  }
  platform::SetPortDevice(missing, "");
}

TEST(PortSelect, AValidNumberTestsNothing) {
  TSelectState state;
  int asked = 0;
  SetComPortChooser([&](const std::vector<unsigned>&) {
    ++asked;
    return 1;
  });
  TPortLine line;
  line.Comp.SetOpen(true);
  EXPECT_TRUE(line.Comp.Open());
  EXPECT_EQ(asked, 0);
}

TEST(PortSelect, NoNumberAsksTheChooserWithThePresentPorts) {
  TSelectState state;
  // Ports 1..50 of this machine are mapped to pseudo-terminals for the test: COM1 free, COM3
  // held by another component; the rest are missing (mapped to no device).
  TPty one, three;
  for (int n = 1; n <= 50; ++n)
    platform::SetPortDevice(n, "/nonexistent/tty-for-test");
  platform::SetPortDevice(1, one.SlavePath());
  platform::SetPortDevice(3, three.SlavePath());
  {
    TSioComPort holder(nullptr);
    holder.SetComNumber(3);
    holder.SetOpen(true);
    ASSERT_TRUE(holder.Open());

    std::vector<unsigned> offered;
    int answer = 1;
    SetComPortChooser([&](const std::vector<unsigned>& ports) {
      offered = ports;
      return answer;
    });
    EXPECT_EQ(AvailablePorts(), (std::vector<unsigned>{1, 3}));
    TSioComPort comp(nullptr);
    comp.SetOpen(true);
    EXPECT_EQ(offered, (std::vector<unsigned>{1, 3}));
    EXPECT_EQ(comp.ComNumber(), 1);
    EXPECT_TRUE(comp.Open());

    // Choosing the held port: the open then fails as held.
    TSioComPort second(nullptr);
    answer = 3;
    EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
    EXPECT_EQ(second.ComNumber(), 3);
    EXPECT_FALSE(second.Open());

    // Cancelled: no port, and the port stays closed.
    TSioComPort cancelled(nullptr);
    answer = PortChoiceCancelled;
    EXPECT_THROW(cancelled.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(cancelled.ComNumber(), 0);
    EXPECT_EQ(cancelled.PortState(), psClosed);

    // No prompting: the chooser is not asked.
    offered.clear();
    TSioComPort quiet(nullptr);
    quiet.SetPromptForPort(false);
    EXPECT_THROW(quiet.SetOpen(true), ENoPortSelected);
    EXPECT_TRUE(offered.empty());

    // What the chooser raises leaves the open as it is.
    SetComPortChooser([](const std::vector<unsigned>&) -> int {
      throw EConvertError("'' is not a valid integer value");
    });
    TSioComPort failing(nullptr);
    EXPECT_THROW(failing.SetOpen(true), EConvertError);
    EXPECT_EQ(failing.ComNumber(), 0);
  }
  for (int n = 1; n <= 50; ++n)
    platform::SetPortDevice(n, ""); // the tests map nothing below 60
}

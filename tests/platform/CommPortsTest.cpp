// Port numbers: the explicit map and discovery from sysfs, on made-up sysfs trees (and once
// on the real one, which must never yield the console).
#include "CommTest.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <sstream>

using ::testing::HasSubstr;

using namespace commtest;

namespace {

// A sysfs tree as the kernel lays it out: class/tty/NAME links into devices/.
void AddTty(const TTempDir& root, const std::string& name, const std::string& deviceDir,
            const std::string& type = "") {
  std::string ttyDir =
      "devices/" + (deviceDir.empty() ? "virtual/tty" : deviceDir) + "/tty/" + name;
  root.Write(ttyDir + "/dev", "4:64\n");
  if (!type.empty()) root.Write(ttyDir + "/type", type + "\n");
  if (!deviceDir.empty()) root.Link(ttyDir + "/device", "../..");
  root.Link("class/tty/" + name, "../../" + ttyDir);
}

std::vector<std::string> Names(const std::vector<platform::TSerialDevice>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices)
    names.push_back(d.Name);
  return names;
}

} // namespace

TEST(CommDiscovery, OrderFiltersAndConsole) {
  TTempDir sys;
  AddTty(sys, "ttyS0", "pnp0/00:01", "4"); // the console
  AddTty(sys, "ttyS1", "platform/serial8250", "4");
  AddTty(sys, "ttyS2", "platform/serial8250", "0"); // an unprobed slot
  AddTty(sys, "ttyS10", "platform/serial8250", "4");
  AddTty(sys, "ttyUSB1", "pci0/usb1/1-2/1-2:1.0/ttyUSB1");
  AddTty(sys, "ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0");
  sys.Write("devices/pci0/usb1/1-1/idVendor", "0403\n");
  sys.Write("devices/pci0/usb1/1-1/idProduct", "6001\n");
  sys.Write("devices/pci0/usb1/1-1/product", "FT232R USB UART\n");
  sys.Link("devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/driver",
           "../../../../../../bus/usb-serial/ftdi_sio");
  AddTty(sys, "ttyACM0", "pci0/usb1/1-3/1-3:1.0");
  AddTty(sys, "ttyAMA0", "platform/fe201000.serial");
  AddTty(sys, "tty1", "");
  AddTty(sys, "ptmx", "");
  sys.Write("class/tty/console/active", "tty0 ttyS0\n");

  auto devices = platform::DiscoverSerialDevices(sys.Path(), "/devroot");
  EXPECT_EQ(Names(devices), (std::vector<std::string>{"ttyS1", "ttyS10", "ttyUSB0", "ttyUSB1",
                                                      "ttyACM0", "ttyAMA0"}));
  ASSERT_EQ(devices.size(), 6u);
  EXPECT_EQ(devices[0].DevicePath, "/devroot/ttyS1");
  EXPECT_THAT(devices[2].Description, HasSubstr("0403:6001")) << devices[2].Description;
  EXPECT_THAT(devices[2].Description, HasSubstr("FT232R USB UART"));
  EXPECT_THAT(devices[2].Description, HasSubstr("ftdi_sio"));

  // A missing tree is no devices, not an error.
  EXPECT_TRUE(platform::DiscoverSerialDevices(sys.File("none")).empty());
}

TEST(CommDiscovery, RealSysfsNeverListsTheConsole) {
  std::ifstream in("/sys/class/tty/console/active");
  std::string consoles((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream words(consoles);
  std::string console;
  auto names = Names(platform::DiscoverSerialDevices("/sys"));
  while (words >> console)
    EXPECT_EQ(std::count(names.begin(), names.end(), console), 0) << console;
}

TEST(CommDiscovery, MapComesBeforeDiscovery) {
  TPty first, second, mapped;
  ASSERT_TRUE(first.Ok() && second.Ok() && mapped.Ok());
  TTempDir sys;
  AddTty(sys, "ttyUSB0", "usb/1-1:1.0/ttyUSB0");
  AddTty(sys, "ttyUSB1", "usb/1-2:1.0/ttyUSB1");
  sys.Link("dev/ttyUSB0", first.SlavePath());
  sys.Link("dev/ttyUSB1", second.SlavePath());
  platform::SetDiscoveryRoots(sys.Path(), sys.File("dev"));

  // Which pseudo-terminal a port number reaches: the one whose master hears it.
  auto reaches = [](int number, const TPty& pty) {
    HANDLE h = OpenPort(PortName(number));
    if (h == INVALID_HANDLE_VALUE) return false;
    TEventHandle ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.Get();
    DWORD n = 0;
    if (!WriteFile(h, "hi", 2, &n, &ov)) GetOverlappedResult(h, &ov, &n, TRUE);
    bool heard = pty.Receive(2, 2000) == "hi";
    CloseHandle(h);
    return heard;
  };
  EXPECT_TRUE(reaches(1, first));
  EXPECT_TRUE(reaches(2, second));
  EXPECT_EQ(OpenPort(PortName(3)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(platform::SetPortDevice(1, mapped.SlavePath()));
  EXPECT_EQ(platform::ResolvePortDevice(1), mapped.SlavePath());
  EXPECT_TRUE(reaches(1, mapped));
  EXPECT_TRUE(reaches(2, second)); // the n-th device still answers for COMn

  auto ports = platform::EnumerateSerialPorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].PortNumber, 1);
  EXPECT_TRUE(ports[0].Mapped);
  EXPECT_EQ(ports[1].PortNumber, 2);
  EXPECT_FALSE(ports[1].Mapped);
  EXPECT_EQ(ports[1].DevicePath, sys.File("dev/ttyUSB1"));

  ASSERT_TRUE(platform::SetPortDevice(1, "")); // an empty path removes the entry
  EXPECT_EQ(platform::ResolvePortDevice(1), sys.File("dev/ttyUSB0"));
  EXPECT_FALSE(platform::SetPortDevice(0, "/dev/null"));
  EXPECT_FALSE(platform::SetPortDevice(256, "/dev/null"));
  EXPECT_EQ(platform::ResolvePortDevice(0), "");

  platform::ClearPortMap();
  platform::SetDiscoveryRoots("", "");
}

// --list-ports on a sysfs tree laid out by the test, with mapped pseudo-terminals, and who
// holds a port — found without opening it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "CliPorts.h"
#include "CliRig.h"
#include "serial/Win32Dispatcher.h"
#include "support/Process.h"

using ::testing::HasSubstr;

using support::Lines;
using support::TProcess;
using support::TTempDir;

namespace fs = std::filesystem;

namespace {

void WriteAttribute(const fs::path& path, const std::string& value) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << value << "\n";
}

// A sysfs tree with the console on ttyS0, an unprobed ttyS1, a real ttyS2 and an FTDI
// adapter on ttyUSB0; the devices are symlinks to the given pseudo-terminals.
struct TFakeSystem {
  TTempDir Dir;
  fs::path Sys, Dev;
  TFakeSystem(const std::string& uart, const std::string& usb) {
    Sys = fs::path(Dir.Path()) / "sys";
    Dev = fs::path(Dir.Path()) / "dev";
    fs::path tty = Sys / "class" / "tty";
    WriteAttribute(tty / "console" / "active", "ttyS0");
    WriteAttribute(tty / "ttyS0" / "type", "4");
    WriteAttribute(tty / "ttyS1" / "type", "0");
    WriteAttribute(tty / "ttyS2" / "type", "4");
    fs::path usbDevice = Sys / "devices" / "usb1" / "1-1";
    WriteAttribute(usbDevice / "idVendor", "0403");
    WriteAttribute(usbDevice / "idProduct", "6001");
    WriteAttribute(usbDevice / "manufacturer", "FTDI");
    WriteAttribute(usbDevice / "product", "FT232R USB UART");
    fs::path iface = usbDevice / "1-1:1.0" / "ttyUSB0";
    fs::create_directories(iface);
    fs::create_directory_symlink(Sys / "bus" / "usb-serial" / "drivers" / "ftdi_sio",
                                 iface / "driver");
    fs::create_directories(tty / "ttyUSB0");
    fs::create_directory_symlink(iface, tty / "ttyUSB0" / "device");
    fs::create_directories(Dev);
    fs::create_symlink(uart, Dev / "ttyS2");
    fs::create_symlink(usb, Dev / "ttyUSB0");
    platform::SetDiscoveryRoots(Sys.string(), Dev.string());
  }
  ~TFakeSystem() { platform::SetDiscoveryRoots(""); }
};

std::string ListPortsText(const std::string& sys, const std::string& dev) {
  TCapture out;
  ListPorts(out.File(), sys, dev);
  return out.Text();
}

std::string Self() {
  return std::to_string(getpid()) + " (cli_tests)";
}

} // namespace

TEST(CliPorts, ListsDiscoveredAndMappedPortsWithDescriptionAndHolder) {
  TRunningSim uart, usb, mapped;
  TFakeSystem system(uart.Path(), usb.Path());
  platform::SetPortDevice(7, mapped.Path());
  platform::SetPortDevice(8, (system.Dev / "ttyUSB0").string());
  platform::SetPortDevice(60, mapped.Path()); // beyond the listed range
  TSioWin32Dispatcher holder(nullptr);
  ASSERT_EQ(holder.InitPort("\\\\.\\COM2", 19200, 0, 8, 1, 4096, 4096, 1), 0);

  std::string dev = system.Dev.string();
  EXPECT_EQ(
      Lines(ListPortsText(system.Sys.string(), dev)),
      (std::vector<std::string>{
          "COM1\t" + dev + "/ttyS2\t-\tfree\t-",
          "COM2\t" + dev + "/ttyUSB0\tftdi_sio, 0403:6001 FTDI FT232R USB UART\theld by " + Self() +
              "\tusb:0403:6001 usb-port:1-1",
          "COM7\t" + mapped.Path() + "\tmapped\tfree\t-",
          "COM8\t" + dev + "/ttyUSB0\tmapped, ftdi_sio, 0403:6001 FTDI FT232R USB UART\theld by " +
              Self() + "\tusb:0403:6001 usb-port:1-1",
      }));
  holder.DonePort();
  EXPECT_EQ(FindPortHolder(usb.Path()).Pid, 0);
  // Listing opened nothing: no simulator saw its slave opened and closed.
  EXPECT_EQ(uart.Sim.Hangups(), 0u);
  EXPECT_EQ(mapped.Sim.Hangups(), 0u);

  // The same through the command line, the settings file's map included.
  TTempDir dir;
  std::string settings = dir.Write("fwload.INI", "[Ports]\nCOM5=" + uart.Path() + "\n");
  TCliRun run = RunCliCaptured({"--list-ports", "--settings", settings});
  EXPECT_EQ(run.Status, 0);
  EXPECT_THAT(run.Out, HasSubstr("COM5\t" + uart.Path() + "\tmapped\tfree\t-\n")) << run.Out;
  for (int n : {5, 7, 8, 60})
    platform::SetPortDevice(n, "");
}

TEST(CliPorts, AHolderInAnotherProcessIsNamed) {
  TProcess sim(FWLOAD_SIM_PATH, {"--accept"});
  std::string slave = sim.ReadLine(5000);
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(FindPortHolder(slave).Pid, 0);
  // Another program with the slave open: a shell's descriptor, kept by the program it
  // becomes (ended by the helper's destructor).
  TProcess holder("/bin/sh", {"-c", "exec 3<>\"$0\"; echo open; exec sleep 600", slave});
  ASSERT_TRUE(holder.WaitForLine("open", 5000));
  TPortHolder found = FindPortHolder(slave);
  EXPECT_EQ(found.Pid, holder.Pid());
  // "sh" until it has become "sleep".
  EXPECT_FALSE(found.Command.empty());
  EXPECT_EQ(FindPortHolder("/nonexistent/tty").Pid, 0);
}

TEST(CliPorts, AnEmptyListSaysSoOnStandardError) {
  TTempDir dir;
  std::filesystem::create_directories(dir.File("sys/class/tty"));
  std::filesystem::create_directories(dir.File("dev"));
  platform::SetDiscoveryRoots(dir.File("sys"), dir.File("dev"));
  std::string settings = dir.Write("fwload.INI", "[COM]\nNumber=3\n");
  TCliRun run = RunCliCaptured({"--list-ports", "--settings", settings});
  platform::SetDiscoveryRoots("");
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "fwload-cli: no serial port present among COM1..COM50\n");
}

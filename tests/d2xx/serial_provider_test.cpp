// The serial backend over a fake sysfs tree laid out as the kernel lays out USB serial adapters,
// and a device folder whose ttyUSBn are links to pseudo-terminals.
#include "d2xx/serial_provider.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "link/ft232.h"
#include "link/link.h"
#include "tests/d2xx/pty_pair.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

void Link(const fs::path &link, const fs::path &target) {
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

void Write(const fs::path &file, const std::string &text) {
  std::ofstream(file, std::ios::binary) << text;
}

// /sys as the kernel shows USB serial adapters: class/tty/ttyUSBn -> the tty under the port
// device, whose driver link names the serial driver; the USB device two levels above the port
// (above its interface) holds idVendor, product and serial.
class FakeSysfs {
 public:
  FakeSysfs() { fs::create_directories(Root() / "class" / "tty"); }
  fs::path Root() const { return fs::path(folder_.Folder()) / "sys"; }

  struct Usb {
    std::string port;  // "1-1"
    std::string driver = "ftdi_sio";
    std::string vendor = "0403";
    std::optional<std::string> product = "VERTIKOmate";
    std::optional<std::string> serial;
  };

  void AddUsbTty(const std::string &tty, const Usb &usb) {
    const fs::path device = Root() / "devices/pci0000:00/0000:00:14.0/usb1" / usb.port;
    fs::create_directories(device);
    Write(device / "idVendor", usb.vendor + "\n");
    Write(device / "idProduct", "6001\n");
    if (usb.product) Write(device / "product", *usb.product + "\n");
    if (usb.serial) Write(device / "serial", *usb.serial + "\n");
    const fs::path port = device / (usb.port + ":1.0") / tty;
    fs::create_directories(port / "tty" / tty);
    if (!usb.driver.empty()) {
      const fs::path driver = Root() / "bus/usb-serial/drivers" / usb.driver;
      fs::create_directories(driver);
      Link(port / "driver", driver);
    }
    Link(port / "tty" / tty / "device", port);
    Link(Root() / "class/tty" / tty, port / "tty" / tty);
  }

  // A tty that is no USB serial port at all (a built-in UART).
  void AddPlatformTty(const std::string &tty) {
    const fs::path port = Root() / "devices/platform/serial8250";
    fs::create_directories(port / "tty" / tty);
    const fs::path driver = Root() / "bus/platform/drivers/serial8250";
    fs::create_directories(driver);
    if (!fs::exists(port / "driver")) Link(port / "driver", driver);
    Link(port / "tty" / tty / "device", port);
    Link(Root() / "class/tty" / tty, port / "tty" / tty);
  }

 private:
  TempFolder folder_;
};

using Entries = std::vector<std::pair<std::string, std::string>>;  // name, description/serial

Entries Listed(const FakeSysfs &sys) {
  Entries out;
  for (const auto &tty : d2xx::ListFtdiTtys(sys.Root().string()))
    out.emplace_back(tty.name, tty.entry.description + "/" + tty.entry.serial);
  return out;
}

// The serial provider alone behind the driver functions, over a fake /sys and /dev.
struct SerialBackend {
  SerialBackend(const FakeSysfs &sys, const std::string &dev) {
    std::vector<std::unique_ptr<d2xx::DeviceProvider>> providers;
    providers.push_back(d2xx::MakeSerialProvider(sys.Root().string(), dev));
    installed.emplace(std::make_unique<d2xx::ProviderBackend>(std::move(providers)));
  }
  std::optional<d2xx::ScopedBackend> installed;
};

}  // namespace

TEST(SerialListing, ListsTheTtysOfTheFtdiDriverWithTheirUsbStrings) {
  FakeSysfs sys;
  sys.AddUsbTty("ttyUSB0", {.port = "1-1", .serial = "VRT00017"});
  sys.AddUsbTty("ttyUSB1", {.port = "1-2",
                            .driver = "pl2303",
                            .vendor = "067b",
                            .product = "USB-Serial Controller",
                            .serial = "PL1"});
  sys.AddUsbTty("ttyUSB2", {.port = "1-3", .product = "FT232R USB UART", .serial = "A50285BI"});
  sys.AddUsbTty("ttyUSB3", {.port = "1-4", .driver = "", .serial = "VRT00099"});  // unbound
  sys.AddUsbTty("ttyACM0", {.port = "1-5", .driver = "cdc_acm", .serial = "VRT00005"});
  sys.AddPlatformTty("ttyS0");
  EXPECT_EQ(Listed(sys), (Entries{{"ttyUSB0", "VERTIKOmate/VRT00017"},
                                  {"ttyUSB2", "FT232R USB UART/A50285BI"}}));
}

TEST(SerialListing, MissingStringsAreListedEmpty) {
  FakeSysfs sys;
  sys.AddUsbTty("ttyUSB0", {.port = "1-1", .serial = std::nullopt});
  sys.AddUsbTty("ttyUSB1", {.port = "1-2", .product = std::nullopt, .serial = "VRT00002"});
  EXPECT_EQ(Listed(sys), (Entries{{"ttyUSB0", "VERTIKOmate/"}, {"ttyUSB1", "/VRT00002"}}));
}

TEST(SerialListing, StringsStopAtTheirLineEnd) {
  FakeSysfs sys;
  sys.AddUsbTty("ttyUSB0", {.port = "1-1", .serial = "VRT00001"});
  Write(sys.Root() / "devices/pci0000:00/0000:00:14.0/usb1/1-1/serial",
        std::string("VRT00001\r\0junk", 15));
  EXPECT_EQ(Listed(sys), (Entries{{"ttyUSB0", "VERTIKOmate/VRT00001"}}));
}

TEST(SerialListing, TheOrderFollowsTheTtyNumbers) {
  FakeSysfs sys;
  // Made in an order unlike both the numbers and the names' byte order.
  sys.AddUsbTty("ttyUSB10", {.port = "1-1", .serial = "VRT00010"});
  sys.AddUsbTty("ttyUSB2", {.port = "1-2", .serial = "VRT00002"});
  sys.AddUsbTty("ttyUSB1", {.port = "1-3", .serial = "VRT00001"});
  const Entries expected{{"ttyUSB1", "VERTIKOmate/VRT00001"},
                         {"ttyUSB2", "VERTIKOmate/VRT00002"},
                         {"ttyUSB10", "VERTIKOmate/VRT00010"}};
  EXPECT_EQ(Listed(sys), expected);
  EXPECT_EQ(Listed(sys), expected);
}

TEST(SerialListing, ATreeWithoutTtysListsNothing) {
  TempFolder empty;
  EXPECT_TRUE(d2xx::ListFtdiTtys(empty.Folder()).empty());
  EXPECT_TRUE(d2xx::ListFtdiTtys(empty.File("absent")).empty());
}

TEST(SerialProvider, TheDriverListsTheAdaptersAndOpensOneBySerialNumber) {
  FakeSysfs sys;
  TempFolder dev;
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  sys.AddUsbTty("ttyUSB0", {.port = "1-1", .product = "FT232R USB UART", .serial = "A1"});
  sys.AddUsbTty("ttyUSB1", {.port = "1-2", .serial = "VRT00017"});
  fs::create_symlink(pty.SlavePath(), dev.File("ttyUSB1"));
  SerialBackend backend(sys, dev.Folder());

  ASSERT_EQ(GetFTDeviceCount(), FT_OK);
  EXPECT_EQ(FTDeviceCount, 2u);
  ASSERT_EQ(GetFTDeviceDescription(1), FT_OK);
  EXPECT_EQ(FTListText, "VERTIKOmate");
  ASSERT_EQ(GetFTDeviceSerialNo(1), FT_OK);
  EXPECT_EQ(FTListText, "VRT00017");

  auto port = std::make_unique<TFT232>("VRT00017");
  ConfigurePort(*port);  // the lines fail on a pseudo-terminal; the rest must hold
  EXPECT_TRUE(SendText(port.get(), std::string("AT@NORM\r\n\0\x11", 11)));
  EXPECT_EQ(pty.Receive(12, std::chrono::milliseconds(300)), std::string("AT@NORM\r\n\0\x11", 11));
  ASSERT_TRUE(pty.Send("NEW\r\nOK\r\n"));
  std::string reply;
  for (int i = 0; i < 300 && reply.size() < 9; ++i) {
    reply += ReceiveAll(port, "VRT00017");
    if (reply.size() < 9) pty.Receive(1, std::chrono::milliseconds(10));
  }
  EXPECT_EQ(reply, "NEW\r\nOK\r\n");

  EXPECT_THROW(TFT232("VRT00017"), TFT232Exception) << "a second open of an open unit";
  EXPECT_THROW(TFT232("VRT99999"), TFT232Exception);
  try {
    TFT232 absent("A1");  // listed, but its device node is not there
    FAIL() << "opened a device without a node";
  } catch (const TFT232Exception &e) {
    EXPECT_STREQ(e.what(), "Device A1 can not open");
  }
}

TEST(SerialProvider, AnUnpluggedUnitFailsAndIsTakenUpWhenPluggedInAgain) {
  FakeSysfs sys;
  TempFolder dev;
  auto first = std::make_unique<PtyPair>();
  ASSERT_TRUE(first->ok());
  sys.AddUsbTty("ttyUSB0", {.port = "1-1", .serial = "VRT00017"});
  fs::create_symlink(first->SlavePath(), dev.File("ttyUSB0"));
  SerialBackend backend(sys, dev.Folder());
  auto port = std::make_unique<TFT232>("VRT00017");
  TFT232 *before = port.get();

  first->CloseMaster();
  std::uint8_t byte = 0;
  EXPECT_EQ(port->RxQueueCount(), -1);
  EXPECT_FALSE(port->ReadByte(byte));
  EXPECT_FALSE(port->WriteByte('A'));
  EXPECT_EQ(ReceiveAll(port, "VRT00017"), "");
  EXPECT_EQ(port.get(), before) << "nothing to reopen while the unit is away";

  // Plugged in again: the same serial number on a new tty.
  PtyPair second;
  ASSERT_TRUE(second.ok());
  fs::remove(dev.File("ttyUSB0"));
  fs::create_symlink(second.SlavePath(), dev.File("ttyUSB0"));
  EXPECT_EQ(ReceiveAll(port, "VRT00017"), "");
  ASSERT_NE(port.get(), before) << "the failed status made the receive open the unit anew";
  ASSERT_TRUE(second.Send("OK\r\n"));
  std::string reply;
  for (int i = 0; i < 300 && reply.size() < 4; ++i) {
    reply += ReceiveAll(port, "VRT00017");
    if (reply.size() < 4) second.Receive(1, std::chrono::milliseconds(10));
  }
  EXPECT_EQ(reply, "OK\r\n");
}

TEST(SerialProvider, TheSystemProviderReadsThisMachinesSysfs) {
  // Whatever this machine has, the listing returns and every entry is an ftdi_sio tty.
  auto provider = d2xx::MakeSerialProvider();
  ASSERT_TRUE(provider);
  const auto ttys = d2xx::ListFtdiTtys("/sys");
  EXPECT_EQ(provider->Enumerate().size(), ttys.size());
  for (const auto &tty : ttys) EXPECT_TRUE(tty.name.starts_with("ttyUSB"));
  std::unique_ptr<d2xx::Device> device;
  EXPECT_EQ(provider->Open("", device), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(provider->Open("no such serial number", device), FT_DEVICE_NOT_FOUND);
}

// The emulated provider against devices on real sockets: units served by the link server on a
// thread, and a raw device of the test's own that speaks the frames byte by byte.
#include "d2xx/emulated_provider.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <random>
#include <thread>
#include <vector>

#include "d2xx/device_link.h"
#include "link/ft232.h"
#include "link/link.h"
#include "sim/link_server.h"
#include "tests/support/emulated_backend.h"
#include "tests/support/private_runtime_dir.h"

using namespace std::chrono_literals;
namespace dl = d2xx::link;

namespace {

template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = 3s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<std::string> listed() {
  std::vector<std::string> out;
  if (GetFTDeviceCount() != FT_OK) return out;
  for (DWORD i = 0; i < FTDeviceCount; ++i) {
    GetFTDeviceDescription(i);
    std::string entry = FTListText + "/";
    GetFTDeviceSerialNo(i);
    out.push_back(entry + FTListText);
  }
  return out;
}

// Polls the link until the received text ends in LF, or gives up.
std::string reply(std::unique_ptr<TFT232> &port, const std::string &serial) {
  std::string got;
  waitFor([&] {
    got += ReceiveAll(port, serial);
    return !got.empty() && got.back() == '\n';
  });
  return got;
}

class EmulatedLink : public ::testing::Test {
 protected:
  void SetUp() override { server.Start(); }

  PrivateRuntimeDir runtime;
  d2xx::ScopedBackend backend{EmulatedBackend()};
  sim::SystemClock clock;
  sim::LinkServer server{clock};
};

// A device written by hand: its folder, its lock and its socket; the test speaks for it.
class RawDevice {
 public:
  RawDevice(const std::string &directory, const std::string &serial, bool lock = true) {
    mkdir(directory.c_str(), 0700);
    folder_ = directory + "/" + serial;
    mkdir(folder_.c_str(), 0700);
    write(folder_ + "/description", "VERTIKOmate\n");
    write(folder_ + "/serial", serial + "\n");
    lockFd_ = open((folder_ + "/link.lock").c_str(), O_RDWR | O_CREAT, 0600);
    if (lock) flock(lockFd_, LOCK_EX);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = folder_ + "/link";
    std::strcpy(a.sun_path, path.c_str());
    bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listenFd_, 4);
  }
  ~RawDevice() {
    Join();
    DropHost();
    close(listenFd_);
    close(lockFd_);
  }
  // Accepts the next host on a thread and sends it `greeting`, after `delay`.
  void Serve(std::string greeting, std::chrono::milliseconds delay = 0ms) {
    thread_ = std::thread([this, greeting, delay] {
      hostFd_ = accept(listenFd_, nullptr, nullptr);
      std::this_thread::sleep_for(delay);
      if (!greeting.empty()) send(hostFd_, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    });
  }
  // Accepts every host on a thread and never says a word to it, until Join().
  void ServeSilently() {
    holding_ = true;
    thread_ = std::thread([this] {
      std::vector<int> held;
      while (holding_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 5) > 0) held.push_back(accept(listenFd_, nullptr, nullptr));
      }
      for (int fd : held) close(fd);
    });
  }
  void Join() {
    holding_ = false;
    if (thread_.joinable()) thread_.join();
  }
  // The device lets its host go, as an unplug does.
  void DropHost() {
    if (hostFd_ >= 0) close(hostFd_);
    hostFd_ = -1;
  }
  void Send(const std::string &bytes) { send(hostFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Everything the host has sent, after waiting until nothing more comes for a moment.
  std::string Received() {
    std::string got;
    char buffer[1024];
    pollfd p{hostFd_, POLLIN, 0};
    while (poll(&p, 1, 100) > 0) {
      const ssize_t n = recv(hostFd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  const std::string &Folder() const { return folder_; }

 private:
  static void write(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    [[maybe_unused]] auto n = ::write(fd, text.data(), text.size());
    close(fd);
  }
  std::string folder_;
  int lockFd_ = -1, listenFd_ = -1, hostFd_ = -1;
  std::thread thread_;
  std::atomic<bool> holding_{false};
};

std::string frame(char type, const std::string &payload) {
  std::string f;
  dl::AppendFrame(f, type, payload);
  return f;
}

}  // namespace

TEST_F(EmulatedLink, ListsUnitsAndAForeignDeviceInByteOrderOfTheirFolders) {
  server.Add({.serial = "VRT00002"});
  server.AddForeign("A7Q0X", "FT232R USB UART", "ftdi-a");
  server.Add({.serial = "VRT00001"});
  EXPECT_EQ(listed(), (std::vector<std::string>{"VERTIKOmate/VRT00001", "VERTIKOmate/VRT00002",
                                                "FT232R USB UART/A7Q0X"}));
  EXPECT_EQ(FTDeviceCount, 3u);
  server.Unplug("VRT00001");
  EXPECT_EQ(listed(), (std::vector<std::string>{"VERTIKOmate/VRT00002", "FT232R USB UART/A7Q0X"}));
}

TEST_F(EmulatedLink, AnOpenedUnitAnswersAndSeesTheConfiguration) {
  auto &unit = server.Add({.serial = "VRT00001"});
  auto port = std::make_unique<TFT232>("VRT00001");
  ConfigurePort(*port);
  EXPECT_TRUE(port->CtsClear());
  EXPECT_TRUE(SendText(port.get(), "AT@NORM\r\n"));
  EXPECT_EQ(reply(port, "VRT00001"), "OK\r\n");
  auto lock = server.Lock();
  EXPECT_TRUE(unit.Dtr());
  EXPECT_FALSE(unit.Rts());
  EXPECT_EQ(unit.BaudRate(), 9600u);
  EXPECT_EQ(unit.GetRecord().commandLines, std::vector<std::string>{"AT@NORM\r\n"});
}

TEST_F(EmulatedLink, PowerOffReachesTheHostAsCtsSet) {
  auto &unit = server.Add({.serial = "VRT00001"});
  auto port = std::make_unique<TFT232>("VRT00001");
  {
    auto lock = server.Lock();
    unit.SetPowered(false);
  }
  server.Wake();
  EXPECT_TRUE(waitFor([&] { return !port->CtsClear(); }));
}

TEST_F(EmulatedLink, ASecondOpenOfTheSameUnitIsRefused) {
  server.Add({.serial = "VRT00001"});
  auto port = std::make_unique<TFT232>("VRT00001");
  EXPECT_THROW(TFT232 second("VRT00001"), TFT232Exception);
  EXPECT_THROW(TFT232 absent("VRT00002"), TFT232Exception);
  SendText(port.get(), "AT@NORM\r\n");
  EXPECT_EQ(reply(port, "VRT00001"), "OK\r\n");  // the first host is untouched
  port.reset();
  EXPECT_TRUE(waitFor([&] { return !server.HasHost("VRT00001"); }));
  EXPECT_NO_THROW(TFT232 again("VRT00001"));
}

TEST_F(EmulatedLink, UnplugAndPlugInWhileOpenAreTakenUpByTheReopen) {
  auto &unit = server.Add({.serial = "VRT00001"});
  auto port = std::make_unique<TFT232>("VRT00001");
  ConfigurePort(*port);
  server.Unplug("VRT00001");
  EXPECT_EQ(port->RxQueueCount(), -1);
  EXPECT_FALSE(port->WriteByte('A'));
  EXPECT_EQ(port->ClearRts(false), FT_IO_ERROR);
  ULONG status = 0;
  EXPECT_EQ(FT_GetModemStatus(port->Handle, &status), FT_IO_ERROR);
  EXPECT_TRUE(listed().empty());

  TFT232 *old = port.get();
  EXPECT_EQ(ReceiveAll(port, "VRT00001"), "");
  EXPECT_EQ(port.get(), old);  // still gone: the reopen fails quietly

  server.PlugIn("VRT00001");
  // The poll's reopen does not wait for the hello: a later poll takes the unit up.
  EXPECT_TRUE(waitFor([&] { return ReceiveAll(port, "VRT00001").empty() && port.get() != old; }));
  ASSERT_NE(port.get(), old);
  SendText(port.get(), "AT@NORM\r\n");
  EXPECT_EQ(reply(port, "VRT00001"), "OK\r\n");
  auto lock = server.Lock();
  EXPECT_EQ(unit.GetRecord().connections, 2);
  EXPECT_FALSE(unit.Rts());  // the reopen configured the port again
}

TEST_F(EmulatedLink, TheReceiveQueueHoldsAtMost65536Bytes) {
  auto &unit = server.Add({.serial = "VRT00001"});
  auto port = std::make_unique<TFT232>("VRT00001");
  {
    auto lock = server.Lock();
    unit.Say(std::string(70000, 'x'));
  }
  server.Wake();
  std::int32_t count = 0;
  waitFor([&] { return (count = port->RxQueueCount()) == 65536; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(port->RxQueueCount(), 65536);
}

TEST_F(EmulatedLink, TheOpenWaitsForTheHelloAndSaysTheLineLevelsBeforeReturning) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  // The user's open waits for a hello that comes late, within its 250 ms.
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\x10')), 60ms);
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  EXPECT_FALSE(port->CtsClear());  // the status that came after the hello
  ConfigurePort(*port);
  port->WriteByte('A');
  port->ClearRts(true);  // unchanged, and still said
  const std::string expected = frame('L', "\x03") + frame('M', std::string("\0\0", 2)) +
                               frame('L', "\x03") + frame('L', "\x01") +
                               frame('B', std::string("\x80\x25\0\0", 4)) + frame('D', "A") +
                               frame('L', "\x01");
  EXPECT_EQ(device.Received(), expected);
}

TEST_F(EmulatedLink, DataOfTheDeviceJoinsTheQueueAcrossFrameBoundariesAndUnknownFrames) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')) + frame('D', "O"));
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  // A frame cut in two, and a frame of a type the host does not know.
  const std::string rest = frame('X', "abc") + frame('D', "K\r\n");
  device.Send(rest.substr(0, 5));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ReceiveAll(port, "VRT00007"), "O");
  device.Send(rest.substr(5));
  EXPECT_EQ(reply(port, "VRT00007"), "K\r\n");
}

TEST_F(EmulatedLink, AFrameOfAWrongLengthFromTheDeviceClosesTheLink) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')));
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  device.Send(std::string("S\x02\0\0", 4));
  EXPECT_TRUE(waitFor([&] { return port->RxQueueCount() == -1; }));
  DWORD written = 0;
  std::uint8_t byte = 'A';
  EXPECT_EQ(FT_Write(port->Handle, &byte, 1, &written), FT_IO_ERROR);
}

TEST_F(EmulatedLink, AnOpenFailsWithoutTheRightHello) {
  {
    RawDevice silent(runtime.DeviceDirectory(), "VRT00007");
    silent.Serve("");
    EXPECT_THROW(TFT232 port("VRT00007"), TFT232Exception);  // nothing within 250 ms
  }
  {
    RawDevice wrong(runtime.DeviceDirectory(), "VRT00008");
    wrong.Serve(frame('H', "VRT00009"));
    EXPECT_THROW(TFT232 port("VRT00008"), TFT232Exception);
  }
  {
    RawDevice other(runtime.DeviceDirectory(), "VRT00009");
    other.Serve(frame('S', std::string(1, '\0')) + frame('H', "VRT00009"));
    EXPECT_THROW(TFT232 port("VRT00009"), TFT232Exception);
  }
  d2xx::ScopedBackend fresh(EmulatedBackend());
  FT_HANDLE handle = nullptr;
  char serial[] = "VRT00009";
  EXPECT_EQ(FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
}

TEST_F(EmulatedLink, FoldersWithoutALivingDeviceOrWithBadNamesAreNotListed) {
  server.Add({.serial = "VRT00001"});
  const std::string dir = runtime.DeviceDirectory();
  RawDevice dead(dir, "VRT00002", /*lock=*/false);  // killed: folder and socket left behind
  RawDevice living(dir, "VRT00003");
  unlink((living.Folder() + "/description").c_str());  // a folder without its description
  {
    RawDevice hidden(dir, ".VRT00004");
    RawDevice tooLong(dir, std::string(33, 'V'));
    EXPECT_EQ(listed(), std::vector<std::string>{"VERTIKOmate/VRT00001"});
  }
  // A description that is no ASCII text, and one that is too long.
  RawDevice strange(dir, "VRT00005");
  {
    const int fd = open((strange.Folder() + "/description").c_str(), O_WRONLY | O_TRUNC);
    const std::string text(64, 'D');
    [[maybe_unused]] auto n = write(fd, text.data(), text.size());
    close(fd);
  }
  EXPECT_EQ(listed(), std::vector<std::string>{"VERTIKOmate/VRT00001"});
}

TEST_F(EmulatedLink, ADeviceDirectoryOpenToOthersOrOfAnotherOwnerIsIgnored) {
  server.Add({.serial = "VRT00001"});
  const std::string dir = runtime.DeviceDirectory();
  ASSERT_EQ(listed().size(), 1u);
  chmod(dir.c_str(), 0750);
  EXPECT_TRUE(listed().empty());
  chmod(dir.c_str(), 0701);
  EXPECT_TRUE(listed().empty());
  chmod(dir.c_str(), 0700);
  EXPECT_EQ(listed().size(), 1u);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(listed().empty());
    ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
  }
  // A link in place of the directory is not followed.
  const std::string moved = runtime.Path() + "/elsewhere";
  ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(moved.c_str(), dir.c_str()), 0);
  EXPECT_TRUE(listed().empty());
  unlink(dir.c_str());
  rename(moved.c_str(), dir.c_str());
}

TEST_F(EmulatedLink, AFolderRemovedUnderAnOpenHandleIsAnUnplug) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')));
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  EXPECT_EQ(port->RxQueueCount(), 0);
  unlink((device.Folder() + "/link").c_str());
  EXPECT_TRUE(waitFor([&] { return port->RxQueueCount() == -1; }));
  EXPECT_EQ(port->RxQueueCount(), -1);
}

TEST_F(EmulatedLink, ArbitraryBytesFromADeviceEndInDataOrAnUnplugNeverInACrash) {
  std::mt19937 random(5);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 10; ++round) {
    RawDevice device(runtime.DeviceDirectory(), "VRT0000" + std::to_string(round));
    const std::string serial = "VRT0000" + std::to_string(round);
    device.Serve(frame('H', serial));
    auto port = std::make_unique<TFT232>(serial);
    device.Join();
    std::string junk;
    for (int i = 0; i < 4000; ++i) junk.push_back(static_cast<char>(byte(random)));
    device.Send(junk);
    for (int poll = 0; poll < 20 && port->RxQueueCount() >= 0; ++poll) {
      std::uint8_t b = 0;
      for (std::int32_t n = port->RxQueueCount(); n > 0; --n) port->ReadByte(b);
      port->CtsClear();
      port->WriteByte('x');
    }
    const std::int32_t n = port->RxQueueCount();
    EXPECT_TRUE(n == -1 || (n >= 0 && n <= 65536));
  }
}

TEST_F(EmulatedLink, TheProgramsOwnBackendListsAndOpensEmulatedUnitsAfterRealOnes) {
  server.Add({.serial = "VRT00001"});
  d2xx::ScopedBackend system(d2xx::MakeSystemBackend());
  const auto all = listed();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), "VERTIKOmate/VRT00001");
  auto port = std::make_unique<TFT232>("VRT00001");
  ConfigurePort(*port);
  SendText(port.get(), "AT@NORM\r\n");
  EXPECT_EQ(reply(port, "VRT00001"), "OK\r\n");
}

namespace {
// The longest of the calls that `poll` times, while it runs the poll every 5 ms until `done` or
// `limit`.
template <typename Poll, typename Done>
std::chrono::microseconds longestPoll(Poll poll, Done done, std::chrono::milliseconds limit) {
  std::chrono::microseconds longest{0};
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    const auto start = std::chrono::steady_clock::now();
    poll();
    longest = std::max(longest, std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - start));
    std::this_thread::sleep_for(5ms);
  }
  return longest;
}
}  // namespace

TEST_F(EmulatedLink, APollNeverWaitsForADeviceThatDoesNotSayHelloAndGoesOnWhenItDoes) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')));
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  TFT232 *const first = port.get();
  device.DropHost();  // gone from the host's side: every poll tries a reopen
  device.ServeSilently();
  // Longer than two of the hello's 250 ms: connections without a hello are dropped and made anew.
  const auto silent =
      longestPoll([&] { ReceiveAll(port, "VRT00007"); }, [] { return false; }, 700ms);
  EXPECT_EQ(port.get(), first);
  EXPECT_LT(silent, 100ms);
  device.Join();

  // The device answers again, a while after each connect: a later poll takes it up.
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')), 30ms);
  const auto answering = longestPoll([&] { ReceiveAll(port, "VRT00007"); },
                                     [&] { return port.get() != first; }, 3000ms);
  ASSERT_NE(port.get(), first);
  EXPECT_LT(answering, 100ms);
  device.Join();
  EXPECT_EQ(port->RxQueueCount(), 0);
  std::cout << "longest poll: " << silent.count() << " us with a silent device, "
            << answering.count() << " us while it was taken up\n";
}

TEST_F(EmulatedLink, AWriteThatADeviceDoesNotTakeAtOnceFailsAndTheLinkStays) {
  RawDevice device(runtime.DeviceDirectory(), "VRT00007");
  device.Serve(frame('H', "VRT00007") + frame('S', std::string(1, '\0')));
  auto port = std::make_unique<TFT232>("VRT00007");
  device.Join();
  // The device reads nothing: the socket fills up and a write fails at once.
  bool sent = true;
  int sends = 0;
  const auto longest = longestPoll(
      [&] {
        for (int i = 0; i < 20 && sent; ++i, ++sends) sent = SendText(port.get(), "AT@NORM\r\n");
      },
      [&] { return !sent; }, 5000ms);
  EXPECT_FALSE(sent) << sends << " sends all taken";
  EXPECT_LT(longest, 100ms);
  // Not an unplug: the device's bytes still arrive, and once it reads, writes go through again.
  EXPECT_EQ(port->RxQueueCount(), 0);
  device.Send(frame('D', "OK\r\n"));
  EXPECT_EQ(reply(port, "VRT00007"), "OK\r\n");
  EXPECT_FALSE(device.Received().empty());
  EXPECT_TRUE(SendText(port.get(), "AT@NORM\r\n"));
  std::cout << "longest round of 20 sends: " << longest.count() << " us\n";
}

// The tty path of the serial backend over a pseudo-terminal: open, lock, raw mode, queue count,
// reads and writes, unplug. A pseudo-terminal has no modem lines; those go through a stand-in.
#include "d2xx/tty_device.h"

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tests/d2xx/pty_pair.h"
#include "tests/support/temp_folder.h"

namespace {

std::unique_ptr<d2xx::Device> OpenSlave(PtyPair &pty, d2xx::ModemControl modem = {}) {
  std::unique_ptr<d2xx::Device> device;
  EXPECT_EQ(d2xx::OpenTty(pty.SlavePath(), device, std::move(modem)), FT_OK);
  return device;
}

std::string ReadAll(d2xx::Device &device, std::size_t count) {
  std::string got;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
  while (got.size() < count && std::chrono::steady_clock::now() < until) {
    char buffer[512];
    DWORD n = 0;
    if (device.Read(buffer, static_cast<DWORD>(std::min(sizeof buffer, count - got.size())), &n) !=
        FT_OK)
      break;
    got.append(buffer, n);
    if (n == 0) WaitForQueue(device, 1);
  }
  return got;
}

std::string AllByteValues() {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  return all;
}

// An observer: a second descriptor on the slave, opened before the device, that reads the tty's
// settings as the kernel holds them.
struct Observer {
  explicit Observer(const std::string &path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~Observer() {
    if (fd >= 0) ::close(fd);
  }
  termios Settings() const {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
  }
  speed_t OutSpeed() const {
    const termios t = Settings();
    return cfgetospeed(&t);
  }
  int fd;
};

}  // namespace

TEST(TtyDevice, IsSetRawSoThatEveryByteValuePassesUnchangedBothWays) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Observer observer(pty.SlavePath());
  ASSERT_GE(observer.fd, 0);
  const termios before = observer.Settings();
  ASSERT_TRUE(before.c_lflag & ICANON) << "a new pseudo-terminal starts in its cooked mode";
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);

  const termios t = observer.Settings();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | PARMRK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));

  // Unit to program: CR, LF, 0x11, 0x13, 0x00, ^C, ^D, DEL and the high half arrive as sent.
  const std::string all = AllByteValues();
  ASSERT_TRUE(pty.Send(all));
  EXPECT_EQ(ReadAll(*device, all.size()), all);
  EXPECT_EQ(pty.Receive(1, std::chrono::milliseconds(50)), "") << "the tty echoed the unit's bytes";

  // Program to unit: no LF to CR LF, nothing held back or swallowed.
  DWORD written = 0;
  ASSERT_EQ(device->Write(all.data(), static_cast<DWORD>(all.size()), &written), FT_OK);
  EXPECT_EQ(written, all.size());
  EXPECT_EQ(pty.Receive(all.size() + 1, std::chrono::milliseconds(300)), all);
}

TEST(TtyDevice, ALoneByteIsCountedAndReadableWithoutANewline) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);

  char byte = 0;
  DWORD n = 7;
  EXPECT_EQ(device->Read(&byte, 1, &n), FT_OK) << "an empty queue is no failure";
  EXPECT_EQ(n, 0u);

  ASSERT_TRUE(pty.Send("Y"));
  EXPECT_EQ(WaitForQueue(*device, 1), 1u);
  ASSERT_EQ(device->Read(&byte, 1, &n), FT_OK);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(byte, 'Y');

  // The count is what waits, and asking for it takes nothing away.
  ASSERT_TRUE(pty.Send("OK\r\n\x13"));
  EXPECT_EQ(WaitForQueue(*device, 5), 5u);
  DWORD rx = 0, tx = 0;
  EXPECT_EQ(device->QueueStatus(&rx, &tx), FT_OK);
  EXPECT_EQ(rx, 5u);
  EXPECT_EQ(ReadAll(*device, 5), "OK\r\n\x13");
  EXPECT_EQ(device->QueueStatus(&rx, &tx), FT_OK);
  EXPECT_EQ(rx, 0u);
}

TEST(TtyDevice, ASecondOpenIsRefusedAndLeavesTheFirstWorking) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto first = OpenSlave(pty);
  ASSERT_TRUE(first);
  Observer observer(pty.SlavePath());
  int exclusive = 0;
  ASSERT_EQ(ioctl(observer.fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "TIOCEXCL is set";

  std::unique_ptr<d2xx::Device> second;
  EXPECT_EQ(d2xx::OpenTty(pty.SlavePath(), second), FT_DEVICE_NOT_OPENED);
  EXPECT_FALSE(second);

  ASSERT_TRUE(pty.Send("OK\r\n"));
  EXPECT_EQ(ReadAll(*first, 4), "OK\r\n");
  EXPECT_EQ(observer.Settings().c_lflag & ICANON, 0u);

  first.reset();
  ASSERT_EQ(ioctl(observer.fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "closing gives the port free";
  EXPECT_EQ(d2xx::OpenTty(pty.SlavePath(), second), FT_OK);
}

TEST(TtyDevice, APortLockedByAnotherProgramIsRefused) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Observer other(pty.SlavePath());
  ASSERT_EQ(flock(other.fd, LOCK_EX | LOCK_NB), 0);
  std::unique_ptr<d2xx::Device> device;
  EXPECT_EQ(d2xx::OpenTty(pty.SlavePath(), device), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(other.Settings().c_lflag & ICANON, tcflag_t(ICANON))
      << "a refused open changes nothing";
  int exclusive = 1;
  ASSERT_EQ(ioctl(other.fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST(TtyDevice, AnotherUserCannotOpenThePortWhileItIsOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to try the open as another user";
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd < 0 && errno == EBUSY ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other user's open was not refused with EBUSY";
}

TEST(TtyDevice, WhatIsNoOpenableTtyIsNotOpened) {
  TempFolder folder;
  std::ofstream(folder.File("plain")) << "x";
  std::unique_ptr<d2xx::Device> device;
  EXPECT_EQ(d2xx::OpenTty(folder.File("plain"), device), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(d2xx::OpenTty(folder.File("ttyUSB9"), device), FT_DEVICE_NOT_OPENED);
  EXPECT_FALSE(device);
}

TEST(TtyDevice, AnUnpluggedPortFailsEveryCallWithAnIoError) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);
  ASSERT_TRUE(pty.Send("OK"));
  EXPECT_EQ(WaitForQueue(*device, 2), 2u);
  pty.CloseMaster();  // the kernel hangs the tty up, as on a USB disconnect

  char buffer[4];
  DWORD n = 9, rx = 9, tx = 9;
  ULONG modem = 0;
  EXPECT_EQ(device->Read(buffer, sizeof buffer, &n), FT_IO_ERROR);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(device->QueueStatus(&rx, &tx), FT_IO_ERROR);
  EXPECT_EQ(device->Write("AT", 2, &n), FT_IO_ERROR);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(device->SetBaudRate(9600), FT_IO_ERROR);
  EXPECT_EQ(device->SetBitMode(0, 0), FT_IO_ERROR);
  EXPECT_EQ(device->SetRts(true), FT_IO_ERROR);
  EXPECT_EQ(device->ModemStatus(&modem), FT_IO_ERROR);
  device.reset();  // and closing it returns
}

TEST(TtyDevice, AFullOutputQueueTakesWhatFitsWithoutWaiting) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);
  const std::string block(1 << 20, 'U');  // far more than a tty buffers; the unit reads nothing
  DWORD written = 0;
  EXPECT_EQ(device->Write(block.data(), static_cast<DWORD>(block.size()), &written), FT_OK);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, block.size());
  // The kernel may pass some queued bytes on meanwhile: a further write takes at most what fits
  // by then, and returns.
  DWORD more = 0;
  EXPECT_EQ(device->Write(block.data(), static_cast<DWORD>(block.size()), &more), FT_OK);
  EXPECT_LT(more, block.size());
  device.reset();  // closing with bytes still queued returns
}

TEST(TtyDevice, BaudRatesAreSetByTermiosAndImpossibleOnesRefused) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Observer observer(pty.SlavePath());
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);

  EXPECT_EQ(device->SetBaudRate(115200), FT_OK);
  EXPECT_EQ(observer.OutSpeed(), speed_t(B115200));
  EXPECT_EQ(device->SetBaudRate(250000), FT_OK) << "a rate between the standard ones";
  EXPECT_NE(observer.OutSpeed(), speed_t(B115200));
  EXPECT_EQ(device->SetBaudRate(9600), FT_OK);
  EXPECT_EQ(observer.OutSpeed(), speed_t(B9600));

  for (ULONG impossible : {0u, 100u, 3000001u, 12000000u})
    EXPECT_EQ(device->SetBaudRate(impossible), FT_INVALID_BAUD_RATE) << impossible;
  const termios t = observer.Settings();
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600)) << "a refused rate leaves the line as it was";
  EXPECT_EQ(t.c_lflag & ICANON, 0u) << "a rate change keeps the tty raw";
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST(TtyDevice, OnlyThePlainSerialBitModeIsTaken) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->SetBitMode(0, 0), FT_OK);
  EXPECT_EQ(device->SetBitMode(0xFF, 0x01), FT_INVALID_PARAMETER);
  EXPECT_EQ(device->SetBitMode(0x00, 0x40), FT_INVALID_PARAMETER);
  EXPECT_EQ(device->SetBitMode(0x0F, 0x00), FT_INVALID_PARAMETER);
}

TEST(TtyDevice, RtsAndDtrAreSetAndClearedThroughTheModemControlIoctls) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::vector<std::pair<unsigned long, int>> calls;
  auto device = OpenSlave(pty, [&](int, unsigned long request, int *bits) {
    calls.emplace_back(request, *bits);
    return 0;
  });
  ASSERT_TRUE(device);
  EXPECT_EQ(device->SetRts(true), FT_OK);
  EXPECT_EQ(device->SetRts(false), FT_OK);
  EXPECT_EQ(device->SetDtr(true), FT_OK);
  EXPECT_EQ(device->SetDtr(false), FT_OK);
  const std::vector<std::pair<unsigned long, int>> expected = {
      {TIOCMBIS, TIOCM_RTS}, {TIOCMBIC, TIOCM_RTS}, {TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_DTR}};
  EXPECT_EQ(calls, expected);
}

TEST(TtyDevice, TheModemStatusIsTheDriversBitsOfTheLines) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  int lines = 0;
  int failWith = 0;
  auto device = OpenSlave(pty, [&](int, unsigned long request, int *bits) {
    if (failWith) {
      errno = failWith;
      return -1;
    }
    if (request == TIOCMGET) *bits = lines;
    return 0;
  });
  ASSERT_TRUE(device);
  const struct {
    int lines;
    ULONG status;
  } cases[] = {
      {0, 0x00},
      {TIOCM_CTS, 0x10},
      {TIOCM_DSR, 0x20},
      {TIOCM_RI, 0x40},
      {TIOCM_CD, 0x80},
      {TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD, 0xF0},
      // the output lines and the rest are no part of the modem status
      {TIOCM_RTS | TIOCM_DTR | TIOCM_LE | TIOCM_ST | TIOCM_SR, 0x00},
      {TIOCM_RTS | TIOCM_CTS, 0x10},
  };
  for (const auto &c : cases) {
    lines = c.lines;
    ULONG status = 0xDEAD;
    EXPECT_EQ(device->ModemStatus(&status), FT_OK);
    EXPECT_EQ(status, c.status) << std::hex << c.lines;
    EXPECT_EQ(d2xx::ModemStatusFromLines(c.lines), c.status);
  }
  failWith = EIO;
  ULONG status = 0;
  EXPECT_EQ(device->ModemStatus(&status), FT_IO_ERROR);
  EXPECT_EQ(device->SetRts(false), FT_IO_ERROR);
  EXPECT_EQ(device->SetDtr(true), FT_IO_ERROR);
}

TEST(TtyDevice, APseudoTerminalHasNoModemLinesAndSaysSo) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);  // the real ioctls
  ASSERT_TRUE(device);
  ULONG status = 0;
  EXPECT_EQ(device->ModemStatus(&status), FT_IO_ERROR);
  EXPECT_EQ(device->SetRts(true), FT_IO_ERROR);
  DWORD rx = 0, tx = 0;
  EXPECT_EQ(device->QueueStatus(&rx, &tx), FT_OK) << "the rest of the port still works";
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A serial driver standing in where a pseudo-terminal has none: it keeps the low-latency flag,
// reports an output queue, and records each request to the driver in order.
struct FakeDriver {
  int flags = 0x10000000;
  int refuseSet = 0;  // errno for TIOCSSERIAL, 0 to take it
  std::function<int()> queued = [] { return 0; };
  std::vector<std::pair<unsigned long, int>> calls;  // request, flags or queue count or argument

  d2xx::DriverControl control() {
    return [this](int, unsigned long request, void *arg) {
      switch (request) {
        case TIOCGSERIAL: {
          auto *serial = static_cast<serial_struct *>(arg);
          *serial = {};
          serial->flags = flags;
          serial->baud_base = 24000000;
          calls.emplace_back(request, flags);
          return 0;
        }
        case TIOCSSERIAL: {
          const auto *serial = static_cast<const serial_struct *>(arg);
          calls.emplace_back(request, serial->flags);
          if (serial->baud_base != 24000000) ADD_FAILURE() << "the other settings changed";
          if (refuseSet) {
            errno = refuseSet;
            return -1;
          }
          flags = serial->flags;
          return 0;
        }
        case TIOCOUTQ:
          *static_cast<int *>(arg) = queued();
          if (calls.empty() || calls.back().first != TIOCOUTQ) calls.emplace_back(request, 0);
          return 0;
        case TCFLSH:
          calls.emplace_back(request, static_cast<int>(reinterpret_cast<std::uintptr_t>(arg)));
          return 0;
      }
      errno = ENOTTY;
      return -1;
    };
  }
  bool flushed() const {
    for (const auto &c : calls)
      if (c.first == TCFLSH) return true;
    return false;
  }
};

std::unique_ptr<d2xx::Device> OpenWithDriver(PtyPair &pty, FakeDriver &driver) {
  std::unique_ptr<d2xx::Device> device;
  EXPECT_EQ(d2xx::OpenTty(pty.SlavePath(), device, {}, driver.control()), FT_OK);
  return device;
}

milliseconds TimeToClose(std::unique_ptr<d2xx::Device> &device) {
  const auto start = Clock::now();
  device.reset();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

}  // namespace

TEST(TtyDevice, BytesWrittenJustBeforeTheCloseArriveWhole) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto device = OpenSlave(pty);  // the real ioctls: the other side holds what it does not read
  ASSERT_TRUE(device);
  std::string text;
  while (text.size() < 4000) text += "AT@SET 12345678901234567890\r\n";
  DWORD written = 0;
  ASSERT_EQ(device->Write(text.data(), static_cast<DWORD>(text.size()), &written), FT_OK);
  ASSERT_EQ(written, text.size());
  // Nobody reads yet: the close still returns within its bound (4000 bytes at 9600 baud: 1 s).
  EXPECT_LT(TimeToClose(device), milliseconds(1500));
  std::this_thread::sleep_for(milliseconds(50));  // the unit reads a moment later
  EXPECT_EQ(pty.Receive(text.size(), milliseconds(2000)), text);
}

TEST(TtyDevice, ACloseWaitsForTheOutputQueueAtMostItsTimeOnTheLinePlus100Ms) {
  const struct {
    int queued;
    ULONG baud;
    milliseconds bound;
  } stuck[] = {
      {48, 9600, milliseconds(150)},     // 50 ms on the line
      {480, 115200, milliseconds(141)},  // 41.7 ms
      {4800, 9600, milliseconds(1000)},  // 5 s on the line: never more than 1 s
  };
  for (const auto &c : stuck) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    FakeDriver driver;
    driver.queued = [&] { return c.queued; };  // the adapter passes nothing on
    auto device = OpenWithDriver(pty, driver);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetBaudRate(c.baud), FT_OK);
    const auto took = TimeToClose(device);
    EXPECT_GE(took, c.bound - milliseconds(2)) << c.queued << " bytes at " << c.baud;
    EXPECT_LT(took, c.bound + milliseconds(300)) << c.queued << " bytes at " << c.baud;
    EXPECT_TRUE(driver.flushed()) << "what did not leave in time is dropped";
  }

  // A queue that drains ends the wait, and nothing is dropped.
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  FakeDriver driver;
  const auto closing = std::make_shared<Clock::time_point>(Clock::time_point::max());
  driver.queued = [closing] {
    const auto now = Clock::now();
    if (*closing == Clock::time_point::max()) *closing = now;
    return now - *closing < milliseconds(30) ? 20 : 0;
  };
  auto device = OpenWithDriver(pty, driver);
  ASSERT_TRUE(device);
  DWORD rx = 0, tx = 0;
  ASSERT_EQ(device->QueueStatus(&rx, &tx), FT_OK);  // starts the 30 ms of the queue
  const auto took = TimeToClose(device);
  EXPECT_LT(took, milliseconds(300));
  EXPECT_FALSE(driver.flushed());
}

TEST(TtyDevice, TheOpenAsksTheDriverForLowLatencyAndTheCloseGivesItBack) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  using Calls = std::vector<std::pair<unsigned long, int>>;
  {
    FakeDriver driver;
    auto device = OpenWithDriver(pty, driver);
    ASSERT_TRUE(device);
    EXPECT_EQ(driver.calls,
              (Calls{{TIOCGSERIAL, 0x10000000}, {TIOCSSERIAL, 0x10000000 | ASYNC_LOW_LATENCY}}));
    EXPECT_EQ(driver.flags, 0x10000000 | ASYNC_LOW_LATENCY) << "ftdi_sio: a 1 ms latency timer";
    driver.calls.clear();
    device.reset();
    EXPECT_EQ(driver.calls, (Calls{{TIOCOUTQ, 0},
                                   {TIOCGSERIAL, 0x10000000 | ASYNC_LOW_LATENCY},
                                   {TIOCSSERIAL, 0x10000000}}));
    EXPECT_EQ(driver.flags, 0x10000000) << "the port is left as the open found it";
  }
  {
    FakeDriver driver;  // set already, by the udev rule's latency or by the user
    driver.flags |= ASYNC_LOW_LATENCY;
    auto device = OpenWithDriver(pty, driver);
    ASSERT_TRUE(device);
    device.reset();
    EXPECT_EQ(driver.calls, (Calls{{TIOCGSERIAL, 0x10000000 | ASYNC_LOW_LATENCY}, {TIOCOUTQ, 0}}));
  }
  {
    FakeDriver driver;  // a driver that refuses the flag: the port is used without it
    driver.refuseSet = EPERM;
    auto device = OpenWithDriver(pty, driver);
    ASSERT_TRUE(device);
    device.reset();
    EXPECT_EQ(driver.calls, (Calls{{TIOCGSERIAL, 0x10000000},
                                   {TIOCSSERIAL, 0x10000000 | ASYNC_LOW_LATENCY},
                                   {TIOCOUTQ, 0}}));
  }
  // A pseudo-terminal has no serial driver: it refuses the request, and the port opens anyway.
  Observer observer(pty.SlavePath());
  serial_struct serial{};
  EXPECT_EQ(ioctl(observer.fd, TIOCGSERIAL, &serial), -1);
  EXPECT_EQ(errno, ENOTTY);
  auto device = OpenSlave(pty);
  EXPECT_TRUE(device);
}

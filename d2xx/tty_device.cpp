#include "d2xx/tty_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "d2xx/event.h"
#include "d2xx/tty_speed.h"

namespace d2xx {

namespace {

// The FT232's range of line speeds: its 3 MHz base clock over divisors up to 16384.
constexpr ULONG kSlowestRate = 183;
constexpr ULONG kFastestRate = 3000000;

// A close waits for written bytes to leave: their time on the line plus this margin, and never
// longer than the longest wait; the kernel alone would wait up to 30 s for a port that does not
// drain.
constexpr auto kDrainMargin = std::chrono::milliseconds(100);
constexpr auto kLongestDrain = std::chrono::milliseconds(1000);
constexpr long long kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit

struct StandardRate {
  ULONG rate;
  speed_t code;
};
constexpr StandardRate kStandardRates[] = {
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
};

int systemModemControl(int fd, unsigned long request, int *bits) {
  return ::ioctl(fd, request, bits);
}

int systemDriverControl(int fd, unsigned long request, void *arg) {
  return ::ioctl(fd, request, arg);
}

// Raw 8N1, CLOCAL|CREAD, no flow control; a break is no data byte. VMIN 1 with O_NONBLOCK makes a
// read of an empty queue fail with EAGAIN, so that a read of 0 bytes means the tty was hung up (the
// adapter is gone).
void makeRaw(termios &t) {
  cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_iflag |= IGNBRK;
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CMSPAR);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

bool isRaw(const termios &t) {
  return (t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK)) == 0 &&
         (t.c_oflag & OPOST) == 0 && (t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) == 0 &&
         (t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8 &&
         (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) && t.c_cc[VMIN] == 1 &&
         t.c_cc[VTIME] == 0;
}

class TtyDevice : public Device {
 public:
  TtyDevice(int fd, ModemControl modem, DriverControl driver, bool lowLatencySet)
      : fd_(fd),
        modem_(std::move(modem)),
        driver_(std::move(driver)),
        lowLatencySet_(lowLatencySet) {}
  ~TtyDevice() override;
  TtyDevice(const TtyDevice &) = delete;
  TtyDevice &operator=(const TtyDevice &) = delete;

  FT_STATUS SetBaudRate(ULONG baudRate) override;
  FT_STATUS Read(void *buffer, DWORD toRead, DWORD *read) override;
  FT_STATUS Write(const void *buffer, DWORD toWrite, DWORD *written) override;
  FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) override;
  FT_STATUS SetDtr(bool set) override { return setLine(TIOCM_DTR, set); }
  FT_STATUS SetRts(bool set) override { return setLine(TIOCM_RTS, set); }
  FT_STATUS ModemStatus(ULONG *status) override;
  FT_STATUS SetBitMode(UCHAR mask, UCHAR mode) override;
  // The tty is readable while its receive queue holds bytes.
  FT_STATUS NotifyReceived(EventHandle *event) override {
    if (!event) {
      events_.Detach();
      return FT_OK;
    }
    return events_.Attach(*event, fd_) ? FT_OK : FT_INSUFFICIENT_RESOURCES;
  }

 private:
  FT_STATUS setLine(int line, bool set);
  void drainOutput();
  void restoreLatency();

  int fd_;
  ModemControl modem_;
  DriverControl driver_;
  bool lowLatencySet_;
  ULONG baudRate_ = 9600;
  EventLink events_;
};

TtyDevice::~TtyDevice() {
  drainOutput();
  restoreLatency();
  ioctl(fd_, TIOCNXCL);
  events_.Detach();
  ::close(fd_);  // releases the flock
}

// Waits until the output queue is empty, at most the time its bytes take at the line's rate plus
// a margin; what is still queued then is dropped, so that close() cannot wait.
void TtyDevice::drainOutput() {
  using namespace std::chrono;
  int queued = 0;
  if (driver_(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  const auto onLine = microseconds(queued * kBitsPerByte * 1000000 / baudRate_);
  const auto until =
      steady_clock::now() + std::min<microseconds>(onLine + kDrainMargin, kLongestDrain);
  while (steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(1));
    if (driver_(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  }
  driver_(fd_, TCFLSH, reinterpret_cast<void *>(static_cast<std::uintptr_t>(TCOFLUSH)));
}

// Leaves the driver's low-latency flag as the open found it.
void TtyDevice::restoreLatency() {
  if (!lowLatencySet_) return;
  serial_struct serial{};
  if (driver_(fd_, TIOCGSERIAL, &serial) != 0) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  driver_(fd_, TIOCSSERIAL, &serial);
}

FT_STATUS TtyDevice::SetBaudRate(ULONG baudRate) {
  if (baudRate < kSlowestRate || baudRate > kFastestRate) return FT_INVALID_BAUD_RATE;
  for (const auto &standard : kStandardRates) {
    if (standard.rate != baudRate) continue;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return FT_IO_ERROR;
    cfsetispeed(&t, standard.code);
    cfsetospeed(&t, standard.code);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return FT_IO_ERROR;
    termios back{};
    if (tcgetattr(fd_, &back) != 0) return FT_IO_ERROR;
    if (cfgetospeed(&back) != standard.code) return FT_INVALID_BAUD_RATE;
    baudRate_ = baudRate;
    return FT_OK;
  }
  unsigned taken = 0;
  const int error = tty::SetSpeedOther(fd_, baudRate, &taken);
  if (error == EINVAL) return FT_INVALID_BAUD_RATE;
  if (error != 0) return FT_IO_ERROR;
  if (taken != baudRate) return FT_INVALID_BAUD_RATE;
  baudRate_ = baudRate;
  return FT_OK;
}

FT_STATUS TtyDevice::Read(void *buffer, DWORD toRead, DWORD *read) {
  *read = 0;
  if (toRead == 0) return FT_OK;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, toRead);
    if (n > 0) {
      *read = static_cast<DWORD>(n);
      return FT_OK;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return FT_OK;
    return FT_IO_ERROR;  // 0: hung up; EIO, ENXIO, ENODEV: the adapter is gone
  }
}

FT_STATUS TtyDevice::Write(const void *buffer, DWORD toWrite, DWORD *written) {
  *written = 0;
  const auto *bytes = static_cast<const unsigned char *>(buffer);
  while (*written < toWrite) {
    const ssize_t n = ::write(fd_, bytes + *written, toWrite - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A full output queue takes nothing now; the count tells the caller what went out.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return FT_OK;
    return FT_IO_ERROR;
  }
  return FT_OK;
}

FT_STATUS TtyDevice::QueueStatus(DWORD *rx, DWORD *tx) {
  int in = 0;
  int out = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0 || in < 0) return FT_IO_ERROR;
  if (driver_(fd_, TIOCOUTQ, &out) != 0 || out < 0) out = 0;
  *rx = static_cast<DWORD>(in);
  *tx = static_cast<DWORD>(out);
  return FT_OK;
}

FT_STATUS TtyDevice::setLine(int line, bool set) {
  int bits = line;
  return modem_(fd_, set ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS TtyDevice::ModemStatus(ULONG *status) {
  int lines = 0;
  if (modem_(fd_, TIOCMGET, &lines) != 0) return FT_IO_ERROR;
  *status = ModemStatusFromLines(lines);
  return FT_OK;
}

FT_STATUS TtyDevice::SetBitMode(UCHAR mask, UCHAR mode) {
  // Only the plain serial mode, which the tty is always in; the other modes need the chip
  // itself, which the kernel's driver does not offer.
  if (mask != 0 || mode != 0) return FT_INVALID_PARAMETER;
  termios t{};
  return tcgetattr(fd_, &t) == 0 ? FT_OK : FT_IO_ERROR;
}

// Closes a descriptor that did not become a device.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

// Asks the driver for low latency; true when the flag was set here and is to be given back.
bool setLowLatency(int fd, const DriverControl &driver) {
  serial_struct serial{};
  if (driver(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return driver(fd, TIOCSSERIAL, &serial) == 0;
}

}  // namespace

ULONG ModemStatusFromLines(int lines) {
  ULONG status = 0;
  if (lines & TIOCM_CTS) status |= FT_MODEM_STATUS_CTS;
  if (lines & TIOCM_DSR) status |= FT_MODEM_STATUS_DSR;
  if (lines & TIOCM_RI) status |= FT_MODEM_STATUS_RI;
  if (lines & TIOCM_CD) status |= FT_MODEM_STATUS_DCD;
  return status;
}

FT_STATUS OpenTty(const std::string &path, std::unique_ptr<Device> &device, ModemControl modem,
                  DriverControl driver) {
  device.reset();
  FdGuard guard{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  if (guard.fd < 0 || !isatty(guard.fd)) return FT_DEVICE_NOT_OPENED;
  // flock binds root as well, which TIOCEXCL does not; a busy port is refused here.
  if (flock(guard.fd, LOCK_EX | LOCK_NB) != 0) return FT_DEVICE_NOT_OPENED;
  if (ioctl(guard.fd, TIOCEXCL) != 0) return FT_DEVICE_NOT_OPENED;

  termios t{};
  bool configured = tcgetattr(guard.fd, &t) == 0;
  if (configured) {
    makeRaw(t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    termios back{};
    // tcsetattr succeeds when any one setting was taken, so the result is read back.
    configured =
        tcsetattr(guard.fd, TCSANOW, &t) == 0 && tcgetattr(guard.fd, &back) == 0 && isRaw(back);
  }
  if (!configured) {
    ioctl(guard.fd, TIOCNXCL);
    return FT_DEVICE_NOT_OPENED;
  }
  // Bytes that arrived before the tty was raw may have been changed by the old settings.
  tcflush(guard.fd, TCIFLUSH);

  if (!modem) modem = systemModemControl;
  if (!driver) driver = systemDriverControl;
  // Without the udev rule the adapter holds each received byte up to 16 ms; the driver that
  // refuses the flag (a pseudo-terminal has none) serves the port as it is.
  const bool lowLatencySet = setLowLatency(guard.fd, driver);
  device =
      std::make_unique<TtyDevice>(guard.fd, std::move(modem), std::move(driver), lowLatencySet);
  guard.fd = -1;
  return FT_OK;
}

}  // namespace d2xx

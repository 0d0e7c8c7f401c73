#include "d2xx/emulated_provider.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "d2xx/device_link.h"
#include "d2xx/event.h"

namespace d2xx {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kHelloWait = std::chrono::milliseconds(250);
// An open that a poll left waiting for its hello is dropped when no open goes on with it
// within this time after its connect.
constexpr auto kAttemptKept = std::chrono::seconds(1);
constexpr std::size_t kReceiveQueueCap = 65536;
constexpr auto kFolderCheck = std::chrono::milliseconds(10);
// Bytes taken from the socket in one call at most, so that a flooding device cannot hold the
// caller; the rest waits for the next call.
constexpr std::size_t kMaxDrain = 1u << 20;

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The socket's identity, so that a folder removed or replaced under an open handle is noticed.
bool socketIdentity(const std::string &path, dev_t &dev, ino_t &ino) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  dev = st.st_dev;
  ino = st.st_ino;
  return true;
}

class EmulatedDevice : public Device {
 public:
  EmulatedDevice(int fd, std::string linkPath, dev_t dev, ino_t ino, link::FrameReader reader)
      : fd_(fd), linkPath_(std::move(linkPath)), dev_(dev), ino_(ino), reader_(std::move(reader)) {}
  ~EmulatedDevice() override { unplugged(); }

  // What followed the hello in the same reads.
  void TakeFramesAfterHello() { applyFrames(); }

  FT_STATUS SetBaudRate(ULONG baudRate) override {
    return sendFrame(link::kBaud, link::BaudPayload(baudRate));
  }
  FT_STATUS Read(void *buffer, DWORD toRead, DWORD *read) override {
    *read = 0;
    if (!drain()) return FT_IO_ERROR;
    auto *out = static_cast<std::uint8_t *>(buffer);
    while (*read < toRead && !rx_.empty()) {
      out[(*read)++] = rx_.front();
      rx_.pop_front();
    }
    events_.SetQueued(!rx_.empty());
    return FT_OK;
  }
  FT_STATUS Write(const void *buffer, DWORD toWrite, DWORD *written) override {
    *written = 0;
    if (fd_ < 0) return FT_IO_ERROR;
    const auto *bytes = static_cast<const char *>(buffer);
    while (*written < toWrite) {
      const DWORD n = std::min<DWORD>(toWrite - *written, link::kMaxData);
      const FT_STATUS status = sendFrame(link::kData, std::string_view(bytes + *written, n));
      if (status != FT_OK) return status;
      *written += n;
    }
    return FT_OK;
  }
  FT_STATUS QueueStatus(DWORD *rx, DWORD *tx) override {
    *rx = 0;
    *tx = 0;
    if (!drain()) return FT_IO_ERROR;
    *rx = static_cast<DWORD>(rx_.size());
    return FT_OK;
  }
  FT_STATUS SetDtr(bool set) override {
    dtr_ = set;
    return sendFrame(link::kLines, link::LinesPayload(dtr_, rts_));
  }
  FT_STATUS SetRts(bool set) override {
    rts_ = set;
    return sendFrame(link::kLines, link::LinesPayload(dtr_, rts_));
  }
  FT_STATUS ModemStatus(ULONG *status) override {
    *status = 0;
    if (!drain()) return FT_IO_ERROR;
    *status = modemStatus_;
    return FT_OK;
  }
  FT_STATUS SetBitMode(UCHAR mask, UCHAR mode) override {
    const char payload[2] = {static_cast<char>(mask), static_cast<char>(mode)};
    return sendFrame(link::kMode, std::string_view(payload, 2));
  }
  // Bytes on the socket make it readable; bytes already taken into the queue raise the flag.
  FT_STATUS NotifyReceived(EventHandle *event) override {
    if (!event) {
      events_.Detach();
      return FT_OK;
    }
    if (fd_ < 0) return FT_IO_ERROR;
    if (!events_.Attach(*event, fd_)) return FT_INSUFFICIENT_RESOURCES;
    events_.SetQueued(!rx_.empty());
    return FT_OK;
  }

  // Writes one frame whole, at once. A frame that the socket does not take now fails and leaves
  // the link as it is (the device has stopped reading); a socket error is an unplug.
  FT_STATUS sendFrame(char type, std::string_view payload) {
    if (fd_ < 0) return FT_IO_ERROR;
    std::string frame;
    link::AppendFrame(frame, type, payload);
    for (;;) {
      const ssize_t n = send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n == static_cast<ssize_t>(frame.size())) return FT_OK;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Take in what the device sent meanwhile, so that a device waiting to write can go on.
        readSocket();
        return FT_IO_ERROR;
      }
      break;  // a socket error, or a part of a frame, after which the link has lost its framing
    }
    unplugged();
    return FT_IO_ERROR;
  }

 private:
  // Takes everything the socket holds now, without waiting, and applies the complete frames.
  bool drain() {
    if (fd_ < 0) return false;
    // The folder is looked at now and then, not at every byte that ReceiveAll reads.
    const auto now = Clock::now();
    if (now - folderChecked_ >= kFolderCheck) {
      folderChecked_ = now;
      dev_t dev{};
      ino_t ino{};
      if (!socketIdentity(linkPath_, dev, ino) || dev != dev_ || ino != ino_) {
        unplugged();  // the device's folder is gone
        return false;
      }
    }
    return readSocket();
  }

  bool readSocket() {
    char buffer[4096];
    std::size_t total = 0;
    while (fd_ >= 0 && total < kMaxDrain) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        total += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      unplugged();  // end of file or a socket error
      return false;
    }
    return applyFrames();
  }

  bool applyFrames() {
    link::Frame frame;
    for (;;) {
      switch (reader_.Next(frame)) {
        case link::FrameReader::Result::NeedMore:
          return fd_ >= 0;
        case link::FrameReader::Result::ProtocolError:
          unplugged();
          return false;
        case link::FrameReader::Result::Frame:
          if (frame.type == link::kData) {
            for (char c : frame.payload)
              if (rx_.size() < kReceiveQueueCap) rx_.push_back(static_cast<std::uint8_t>(c));
            events_.SetQueued(!rx_.empty());
          } else if (frame.type == link::kStatus) {
            modemStatus_ = static_cast<std::uint8_t>(frame.payload[0]);
          }
          break;  // other frames mean nothing to the host
      }
    }
  }

  void unplugged() {
    events_.Detach();  // an unplugged device wakes nobody
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int fd_;
  std::string linkPath_;
  dev_t dev_;
  ino_t ino_;
  link::FrameReader reader_;
  std::deque<std::uint8_t> rx_;
  ULONG modemStatus_ = 0;
  Clock::time_point folderChecked_{};
  bool dtr_ = true;
  bool rts_ = true;
  EventLink events_;
};

// A connection to a device that has not said hello yet.
struct Attempt {
  std::string serial;
  std::string path;
  dev_t dev{};
  ino_t ino{};
  int fd = -1;
  link::FrameReader reader;
  Clock::time_point connected;
};

int connectTo(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  // Never waits: a device whose backlog is full refuses at once (EAGAIN).
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

enum class Greeting { Hello, Failed, NotYet };

// Reads what the device has sent, waiting until `until` at most, and looks for its hello.
Greeting awaitHello(Attempt &attempt, Clock::time_point until) {
  for (;;) {
    link::Frame frame;
    const auto result = attempt.reader.Next(frame);
    if (result == link::FrameReader::Result::Frame)  // another first frame, or a wrong serial
      return frame.type == link::kHello && frame.payload == attempt.serial ? Greeting::Hello
                                                                           : Greeting::Failed;
    if (result == link::FrameReader::Result::ProtocolError) return Greeting::Failed;
    char buffer[512];
    const ssize_t n = recv(attempt.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      attempt.reader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of file without a word: the device has a host already.
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Greeting::Failed;
    if (Clock::now() >= until) return Greeting::NotYet;
    pollfd p{attempt.fd, POLLIN, 0};
    if (poll(&p, 1, millisecondsUntil(until)) < 0 && errno != EINTR) return Greeting::Failed;
  }
}

class EmulatedProvider : public DeviceProvider {
 public:
  ~EmulatedProvider() override {
    for (auto &attempt : attempts_) close(attempt.fd);
  }

  std::vector<DeviceEntry> Enumerate() override {
    std::vector<DeviceEntry> entries;
    for (auto &d : link::ListDevices()) entries.push_back({d.description, d.serial});
    return entries;
  }

  // Connects to the device and waits for its hello: up to 250 ms, or with OpenWait::Never not
  // at all. A connection without a hello then stays, and the next open of the same device goes
  // on with it, until 250 ms after its connect have passed without a hello.
  FT_STATUS Open(const std::string &serial, std::unique_ptr<Device> &device) override {
    const OpenWait wait = CurrentOpenWait();
    dropForgottenAttempts();
    for (const auto &d : link::ListDevices()) {
      if (d.serial != serial) continue;
      const std::string path = d.folder + "/link";
      dev_t dev{};
      ino_t ino{};
      if (!socketIdentity(path, dev, ino)) return FT_DEVICE_NOT_OPENED;
      Attempt attempt = takeAttempt(serial, path, dev, ino);
      if (attempt.fd < 0) return FT_DEVICE_NOT_OPENED;
      const auto now = Clock::now();
      switch (awaitHello(attempt, wait == OpenWait::Never ? now : now + kHelloWait)) {
        case Greeting::Hello:
          break;
        case Greeting::NotYet:
          if (wait == OpenWait::Never && now < attempt.connected + kHelloWait) {
            attempts_.push_back(std::move(attempt));
            return FT_DEVICE_NOT_OPENED;
          }
          [[fallthrough]];
        case Greeting::Failed:
          close(attempt.fd);
          return FT_DEVICE_NOT_OPENED;
      }
      auto opened =
          std::make_unique<EmulatedDevice>(attempt.fd, path, dev, ino, std::move(attempt.reader));
      opened->TakeFramesAfterHello();
      // Every connection starts with both lines set; the host says so before the open returns.
      if (opened->sendFrame(link::kLines, link::LinesPayload(true, true)) != FT_OK)
        return FT_DEVICE_NOT_OPENED;
      device = std::move(opened);
      return FT_OK;
    }
    dropAttempts(serial);
    return FT_DEVICE_NOT_FOUND;
  }

 private:
  // The connection that an earlier open left for this device, or a new one.
  Attempt takeAttempt(const std::string &serial, const std::string &path, dev_t dev, ino_t ino) {
    for (auto it = attempts_.begin(); it != attempts_.end(); ++it) {
      if (it->serial != serial) continue;
      Attempt attempt = std::move(*it);
      attempts_.erase(it);
      if (attempt.path == path && attempt.dev == dev && attempt.ino == ino) return attempt;
      close(attempt.fd);  // the device was replaced since
      break;
    }
    Attempt attempt;
    attempt.serial = serial;
    attempt.path = path;
    attempt.dev = dev;
    attempt.ino = ino;
    attempt.fd = connectTo(path);
    attempt.connected = Clock::now();
    return attempt;
  }

  void dropAttempts(const std::string &serial) {
    std::erase_if(attempts_, [&](Attempt &a) {
      if (a.serial != serial) return false;
      close(a.fd);
      return true;
    });
  }

  // A connection that nobody went on with holds its device from other hosts; it is let go.
  void dropForgottenAttempts() {
    const auto now = Clock::now();
    std::erase_if(attempts_, [&](Attempt &a) {
      if (now - a.connected < kAttemptKept) return false;
      close(a.fd);
      return true;
    });
  }

  std::vector<Attempt> attempts_;
};

}  // namespace

std::unique_ptr<DeviceProvider> MakeEmulatedProvider() {
  return std::make_unique<EmulatedProvider>();
}

}  // namespace d2xx

#include "sim/link_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "d2xx/device_link.h"

namespace sim {

namespace link = d2xx::link;

namespace {

// What a host may have on its way to it before further data from the unit is dropped.
constexpr std::size_t kMaxPendingToHost = 1u << 20;
constexpr std::size_t kMaxReadPerRound = 1u << 20;
const char *const kFolderFiles[] = {"link", "link.lock", "description", "serial"};

std::runtime_error failure(const std::string &what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void writeFile(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw failure("cannot create " + path);
  const std::string line = text + "\n";
  const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  if (!ok) throw failure("cannot write " + path);
}

// Removes a device folder and what a device puts in it.
void removeFolder(const std::string &folder) {
  for (const char *name : kFolderFiles) unlink((folder + "/" + name).c_str());
  rmdir(folder.c_str());
}

std::string folderNameFor(const std::string &serial) {
  std::string name;
  for (char c : serial.substr(0, link::kMaxFolderName))
    name.push_back(link::ValidFolderName(std::string(1, c)) || c == '.' ? c : '_');
  if (name.empty() || name[0] == '.') name.insert(name.begin(), 'u');
  return name.substr(0, link::kMaxFolderName);
}

bool validText(const std::string &text) {
  if (text.empty() || text.size() > link::kMaxText) return false;
  for (unsigned char c : text)
    if (c == 0 || c == '\r' || c == '\n' || c > 0x7F) return false;
  return true;
}

}  // namespace

struct LinkServer::Served {
  std::unique_ptr<Unit> unit;
  std::string name;
  bool plugged = false;
  int listenFd = -1;
  int lockFd = -1;
  int hostFd = -1;
  link::FrameReader reader;
  std::string toHost;
  int lastStatus = -1;
  Wire wire;
};

LinkServer::LinkServer(const Clock &clock, std::string directory)
    : clock_(clock),
      unitClock_(clock),
      directory_(directory.empty() ? link::DeviceDirectory() : directory) {
  if (mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST)
    throw failure("cannot make the device directory " + directory_);
  if (!link::DirectoryIsPrivate(directory_))
    throw std::runtime_error("the device directory " + directory_ +
                             " must be a directory of this user without group or other access");
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw failure("pipe");
}

LinkServer::~LinkServer() {
  Stop();
  for (auto &s : served_)
    if (s->plugged) unplug(*s);
  close(wake_[0]);
  close(wake_[1]);
}

void LinkServer::SetReporter(Reporter reporter) {
  auto lock = Lock();
  reporter_ = std::move(reporter);
}

void LinkServer::report(const std::string &serial, Unit::Event event, const std::string &text) {
  if (reporter_) reporter_(serial, event, text);
}

Unit &LinkServer::Add(UnitOptions options, std::string folder) {
  auto lock = Lock();
  if (!validText(options.serial) || !validText(options.description))
    throw std::runtime_error("serial number and description must be 1 to 63 ASCII characters");
  if (folder.empty()) {
    folder = folderNameFor(options.serial);
    const std::string base = folder.substr(0, link::kMaxFolderName - 4);
    for (int n = 2; n < 1000; ++n) {
      bool taken = false;
      for (auto &s : served_) taken = taken || s->name == folder;
      if (!taken) break;
      folder = base + "-" + std::to_string(n);
    }
  }
  if (!link::ValidFolderName(folder)) throw std::runtime_error("invalid folder name " + folder);
  auto s = std::make_unique<Served>();
  s->name = folder;
  s->unit = std::make_unique<Unit>(std::move(options), unitClock_);
  const std::string serial = s->unit->Serial();
  s->unit->SetListener(
      [this, serial](Unit::Event e, const std::string &text) { report(serial, e, text); });
  plug(*s);
  served_.push_back(std::move(s));
  Wake();
  return *served_.back()->unit;
}

Unit &LinkServer::AddForeign(const std::string &serial, const std::string &description,
                             std::string folder) {
  UnitOptions options;
  options.serial = serial;
  options.description = description;
  options.foreign = true;
  return Add(std::move(options), std::move(folder));
}

LinkServer::Served *LinkServer::find(const std::string &serial) {
  for (auto &s : served_)
    if (s->unit->Serial() == serial) return s.get();
  return nullptr;
}

Unit *LinkServer::Find(const std::string &serial) {
  auto lock = Lock();
  auto *s = find(serial);
  return s ? s->unit.get() : nullptr;
}

std::string LinkServer::FolderOf(const std::string &serial) {
  auto lock = Lock();
  auto *s = find(serial);
  return s ? directory_ + "/" + s->name : std::string();
}

bool LinkServer::HasHost(const std::string &serial) {
  auto lock = Lock();
  auto *s = find(serial);
  return s && s->hostFd >= 0;
}

void LinkServer::Unplug(const std::string &serial) {
  auto lock = Lock();
  if (auto *s = find(serial); s && s->plugged) unplug(*s);
  Wake();
}

void LinkServer::PlugIn(const std::string &serial) {
  auto lock = Lock();
  if (auto *s = find(serial); s && !s->plugged) plug(*s);
  Wake();
}

void LinkServer::plug(Served &s) {
  const std::string target = directory_ + "/" + s.name;
  std::string temp = directory_ + "/." + s.name + ".XXXXXX";
  if (!mkdtemp(temp.data())) throw failure("cannot make a folder in " + directory_);
  try {
    writeFile(temp + "/description", s.unit->Options().description);
    writeFile(temp + "/serial", s.unit->Serial());
    s.lockFd = open((temp + "/link.lock").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (s.lockFd < 0 || flock(s.lockFd, LOCK_EX | LOCK_NB) != 0) throw failure("cannot lock");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = temp + "/link";
    if (socketPath.size() >= sizeof address.sun_path)
      throw std::runtime_error("the device directory's path is too long for a socket");
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    s.listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0 ||
        bind(s.listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(s.listenFd, 8) != 0)
      throw failure("cannot serve " + socketPath);
    if (rename(temp.c_str(), target.c_str()) != 0) {
      // A folder left behind by a device that ended without cleaning up may be replaced; one
      // whose device lives may not.
      if (link::LockIsHeld(target + "/link.lock"))
        throw std::runtime_error("a living device already serves " + target);
      removeFolder(target);
      if (rename(temp.c_str(), target.c_str()) != 0) throw failure("cannot put " + target);
    }
  } catch (...) {
    if (s.listenFd >= 0) close(s.listenFd);
    if (s.lockFd >= 0) close(s.lockFd);
    s.listenFd = s.lockFd = -1;
    removeFolder(temp);
    throw;
  }
  s.plugged = true;
  report(s.unit->Serial(), Unit::Event::Session, "plugged in at " + target);
}

void LinkServer::unplug(Served &s) {
  dropHost(s, "");
  const std::string target = directory_ + "/" + s.name;
  // Out of the listing at once, then taken apart; the lock goes last.
  std::string away = directory_ + "/." + s.name + ".gone";
  if (rename(target.c_str(), away.c_str()) != 0) away = target;
  removeFolder(away);
  close(s.listenFd);
  close(s.lockFd);
  s.listenFd = s.lockFd = -1;
  s.plugged = false;
  report(s.unit->Serial(), Unit::Event::Session, "unplugged");
}

void LinkServer::dropHost(Served &s, const std::string &why) {
  if (s.hostFd < 0) return;
  close(s.hostFd);
  s.hostFd = -1;
  s.toHost.clear();
  s.reader = link::FrameReader{};
  s.unit->Disconnect();
  if (!why.empty()) report(s.unit->Serial(), Unit::Event::Session, why);
}

void LinkServer::accept(Served &s) {
  for (;;) {
    const int fd = accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (s.hostFd >= 0) {
      close(fd);  // one host at a time: the second is closed without a word
      report(s.unit->Serial(), Unit::Event::Session, "second host refused");
      continue;
    }
    s.hostFd = fd;
    s.reader = link::FrameReader{};
    s.toHost.clear();
    s.unit->Connect();
    s.wire = Wire(s.unit->Options().wire);
    s.wire.SetBaudRate(s.unit->BaudRate());
    s.lastStatus = s.unit->ModemStatus();
    link::AppendFrame(s.toHost, link::kHello, s.unit->Serial());
    link::AppendFrame(s.toHost, link::kStatus, std::string(1, static_cast<char>(s.lastStatus)));
    flush(s);
  }
}

void LinkServer::readHost(Served &s) {
  char buffer[4096];
  std::size_t total = 0;
  bool gone = false;
  while (s.hostFd >= 0 && total < kMaxReadPerRound) {
    const ssize_t n = recv(s.hostFd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      s.reader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
      total += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // The host has gone: what it sent before it went still reaches the unit (a last change of
    // the lines, say, just before the close).
    gone = true;
    break;
  }
  link::Frame frame;
  for (;;) {
    switch (s.reader.Next(frame)) {
      case link::FrameReader::Result::NeedMore:
        if (gone) dropHost(s, "");
        return;
      case link::FrameReader::Result::ProtocolError:
        s.unit->NoteProblem("frame of a wrong length from the host; link closed");
        dropHost(s, "protocol error, link closed");
        return;
      case link::FrameReader::Result::Frame:
        break;
    }
    const auto *p = reinterpret_cast<const std::uint8_t *>(frame.payload.data());
    switch (frame.type) {
      case link::kData:
        if (s.wire.Options().timed)
          s.wire.Send(frame.payload, clock_.Now());
        else
          s.unit->Receive(frame.payload);
        break;
      case link::kLines:
        if (p[0] & ~(link::kDtrBit | link::kRtsBit))
          s.unit->NoteProblem("line levels with bits 2 to 7 not zero");
        s.unit->SetLines(p[0] & link::kDtrBit, p[0] & link::kRtsBit);
        break;
      case link::kBaud:
        s.unit->SetBaudRate(link::BaudFromPayload(frame.payload));
        s.wire.SetBaudRate(s.unit->BaudRate());
        break;
      case link::kMode:
        s.unit->SetBitMode(p[0], p[1]);
        break;
      default:
        s.unit->NoteProblem(std::string("a device's frame \"") + frame.type + "\" from the host");
        break;
    }
  }
}

// The bytes that have reached the unit are handed to it, each at its own time, and what it sent
// goes onto the line from the time it was due.
std::string LinkServer::throughWire(Served &s) {
  const Time now = clock_.Now();
  for (const auto &[at, byte] : s.wire.Arrived(now)) {
    unitClock_.Pin(at);
    s.unit->Receive(std::string_view(&byte, 1));
  }
  unitClock_.Unpin();
  for (const auto &[due, bytes] : s.unit->TakeTimedOutput()) s.wire.Reply(bytes, due);
  return s.wire.Delivered(now);
}

void LinkServer::collectOutput(Served &s) {
  if (s.hostFd < 0) return;
  const std::string out = s.wire.Options().timed ? throughWire(s) : s.unit->TakeOutput();
  if (!out.empty()) {
    if (s.toHost.size() < kMaxPendingToHost)
      link::AppendData(s.toHost, out);
    else
      s.unit->NoteProblem("host does not read; " + std::to_string(out.size()) + " bytes lost");
  }
  const int status = s.unit->ModemStatus();
  if (status != s.lastStatus) {
    s.lastStatus = status;
    link::AppendFrame(s.toHost, link::kStatus, std::string(1, static_cast<char>(status)));
  }
}

void LinkServer::flush(Served &s) {
  while (s.hostFd >= 0 && !s.toHost.empty()) {
    const ssize_t n = send(s.hostFd, s.toHost.data(), s.toHost.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      s.toHost.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    dropHost(s, "");
  }
}

void LinkServer::Wake() {
  const char byte = 1;
  [[maybe_unused]] auto n = write(wake_[1], &byte, 1);
}

std::vector<bool> LinkServer::Serve(std::chrono::milliseconds maxWait,
                                    const std::vector<int> &watch) {
  enum class What { Wake, Listen, Host, Watch };
  struct Slot {
    What what;
    Served *served;
  };
  std::vector<pollfd> fds;
  std::vector<Slot> slots;
  Time timeout = maxWait;
  {
    auto lock = Lock();
    fds.push_back({wake_[0], POLLIN, 0});
    slots.push_back({What::Wake, nullptr});
    const Time now = clock_.Now();
    for (auto &s : served_) {
      if (s->listenFd >= 0) {
        fds.push_back({s->listenFd, POLLIN, 0});
        slots.push_back({What::Listen, s.get()});
      }
      if (s->hostFd >= 0) {
        fds.push_back(
            {s->hostFd, static_cast<short>(POLLIN | (s->toHost.empty() ? 0 : POLLOUT)), 0});
        slots.push_back({What::Host, s.get()});
        for (auto due : {s->unit->NextOutputAt(), s->wire.NextEvent()})
          if (due) timeout = std::clamp(*due - now, Time{}, timeout);
      }
    }
    for (int fd : watch) {
      fds.push_back({fd, POLLIN, 0});
      slots.push_back({What::Watch, nullptr});
    }
  }
  // To the nanosecond: a byte on the line takes about a millisecond.
  const timespec wait{static_cast<time_t>(timeout.count() / 1'000'000'000),
                      static_cast<long>(timeout.count() % 1'000'000'000)};
  const int ready = ppoll(fds.data(), fds.size(), &wait, nullptr);
  std::vector<bool> readable(watch.size(), false);
  auto lock = Lock();
  std::size_t w = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    const short ev = ready > 0 ? fds[i].revents : 0;
    Served *s = slots[i].served;
    switch (slots[i].what) {
      case What::Wake:
        if (ev) {
          char drain[64];
          while (read(wake_[0], drain, sizeof drain) > 0) {
          }
        }
        break;
      case What::Listen:
        if (ev && s->listenFd == fds[i].fd) accept(*s);
        break;
      case What::Host:
        // The host may have been dropped (and its descriptor reused) since the poll.
        if (s->hostFd != fds[i].fd) break;
        if (ev & (POLLIN | POLLHUP | POLLERR)) readHost(*s);
        break;
      case What::Watch:
        readable[w++] = ev != 0;
        break;
    }
  }
  for (auto &s : served_) {
    collectOutput(*s);
    flush(*s);
  }
  return readable;
}

void LinkServer::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] {
    while (!stop_) Serve(std::chrono::milliseconds(200));
  });
}

void LinkServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
}

}  // namespace sim

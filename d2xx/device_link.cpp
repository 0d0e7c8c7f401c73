#include "d2xx/device_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace d2xx::link {

bool KnownType(char type) {
  switch (type) {
    case kHello:
    case kStatus:
    case kData:
    case kLines:
    case kBaud:
    case kMode:
      return true;
    default:
      return false;
  }
}

bool LengthFits(char type, std::size_t length) {
  switch (type) {
    case kHello:
      return length >= 1 && length <= kMaxText;
    case kData:
      return length >= 1 && length <= kMaxData;
    case kStatus:
    case kLines:
      return length == 1;
    case kBaud:
      return length == 4;
    case kMode:
      return length == 2;
    default:
      return length <= 255;
  }
}

void AppendFrame(std::string &out, char type, std::string_view payload) {
  out.push_back(type);
  out.push_back(static_cast<char>(payload.size()));
  out.append(payload);
}

void AppendData(std::string &out, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kMaxData);
    AppendFrame(out, kData, bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
}

std::string LinesPayload(bool dtr, bool rts) {
  return std::string(1, static_cast<char>((dtr ? kDtrBit : 0) | (rts ? kRtsBit : 0)));
}

std::string BaudPayload(std::uint32_t baudRate) {
  std::string p(4, '\0');
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((baudRate >> (8 * i)) & 0xFF);
  return p;
}

std::uint32_t BaudFromPayload(std::string_view payload) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4 && i < payload.size(); ++i)
    v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(payload[i])) << (8 * i);
  return v;
}

void FrameReader::Feed(std::string_view bytes) {
  if (failed_) return;
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 4096) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

FrameReader::Result FrameReader::Next(Frame &frame) {
  while (!failed_) {
    if (Buffered() < 2) return Result::NeedMore;
    const char type = buffer_[start_];
    const std::size_t length = static_cast<std::uint8_t>(buffer_[start_ + 1]);
    if (!LengthFits(type, length)) {
      failed_ = true;
      break;
    }
    if (Buffered() < 2 + length) return Result::NeedMore;
    const std::size_t payload = start_ + 2;
    start_ += 2 + length;
    if (!KnownType(type)) continue;  // skipped by its length
    frame.type = type;
    frame.payload.assign(buffer_, payload, length);
    return Result::Frame;
  }
  return Result::ProtocolError;
}

std::string DeviceDirectory() {
  if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    struct stat st {};
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
      return std::string(runtime) + "/tolvane-ftdi";
  }
  return "/tmp/tolvane-ftdi-" + std::to_string(geteuid());
}

bool DirectoryIsPrivate(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool ValidFolderName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFolderName || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::optional<std::string> ReadTextFile(const std::string &path) {
  // Non-blocking and without following links: a FIFO or a link planted here must not hang or
  // redirect the listing.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  char buffer[kMaxText + 2];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, buffer, sizeof buffer);
  close(fd);
  if (n <= 0) return std::nullopt;
  std::string text;
  for (ssize_t i = 0; i < n; ++i) {
    const char c = buffer[i];
    if (c == '\r' || c == '\n' || c == '\0') break;
    if (static_cast<unsigned char>(c) > 0x7F) return std::nullopt;
    text.push_back(c);
  }
  if (text.empty() || text.size() > kMaxText) return std::nullopt;
  return text;
}

bool LockIsHeld(const std::string &lockPath) {
  const int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool held = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0)
      flock(fd, LOCK_UN);  // free: nobody serves this folder
    else
      held = errno == EWOULDBLOCK;
  }
  close(fd);
  return held;
}

std::vector<ListedDevice> ListDevices() {
  std::vector<ListedDevice> devices;
  const std::string directory = DeviceDirectory();
  if (!DirectoryIsPrivate(directory)) return devices;
  DIR *dir = opendir(directory.c_str());
  if (!dir) return devices;
  std::vector<std::string> names;
  while (const dirent *entry = readdir(dir))
    if (ValidFolderName(entry->d_name)) names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char
  for (const auto &name : names) {
    const std::string folder = directory + "/" + name;
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (lstat((folder + "/link").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    auto description = ReadTextFile(folder + "/description");
    auto serial = ReadTextFile(folder + "/serial");
    if (!description || !serial) continue;
    if (!LockIsHeld(folder + "/link.lock")) continue;
    devices.push_back({folder, std::move(*description), std::move(*serial)});
  }
  return devices;
}

}  // namespace d2xx::link

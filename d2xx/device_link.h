// The emulated device link: the device directory, device folders and the frames on their
// sockets. The host side (the emulated provider) and the device side (the unit emulator) both
// speak it; other tools speak it too, so it is fixed to the byte.
//
// Device directory: "tolvane-ftdi" in $XDG_RUNTIME_DIR when that names a directory, otherwise
// "/tmp/tolvane-ftdi-<uid>"; it must belong to the effective user and give group and others no
// permission. A device is a folder in it (1 to 32 bytes of A-Z a-z 0-9 . _ -, not beginning with
// ".") holding `description`, `serial`, `link.lock` (exclusively flocked by the living device) and
// `link` (a UNIX stream socket). Listing order is the byte order of the folder names.
//
// Frames: a type byte, a length byte, the payload. H 1-63 (hello: the serial number), S 1 (modem
// status), D 1-255 (data), L 1 (bit 0 DTR, bit 1 RTS), B 4 (baud rate, little-endian), M 2 (bit
// mask, bit mode). A known type with another length is a protocol error; unknown types are
// skipped by their length.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace d2xx::link {

inline constexpr char kHello = 'H';
inline constexpr char kStatus = 'S';
inline constexpr char kData = 'D';
inline constexpr char kLines = 'L';
inline constexpr char kBaud = 'B';
inline constexpr char kMode = 'M';

inline constexpr std::size_t kMaxData = 255;
inline constexpr std::size_t kMaxText = 63;  // description, serial number, hello
inline constexpr std::size_t kMaxFolderName = 32;
inline constexpr std::uint8_t kDtrBit = 0x01;
inline constexpr std::uint8_t kRtsBit = 0x02;

// Whether `length` is a valid payload length of a frame of this type; true for unknown types.
bool LengthFits(char type, std::size_t length);
// Whether the type is one of the six known ones.
bool KnownType(char type);

// Appends one frame. The payload must fit the type.
void AppendFrame(std::string &out, char type, std::string_view payload);
// Appends data as D frames of at most 255 bytes each.
void AppendData(std::string &out, std::string_view bytes);
std::string LinesPayload(bool dtr, bool rts);
std::string BaudPayload(std::uint32_t baudRate);
std::uint32_t BaudFromPayload(std::string_view payload);

struct Frame {
  char type = 0;
  std::string payload;
};

// Cuts received bytes into frames; a partial frame waits for the rest.
class FrameReader {
 public:
  enum class Result { Frame, NeedMore, ProtocolError };
  void Feed(std::string_view bytes);
  // The next complete frame of a known type; frames of unknown types are skipped. After a
  // protocol error the reader stays in error.
  Result Next(Frame &frame);
  std::size_t Buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
  bool failed_ = false;
};

// The device directory of this user, whether it exists or not.
std::string DeviceDirectory();
// Whether `path` is a directory (not a link) of the effective user without group or other
// permission bits.
bool DirectoryIsPrivate(const std::string &path);
bool ValidFolderName(std::string_view name);
// The text of a description or serial file: up to the first CR, LF or NUL, 1 to 63 ASCII bytes;
// nothing when the file is missing, not a plain file, or its text does not fit.
std::optional<std::string> ReadTextFile(const std::string &path);
// Whether a device holds the exclusive lock on `lockPath` now.
bool LockIsHeld(const std::string &lockPath);

struct ListedDevice {
  std::string folder;  // full path of the device folder
  std::string description;
  std::string serial;
};
// The living devices of the device directory, in byte order of their folder names; nothing when
// the directory is missing or not private.
std::vector<ListedDevice> ListDevices();

}  // namespace d2xx::link

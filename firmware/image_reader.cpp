#include "firmware/image_reader.h"

#include <algorithm>

#include "util/hex.h"

namespace firmware {

namespace {

// Characters of a record, counted from its ":" at offset 0.
constexpr std::size_t kCountAt = 1;    // byte count, 2 digits
constexpr std::size_t kAddressAt = 3;  // byte address, 4 digits
constexpr std::size_t kTypeAt = 7;     // record type, 2 digits
constexpr std::size_t kDataAt = 9;     // data, 2 digits per byte
constexpr std::size_t kHeaderLength = kDataAt;
constexpr std::size_t kFrameLength = 11;  // ":", count, address, type and checksum

class Reader {
 public:
  Reader(std::string_view text, std::size_t storedLength)
      : text_(text.substr(0, std::min(storedLength, text.size()))) {}

  Image Read() {
    std::size_t p = 0;
    // As in the original scan, the last character of the text never starts a record.
    while (p + 1 < text_.size()) {
      if (text_[p] != ':') {
        ++p;
        continue;
      }
      if (p + kHeaderLength > text_.size()) break;  // header cut short
      const std::size_t count = Pair(p + kCountAt);
      const std::size_t next = p + kFrameLength + 2 * count;
      if (text_[p + kTypeAt] != '0' || text_[p + kTypeAt + 1] != '0') {
        p = next;  // not a data record
        continue;
      }
      const std::uint8_t high = Pair(p + kAddressAt);
      const std::uint8_t low = Pair(p + kAddressAt + 2);
      const auto word = static_cast<std::uint16_t>(((high << 8) | low) >> 1);
      if (word >= kEndWord) {
        Store(kEndLine);
        break;
      }
      if (word < kFirstWord || count == 0) {
        p = next;
        continue;
      }
      if (p + kDataAt + 2 * count > text_.size()) break;  // data cut short: dropped
      if (!StoreRecord(p + kDataAt, count, word)) break;
      p = next;
    }
    if (image_.tooLarge) image_.lines.clear();
    return std::move(image_);
  }

 private:
  std::uint8_t Pair(std::size_t at) const {
    return static_cast<std::uint8_t>(HexPairToValue(text_[at], text_[at + 1]));
  }

  bool Store(const ImageLine &line) {
    if (image_.lines.size() >= kTableLines) {
      image_.tooLarge = true;
      return false;
    }
    image_.lines.push_back(line);
    return true;
  }

  // The record's data bytes at `data` as lines of four words from word address `address`.
  // Lines that would start at the loader's words (0x1800 on) are not stored.
  bool StoreRecord(std::size_t data, std::size_t count, std::uint16_t address) {
    for (std::size_t first = 0; first < count; first += 8) {
      if (address >= kEndWord) return true;
      ImageLine line;
      line.fill(0xFF);
      line[0] = static_cast<std::uint8_t>(address & 0xFF);
      line[1] = static_cast<std::uint8_t>(address >> 8);
      for (std::size_t i = 0; i < 8 && first + i < count; ++i)
        line[2 + i] = Pair(data + 2 * (first + i));
      if (!Store(line)) return false;
      address = static_cast<std::uint16_t>(address + 4);
    }
    return true;
  }

  std::string_view text_;
  Image image_;
};

}  // namespace

Image ReadImage(std::string_view text, std::size_t storedLength) {
  return Reader(text, storedLength).Read();
}

std::vector<std::string_view> FileLines(std::string_view data) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    if (c != '\r' && c != '\n') continue;
    lines.push_back(data.substr(start, i - start));
    if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < data.size()) lines.push_back(data.substr(start));
  return lines;
}

}  // namespace firmware

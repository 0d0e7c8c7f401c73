// Intel HEX records and transfer images built by hand for the firmware tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "firmware/image_reader.h"

namespace hexfile {

using Bytes = std::vector<std::uint8_t>;

// One record ":LLAAAATT<data>CC" with a correct checksum (or `checksum` when it is 0..255).
inline std::string Record(int type, unsigned address, const Bytes &data, int checksum = -1) {
  char buffer[16];
  std::string text = ":";
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) +
                 static_cast<unsigned>(type);
  std::snprintf(buffer, sizeof buffer, "%02X%04X%02X", static_cast<unsigned>(data.size()),
                address & 0xFFFF, static_cast<unsigned>(type));
  text += buffer;
  for (std::uint8_t b : data) {
    std::snprintf(buffer, sizeof buffer, "%02X", b);
    text += buffer;
    sum += b;
  }
  const unsigned check =
      checksum >= 0 ? static_cast<unsigned>(checksum) : ((0x100 - (sum & 0xFF)) & 0xFF);
  std::snprintf(buffer, sizeof buffer, "%02X", check);
  return text + buffer;
}

inline std::string Data(unsigned address, const Bytes &data) {
  return Record(0, address, data);
}
inline std::string EndOfFile() {
  return ":00000001FF";
}

// The bytes first, first + 1, ... (count of them).
inline Bytes Seq(std::uint8_t first, std::size_t count) {
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(first + i));
  return out;
}

// Records joined by CR LF, as the file view holds them.
inline std::string Text(std::initializer_list<std::string> records) {
  std::string text;
  for (const std::string &r : records) {
    if (!text.empty()) text += "\r\n";
    text += r;
  }
  return text;
}

// An image line: word address and up to eight data bytes, the rest 0xFF.
inline firmware::ImageLine Line(unsigned word, const Bytes &data) {
  firmware::ImageLine line;
  line.fill(0xFF);
  line[0] = static_cast<std::uint8_t>(word & 0xFF);
  line[1] = static_cast<std::uint8_t>(word >> 8);
  for (std::size_t i = 0; i < data.size() && i < 8; ++i) line[2 + i] = data[i];
  return line;
}

// A realistic firmware file: the reset vector (words 0 to 3) in an 8-byte record, the words 4
// to 7 in another, then 16-byte records up to word `words` - 1, the configuration word at byte
// address 0x400E and the end-of-file record. With the default it gives the full image of 1536
// lines: 1535 data lines and the end line.
inline Bytes Pattern(unsigned address, std::size_t count) {
  Bytes data;
  for (unsigned i = 0; i < count; ++i)
    data.push_back(static_cast<std::uint8_t>((address + i) * 7 + (address >> 8)));
  return data;
}

inline std::string FirmwareFile(unsigned words = 0x1800) {
  std::string text = Data(0, {0x8A, 0x01, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00}) + "\r\n";
  text += Data(8, Pattern(8, 8)) + "\r\n";
  for (unsigned address = 16; address < 2 * words; address += 16)
    text += Data(address, Pattern(address, 16)) + "\r\n";
  text += Data(0x400E, {0x3A, 0x3F}) + "\r\n";
  return text + EndOfFile();
}

}  // namespace hexfile

// The firmware image reader: turns the text of an Intel HEX file into the transfer image, the
// table of 10-byte lines that the download sends to the unit's loader.
//
// The unit's program memory is word-addressed; in the HEX file every word takes two bytes at
// byte address 2 × word address, low byte first. An image line is the word address (low, high)
// and four consecutive program words; the end line "U" and nine 0xFF closes the image. Only the
// word addresses 4 to 0x17FF are kept: words 0 to 3 and everything from 0x1800 on belong to the
// loader.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace firmware {

inline constexpr std::size_t kLineBytes = 10;
inline constexpr std::size_t kTableLines = 2050;   // room of the image table
inline constexpr std::uint16_t kFirstWord = 4;     // lowest word address kept
inline constexpr std::uint16_t kEndWord = 0x1800;  // a record from here on ends the image
inline constexpr std::uint8_t kEndMark = 0x55;     // "U", first byte of the end line

using ImageLine = std::array<std::uint8_t, kLineBytes>;

inline constexpr ImageLine kEndLine = {kEndMark, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF,     0xFF, 0xFF, 0xFF, 0xFF};

struct Image {
  std::vector<ImageLine> lines;  // lines 1 to the line count, in sending order
  // The text would need more lines than the table holds; the image is then empty.
  bool tooLarge = false;

  int LineCount() const { return static_cast<int>(lines.size()); }
  // Whether the image closes with the end line, which brings the unit out of its loader: only a
  // data record at word 0x1800 (byte address 0x3000) or above adds it.
  bool HasEndLine() const { return !lines.empty() && lines.back() == kEndLine; }
};

// Reads the image from `text`, scanning its first `storedLength` characters (never past the end
// of `text`). Data records (type 00) are taken in file order; each starts a new line at its own
// word address and fills lines of four words, a missing byte being 0xFF. Other record types,
// characters between records and checksums are ignored. A record cut short by the end of the
// text is dropped. The first data record at word 0x1800 or above adds the end line and ends the
// read.
Image ReadImage(std::string_view text, std::size_t storedLength);

// The lines of a file's bytes as a text file reads them: each ends at CR LF, LF or CR; a last
// line without its end is a line too.
std::vector<std::string_view> FileLines(std::string_view data);

}  // namespace firmware

// The check of an Intel HEX file before anything of it is sent: a file that is cut short,
// damaged or not Intel HEX at all is refused, naming its first bad line. A pure function, beside
// the image reader, which reads the files that pass.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace firmware {

struct HexFault {
  std::size_t line = 0;  // the bad line, counted from 1; 0 when the file is sound
  std::string reason;    // "the checksum is 3F, the record needs 41"

  bool Sound() const { return line == 0; }
};

// Checks the text of a firmware file, its lines ending at CR LF, LF or CR. Every line up to the
// end-of-file record (type 01) is a record, or blank; a record is ":" and hex digits (blanks
// around it are allowed), as long as its byte count says, with a checksum that makes the sum of
// its bytes 0 modulo 256. Only blanks may follow the end-of-file record, which must be there. A
// file missing it is faulted at the line after its last.
HexFault CheckHexText(std::string_view text);

// The refusal's text: "app.hex, line 12: the checksum is 3F, the record needs 41".
std::string RefusalText(std::string_view fileName, const HexFault &fault);

}  // namespace firmware

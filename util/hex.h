// Conversions between bytes and their two-digit hexadecimal text, used by the firmware image
// reader (record digits to bytes) and by the transfer log (sent bytes to digits), and the escaped
// text of bytes that a unit sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The value 0 to 15 of one hexadecimal digit "0"-"9", "A"-"F" or "a"-"f"; 0 for any other
// character.
int HexDigitValue(char digit);

// 16 × high + low, 0 to 255. Each argument is one character; an argument that is not exactly one
// hexadecimal digit counts as 0.
int HexPairToValue(std::string_view high, std::string_view low);
int HexPairToValue(char high, char low);

// The code of a one-character text as two upper-case hexadecimal digits, high nibble first
// ("\n" gives "0A", "w" gives "77"); the empty text for any other length.
std::string ByteToHex(std::string_view text);
std::string ByteToHex(std::uint8_t byte);

// One byte as a line of text may show it: printable ASCII as it is, CR as "\r", LF as "\n",
// any other byte as "\xNN" (upper-case digits).
void AppendEscaped(std::string &out, char byte);
// Bytes with each one escaped so.
std::string EscapedBytes(std::string_view bytes);

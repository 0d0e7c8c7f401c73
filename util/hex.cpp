#include "util/hex.h"

int HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  // Lower-case digits count too: a HEX file written in lower case must not read as zeros.
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return 0;
}

int HexPairToValue(char high, char low) {
  return 16 * HexDigitValue(high) + HexDigitValue(low);
}

int HexPairToValue(std::string_view high, std::string_view low) {
  const int h = high.size() == 1 ? HexDigitValue(high[0]) : 0;
  const int l = low.size() == 1 ? HexDigitValue(low[0]) : 0;
  return 16 * h + l;
}

std::string ByteToHex(std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string ByteToHex(std::string_view text) {
  if (text.size() != 1) return {};
  return ByteToHex(static_cast<std::uint8_t>(text[0]));
}

void AppendEscaped(std::string &out, char c) {
  const auto byte = static_cast<std::uint8_t>(c);
  if (byte >= 0x20 && byte < 0x7F)
    out += c;
  else if (c == '\r')
    out += "\\r";
  else if (c == '\n')
    out += "\\n";
  else
    out += "\\x" + ByteToHex(byte);
}

std::string EscapedBytes(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) AppendEscaped(out, c);
  return out;
}

#include "firmware/hex_check.h"

#include <cstdio>
#include <vector>

#include "firmware/image_reader.h"
#include "util/hex.h"

namespace firmware {

namespace {

// Characters of a record, counted from its ":" at offset 0.
constexpr std::size_t kFrameLength = 11;  // ":", count, address, type and checksum
constexpr std::size_t kTypeAt = 7;
constexpr int kEndOfFile = 1;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string TwoDigits(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// A character as a message can show it: in quotes when it is printable, otherwise by its code.
std::string Shown(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code > 0x20 && code < 0x7F) return std::string("\"") + c + "\"";
  return "0x" + TwoDigits(code);
}

unsigned PairAt(std::string_view record, std::size_t at) {
  return static_cast<unsigned>(HexPairToValue(record[at], record[at + 1]));
}

// The fault of one record (without the blanks around it); empty when it is sound. `column` is
// the column of its ":", `lastLine` whether the file ends within it.
std::string RecordFault(std::string_view record, std::size_t column, bool lastLine, int &type) {
  if (record.front() != ':') return "the line does not begin with \":\"";
  for (std::size_t i = 1; i < record.size(); ++i)
    if (!IsHexDigit(record[i]))
      return "the character " + Shown(record[i]) + " at column " + std::to_string(column + i) +
             " is not a hex digit";
  const std::size_t count = record.size() >= 3 ? PairAt(record, 1) : 0;
  const std::size_t needed = kFrameLength + 2 * count;
  if (record.size() < needed) {
    const std::string where = lastLine ? "the end of the file" : "the end of its line";
    if (record.size() < 3) return "the record ends at " + where + " before its byte count";
    return "the record of " + std::to_string(count) + " data bytes runs past " + where;
  }
  if (record.size() > needed)
    return "the line goes on after the checksum of its record of " + std::to_string(count) +
           " data bytes";
  unsigned sum = 0;
  for (std::size_t at = 1; at + 2 < needed; at += 2) sum += PairAt(record, at);
  const unsigned written = PairAt(record, needed - 2);
  const unsigned wanted = (0x100 - (sum & 0xFF)) & 0xFF;
  if (written != wanted)
    return "the checksum is " + TwoDigits(written) + ", the record needs " + TwoDigits(wanted);
  type = static_cast<int>(PairAt(record, kTypeAt));
  return {};
}

}  // namespace

HexFault CheckHexText(std::string_view text) {
  const std::vector<std::string_view> lines = FileLines(text);
  bool ended = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    std::size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    std::size_t last = line.size();
    while (last > first && IsBlank(line[last - 1])) --last;
    if (first == last) continue;
    if (ended) return {i + 1, "something other than blanks follows the end-of-file record"};
    int type = -1;
    const bool lastLine = i + 1 == lines.size();
    std::string reason = RecordFault(line.substr(first, last - first), first + 1, lastLine, type);
    if (!reason.empty()) return {i + 1, std::move(reason)};
    if (type == kEndOfFile) ended = true;
  }
  if (!ended) return {lines.size() + 1, "the end-of-file record \":00000001FF\" is missing"};
  return {};
}

std::string RefusalText(std::string_view fileName, const HexFault &fault) {
  return std::string(fileName) + ", line " + std::to_string(fault.line) + ": " + fault.reason;
}

}  // namespace firmware

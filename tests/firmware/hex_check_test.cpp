#include "firmware/hex_check.h"

#include <gtest/gtest.h>

#include "tests/firmware/hex_records.h"

using namespace hexfile;

namespace {

struct CheckCase {
  const char *name;
  std::string text;
  std::size_t line;  // 0: sound
  std::string reason;
};

void PrintTo(const CheckCase &c, std::ostream *os) {
  *os << c.name;
}

class HexCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(HexCheck, NamesTheFirstBadLine) {
  const firmware::HexFault fault = firmware::CheckHexText(GetParam().text);
  EXPECT_EQ(fault.line, GetParam().line);
  EXPECT_EQ(fault.reason, GetParam().reason);
}

const std::string kData = Data(0x0010, Seq(1, 8));  // :08001000010203040506070898

INSTANTIATE_TEST_SUITE_P(
    Files, HexCheck,
    ::testing::Values(
        CheckCase{"Sound", FirmwareFile(0x40) + "\r\n \r\n", 0, ""},
        CheckCase{"LowerCaseAndBlanks", "  " + kData + "\t\r\n\r\n:00000001ff", 0, ""},
        CheckCase{"NotAHexDigit", Text({kData, ":0800200001ZZ030405060708FF", EndOfFile()}), 2,
                  "the character \"Z\" at column 12 is not a hex digit"},
        CheckCase{"NoColon", Text({"0800100001", EndOfFile()}), 1,
                  "the line does not begin with \":\""},
        CheckCase{"PastItsLine", Text({kData.substr(0, 15), EndOfFile()}), 1,
                  "the record of 8 data bytes runs past the end of its line"},
        CheckCase{"PastTheFile", Text({kData, kData.substr(0, 20)}), 2,
                  "the record of 8 data bytes runs past the end of the file"},
        CheckCase{"LongerThanItsCount", Text({kData + "00", EndOfFile()}), 1,
                  "the line goes on after the checksum of its record of 8 data bytes"},
        CheckCase{"Checksum", Text({kData, Record(0, 0x20, Seq(1, 4), 0x3F), EndOfFile()}), 2,
                  "the checksum is 3F, the record needs D2"},
        CheckCase{"NoEndOfFile", Text({kData, kData}), 3,
                  "the end-of-file record \":00000001FF\" is missing"},
        CheckCase{"AfterTheEnd", Text({kData, EndOfFile(), "", kData}), 4,
                  "something other than blanks follows the end-of-file record"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

#include "firmware/image_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/firmware/hex_records.h"

using namespace hexfile;
using firmware::Image;
using firmware::ImageLine;
using firmware::kEndLine;
using firmware::ReadImage;
using Lines = std::vector<ImageLine>;

namespace {

Image Read(const std::string &text) {
  return ReadImage(text, text.size());
}

struct ReaderCase {
  const char *name;
  std::string text;
  Lines lines;
};

void PrintTo(const ReaderCase &c, std::ostream *os) {
  *os << c.name;
}

class Reader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(Reader, GivesTheImage) {
  const Image image = Read(GetParam().text);
  EXPECT_FALSE(image.tooLarge);
  EXPECT_EQ(image.LineCount(), static_cast<int>(GetParam().lines.size()));
  EXPECT_EQ(image.lines, GetParam().lines);
}

const Bytes k16 = Seq(0x10, 16);

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, Reader,
    ::testing::Values(ReaderCase{"SixteenBytesAtWord8",
                                 Data(0x0010, k16),
                                 {Line(8, Seq(0x10, 8)), Line(12, Seq(0x18, 8))}},
                      ReaderCase{"RecordAt0x400EIsTheEnd", Data(0x400E, {0x3A, 0x3F}), {kEndLine}},
                      ReaderCase{"WholeText",
                                 Text({Data(0x0000, {0x8A, 0x01}), Data(0x0008, k16),
                                       Data(0x400E, {0x3A, 0x3F}), EndOfFile()}),
                                 {Line(4, Seq(0x10, 8)), Line(8, Seq(0x18, 8)), kEndLine}}),
    [](const auto &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Addresses, Reader,
    ::testing::Values(
        ReaderCase{"ResetVectorRecordSkippedWhole",
                   Text({Data(0x0000, k16), Data(0x0020, {1, 2})}),
                   {Line(0x10, {1, 2})}},
        ReaderCase{"RecordAtWord2SkippedWithItsWordsFrom4On",
                   Text({Data(0x0004, k16), Data(0x0040, {1, 2})}),
                   {Line(0x20, {1, 2})}},
        ReaderCase{"EightBytesAtWord4", Data(0x0008, Seq(1, 8)), {Line(4, Seq(1, 8))}},
        ReaderCase{"TwoBytesMakeAFullLine",
                   Data(0x0008, {0xAB, 0xCD}),
                   {Line(4, {0xAB, 0xCD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}},
        ReaderCase{"GapStartsANewLineAtTheRecordsAddress",
                   Text({Data(0x0008, Seq(1, 8)), Data(0x0100, Seq(9, 8))}),
                   {Line(4, Seq(1, 8)), Line(0x80, Seq(9, 8))}},
        ReaderCase{
            "UnalignedRecordKeepsItsOwnAddress", Data(0x000A, Seq(1, 4)), {Line(5, Seq(1, 4))}},
        ReaderCase{"RepeatedAddressGivesTwoLines",
                   Text({Data(0x0010, {1, 2}), Data(0x0010, {3, 4})}),
                   {Line(8, {1, 2}), Line(8, {3, 4})}},
        ReaderCase{"RunningAddressCarriesIntoTheHighByte",
                   Data(0x01F8, k16),
                   {Line(0x00FC, Seq(0x10, 8)), Line(0x0100, Seq(0x18, 8))}},
        ReaderCase{"OddHighAddressByteAdds128", Data(0x0310, {7, 8}), {Line(0x0188, {7, 8})}},
        ReaderCase{"LastWordBelowTheLoader", Data(0x2FF8, Seq(1, 8)), {Line(0x17FC, Seq(1, 8))}},
        ReaderCase{"FirstRecordAt0x3000EndsTheImage",
                   Text({Data(0x0010, {1, 2}), Data(0x3000, {3, 4}), Data(0x0020, {5, 6})}),
                   {Line(8, {1, 2}), kEndLine}},
        ReaderCase{
            "ImageWithoutEndLine", Text({Data(0x0010, {1, 2}), EndOfFile()}), {Line(8, {1, 2})}},
        ReaderCase{"LongRecordStopsAtTheLoader",
                   Data(0x2FF0, Seq(1, 32)),
                   {Line(0x17F8, Seq(1, 8)), Line(0x17FC, Seq(9, 8))}}),
    [](const auto &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Records, Reader,
    ::testing::Values(
        ReaderCase{"OtherRecordTypesChangeNothing",
                   Text({Record(2, 0, {0x10, 0x00}), Record(4, 0, {0x00, 0x01}),
                         Data(0x0010, {1, 2}), Record(3, 0, {0, 0, 0, 0}),
                         Record(5, 0, {0, 0, 1, 0}), EndOfFile(), Data(0x0020, {3, 4})}),
                   {Line(8, {1, 2}), Line(0x10, {3, 4})}},
        ReaderCase{
            "WrongChecksumChangesNothing", Record(0, 0x0010, {1, 2}, 0x00), {Line(8, {1, 2})}},
        ReaderCase{"LineBreakBytesAreData",
                   Data(0x0010, {0x00, 0x0D, 0x0A, 0x3A, 0x55, 0xFF}),
                   {Line(8, {0x00, 0x0D, 0x0A, 0x3A, 0x55, 0xFF})}},
        ReaderCase{"OddByteCountPadsTheLastWordWithFF",
                   Data(0x0010, {1, 2, 3}),
                   {Line(8, {1, 2, 3, 0xFF})}},
        ReaderCase{"OddCountOfNineGoesOnToASecondLine",
                   Data(0x0010, Seq(1, 9)),
                   {Line(8, Seq(1, 8)), Line(12, {9, 0xFF})}},
        ReaderCase{"MoreThanSixteenBytesGoOnOverFurtherLines",
                   Data(0x0010, Seq(1, 20)),
                   {Line(8, Seq(1, 8)), Line(12, Seq(9, 8)), Line(16, Seq(17, 4))}},
        ReaderCase{"EmptyDataRecordGivesNoLine",
                   Text({Data(0x0010, {}), Data(0x0020, {1, 2})}),
                   {Line(0x10, {1, 2})}},
        ReaderCase{"LowerCaseDigits", ":0400100001abcdef32", {Line(8, {0x01, 0xAB, 0xCD, 0xEF})}},
        ReaderCase{"LineEndsOfAnyKindAndNoiseBetweenRecords",
                   "junk\n" + Data(0x0010, {1, 2}) + "\n\n  ;x\r" + Data(0x0020, {3, 4}) + "\r\n",
                   {Line(8, {1, 2}), Line(0x10, {3, 4})}},
        ReaderCase{"TextWithoutColon", "no records here\r\n0400100001020304E2", {}},
        ReaderCase{"EmptyText", "", {}}),
    [](const auto &info) { return info.param.name; });

// Records cut short by the end of the text give nothing from the cut record.
INSTANTIATE_TEST_SUITE_P(
    CutShort, Reader,
    ::testing::Values(
        ReaderCase{"DataCut",
                   Text({Data(0x0010, {1, 2}), Data(0x0020, Seq(1, 16)).substr(0, 30)}),
                   {Line(8, {1, 2})}},
        ReaderCase{"HeaderCut", Text({Data(0x0010, {1, 2}), ":1000"}), {Line(8, {1, 2})}},
        ReaderCase{"OnlyTheChecksumMissing", Data(0x0010, {1, 2}).substr(0, 13), {Line(8, {1, 2})}},
        ReaderCase{"ColonLast", Text({Data(0x0010, {1, 2}), ":"}), {Line(8, {1, 2})}},
        ReaderCase{"DeclaredLengthBeyondTheText", ":FF001000010203", {}}),
    [](const auto &info) { return info.param.name; });

TEST(ReaderBounds, NeverReadsPastTheTextWhateverTheStoredLength) {
  // The text handed over is the first record only; the bytes behind it in memory hold another
  // record, which must not be seen even though the stored length covers it.
  const std::string first = Data(0x0010, {1, 2});
  const std::string memory = first + "\r\n" + Data(0x0020, {3, 4});
  const Image image = ReadImage(std::string_view(memory.data(), first.size()), memory.size());
  EXPECT_EQ(image.lines, (Lines{Line(8, {1, 2})}));
}

TEST(ReaderBounds, ScansOnlyTheStoredLength) {
  const std::string text = Text({Data(0x0010, {1, 2}), Data(0x0020, {3, 4})});
  EXPECT_EQ(ReadImage(text, text.size()).LineCount(), 2);
  EXPECT_EQ(ReadImage(text, Data(0x0010, {1, 2}).size() + 2).lines, (Lines{Line(8, {1, 2})}));
  EXPECT_EQ(ReadImage(text, 0).LineCount(), 0);
}

TEST(ReaderTable, HoldsTwoThousandFiftyLinesAndRefusesMore) {
  std::string text;
  for (int i = 0; i < 2049; ++i) text += Data(0x0010, {1, 2}) + "\r\n";
  std::string fits = text + Data(0x3000, {0, 0});
  Image image = Read(fits);
  EXPECT_FALSE(image.tooLarge);
  ASSERT_EQ(image.LineCount(), 2050);
  EXPECT_EQ(image.lines.back(), kEndLine);

  image = Read(text + Data(0x0010, {1, 2}) + "\r\n" + Data(0x3000, {0, 0}));
  EXPECT_TRUE(image.tooLarge);
  EXPECT_EQ(image.LineCount(), 0) << "a table that overflows must not be downloaded in part";

  image = Read(text + Data(0x0010, Seq(0, 32)));
  EXPECT_TRUE(image.tooLarge);
  EXPECT_EQ(image.LineCount(), 0);
}

TEST(ReaderImage, FullFirmwareFileGivesFifteenHundredThirtySixLines) {
  const Image image = Read(FirmwareFile());
  ASSERT_EQ(image.LineCount(), 1536);
  EXPECT_EQ(image.lines.front(), Line(4, Pattern(8, 8)));
  EXPECT_EQ(image.lines[1], Line(8, Pattern(16, 8)));
  EXPECT_EQ(image.lines[1534], Line(0x17FC, Pattern(0x2FF0 + 8, 8)));
  EXPECT_EQ(image.lines.back(), kEndLine);
  for (int i = 0; i + 1 < image.LineCount(); ++i) {
    const auto &line = image.lines[static_cast<std::size_t>(i)];
    EXPECT_EQ(line[0] | (line[1] << 8), 4 + 4 * i) << "line " << i + 1;
  }
}

// Whatever the text, the image keeps to its rules: at most 2050 lines, data lines only at the
// words 4 to 0x17FF, the end line only last.
TEST(ReaderRobustness, MangledAndRandomTextsKeepTheImageRules) {
  std::mt19937 random(7);
  const std::string base = FirmwareFile(0x200);
  const std::string alphabet = ":0123456789ABCDEFabcdef\r\nxyz ";
  for (int round = 0; round < 400; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(random() % 40);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = alphabet[random() % alphabet.size()];
          break;
        case 1:
          text.erase(at, 1 + random() % 30);
          break;
        default:
          text.insert(at, std::string(1 + random() % 3, static_cast<char>(random())));
      }
      if (text.empty()) text = ":";
    }
    text.resize(random() % (text.size() + 1));
    const Image image = ReadImage(text, text.size() + random() % 50);
    ASSERT_LE(image.LineCount(), 2050);
    for (std::size_t i = 0; i < image.lines.size(); ++i) {
      const auto &line = image.lines[i];
      if (line == kEndLine) {
        EXPECT_EQ(i + 1, image.lines.size()) << "end line before the last line";
        continue;
      }
      const int word = line[0] | (line[1] << 8);
      EXPECT_GE(word, 4);
      EXPECT_LT(word, 0x1800);
    }
  }
}

}  // namespace

TEST(FileLines, EndAtCrLfLfOrCrAndKeepALastLineWithoutItsEnd) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(firmware::FileLines(":A\r\n:B\n:C\r:D"), (V{":A", ":B", ":C", ":D"}));
  EXPECT_EQ(firmware::FileLines(":A\r\n\r\n:B\n\r"), (V{":A", "", ":B", ""}));
  EXPECT_EQ(firmware::FileLines(":A\n\r:B"), (V{":A", "", ":B"}));  // LF CR is two ends
  EXPECT_EQ(firmware::FileLines(""), V{});
}

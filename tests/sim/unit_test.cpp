#include "sim/unit.h"

#include <gtest/gtest.h>

#include <random>

#include "settings/parameters.h"

using namespace std::chrono_literals;
using sim::LineFault;
using sim::LoaderFault;
using sim::Unit;

namespace {

class UnitTest : public ::testing::Test {
 protected:
  std::string ask(std::string_view text) {
    unit.Receive(text);
    return unit.TakeOutput();
  }
  std::string command(const std::string &wordAndValue) {
    return ask("AT@" + wordAndValue + "\r\n");
  }

  sim::ManualClock clock;
  Unit unit{sim::UnitOptions{}, clock};
};

// A loader line: word address and four words.
sim::LoaderLine line(std::uint16_t address, std::array<std::uint16_t, 4> words) {
  sim::LoaderLine l{};
  l[0] = address & 0xFF;
  l[1] = address >> 8;
  for (int i = 0; i < 4; ++i) {
    l[2 + 2 * i] = words[i] & 0xFF;
    l[3 + 2 * i] = words[i] >> 8;
  }
  return l;
}

const sim::LoaderLine kEndLine = {'U', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

TEST_F(UnitTest, EveryEntryOfEveryListIsAcceptedByItsWireValueAndKept) {
  int lists = 0;
  for (const auto &p : params::Table()) {
    if (p.kind != params::Kind::List && p.kind != params::Kind::Index) continue;
    ++lists;
    for (int n = 1; n <= static_cast<int>(p.entries.size()); ++n) {
      const std::string wire = params::ListWireValue(p, n);
      EXPECT_EQ(command(std::string(p.word) + wire), "OK\r\n") << p.word << " " << wire;
      EXPECT_EQ(unit.Value(p.word), wire);
    }
    // One past the last entry, and zero, are no entries.
    const int size = static_cast<int>(p.entries.size());
    EXPECT_EQ(command(std::string(p.word) + params::ListWireValue(p, size + 1)), "ERR\r\n")
        << p.word;
    if (p.kind == params::Kind::List) {
      EXPECT_EQ(command(std::string(p.word) + params::ListWireValue(p, 0)), "ERR\r\n") << p.word;
    }
  }
  EXPECT_EQ(lists, 14);
}

TEST_F(UnitTest, ListValuesMustHaveTheExactWireForm) {
  EXPECT_EQ(command("P013"), "OK\r\n");
  EXPECT_EQ(command("P0103"), "ERR\r\n");  // no leading zero where the list has none
  EXPECT_EQ(command("P1224"), "OK\r\n");
  EXPECT_EQ(command("P124"), "ERR\r\n");  // P12 is always two digits
  EXPECT_EQ(command("P0610"), "OK\r\n");
  EXPECT_EQ(command("P0611"), "ERR\r\n");
  EXPECT_EQ(command("P01"), "ERR\r\n");  // no value
  EXPECT_EQ(command("TYPG0"), "OK\r\n");
  EXPECT_EQ(command("TYPG5"), "ERR\r\n");
  EXPECT_EQ(command("MOD0"), "OK\r\n");
  EXPECT_EQ(command("TYPE1"), "OK\r\n");
  EXPECT_EQ(command("MOD2"), "ERR\r\n");
  EXPECT_EQ(unit.Value("P01"), "3");
  EXPECT_EQ(unit.Value("MOD"), "0");
}

TEST_F(UnitTest, P09P14AndUnknownWordsAreRejected) {
  EXPECT_EQ(command("P091"), "ERR\r\n");
  EXPECT_EQ(command("P141"), "ERR\r\n");
  EXPECT_EQ(command("P261"), "ERR\r\n");
  EXPECT_EQ(command("XYZ"), "ERR\r\n");
  EXPECT_EQ(command("norm"), "ERR\r\n");  // words are capitals
  EXPECT_EQ(ask("AT@NORM \r\n"), "ERR\r\n");
  EXPECT_EQ(ask("at@NORM\r\n"), "ERR\r\n");
  EXPECT_FALSE(unit.Value("P09"));
  EXPECT_FALSE(unit.Value("P14"));
}

TEST_F(UnitTest, CodeFieldsAreCheckedByCharactersAndLength) {
  EXPECT_EQ(command("P16*66"), "OK\r\n");
  EXPECT_EQ(command("P16#"), "OK\r\n");
  EXPECT_EQ(command("P16123456"), "OK\r\n");
  EXPECT_EQ(command("P161234567"), "ERR\r\n");  // seven characters
  EXPECT_EQ(command("P16"), "ERR\r\n");         // empty
  EXPECT_EQ(command("P16*6A"), "ERR\r\n");
  EXPECT_EQ(command("P16 *66"), "ERR\r\n");  // blanks are never part of a code
  EXPECT_EQ(unit.Value("P16"), "123456");

  EXPECT_EQ(command("P2051"), "OK\r\n");
  EXPECT_EQ(command("P205"), "ERR\r\n");   // exactly two
  EXPECT_EQ(command("P20*1"), "ERR\r\n");  // digits only
  EXPECT_EQ(command("P215"), "OK\r\n");    // one or two
  EXPECT_EQ(command("P21555"), "ERR\r\n");
  EXPECT_EQ(command("P25##"), "OK\r\n");
  EXPECT_EQ(command("P25#"), "ERR\r\n");
  EXPECT_EQ(unit.Value("P21"), "5");
}

TEST_F(UnitTest, DefaultPutsTheDefaultColumnAndLeavesTheModes) {
  EXPECT_EQ(unit.Value("P10"), "3");  // initial entry "80"
  EXPECT_EQ(unit.Value("P23"), "51");
  EXPECT_EQ(command("MOD0"), "OK\r\n");
  EXPECT_EQ(command("P16#1"), "OK\r\n");
  EXPECT_EQ(command("DEFAULT"), "OK\r\n");
  EXPECT_EQ(unit.Value("P10"), "5");
  EXPECT_EQ(unit.Value("P11"), "5");
  EXPECT_EQ(unit.Value("P23"), "61");
  EXPECT_EQ(unit.Value("P24"), "62");
  EXPECT_EQ(unit.Value("P16"), "*66");
  EXPECT_EQ(unit.Value("P12"), "24");
  EXPECT_EQ(unit.Value("TYPG"), "4");
  EXPECT_EQ(unit.Value("MOD"), "0");
  EXPECT_EQ(command("DEFAULT1"), "ERR\r\n");
}

TEST(Unit, ANeverWrittenUnitAnswersItsFirstNormWithNew) {
  sim::ManualClock clock;
  Unit unit({.neverWritten = true}, clock);
  unit.Receive("AT@NORM\r\n");
  EXPECT_EQ(unit.TakeOutput(), "NEW\r\nOK\r\n");
  unit.Receive("AT@NORM\r\n");
  EXPECT_EQ(unit.TakeOutput(), "OK\r\n");
  EXPECT_FALSE(unit.NeverWritten());
}

TEST_F(UnitTest, LinesArriveInAnyPiecesAndAreRecorded) {
  EXPECT_EQ(ask("AT@NO"), "");
  EXPECT_EQ(ask("RM\r"), "");
  EXPECT_EQ(ask("\nAT@P013\r\nAT@P02"), "OK\r\nOK\r\n");
  const std::vector<std::string> lines{"AT@NORM\r\n", "AT@P013\r\n"};
  EXPECT_EQ(unit.GetRecord().commandLines, lines);
  EXPECT_EQ(unit.GetRecord().received, "AT@NORM\r\nAT@P013\r\nAT@P02");
  EXPECT_EQ(unit.GetRecord().replies, (std::vector<std::string>{"OK\r\n", "OK\r\n"}));
}

TEST_F(UnitTest, BadFramingIsRejectedAndReported) {
  EXPECT_EQ(ask("AT@NORM\n"), "ERR\r\n");  // LF without CR
  EXPECT_EQ(ask("hello\r\n"), "ERR\r\n");
  EXPECT_EQ(ask("\r\n"), "");  // an empty line is passed over
  EXPECT_EQ(unit.GetRecord().problems.size(), 2u);
  // An overlong line is cut, answered ERR once at its end, and the next line is taken whole.
  EXPECT_EQ(ask(std::string(100000, 'A')), "");
  EXPECT_EQ(ask("\r\nAT@NORM\r\n"), "ERR\r\nOK\r\n");
  EXPECT_EQ(unit.GetRecord().commandLines.at(3).size(), sim::kMaxCommandLine);
}

TEST_F(UnitTest, ArbitraryBytesInEveryModeNeverBreakTheUnit) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 200; ++round) {
    std::string junk;
    for (int i = 0; i < 64; ++i) junk.push_back(static_cast<char>(byte(random)));
    if (round % 50 == 10) junk += "AT@#\r\n";
    if (round % 7 == 0) clock.Advance(150ms);
    unit.Receive(junk);
    unit.TakeOutput();
  }
  unit.SetPowered(false);
  unit.SetPowered(true);
  EXPECT_EQ(command("NORM"), "OK\r\n");
}

TEST_F(UnitTest, BytesAtAnotherBaudRateOrInBitModeAreNotUnderstood) {
  unit.SetBaudRate(19200);
  EXPECT_EQ(command("NORM"), "");
  unit.SetBaudRate(9600);
  unit.SetBitMode(0xFF, 1);
  EXPECT_EQ(command("NORM"), "");
  unit.SetBitMode(0, 0);
  EXPECT_EQ(command("NORM"), "OK\r\n");
  EXPECT_EQ(unit.GetRecord().problems.size(), 2u);
  EXPECT_EQ(unit.GetRecord().baudRates, (std::vector<std::uint32_t>{19200, 9600}));
}

TEST_F(UnitTest, RecordingRunsFromRtsClearedToRtsSetAfterWaitRts) {
  unit.Connect();
  unit.SetLines(true, false);  // RTS cleared before the command: no recording yet
  unit.SetLines(true, true);
  EXPECT_EQ(command("OGRIE"), "WAIT RTS\r\n");
  EXPECT_EQ(unit.Recorder(), Unit::RecordState::WaitingRts);
  clock.Advance(100ms);
  unit.SetLines(true, true);  // set again, unchanged
  clock.Advance(50ms);
  unit.SetLines(true, false);
  EXPECT_EQ(unit.Recorder(), Unit::RecordState::Recording);
  clock.Advance(3s);
  unit.SetLines(true, false);  // the console's ticks repeat the level
  clock.Advance(2s);
  unit.SetLines(true, true);
  EXPECT_EQ(unit.Recorder(), Unit::RecordState::Idle);
  const auto &recordings = unit.GetRecord().recordings;
  ASSERT_EQ(recordings.size(), 1u);
  EXPECT_EQ(recordings[0].start, 150ms);
  ASSERT_TRUE(recordings[0].stop);
  EXPECT_EQ(*recordings[0].stop, 5150ms);
  EXPECT_EQ(unit.GetRecord().levels.size(), 7u);
}

TEST_F(UnitTest, ResetEndsAWaitForRts) {
  EXPECT_EQ(command("OGRIE"), "WAIT RTS\r\n");
  EXPECT_EQ(command("RESET"), "OK\r\n");
  unit.SetLines(true, false);
  EXPECT_TRUE(unit.GetRecord().recordings.empty());
}

TEST_F(UnitTest, CtsIsClearWhilePoweredAndAPoweredOffUnitIsDeaf) {
  EXPECT_EQ(unit.ModemStatus() & 0x10, 0);
  unit.SetPowered(false);
  EXPECT_EQ(unit.ModemStatus() & 0x10, 0x10);
  EXPECT_EQ(command("NORM"), "");
  unit.SetPowered(true);
  EXPECT_EQ(command("NORM"), "OK\r\n");
}

TEST_F(UnitTest, LateAndSplitAnswersComeWhenTheirTimeHasCome) {
  unit.AddFault(LineFault{.kind = LineFault::Kind::Late, .word = "NORM", .delay = 300ms});
  EXPECT_EQ(command("NORM"), "");
  ASSERT_TRUE(unit.NextOutputAt());
  EXPECT_EQ(*unit.NextOutputAt(), 300ms);
  // A later line's answer does not overtake the late one.
  EXPECT_EQ(command("P013"), "");
  clock.Advance(300ms);
  EXPECT_EQ(unit.TakeOutput(), "OK\r\nOK\r\n");

  unit.ClearFaults();
  unit.AddFault(LineFault{.kind = LineFault::Kind::Split, .delay = 100ms, .pieceSize = 5});
  EXPECT_EQ(command("OGRIE"), "WAIT ");
  EXPECT_EQ(unit.TakeOutput(), "");
  clock.Advance(100ms);
  EXPECT_EQ(unit.TakeOutput(), "RTS\r\n");
}

TEST_F(UnitTest, ErrAndSilenceHitTheChosenLinesOnly) {
  unit.AddFault(LineFault{.kind = LineFault::Kind::Err, .word = "P05"});
  unit.AddFault(LineFault{.kind = LineFault::Kind::NoAnswer, .word = "NORM", .nth = 2});
  EXPECT_EQ(command("P051"), "ERR\r\n");
  EXPECT_EQ(unit.Value("P05"), "1");  // initial "100" is entry 1; the refused line changed nothing
  EXPECT_EQ(command("P052"), "ERR\r\n");
  EXPECT_EQ(unit.Value("P05"), "1");
  EXPECT_EQ(command("NORM"), "OK\r\n");
  EXPECT_EQ(command("NORM"), "");
  EXPECT_EQ(command("NORM"), "OK\r\n");
}

TEST_F(UnitTest, UnsolicitedLinesAreSentAsTheyCome) {
  unit.Say("RING\r\n");
  EXPECT_EQ(unit.TakeOutput(), "RING\r\n");
}

namespace {
class LoaderTest : public UnitTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(command("#"), "OK\r\n");
    EXPECT_EQ(ask("w"), "Y");
  }
  // Sends a line byte by byte, as the download does, and gathers the replies.
  std::string send(const sim::LoaderLine &l, std::size_t bytes = sim::kLoaderLineLength) {
    std::string replies;
    for (std::size_t i = 0; i < bytes; ++i) {
      clock.Advance(10ms);
      replies += ask(std::string(1, static_cast<char>(l[i])));
    }
    return replies;
  }
};
}  // namespace

TEST_F(LoaderTest, AWholeImageIsStoredWordByWordAndTheEndLineLeavesTheLoader) {
  std::vector<sim::LoaderLine> image;
  for (std::uint16_t a = 4; a < 4 + 4 * 300; a += 4)
    image.push_back(line(a, {std::uint16_t(a * 3), 0x0D0A, 0x3A00, 0xFFFF}));
  for (const auto &l : image) ASSERT_EQ(send(l), "OOOOOOOOOK");
  EXPECT_EQ(send(kEndLine), "OOOOOOOOOZ");
  EXPECT_EQ(unit.CurrentMode(), Unit::Mode::Command);
  EXPECT_EQ(command("NORM"), "OK\r\n");

  const auto &r = unit.GetRecord();
  EXPECT_EQ(r.loaderLines, image);
  EXPECT_EQ(r.memory.size(), 1200u);
  EXPECT_EQ(r.memory.at(4), 12);
  EXPECT_EQ(r.memory.at(5), 0x0D0A);
  EXPECT_EQ(r.memory.at(1199), 0xFFFF);
  EXPECT_TRUE(r.problems.empty());
}

TEST_F(LoaderTest, BeforeTheHandshakeOnlyWCounts) {
  EXPECT_EQ(command("#"), "OOOOOO");  // in the loader these are line bytes
  sim::ManualClock c2;
  Unit fresh({}, c2);
  fresh.Receive("AT@#\r\nxyzw");
  EXPECT_EQ(fresh.TakeOutput(), "OK\r\nY");
}

TEST_F(LoaderTest, AWWhereALineWouldBeginIsAnsweredYAndAWithinALineIsALineByte) {
  EXPECT_EQ(ask("ww"), "YY") << "w that the host sent before it saw its Y";
  const auto l = line(8, {0x7777, 0x77, 0x7700, 0x1234});
  EXPECT_EQ(send(l), "OOOOOOOOOK");
  EXPECT_EQ(ask("w"), "Y");
  EXPECT_EQ(send(l), "OOOOOOOOOK");
  EXPECT_EQ(unit.GetRecord().loaderLines, (std::vector<sim::LoaderLine>{l, l}));
  EXPECT_TRUE(unit.GetRecord().problems.empty());
}

TEST_F(LoaderTest, ALineCutShortIsDroppedAndTakenWholeWhenSentAgain) {
  const auto l = line(8, {1, 2, 3, 4});
  EXPECT_EQ(send(l, 4), "OOOO");
  clock.Advance(250ms);  // the host times out and starts the line again
  EXPECT_EQ(send(l), "OOOOOOOOOK");
  EXPECT_EQ(unit.GetRecord().loaderLines, std::vector<sim::LoaderLine>{l});
  EXPECT_EQ(unit.GetRecord().problems.size(), 1u);
}

TEST_F(LoaderTest, FaultsAnswerPOrEOrNothing) {
  unit.AddFault(LoaderFault{.kind = LoaderFault::Kind::P, .line = 1, .byte = 3});
  unit.AddFault(LoaderFault{.kind = LoaderFault::Kind::Silence, .line = 2, .byte = 10});
  unit.AddFault(LoaderFault{.kind = LoaderFault::Kind::E, .line = 4, .byte = 1});
  const auto a = line(4, {1, 1, 1, 1});
  EXPECT_EQ(send(a, 3), "OOP");
  EXPECT_EQ(send(a), "OOOOOOOOO");   // line 2: no reply to its tenth byte, and not stored
  EXPECT_EQ(send(a), "OOOOOOOOOK");  // line 3
  EXPECT_EQ(send(a, 1), "E");        // line 4
  EXPECT_EQ(unit.GetRecord().loaderLines.size(), 1u);
}
